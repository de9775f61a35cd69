"""Directory trees for the loader tests: built on disk, or held in memory behind a path stand-in.

A tree is a dict: a dict value is a directory, a str value a regular file with that text, and
UNREADABLE a directory whose listing fails with PermissionError (the tests run as root, for whom
real permission bits do not stop a listing).
"""

from __future__ import annotations

from pathlib import Path, PurePosixPath

UNREADABLE = object()
_MISSING = object()


def build_tree(root: Path, tree: dict) -> None:
    """Creates `tree` under the existing directory `root`, entries in dict order."""
    for name, node in tree.items():
        path = root / name
        if isinstance(node, dict):
            path.mkdir()
            build_tree(path, node)
        else:
            path.write_text(node)


class RecordingPath:
    """A path over an in-memory tree that logs each operation made on it, in call order.

    Log entries are `(operation, path text)`, and `("/", path text, name)` for a join. Listings
    come out in dict order, so a tree written out of alphabetical order shows whether a caller
    sorts.
    """

    def __init__(self, tree: dict, log: list, parts: tuple[str, ...] = ()) -> None:
        self._tree = tree
        self._log = log
        self._parts = parts

    def __str__(self) -> str:
        return "/".join(("root", *self._parts))

    __repr__ = __str__

    def __eq__(self, other: object) -> bool:
        return isinstance(other, RecordingPath) and str(other) == str(self)

    def __hash__(self) -> int:
        return hash(str(self))

    def _node(self) -> object:
        node: object = self._tree
        for part in self._parts:
            if not isinstance(node, dict) or part not in node:
                return _MISSING
            node = node[part]
        return node

    def __truediv__(self, name: str) -> RecordingPath:
        self._log.append(("/", str(self), name))
        return RecordingPath(self._tree, self._log, (*self._parts, name))

    def exists(self) -> bool:
        self._log.append(("exists", str(self)))
        return self._node() is not _MISSING

    def is_dir(self) -> bool:
        self._log.append(("is_dir", str(self)))
        node = self._node()
        return isinstance(node, dict) or node is UNREADABLE

    def is_file(self) -> bool:
        self._log.append(("is_file", str(self)))
        return isinstance(self._node(), str)

    @property
    def suffix(self) -> str:
        self._log.append(("suffix", str(self)))
        return PurePosixPath(self._parts[-1]).suffix

    def iterdir(self):
        self._log.append(("iterdir", str(self)))
        node = self._node()
        if node is UNREADABLE:
            raise PermissionError(13, "Permission denied", str(self))
        if node is _MISSING:
            raise FileNotFoundError(2, "No such file or directory", str(self))
        if not isinstance(node, dict):
            raise NotADirectoryError(20, "Not a directory", str(self))
        return iter([RecordingPath(self._tree, self._log, (*self._parts, n)) for n in node])
