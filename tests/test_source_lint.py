"""Grep-level checks over the C++ sources of ext/ and runtime/.

Each rule looks at code with comments and string literals blanked out, so a docstring or a
comment that names a call does not trip it. A line may opt out of a rule with a trailing
`// lint-ok: <reason>` comment (or the same comment alone on the line above); the reason is
required.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted(p for d in ("ext", "runtime") for p in (ROOT / d).rglob("*") if p.suffix in {".cpp", ".hpp"})

LINT_OK = re.compile(r"//\s*lint-ok:\s*\S")

_CODE_NOISE = re.compile(
    r"""
      (?P<raw>R"(?P<delim>[^(\s"\\]{0,16})\((?:.|\n)*?\)(?P=delim)")
    | (?P<line>//[^\n]*)
    | (?P<block>/\*(?:.|\n)*?\*/)
    | (?P<str>"(?:\\.|[^"\\\n])*")
    | (?P<chr>'(?:\\.|[^'\\\n])+')
    """,
    re.VERBOSE,
)


def blank_noise(text: str) -> str:
    """The text with comments and string/char literals replaced by spaces (newlines kept)."""

    def blank(m: re.Match) -> str:
        s = m.group(0)
        if m.group("str") or m.group("raw") or m.group("chr"):
            return s[0] + re.sub(r"[^\n]", " ", s[1:-1]) + s[-1]
        return re.sub(r"[^\n]", " ", s)

    return _CODE_NOISE.sub(blank, text)


class Finding(tuple):
    __slots__ = ()

    def __new__(cls, path: str, line: int, rule: str, detail: str):
        return super().__new__(cls, (path, line, rule, detail))

    def __str__(self) -> str:
        return f"{self[0]}:{self[1]}: [{self[2]}] {self[3]}"


def line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


def matching_brace(code: str, open_at: int) -> int:
    """Index of the brace that closes the one at `open_at`."""
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "{":
            depth += 1
        elif code[i] == "}":
            depth -= 1
            if depth == 0:
                return i
    raise ValueError("unbalanced braces")


# ---- rules: each takes (path, code) and yields (offset, detail) ----

Rule = Callable[[str, str], Iterator[tuple[int, str]]]


def rule_refcount_macros(path: str, code: str) -> Iterator[tuple[int, str]]:
    """Module code owns references through Ref only."""
    if not path.startswith("ext/"):
        return
    for m in re.finditer(r"\bPy_X?(?:INC|DEC)REF\s*\(", code):
        yield m.start(), f"{m.group(0).rstrip('( ')} in module code: use vkrt::Ref"


def rule_pyerr_clear(path: str, code: str) -> Iterator[tuple[int, str]]:
    """Clearing an error is the job of the error.hpp helpers (clear_if, try_except)."""
    if path == "runtime/include/vkrt/error.hpp":
        return
    for m in re.finditer(r"\bPyErr_Clear\s*\(", code):
        yield m.start(), "PyErr_Clear outside the error.hpp helpers"


def rule_newer_api(path: str, code: str) -> Iterator[tuple[int, str]]:
    """Calls that CPython 3.12 does not have."""
    for m in re.finditer(
        r"\b(Py_mod_gil|PyUnstable_Module_SetGIL|PyModule_Add(?=\s*\()|PyDict_GetItemRef|"
        r"PyImport_ImportModuleAttrString)\b",
        code,
    ):
        yield m.start(), f"{m.group(1)} is newer than CPython 3.12"


def rule_static_global(path: str, code: str) -> Iterator[tuple[int, str]]:
    """A looked-up module global must be read at each use, never kept in a static."""
    for m in re.finditer(r"\bstatic\b[^;{}]*?=[^;]*?;", code):
        if re.search(r"\b(global|lookup_global)\s*\(|\bPyImport_Import\w*\s*\(", m.group(0)):
            yield m.start(), "a looked-up global or imported module cached in a static"


ENTRY_TABLES = re.compile(
    r"\b(PyMethodDef|PyGetSetDef|PyType_Slot|PyModuleDef_Slot)\s+(\w+)\s*\[\s*\]\s*=\s*\{"
)


def _definitions(code: str, name: str, scope: tuple[int, int] | None = None) -> list[tuple[int, str]]:
    """(offset, signature) of each definition of function `name`: the text from the name up to
    the opening brace of its body."""
    start, end = scope or (0, len(code))
    found = []
    for m in re.finditer(rf"(?<![\w.>:])(?:\w+::)*{re.escape(name)}\s*\(", code[start:end]):
        i = start + m.end()
        depth = 1
        while i < end and depth:
            depth += {"(": 1, ")": -1}.get(code[i], 0)
            i += 1
        tail = re.match(r"[^;{}()=]*", code[i:end]).group(0)
        after = i + len(tail)
        if after < end and code[after] == "{" and not re.match(r"\s*->\s*\w", tail or " x"):
            # a definition (not a call): preceded by a return type, not by an operator
            before = code[max(start, start + m.start() - 80) : start + m.start()]
            if re.search(r"[\w*&>]\s+$", before) and not re.search(r"\b(return|new|throw)\s+$", before):
                found.append((start + m.start(), code[start + m.start() : after]))
    return found


def _scope_of_alias(code: str, qualifier: str) -> tuple[int, int] | None:
    """The body of the class that `qualifier` names, following one `using X = Y<...>` alias."""
    alias = re.search(rf"\busing\s+{re.escape(qualifier)}\s*=\s*(\w+)", code)
    target = alias.group(1) if alias else qualifier
    head = re.search(rf"\b(?:struct|class)\s+{re.escape(target)}\b[^;{{]*\{{", code)
    if head is None:
        return None
    return head.end() - 1, matching_brace(code, head.end() - 1)


def rule_noexcept_entries(path: str, code: str) -> Iterator[tuple[int, str]]:
    """Every function whose address CPython holds through a method, getset or slot table is
    declared noexcept, so a missed C++ exception terminates instead of unwinding through C."""
    for table in ENTRY_TABLES.finditer(code):
        open_at = table.end() - 1
        body = code[open_at : matching_brace(code, open_at)]
        for ref in re.finditer(r"(?<![\w\"])((?:\w+::)*)(\w+)\b(?!\s*\()", body):
            qualifier, name = ref.group(1).rstrip(":").split("::")[-1], ref.group(2)
            if re.match(r"_?Py|METH_|READONLY|nullptr|reinterpret_cast|void|PyCFunction", name):
                continue
            scope = _scope_of_alias(code, qualifier) if qualifier else None
            if qualifier and scope is None:
                continue
            for offset, signature in _definitions(code, name, scope):
                if not re.search(r"\)\s*(const\s*)?noexcept\b", signature):
                    yield offset, f"{name} is in {table.group(2)} but is not noexcept"


RULES: dict[str, Rule] = {
    "refcount-macro": rule_refcount_macros,
    "pyerr-clear": rule_pyerr_clear,
    "newer-api": rule_newer_api,
    "static-global": rule_static_global,
    "noexcept-entry": rule_noexcept_entries,
}


def lint(path: str, text: str, rules: dict[str, Rule] = RULES) -> list[Finding]:
    code = blank_noise(text)
    lines = text.split("\n")
    findings = []
    for rule_name, rule in rules.items():
        for offset, detail in rule(path, code):
            n = line_of(code, offset)
            here, above = lines[n - 1], lines[n - 2] if n > 1 else ""
            if LINT_OK.search(here) or (above.strip().startswith("//") and LINT_OK.search(above)):
                continue
            findings.append(Finding(path, n, rule_name, detail))
    return list(dict.fromkeys(findings))  # one finding per place, however it was reached


def test_sources_are_found():
    names = {p.relative_to(ROOT).as_posix() for p in SOURCES}
    assert "runtime/include/vkrt/error.hpp" in names
    assert any(n.startswith("ext/") for n in names)


@pytest.mark.parametrize("source", SOURCES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_source_is_clean(source):
    path = source.relative_to(ROOT).as_posix()
    findings = lint(path, source.read_text())
    assert not findings, "\n".join(map(str, findings))


# ---- the rules themselves: each must fire on its fault and stay quiet otherwise ----

BAD = [
    ("refcount-macro", "ext/m.cpp", "void f(PyObject* o) {\n    Py_INCREF(o);\n}\n", 2),
    ("refcount-macro", "ext/m.cpp", "void f(PyObject* o) { Py_XDECREF(o); }\n", 1),
    ("pyerr-clear", "runtime/include/vkrt/ops.hpp", "void f() {\n    PyErr_Clear();\n}\n", 2),
    ("pyerr-clear", "ext/m.cpp", "void f() { PyErr_Clear(); }  // lint-ok:\n", 1),
    ("newer-api", "ext/m.cpp", "{Py_mod_gil, Py_MOD_GIL_NOT_USED},\n", 1),
    ("newer-api", "runtime/x.hpp", "int r = PyModule_Add(m, \"x\", v);\n", 1),
    ("newer-api", "ext/m.cpp", "PyDict_GetItemRef(d, k, &v);\n", 1),
    ("static-global", "ext/m.cpp", "Ref f(vkrt::Call& call) {\n    static Ref json = call.global(\"json\"_n);\n}\n", 2),
    ("static-global", "ext/m.cpp", "static PyObject* mod =\n    PyImport_ImportModule(\"json\");\n", 1),
    (
        "noexcept-entry",
        "runtime/x.hpp",
        "inline PyObject* meth(PyObject* s, PyObject*) { return s; }\n"
        "inline PyMethodDef methods[] = {\n    {\"meth\", meth, METH_NOARGS, nullptr},\n};\n",
        1,
    ),
    (
        "noexcept-entry",
        "runtime/x.hpp",
        "inline void dealloc(PyObject* self) {\n    free(self);\n}\n"
        "inline PyType_Slot slots[] = {\n    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},\n};\n",
        1,
    ),
    (
        "noexcept-entry",
        "runtime/x.hpp",
        "struct Field {\n    static int set(PyObject*, PyObject*, void*) { return 0; }\n};\n"
        "using NameField = Field;\n"
        "inline PyGetSetDef gs[] = {\n    {\"__name__\", nullptr, NameField::set, nullptr, nullptr},\n};\n",
        2,
    ),
]

GOOD = [
    ("refcount-macro", "runtime/include/vkrt/ref.hpp", "void f(PyObject* o) { Py_INCREF(o); }\n"),
    ("refcount-macro", "ext/m.cpp", "// Py_INCREF(o) is never needed here\nconst char* s = \"Py_DECREF(\";\n"),
    ("pyerr-clear", "runtime/include/vkrt/error.hpp", "void f() { PyErr_Clear(); }\n"),
    ("pyerr-clear", "runtime/include/vkrt/generator.hpp", "PyErr_Clear();  // lint-ok: the body ended as asked\n"),
    ("pyerr-clear", "ext/m.cpp", "// lint-ok: swallowed on purpose\nPyErr_Clear();\n"),
    ("pyerr-clear", "ext/m.cpp", 'constexpr const char* doc = R"(Calls PyErr_Clear() for you.)";\n'),
    ("newer-api", "ext/m.cpp", "PyModule_AddObjectRef(m, \"x\", v);\nPyDict_GetItemWithError(d, k);\n"),
    ("static-global", "ext/m.cpp", "Ref f(vkrt::Call& call) {\n    Ref json = call.global(\"json\"_n);\n}\n"),
    ("static-global", "runtime/x.hpp", "static PyObject* const name = PyUnicode_InternFromString(\"x\");\n"),
    (
        "noexcept-entry",
        "runtime/x.hpp",
        "inline PyObject* meth(PyObject* s, PyObject*) noexcept { return s; }\n"
        "inline PyMethodDef methods[] = {\n    {\"meth\", meth, METH_NOARGS, nullptr},\n"
        "    {nullptr, nullptr, 0, nullptr},\n};\n"
        "inline PyType_Slot slots[] = {\n    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},\n};\n",
    ),
]


@pytest.mark.parametrize(("rule", "path", "text", "line"), BAD, ids=lambda v: v if isinstance(v, str) and "\n" not in v else "")
def test_rule_fires(rule, path, text, line):
    findings = lint(path, text, {rule: RULES[rule]})
    assert [(f[1], f[2]) for f in findings] == [(line, rule)]


@pytest.mark.parametrize(("rule", "path", "text"), GOOD, ids=lambda v: v if isinstance(v, str) and "\n" not in v else "")
def test_rule_stays_quiet(rule, path, text):
    assert lint(path, text, {rule: RULES[rule]}) == []
