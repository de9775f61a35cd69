import gc
import inspect
import json
import os
import weakref
from pathlib import Path

import pytest

import velkor_models.schemas.loaders.schema_dir_reader as reader_module
from path_standins import UNREADABLE, RecordingPath, build_tree
from velkor_models.schemas.loaders.base import ConfigLoaderBase, ConfigReaderMixin
from velkor_models.schemas.loaders.schema_dir_reader import CliConfigLoader
from velkor_utils.models.records.schema import ObjectSchema

MODULE = "velkor_models.schemas.loaders.schema_dir_reader"


def schema_text(*names: str) -> str:
    """A model.json holding one schema, or a list of them when more than one name is given."""
    records = [{"name": n} for n in names]
    return json.dumps(records[0] if len(records) == 1 else records)


# ---- module and class ----


def test_import_order(assert_import_order):
    assert_import_order(
        MODULE,
        [
            ("collections.abc", "Iterator"),
            ("pathlib", "Path"),
            ("velkor_utils.models.records.schema", "ObjectSchema"),
            ("velkor_models.schemas.loaders.base", "ConfigLoaderBase"),
            ("velkor_models.schemas.loaders.base", "ConfigReaderMixin"),
        ],
    )


def test_module_binds_its_names_in_order():
    names = list(vars(reader_module))
    assert names[names.index("__builtins__") + 1 :] == [
        "Iterator",
        "Path",
        "ObjectSchema",
        "ConfigLoaderBase",
        "ConfigReaderMixin",
        "MODEL_JSON_FILE",
        "CliConfigLoader",
    ]
    assert reader_module.MODEL_JSON_FILE == "model.json"


def test_class_bases_members_and_docstring():
    assert CliConfigLoader.__bases__ == (ConfigReaderMixin, ConfigLoaderBase)
    assert CliConfigLoader.__module__ == MODULE
    assert list(vars(CliConfigLoader)) == [
        "__module__",
        "__doc__",
        "__init__",
        "__str__",
        "iter_configs",
        "iter_json_files",
    ]
    assert CliConfigLoader.__doc__.splitlines()[0] == "Loader for configuration files in CLI."


@pytest.mark.parametrize(
    ("name", "annotations", "is_generator", "first_line", "section"),
    [
        ("__init__", {"config_dir": "Path", "return": "None"}, False, None, None),
        ("__str__", {"return": "str"}, False, None, None),
        (
            "iter_configs",
            {"return": "Iterator[ObjectSchema]"},
            True,
            "Iterates over configuration files and yields their schemas.",
            "Yields:\n    Iterator[ObjectSchema]: An iterator over the schemas of the "
            "configuration files.",
        ),
        (
            "iter_json_files",
            {"return": "Iterator[Path]"},
            True,
            "Iterates over JSON files in the configuration directory and yields their paths.",
            "Yields:\n    Iterator[Path]: An iterator over the paths to the JSON files in the "
            "configuration directory.",
        ),
    ],
)
def test_method_signatures_and_docstrings(name, annotations, is_generator, first_line, section):
    method = vars(CliConfigLoader)[name]
    assert method.__qualname__ == f"CliConfigLoader.{name}"
    assert method.__annotations__ == annotations
    assert inspect.isgeneratorfunction(method) is is_generator
    assert inspect.isgeneratorfunction(getattr(CliConfigLoader(Path()), name)) is is_generator
    if first_line is None:
        assert method.__doc__ is None
    else:
        assert method.__doc__.splitlines()[0] == first_line
        assert section in inspect.cleandoc(method.__doc__)


def test_init_stores_the_path_unchanged_and_calls_no_base_initialiser(monkeypatch):
    def refuse(self, *args, **kwargs):
        raise AssertionError("a base initialiser ran")

    monkeypatch.setattr(ConfigReaderMixin, "__init__", refuse, raising=False)
    monkeypatch.setattr(ConfigLoaderBase, "__init__", refuse, raising=False)
    config_dir = Path("relative/../config")
    loader = CliConfigLoader(config_dir)
    assert loader._config_dir is config_dir
    assert vars(loader) == {"_config_dir": config_dir}
    # Nothing is tested or converted: any object is kept as it is.
    marker = object()
    assert CliConfigLoader(config_dir=marker)._config_dir is marker


class RenamedLoader(CliConfigLoader):
    pass


@pytest.mark.parametrize(
    ("cls", "config_dir", "expected"),
    [
        (CliConfigLoader, Path("/srv/app/config"), "CliConfigLoader(/srv/app/config)"),
        (RenamedLoader, Path("/srv/app/config"), "RenamedLoader(/srv/app/config)"),
        (CliConfigLoader, "not/a/path", "CliConfigLoader(not/a/path)"),
    ],
)
def test_str_shows_class_name_and_directory(cls, config_dir, expected):
    assert str(cls(config_dir)) == expected


# ---- iter_json_files ----


def test_missing_directory_yields_nothing(tmp_path):
    assert list(CliConfigLoader(tmp_path / "absent").iter_json_files()) == []
    assert list(CliConfigLoader(tmp_path / "absent").iter_configs()) == []


def test_directory_that_is_a_regular_file_fails_on_first_next(tmp_path):
    config_file = tmp_path / "config"
    config_file.write_text("")
    gen = CliConfigLoader(config_file).iter_json_files()
    with pytest.raises(NotADirectoryError):
        next(gen)
    assert list(gen) == []


def test_yields_model_files_of_subdirectories_in_listing_order(tmp_path):
    tree = {
        "zeta": {"model.json": schema_text("Zeta")},
        "model.json": schema_text("TopLevel"),  # a file at the top level is never taken
        "alpha": {"model.json": {}},  # existence only: a directory named model.json passes
        "empty": {},
        "other": {"schema.json": schema_text("Other")},
        "nested": {"deeper": {"model.json": schema_text("Deep")}},
        "mid": {"model.json": schema_text("Mid")},
    }
    build_tree(tmp_path, tree)
    taken = {"zeta", "alpha", "mid"}
    expected = [tmp_path / name / "model.json" for name in os.listdir(tmp_path) if name in taken]
    loader = CliConfigLoader(tmp_path)
    first, second = loader.iter_json_files(), loader.iter_json_files()
    assert next(second) == expected[0]
    assert list(first) == expected
    assert list(second) == expected[1:]


def test_walk_follows_the_listing_lazily_and_joins_again_for_the_yield():
    log = []
    root = RecordingPath({"b": {"model.json": ""}, "notes.txt": "", "a": {}}, log)
    gen = CliConfigLoader(root).iter_json_files()
    assert log == []
    assert str(next(gen)) == "root/b/model.json"
    assert log == [
        ("exists", "root"),
        ("iterdir", "root"),
        ("is_dir", "root/b"),
        ("/", "root/b", "model.json"),
        ("exists", "root/b/model.json"),
        ("/", "root/b", "model.json"),
    ]
    del log[:]
    assert list(gen) == []
    assert log == [
        ("is_dir", "root/notes.txt"),
        ("is_dir", "root/a"),
        ("/", "root/a", "model.json"),
        ("exists", "root/a/model.json"),
    ]


def test_missing_directory_is_only_asked_whether_it_exists():
    log = []
    assert list(CliConfigLoader(RecordingPath({}, log) / "absent").iter_json_files()) == []
    assert log == [("/", "root", "absent"), ("exists", "root/absent")]


def test_permission_error_from_the_listing_surfaces_from_next():
    gen = CliConfigLoader(RecordingPath({"config": UNREADABLE}, []) / "config").iter_configs()
    with pytest.raises(PermissionError):
        next(gen)
    assert list(gen) == []


def test_rebinding_model_json_file_changes_later_listings(tmp_path, monkeypatch):
    build_tree(tmp_path, {"a": {"model.json": "", "schema.json": ""}, "b": {"schema.json": ""}})
    gen = CliConfigLoader(tmp_path).iter_json_files()
    monkeypatch.setattr(reader_module, "MODEL_JSON_FILE", "schema.json")
    assert sorted(gen) == [tmp_path / "a" / "schema.json", tmp_path / "b" / "schema.json"]
    monkeypatch.delattr(reader_module, "MODEL_JSON_FILE")
    with pytest.raises(NameError, match="^name 'MODEL_JSON_FILE' is not defined$"):
        next(CliConfigLoader(tmp_path).iter_json_files())


# ---- iter_configs ----


def test_yields_the_schemas_of_each_file_in_listing_order(tmp_path):
    build_tree(
        tmp_path,
        {
            "many": {"model.json": schema_text("First", "Second", "Third")},
            "one": {"model.json": schema_text("Single")},
            "not_a_schema": {"model.json": {}},  # the host mixin refuses a directory
        },
    )
    per_dir = {"many": ["First", "Second", "Third"], "one": ["Single"], "not_a_schema": []}
    expected = [name for d in os.listdir(tmp_path) for name in per_dir[d]]
    records = list(CliConfigLoader(tmp_path).iter_configs())
    assert all(type(r) is ObjectSchema for r in records)
    assert [r.name for r in records] == expected


class ScriptedLoader(CliConfigLoader):
    """Overrides every hook that iter_configs looks up on self, and logs the calls."""

    def __init__(self, log, verdicts):
        super().__init__(Path("unused"))
        self.log = log
        self.verdicts = verdicts

    def iter_json_files(self):
        self.log.append("iter_json_files")
        return iter(self.verdicts)

    def is_schema_file(self, json_file):
        self.log.append(("is_schema_file", json_file))
        return self.verdicts[json_file]

    def read_configs_from_file(self, json_file):
        self.log.append(("read", json_file))
        for k in range(3):
            self.log.append(("record", json_file, k))
            yield f"{json_file}-{k}"


def test_subclass_hooks_are_used_one_file_at_a_time():
    log = []
    # Only the truth value of is_schema_file counts.
    loader = ScriptedLoader(log, {"x": 1, "y": [], "z": "yes"})
    gen = loader.iter_configs()
    assert log == []
    assert list(gen) == ["x-0", "x-1", "x-2", "z-0", "z-1", "z-2"]
    assert log == [
        "iter_json_files",
        ("is_schema_file", "x"),
        ("read", "x"),
        ("record", "x", 0),
        ("record", "x", 1),
        ("record", "x", 2),
        ("is_schema_file", "y"),
        ("is_schema_file", "z"),
        ("read", "z"),
        ("record", "z", 0),
        ("record", "z", 1),
        ("record", "z", 2),
    ]


def test_model_json_directory_reaches_an_overridden_is_schema_file(tmp_path):
    build_tree(tmp_path, {"m": {"model.json": {}}})
    seen = []

    class Recording(CliConfigLoader):
        def is_schema_file(self, json_file):
            seen.append(json_file)
            return False

    assert list(Recording(tmp_path).iter_configs()) == []
    assert seen == [tmp_path / "m" / "model.json"]


@pytest.mark.parametrize("failing", ["is_schema_file", "read_configs_from_file"])
def test_hook_errors_end_the_generator_after_earlier_records(failing):
    class Failing(ScriptedLoader):
        def is_schema_file(self, json_file):
            if failing == "is_schema_file" and json_file == "second":
                raise LookupError(json_file)
            return True

        def read_configs_from_file(self, json_file):
            if failing == "read_configs_from_file" and json_file == "second":
                raise LookupError(json_file)
            return [json_file]

    gen = Failing([], {"first": True, "second": True, "third": True}).iter_configs()
    assert next(gen) == "first"
    with pytest.raises(LookupError, match="second"):
        next(gen)
    assert list(gen) == []


def test_unreadable_schema_file_error_propagates(tmp_path):
    build_tree(tmp_path, {"broken": {"model.json": '{"name": '}})
    with pytest.raises(ValueError, match="not a UTF-8 JSON file"):
        list(CliConfigLoader(tmp_path).iter_configs())


# ---- delegation to the reader's own generator ----


class DelegatingLoader(CliConfigLoader):
    """One schema file whose reader is a generator that reports what reaches it."""

    def __init__(self, events):
        super().__init__(Path("unused"))
        self.events = events

    def iter_json_files(self):
        return iter(["only.json"])

    def is_schema_file(self, json_file):
        return True

    def read_configs_from_file(self, json_file):
        events = self.events
        try:
            events.append(("sent", (yield "first")))
            try:
                yield "second"
            except ValueError as exc:
                events.append(("caught", str(exc)))
                yield "after-throw"
            yield "last"
            return "discarded"
        finally:
            events.append("inner-finally")


@pytest.mark.parametrize(
    ("script", "expected_events", "rest"),
    [
        (
            [("send", (None,), "first"), ("send", ("hello",), "second"), ("send", (None,), "last")],
            [("sent", "hello")],
            [],
        ),
        (
            [
                ("send", (None,), "first"),
                ("send", (None,), "second"),
                ("throw", (ValueError("boom"),), "after-throw"),
            ],
            [("sent", None), ("caught", "boom")],
            ["last"],
        ),
        ([("send", (None,), "first"), ("close", (), None)], ["inner-finally"], []),
        (
            [("send", (None,), "first"), ("throw", (KeyError("k"),), KeyError)],
            ["inner-finally"],
            [],
        ),
    ],
    ids=["send", "throw-caught-inside", "close", "throw-uncaught"],
)
def test_send_throw_and_close_reach_the_inner_generator(script, expected_events, rest):
    events = []
    gen = DelegatingLoader(events).iter_configs()
    for action, args, expected in script:
        if isinstance(expected, type) and issubclass(expected, BaseException):
            with pytest.raises(expected):
                getattr(gen, action)(*args)
        else:
            assert getattr(gen, action)(*args) == expected
    assert events == expected_events
    assert list(gen) == rest


def test_inner_generator_is_the_delegate_and_its_return_value_is_discarded():
    events = []
    gen = DelegatingLoader(events).iter_configs()
    assert next(gen) == "first"
    assert inspect.getgeneratorstate(gen.gi_yieldfrom) == inspect.GEN_SUSPENDED
    assert list(gen) == ["second", "last"]
    assert events == [("sent", None), "inner-finally"]
    assert gen.gi_yieldfrom is None
    with pytest.raises(StopIteration) as stop:
        gen.send(None)
    assert stop.value.value is None


# ---- references ----


class PrereadLoader(CliConfigLoader):
    """Hands out records read once: opening files makes the interpreter's own allocation noise,
    which would drown the loader's."""

    RECORDS = [ObjectSchema(name="A"), ObjectSchema(name="B")]

    def read_configs_from_file(self, json_file):
        return self.RECORDS


class ListedLoader(CliConfigLoader):
    """Takes every listed model.json as a schema file holding two records: its path text."""

    def is_schema_file(self, json_file):
        return True

    def read_configs_from_file(self, json_file):
        return [str(json_file)] * 2


def test_suspended_generator_in_a_reference_cycle_is_collected():
    log = []
    gen = ListedLoader(RecordingPath({"a": {"model.json": ""}, "b": {}}, log)).iter_configs()
    assert next(gen) == "root/a/model.json"
    # The entries a paused generator holds log into a list that now refers back to the
    # generator: the collector must see them to break the cycle.
    log.append(gen)
    alive = weakref.ref(gen)
    del gen, log
    gc.collect()
    assert alive() is None


@pytest.mark.leakcheck
@pytest.mark.parametrize("outcome", ["listing", "abandoned", "error"])
def test_no_leak(tmp_path, no_leak, outcome):
    if outcome in ("listing", "abandoned"):
        build_tree(tmp_path, {"a": {"model.json": ""}, "b": {}, "c": {"model.json": ""}})
        loader = PrereadLoader(tmp_path)

        def operation():
            if outcome == "listing":
                assert len(list(loader.iter_configs())) == 4
            else:  # dropped while paused inside a delegation: finalising closes it
                assert next(loader.iter_configs()) is PrereadLoader.RECORDS[0]

    else:
        (tmp_path / "file").write_text("")
        loader = CliConfigLoader(tmp_path / "file")

        def operation():
            with pytest.raises(NotADirectoryError):
                next(loader.iter_configs())

    no_leak(operation, calls=300)
