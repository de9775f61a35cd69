import inspect
import os
from collections import deque
from pathlib import Path

import pytest

import velkor_models.schemas.loaders.asset_dir_reader as reader_module
from path_standins import UNREADABLE, RecordingPath, build_tree
from velkor_models.schemas.loaders.asset_dir_reader import AssetDirReader
from velkor_models.schemas.loaders.base import StaticsLoaderBase

MODULE = "velkor_models.schemas.loaders.asset_dir_reader"


# ---- module and class ----


def test_import_order(assert_import_order):
    assert_import_order(
        MODULE,
        [
            ("collections.abc", "Iterator"),
            ("pathlib", "Path"),
            ("velkor_models.schemas.loaders.base", "StaticsLoaderBase"),
        ],
    )


def test_module_binds_its_names_in_order():
    names = list(vars(reader_module))
    assert names[names.index("__builtins__") + 1 :] == [
        "Iterator",
        "Path",
        "StaticsLoaderBase",
        "AssetDirReader",
    ]


def test_class_bases_members_and_docstring():
    assert AssetDirReader.__bases__ == (StaticsLoaderBase,)
    assert AssetDirReader.__module__ == MODULE
    assert list(vars(AssetDirReader)) == [
        "__module__",
        "__doc__",
        "__init__",
        "iter_static",
        "__str__",
    ]
    assert AssetDirReader.__doc__.splitlines()[0] == "Loader for static files in CLI."


@pytest.mark.parametrize(
    ("name", "annotations", "is_generator", "first_line", "section"),
    [
        ("__init__", {"app_root": "Path", "return": "None"}, False, None, None),
        (
            "iter_static",
            {"return": "Iterator[Path]"},
            True,
            "Iterates over static files and yields their paths.",
            "Yields:\n    Iterator[Path]: An iterator over the paths to the static files in the "
            "static directory.",
        ),
        ("__str__", {"return": "str"}, False, None, None),
    ],
)
def test_method_signatures_and_docstrings(name, annotations, is_generator, first_line, section):
    method = vars(AssetDirReader)[name]
    assert method.__qualname__ == f"AssetDirReader.{name}"
    assert method.__annotations__ == annotations
    assert inspect.isgeneratorfunction(method) is is_generator
    assert inspect.isgeneratorfunction(getattr(AssetDirReader(Path()), name)) is is_generator
    if first_line is None:
        assert method.__doc__ is None
    else:
        assert method.__doc__.splitlines()[0] == first_line
        assert section in inspect.cleandoc(method.__doc__)


def test_init_keeps_the_root_unchanged(monkeypatch):
    def refuse(self, *args, **kwargs):
        raise AssertionError("a base initialiser ran")

    monkeypatch.setattr(StaticsLoaderBase, "__init__", refuse, raising=False)
    app_root = Path("apps/../app")
    reader = AssetDirReader(app_root=app_root)
    assert reader._app_root is app_root
    assert vars(reader) == {"_app_root": app_root}


class RenamedReader(AssetDirReader):
    pass


@pytest.mark.parametrize(
    ("cls", "app_root", "expected"),
    [
        (AssetDirReader, Path("/srv/app"), "AssetDirReader"),
        (AssetDirReader, Path("elsewhere"), "AssetDirReader"),
        (RenamedReader, Path("/srv/app"), "RenamedReader"),
    ],
)
def test_str_is_just_the_class_name(cls, app_root, expected):
    assert str(cls(app_root)) == expected


# ---- iter_static ----


@pytest.mark.parametrize(
    "tree",
    [{}, {"static": "not a directory"}, {"options": {"a.css": ""}}],
    ids=["no-static", "static-is-a-file", "static-elsewhere"],
)
def test_no_static_directory_yields_nothing(tmp_path, tree):
    build_tree(tmp_path, tree)
    assert list(AssetDirReader(tmp_path).iter_static()) == []


def test_yields_every_regular_file_in_listing_order(tmp_path):
    build_tree(
        tmp_path,
        {
            "static": {
                "style.css": "",
                "images": {"logo.png": ""},  # a subdirectory, never looked into
                ".hidden": "",
                "LICENSE": "",
            },
            "top.css": "",  # the root itself is not listed
        },
    )
    static = tmp_path / "static"
    expected = [static / name for name in os.listdir(static) if name != "images"]
    reader = AssetDirReader(tmp_path)
    first, second = reader.iter_static(), reader.iter_static()
    assert next(second) == expected[0]
    assert list(first) == expected
    assert list(second) == expected[1:]


def test_walk_follows_the_listing_lazily_and_yields_the_listed_items():
    log = []
    root = RecordingPath({"static": {"z.css": "", "sub": {}, "a.js": ""}}, log)
    gen = AssetDirReader(root).iter_static()
    assert log == []
    item = next(gen)
    assert type(item) is RecordingPath and str(item) == "root/static/z.css"
    assert log == [
        ("/", "root", "static"),
        ("exists", "root/static"),
        ("is_dir", "root/static"),
        ("iterdir", "root/static"),
        ("is_file", "root/static/z.css"),
    ]
    del log[:]
    assert [str(p) for p in gen] == ["root/static/a.js"]
    assert log == [("is_file", "root/static/sub"), ("is_file", "root/static/a.js")]


def test_missing_static_directory_is_only_asked_whether_it_exists():
    log = []
    assert list(AssetDirReader(RecordingPath({}, log)).iter_static()) == []
    assert log == [("/", "root", "static"), ("exists", "root/static")]


def test_permission_error_from_the_listing_surfaces_from_next():
    gen = AssetDirReader(RecordingPath({"static": UNREADABLE}, [])).iter_static()
    with pytest.raises(PermissionError):
        next(gen)
    assert list(gen) == []


# ---- references ----


@pytest.mark.leakcheck
@pytest.mark.parametrize("outcome", ["listing", "error"])
def test_no_leak(tmp_path, no_leak, outcome):
    if outcome == "listing":
        build_tree(tmp_path, {"static": {"a.css": "", "b": {}, "c.js": ""}})
        reader = AssetDirReader(tmp_path)

        def operation():
            assert len(list(reader.iter_static())) == 2

    else:
        # A log that keeps nothing, so only the reader could grow.
        reader = AssetDirReader(RecordingPath({"static": UNREADABLE}, deque(maxlen=0)))

        def operation():
            with pytest.raises(PermissionError):
                next(reader.iter_static())

    no_leak(operation, calls=300)
