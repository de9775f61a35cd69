import inspect
import json
import logging
import os
from pathlib import Path

import pytest

import velkor_models.schemas.loaders.choice_set_reader as reader_module
from path_standins import UNREADABLE, RecordingPath, build_tree
from velkor_models.schemas.loaders.base import OptionsLoaderBase
from velkor_models.schemas.loaders.choice_set_reader import ChoiceSetReader
from velkor_models.schemas.records.options import OptionSchema

MODULE = "velkor_models.schemas.loaders.choice_set_reader"


def options_text(*names: str) -> str:
    return json.dumps([{"name": n, "options": [n]} for n in names])


# ---- module and class ----


def test_import_order(assert_import_order):
    assert_import_order(
        MODULE,
        [
            ("logging", None),
            ("collections.abc", "Iterator"),
            ("pathlib", "Path"),
            ("velkor_models.schemas.records.options", "OptionSchema"),
            ("velkor_models.schemas.loaders.base", "OptionsLoaderBase"),
            ("velkor_models.schemas.loaders.utils", "load_object_schema_from_json_file"),
        ],
    )


def test_module_binds_its_names_in_order_and_a_logger_named_after_itself():
    names = list(vars(reader_module))
    assert names[names.index("__builtins__") + 1 :] == [
        "logging",
        "Iterator",
        "Path",
        "OptionSchema",
        "OptionsLoaderBase",
        "load_object_schema_from_json_file",
        "logger",
        "ChoiceSetReader",
    ]
    assert reader_module.logger is logging.getLogger(MODULE)


def test_class_bases_members_and_docstring():
    assert ChoiceSetReader.__bases__ == (OptionsLoaderBase,)
    assert ChoiceSetReader.__module__ == MODULE
    assert list(vars(ChoiceSetReader)) == [
        "__module__",
        "__doc__",
        "__init__",
        "__str__",
        "iter_options",
        "iter_json_files",
        "read_options_from_file",
    ]
    assert type(vars(ChoiceSetReader)["read_options_from_file"]) is staticmethod
    assert ChoiceSetReader.__doc__.splitlines()[0] == (
        "Loader for options configuration files in CLI."
    )


@pytest.mark.parametrize(
    ("name", "annotations", "is_generator", "first_line", "sections"),
    [
        ("__init__", {"config_dir": "Path", "return": "None"}, False, None, []),
        ("__str__", {"return": "str"}, False, None, []),
        (
            "iter_options",
            {"return": "Iterator[OptionSchema]"},
            True,
            "Iterates over options configuration files and yields their schemas.",
            [
                "Yields:\n    Iterator[OptionSchema]: An iterator over the schemas of the options "
                "configuration files."
            ],
        ),
        (
            "iter_json_files",
            {"return": "Iterator[Path]"},
            True,
            "Iterates over JSON files in the options directory and yields their paths.",
            [
                "Yields:\n    Iterator[Path]: An iterator over the paths to the JSON files in the "
                "options directory."
            ],
        ),
        (
            "read_options_from_file",
            {"json_file": "Path", "return": "Iterator[OptionSchema]"},
            True,
            "Reads options from a JSON file and yields their schemas.",
            [
                "Args:\n    json_file (Path): The path to the JSON file containing the options.",
                "Yields:\n    Iterator[OptionSchema]: An iterator over the schemas of the options "
                "in the JSON file.",
            ],
        ),
    ],
)
def test_method_signatures_and_docstrings(name, annotations, is_generator, first_line, sections):
    method = getattr(ChoiceSetReader, name)
    assert method.__qualname__ == f"ChoiceSetReader.{name}"
    assert method.__annotations__ == annotations
    assert inspect.isgeneratorfunction(method) is is_generator
    assert inspect.isgeneratorfunction(getattr(ChoiceSetReader(Path()), name)) is is_generator
    if first_line is None:
        assert method.__doc__ is None
    else:
        assert method.__doc__.splitlines()[0] == first_line
        for section in sections:
            assert section in inspect.cleandoc(method.__doc__)


def test_read_options_from_file_takes_no_self():
    assert str(inspect.signature(ChoiceSetReader.read_options_from_file)) == (
        "(json_file: 'Path') -> 'Iterator[OptionSchema]'"
    )
    assert str(inspect.signature(ChoiceSetReader(Path()).read_options_from_file)) == (
        "(json_file: 'Path') -> 'Iterator[OptionSchema]'"
    )


def test_init_keeps_the_root_unchanged_under_its_own_name(monkeypatch):
    def refuse(self, *args, **kwargs):
        raise AssertionError("a base initialiser ran")

    monkeypatch.setattr(OptionsLoaderBase, "__init__", refuse, raising=False)
    app_root = Path("apps/../app")
    reader = ChoiceSetReader(config_dir=app_root)
    assert reader._app_root is app_root
    assert vars(reader) == {"_app_root": app_root}


class RenamedReader(ChoiceSetReader):
    pass


@pytest.mark.parametrize(
    ("cls", "kwargs", "expected"),
    [
        (ChoiceSetReader, {"config_dir": Path("/srv/app")}, "ChoiceSetReader(/srv/app)"),
        (RenamedReader, {"config_dir": Path("/srv/app")}, "RenamedReader(/srv/app)"),
        (ChoiceSetReader, {"config_dir": 7}, "ChoiceSetReader(7)"),
    ],
)
def test_str_shows_class_name_and_root(cls, kwargs, expected):
    assert str(cls(**kwargs)) == expected


# ---- iter_json_files ----


@pytest.mark.parametrize(
    "tree",
    [{}, {"options": "not a directory"}, {"static": {"a.json": "[]"}}],
    ids=["no-options", "options-is-a-file", "options-elsewhere"],
)
def test_no_options_directory_yields_nothing(tmp_path, tree):
    build_tree(tmp_path, tree)
    reader = ChoiceSetReader(tmp_path)
    assert list(reader.iter_json_files()) == []
    assert list(reader.iter_options()) == []


def test_takes_json_files_in_any_letter_case_in_listing_order(tmp_path):
    build_tree(
        tmp_path,
        {
            "options": {
                "c.Json": "",
                "notes.txt": "",
                "a.json": "",
                "a.json.bak": "",
                ".json": "",  # the whole name: no extension
                "d.json": {"inner.json": ""},  # a directory, and never looked into
                "b.JSON": "",
            },
            "top.json": "",  # the root itself is not listed
        },
    )
    options = tmp_path / "options"
    taken = {"a.json", "b.JSON", "c.Json"}
    expected = [options / name for name in os.listdir(options) if name in taken]
    assert list(ChoiceSetReader(tmp_path).iter_json_files()) == expected


def test_walk_follows_the_listing_lazily_and_yields_the_listed_items():
    log = []
    root = RecordingPath({"options": {"z.json": "", "x.txt": "", "y.JSON": {}}}, log)
    reader = ChoiceSetReader(root)
    gen = reader.iter_json_files()
    reader.iter_options()
    assert log == []
    item = next(gen)
    assert type(item) is RecordingPath and str(item) == "root/options/z.json"
    assert log == [
        ("/", "root", "options"),
        ("exists", "root/options"),
        ("is_dir", "root/options"),
        ("iterdir", "root/options"),
        ("is_file", "root/options/z.json"),
        ("suffix", "root/options/z.json"),
    ]
    del log[:]
    assert list(gen) == []
    assert log == [
        ("is_file", "root/options/x.txt"),
        ("suffix", "root/options/x.txt"),
        ("is_file", "root/options/y.JSON"),
    ]


def test_missing_options_directory_is_only_asked_whether_it_exists():
    log = []
    assert list(ChoiceSetReader(RecordingPath({}, log)).iter_json_files()) == []
    assert log == [("/", "root", "options"), ("exists", "root/options")]


def test_permission_error_from_the_listing_surfaces_from_next():
    gen = ChoiceSetReader(RecordingPath({"options": UNREADABLE}, [])).iter_options()
    with pytest.raises(PermissionError):
        next(gen)
    assert list(gen) == []


# ---- reading ----


def test_yields_each_files_option_sets_in_order(tmp_path):
    build_tree(
        tmp_path,
        {
            "options": {
                "pair.json": options_text("first", "second"),
                "one.JSON": options_text("only"),
            }
        },
    )
    per_file = {"pair.json": ["first", "second"], "one.JSON": ["only"]}
    expected = [n for f in os.listdir(tmp_path / "options") for n in per_file[f]]
    records = list(ChoiceSetReader(tmp_path).iter_options())
    assert all(type(r) is OptionSchema for r in records)
    assert [r.name for r in records] == expected


def test_read_options_from_file_works_on_the_class_and_only_reads_when_advanced(tmp_path):
    path = tmp_path / "sets.json"
    gen = ChoiceSetReader.read_options_from_file(path)  # nothing there yet: no error
    path.write_text(options_text("a", "b"))
    expected = [OptionSchema(name="a", options=["a"]), OptionSchema(name="b", options=["b"])]
    assert list(gen) == expected
    assert list(ChoiceSetReader(tmp_path).read_options_from_file(json_file=path)) == expected


def test_host_reader_and_record_class_are_looked_up_when_first_advanced(monkeypatch):
    calls = []

    class OtherRecord:
        pass

    def fake_load(*args, **kwargs):
        calls.append((args, kwargs))
        return iter(["r1", "r2"])

    gen = ChoiceSetReader.read_options_from_file("some.json")
    monkeypatch.setattr(reader_module, "load_object_schema_from_json_file", fake_load)
    monkeypatch.setattr(reader_module, "OptionSchema", OtherRecord)
    assert calls == []
    assert list(gen) == ["r1", "r2"]
    assert calls == [(("some.json",), {"model_cls": OtherRecord})]


class ScriptedReader(ChoiceSetReader):
    """Overrides the hooks that iter_options looks up on self, and logs the calls."""

    def __init__(self, log, files):
        super().__init__(Path("unused"))
        self.log = log
        self.files = files

    def iter_json_files(self):
        self.log.append("iter_json_files")
        return iter(self.files)

    def read_options_from_file(self, json_file):
        self.log.append(("read", json_file))
        for k in range(2):
            self.log.append(("record", json_file, k))
            yield f"{json_file}-{k}"


def test_subclass_hooks_are_used_one_file_at_a_time():
    log = []
    gen = ScriptedReader(log, ["x", "y"]).iter_options()
    assert log == []
    assert list(gen) == ["x-0", "x-1", "y-0", "y-1"]
    assert log == [
        "iter_json_files",
        ("read", "x"),
        ("record", "x", 0),
        ("record", "x", 1),
        ("read", "y"),
        ("record", "y", 0),
        ("record", "y", 1),
    ]


class FixedListing(ChoiceSetReader):
    """The real reading over a listing given in advance."""

    def __init__(self, files):
        super().__init__(Path("unused"))
        self.files = files

    def iter_json_files(self):
        return iter(self.files)


def test_unreadable_file_ends_the_listing_after_earlier_records(tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE)
    build_tree(tmp_path, {"good.json": options_text("kept"), "bad.json": '{"name": '})
    gen = FixedListing([tmp_path / "good.json", tmp_path / "bad.json"]).iter_options()
    assert next(gen).name == "kept"
    with pytest.raises(ValueError, match="not a UTF-8 JSON file"):
        next(gen)
    assert list(gen) == []
    assert caplog.records == []


def test_send_and_close_pass_through_both_generators(monkeypatch):
    events = []

    def inner(json_file, model_cls):
        try:
            events.append(("sent", (yield f"{json_file}:first")))
            yield f"{json_file}:second"
        finally:
            events.append("inner-finally")

    monkeypatch.setattr(reader_module, "load_object_schema_from_json_file", inner)
    gen = FixedListing(["a.json"]).iter_options()
    assert next(gen) == "a.json:first"
    assert gen.send("hello") == "a.json:second"
    gen.close()
    assert events == [("sent", "hello"), "inner-finally"]
    assert list(gen) == []


# ---- references ----


@pytest.mark.leakcheck
@pytest.mark.parametrize("outcome", ["listing", "abandoned", "error"])
def test_no_leak(tmp_path, no_leak, monkeypatch, outcome):
    build_tree(tmp_path, {"options": {"a.json": "", "b.txt": "", "c.JSON": "", "d": {}}})
    reader = ChoiceSetReader(tmp_path)
    if outcome in ("listing", "abandoned"):
        # Records read once: opening files makes the interpreter's own allocation noise.
        records = [OptionSchema(name="x", options=[1]), OptionSchema(name="y", options=[2])]
        monkeypatch.setattr(
            reader_module, "load_object_schema_from_json_file", lambda f, **k: records
        )

        def operation():
            if outcome == "listing":
                assert len(list(reader.iter_options())) == 4
            else:  # dropped two generators deep: finalising closes both
                assert next(reader.iter_options()) is records[0]

    else:

        def refuse(json_file, model_cls):
            raise LookupError(json_file)

        monkeypatch.setattr(reader_module, "load_object_schema_from_json_file", refuse)

        def operation():
            with pytest.raises(LookupError):
                next(reader.iter_options())

    no_leak(operation, calls=300)
