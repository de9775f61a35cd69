"""Native functions at their boundary: binding messages, entry and result tests, the function
object's attributes, method binding and what `inspect`, `pickle` and `copy` see."""

import collections
import copy
import inspect
import pickle
import re
import sys
import types
import weakref

import pytest

import velkor_models._vkrt_probe as p

C = p.C
Forge = p.Forge


class S(str):
    pass


class MyList(list):
    pass


def run(expr: str, **names):
    return eval(expr, {"p": p, "C": C, "Forge": Forge, "obj": C(), "forge": Forge("n", flag=1), **names})


def raises_exactly(exc_type, message, expr, **names):
    with pytest.raises(exc_type) as info:
        run(expr, **names)
    assert type(info.value) is exc_type
    assert str(info.value) == message


# ---- binding ----

BINDING = [
    # def f(self, a, b) in class C
    ("obj.f(1)", "f() takes exactly 3 positional arguments (2 given)"),
    ("obj.f()", "f() takes exactly 3 positional arguments (1 given)"),
    ("obj.f(1, 2, 3)", "f() takes exactly 3 positional arguments (4 given)"),
    ("obj.f(b=1)", "f() takes exactly 3 positional arguments (1 given)"),
    ("obj.f(1, a=2)", "f() takes exactly 3 positional arguments (2 given)"),
    ("obj.f(1, 2, c=3)", "f() got an unexpected keyword argument 'c'"),
    ("obj.f(1, 2, a=3)", "f() got multiple values for keyword argument 'a'"),
    ("obj.f(1, c=3)", "f() takes exactly 3 positional arguments (2 given)"),
    ("obj.f(1, 2, 3, c=3)", "f() takes exactly 3 positional arguments (4 given)"),
    ("obj.f(1, 2, self=3)", "f() got multiple values for keyword argument 'self'"),
    ("C.f()", "f() takes exactly 3 positional arguments (0 given)"),
    ("C.f(1, 2)", "f() takes exactly 3 positional arguments (2 given)"),
    # def g(a, b, c, d, e=None)
    ("p.g()", "g() takes at least 4 positional arguments (0 given)"),
    ("p.g(1)", "g() takes at least 4 positional arguments (1 given)"),
    ("p.g(1, 2, 3)", "g() takes at least 4 positional arguments (3 given)"),
    ("p.g(1, 2, 3, e=5)", "g() takes at least 4 positional arguments (3 given)"),
    ("p.g(a=1, b=2, c=3)", "g() takes at least 4 positional arguments (3 given)"),
    ("p.g(b=1)", "g() takes at least 4 positional arguments (0 given)"),
    ("p.g(1, 2, d=1)", "g() takes at least 4 positional arguments (2 given)"),
    ("p.g(1, 2, 3, 4, 5, 6)", "g() takes at most 5 positional arguments (6 given)"),
    ("p.g(1, 2, 3, 4, 5, 6, e=1)", "g() takes at most 5 positional arguments (6 given)"),
    ("p.g(1, 2, 3, 4, 5, e=1)", "g() got multiple values for keyword argument 'e'"),
    ("p.g(1, 2, 3, d=4, e=5, f=6)", "g() got an unexpected keyword argument 'f'"),
    # def h(self, a, b, *, k) in class C
    ("obj.h(1, 2)", "h() needs keyword-only argument k"),
    ("obj.h(a=1, b=2)", "h() needs keyword-only argument k"),
    ("obj.h(1)", "h() takes exactly 3 positional arguments (2 given)"),
    ("obj.h(1, k=1)", "h() takes exactly 3 positional arguments (2 given)"),
    ("obj.h(1, 2, 3)", "h() takes exactly 3 positional arguments (4 given)"),
    ("obj.h(1, 2, 3, k=1)", "h() takes exactly 3 positional arguments (4 given)"),
    ("obj.h(1, 2, z=1)", "h() needs keyword-only argument k"),
    ("obj.h(1, 2, a=1)", "h() needs keyword-only argument k"),
    ("obj.h(1, 2, k=1, z=1)", "h() got an unexpected keyword argument 'z'"),
    ("C.h()", "h() takes exactly 3 positional arguments (0 given)"),
    # def add_class_property(self, property_name: str, property_config, *, is_required)
    ('forge.add_class_property("p", 0)', "add_class_property() needs keyword-only argument is_required"),
    ("forge.add_class_property(None, 0)", "add_class_property() needs keyword-only argument is_required"),
    ('forge.add_class_property("p")', "add_class_property() takes exactly 3 positional arguments (2 given)"),
    ('forge.add_class_property("p", 0, True)', "add_class_property() takes exactly 3 positional arguments (4 given)"),
    ('forge.add_class_property("p", 0, extra=1)', "add_class_property() needs keyword-only argument is_required"),
    (
        'forge.add_class_property("p", 0, is_required=True, extra=1)',
        "add_class_property() got an unexpected keyword argument 'extra'",
    ),
    (
        'forge.add_class_property("p", property_name="q", is_required=True)',
        "add_class_property() takes exactly 3 positional arguments (2 given)",
    ),
    (
        'forge.add_class_property("p", 0, property_name="q", is_required=True)',
        "add_class_property() got multiple values for keyword argument 'property_name'",
    ),
    # def method(self, x, y=None): the first bad keyword in call order decides
    ("obj.method(x=1, z=1, self=2)", "method() got an unexpected keyword argument 'z'"),
    ("obj.method(x=1, self=2, z=1)", "method() got multiple values for keyword argument 'self'"),
    ("Forge()", "__init__() takes exactly 2 positional arguments (1 given)"),
    ('Forge("n")', "__init__() needs keyword-only argument flag"),
    # one parameter: the general binder, never the interpreter's one-argument form
    ("p.onearg()", "onearg() takes exactly 1 positional argument (0 given)"),
    ("p.onearg(1, 2)", "onearg() takes exactly 1 positional argument (2 given)"),
    ("p.onearg(b=1)", "onearg() takes exactly 1 positional argument (0 given)"),
    ("obj.only_self(x=1)", "only_self() got an unexpected keyword argument 'x'"),
    ("C.only_self()", "only_self() takes exactly 1 positional argument (0 given)"),
    # no parameters: any keyword wins over positionals
    ("p.noargs(1)", "noargs() takes no arguments (1 given)"),
    ("p.noargs(1, 2)", "noargs() takes no arguments (2 given)"),
    ("p.noargs(a=1)", "noargs() takes no keyword arguments"),
    ("p.noargs(1, a=1)", "noargs() takes no keyword arguments"),
    # def opts(a, b=None, *, k, z=None): optional keyword-only parameters, singular counts
    ("p.opts()", "opts() takes at least 1 positional argument (0 given)"),
    ("p.opts(1, 2, 3)", "opts() takes at most 2 positional arguments (3 given)"),
    ("p.opts(1)", "opts() needs keyword-only argument k"),
    ("p.opts(1, z=1)", "opts() needs keyword-only argument k"),
    ("p.opts(1, k=1, q=1)", "opts() got an unexpected keyword argument 'q'"),
    ("p.opts(1, k=1, a=1)", "opts() got multiple values for keyword argument 'a'"),
    ("p.opts(b=1, k=1)", "opts() takes at least 1 positional argument (0 given)"),
    ("C.smeth()", "smeth() takes at least 1 positional argument (0 given)"),
    ("obj.smeth(1, 2, 3)", "smeth() takes at most 2 positional arguments (3 given)"),
]


@pytest.mark.parametrize(("expr", "message"), BINDING, ids=lambda v: v)
def test_binding_errors(expr, message):
    raises_exactly(TypeError, message, expr)


@pytest.mark.parametrize(
    ("expr", "bound"),
    [
        ("p.g(1, 2, 3, 4)", (1, 2, 3, 4, None)),
        ("p.g(1, 2, 3, d=4, e=5)", (1, 2, 3, 4, 5)),
        ("p.g(e=5, d=4, c=3, b=2, a=1)", (1, 2, 3, 4, 5)),
        ("p.onearg(a=7)", (7,)),
        ("p.noargs()", ()),
        ("p.opts(1, k=2)", (1, None, 2, None)),
        ("p.opts(1, 2, z=3, k=4)", (1, 2, 4, 3)),
        ("p.opts(k=4, a=1, b=2)", (1, 2, 4, None)),
        ("obj.smeth(1)", (1, None)),
        ("C.smeth(1, b=2)", (1, 2)),
        ('forge.add_class_property("p", 0, is_required=True)[1:]', ("p", 0, True)),
        ("obj.method(x=1)[1:]", (1, None)),
        ('vars(Forge("n", flag=1))', {"name": "n", "flag": 1}),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_binding_places_values(expr, bound):
    assert run(expr) == bound


def test_bound_self_is_the_instance_on_every_call_path():
    obj = C()
    assert obj.f(1, 2)[0] is obj
    assert C.f(obj, 1, 2)[0] is obj
    assert C.f(obj, b=2, a=1) == (obj, 1, 2)
    assert type(C.f).__call__(C.f, obj, a=1, b=2) == (obj, 1, 2)
    f = obj.f
    assert f(a=1, b=2) == (obj, 1, 2)


# ---- errors raised by the interpreter before the function runs ----


@pytest.mark.parametrize(
    ("expr", "message"),
    [
        ("p.onearg(a=1, **{'a': 2})", "velkor_models._vkrt_probe.onearg() got multiple values for keyword argument 'a'"),
        ("p.onearg(**[1])", "velkor_models._vkrt_probe.onearg() argument after ** must be a mapping, not list"),
        ("p.onearg(*1)", "velkor_models._vkrt_probe.onearg() argument after * must be an iterable, not int"),
        ("obj.f(*1)", "velkor_models._vkrt_probe.C.f() argument after * must be an iterable, not int"),
        ("p.onearg(**{1: 2})", "keywords must be strings"),
        ("type(p.onearg).__call__(p.onearg, **{1: 2})", "keywords must be strings"),
    ],
)
def test_call_site_errors(expr, message):
    raises_exactly(TypeError, message, expr)


def test_call_site_errors_follow_a_renamed_qualname(monkeypatch):
    monkeypatch.setattr(p.onearg, "__qualname__", "elsewhere.renamed")
    raises_exactly(TypeError, "velkor_models._vkrt_probe.elsewhere.renamed() argument after * must be an iterable, not int", "p.onearg(*1)")


def test_binding_messages_use_the_current_name(monkeypatch):
    monkeypatch.setattr(p.onearg, "__name__", "renamed")
    raises_exactly(TypeError, "renamed() takes exactly 1 positional argument (0 given)", "p.onearg()")


# ---- entry type tests ----


@pytest.mark.parametrize(
    ("expr", "message"),
    [
        ("p.typed(None, [])", "Argument 's' has incorrect type (expected str, got NoneType)"),
        ("p.typed(S('x'), [])", "Argument 's' has incorrect type (expected str, got S)"),
        ("p.typed(b'x', [])", "Argument 's' has incorrect type (expected str, got bytes)"),
        ("p.typed('x', None)", "Argument 'l' has incorrect type (expected list, got NoneType)"),
        ("p.typed('x', (1,))", "Argument 'l' has incorrect type (expected list, got tuple)"),
        ("p.typed('x', MyList())", "Argument 'l' has incorrect type (expected list, got MyList)"),
        ("p.typed('x', collections.OrderedDict())", "Argument 'l' has incorrect type (expected list, got collections.OrderedDict)"),
        ("p.typed('x', [], 1)", "Argument 'o' has incorrect type (expected str, got int)"),
        ("p.typed('x', [], o=S())", "Argument 'o' has incorrect type (expected str, got S)"),
        # declaration order, not call order
        ("p.typed(l=1, s=2)", "Argument 's' has incorrect type (expected str, got int)"),
        ("forge.register_class(None, None)", "Argument 'class_name' has incorrect type (expected str, got NoneType)"),
        ("forge.register_class(extend_type=1, class_name=2)", "Argument 'class_name' has incorrect type (expected str, got int)"),
        ("forge.register_class('A', S('x'))", "Argument 'extend_type' has incorrect type (expected str, got S)"),
        ("forge.add_class_property(None, 0, is_required=True)", "Argument 'property_name' has incorrect type (expected str, got NoneType)"),
        ("Forge(None, flag=1)", "Argument 'name' has incorrect type (expected str, got NoneType)"),
        # binding errors win over type errors
        ("p.typed(None)", "typed() takes at least 2 positional arguments (1 given)"),
        ("p.typed(None, None, z=1)", "typed() got an unexpected keyword argument 'z'"),
    ],
    ids=lambda v: v,
)
def test_entry_type_errors(expr, message):
    raises_exactly(TypeError, message, expr, S=S, MyList=MyList, collections=collections)


def test_entry_type_tests_pass_exact_types_and_the_none_default():
    assert p.typed("x", [1]) == ("x", [1], None)
    assert p.typed(l=[], s="y", o=None) == ("y", [], None)
    assert p.typed("x", [], "z") == ("x", [], "z")


def test_long_type_names_are_cut_at_200_characters():
    Long = type("L" * 300, (), {})
    with pytest.raises(TypeError) as info:
        p.typed(Long(), [])
    assert str(info.value) == f"Argument 's' has incorrect type (expected str, got {'L' * 200})"


# ---- result tests ----


class S2(str):
    pass


@pytest.mark.parametrize(
    ("func", "value", "message"),
    [
        (p.ret_str, 5, "Expected unicode, got int"),
        (p.ret_str, S2("x"), "Expected unicode, got S2"),
        (p.ret_str, collections.OrderedDict(), "Expected unicode, got collections.OrderedDict"),
        (p.ret_str, b"x", "Expected unicode, got bytes"),
        (p.ret_bytes, "", "Expected bytes, got str"),
        (p.ret_bytes, bytearray(), "Expected bytes, got bytearray"),
    ],
)
def test_result_type_errors(func, value, message):
    with pytest.raises(TypeError) as info:
        func(value)
    assert str(info.value) == message


@pytest.mark.parametrize(("func", "value"), [(p.ret_str, "x"), (p.ret_str, None), (p.ret_bytes, b"x"), (p.ret_bytes, None)])
def test_result_tests_pass_exact_type_and_none(func, value):
    assert func(value) is value


def test_str_property_tests_every_read():
    obj = C()
    obj.value = "text"
    assert obj.text == "text"
    obj.value = 5
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        obj.text
    obj.value = None
    assert obj.text is None
    assert C.text.__doc__ == "The value, which must be text."


def test_stray_cpp_exception_becomes_system_error():
    with pytest.raises(SystemError) as info:
        p.stray_cpp_exception()
    assert str(info.value) == "stray_cpp_exception: unexpected C++ exception: boom"


# ---- the function object ----


def test_function_type_and_inspect_predicates():
    f = p.g
    assert type(f).__name__ == "native_function"
    assert not inspect.isfunction(f)
    assert not inspect.isbuiltin(f)
    assert inspect.isroutine(f)
    assert inspect.ismethoddescriptor(f)
    assert callable(f)
    assert hash(f) == object.__hash__(f)
    assert f == f and f != p.onearg
    with pytest.raises(TypeError):
        type(f)()


@pytest.mark.parametrize(
    ("func", "signature"),
    [
        (p.g, "(a, b, c, d, e=None)"),
        (p.opts, "(a, b=None, *, k, z=None)"),
        (p.typed, "(s: 'str', l: 'list[Any]', o: 'str' = None) -> 'Any'"),
        (p.noargs, "()"),
        (C.method, "(self, x: 'int', y=None) -> \"'Any'\""),
        (C().method, "(x: 'int', y=None) -> \"'Any'\""),
        (C.h, "(self, a, b, *, k)"),
        (C().h, "(a, b, *, k)"),
        (C.smeth, "(a, b=None)"),
        (Forge("n", flag=1).add_class_property, "(property_name: 'str', property_config: 'PropertyData', *, is_required: 'bool') -> 'None'"),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_inspect_signature(func, signature):
    assert str(inspect.signature(func)) == signature


@pytest.mark.parametrize(
    ("func", "expected"),
    [(p.simple, True), (C.gen, True), (C().gen, True), (p.g, False), (C().f, False)],
    ids=["plain-gen", "class-gen", "bound-gen", "plain", "bound"],
)
def test_isgeneratorfunction(func, expected):
    assert inspect.isgeneratorfunction(func) is expected


def test_inspect_source_module_and_doc():
    with pytest.raises(TypeError):
        inspect.getsource(p.g)
    assert inspect.getmodule(p.g) is p
    assert inspect.getmodule(C.f) is p
    assert inspect.getdoc(p.typed) == "Tests argument types.\n\nIndented lines stay as written."


def test_method_binding():
    obj = C()
    assert C.f is C.__dict__["f"]
    assert C.f.__get__(None, C) is C.f
    bound = obj.f
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is C.f
    assert bound.__self__ is obj
    assert re.fullmatch(r"<bound method C\.f of <velkor_models\._vkrt_probe\.C object at 0x[0-9a-f]+>>", repr(bound))
    assert re.fullmatch(r"<function C\.f at 0x[0-9a-f]+>", repr(C.f))
    assert re.fullmatch(r"<function g at 0x[0-9a-f]+>", repr(p.g))


def test_module_function_stored_on_a_class_binds_like_a_method():
    class K:
        meth = p.onearg

    k = K()
    assert k.meth() == (k,)
    assert K.meth is p.onearg
    with pytest.raises(TypeError, match=r"^onearg\(\) takes exactly 1 positional argument \(2 given\)$"):
        k.meth(1)


def test_staticmethod_wrapper():
    wrapper = C.__dict__["smeth"]
    assert isinstance(wrapper, staticmethod)
    assert wrapper.__func__ is C.smeth
    assert wrapper.__wrapped__ is C.smeth
    assert C().smeth is C.smeth
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == ("smeth", "C.smeth", p.__name__)


def test_fixed_attributes():
    assert p.g.__name__ == "g"
    assert C.f.__qualname__ == "C.f"
    assert C.f.__module__ == "velkor_models._vkrt_probe"
    assert p.g.__globals__ is vars(p)
    assert C.f.__globals__ is vars(p)
    assert p.g.__closure__ is None
    assert p.g.__doc__ is None
    assert p.typed.__doc__ == "Tests argument types.\n\n    Indented lines stay as written.\n    "
    with pytest.raises(AttributeError):
        p.g.__globals__ = {}
    with pytest.raises(AttributeError):
        p.g.__code__ = None


@pytest.mark.parametrize(
    ("func", "defaults", "kwdefaults"),
    [
        (p.g, (None,), None),
        (p.opts, (None,), {"z": None}),
        (C.f, None, None),
        (C.h, None, None),
        (p.noargs, None, None),
    ],
    ids=lambda v: getattr(v, "__qualname__", ""),
)
def test_defaults(func, defaults, kwdefaults):
    assert func.__defaults__ == defaults
    assert func.__kwdefaults__ == kwdefaults


def test_annotations_are_texts():
    assert p.typed.__annotations__ == {"s": "str", "l": "list[Any]", "o": "str", "return": "Any"}
    assert C.method.__annotations__ == {"x": "int", "return": "'Any'"}
    assert p.g.__annotations__ == {}


@pytest.mark.parametrize(
    ("func", "argcount", "kwonly", "varnames", "flags", "line"),
    [
        (p.g, 5, 0, ("a", "b", "c", "d", "e"), 0x3, 1),
        (p.opts, 2, 2, ("a", "b", "k", "z"), 0x3, 12),
        (C.h, 3, 1, ("self", "a", "b", "k"), 0x3, 1),
        (p.simple, 1, 0, ("count",), 0x23, 30),
        (p.noargs, 0, 0, (), 0x3, 1),
    ],
    ids=lambda v: getattr(v, "__qualname__", ""),
)
def test_code_object(func, argcount, kwonly, varnames, flags, line):
    code = func.__code__
    assert code is func.__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, kwonly)
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_flags == flags
    assert code.co_firstlineno == line
    assert code.co_name == func.__name__
    assert code.co_filename == p.__file__


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_name_attributes_are_writable_with_str_only(attr):
    f = C.only_self
    original = getattr(f, attr)
    try:
        setattr(f, attr, "other")
        assert getattr(f, attr) == "other"
        for bad in (None, 1, b"x"):
            with pytest.raises(TypeError) as info:
                setattr(f, attr, bad)
            assert str(info.value) == f"{attr} must be set to a string object"
        with pytest.raises(TypeError) as info:
            delattr(f, attr)
        assert str(info.value) == f"{attr} must be set to a string object"
        assert getattr(f, attr) == "other"
    finally:
        setattr(f, attr, original)


def test_module_and_doc_are_writable(monkeypatch):
    f = p.noargs
    monkeypatch.setattr(f, "__module__", "elsewhere")
    assert f.__module__ == "elsewhere"
    monkeypatch.setattr(f, "__doc__", "Docs.")
    assert f.__doc__ == "Docs."
    del f.__doc__
    assert f.__doc__ is None


def test_dict_attribute(monkeypatch):
    f = p.opts
    monkeypatch.setattr(f, "marker", 1, raising=False)
    assert f.__dict__ == {"marker": 1}
    assert vars(f) is f.__dict__
    with pytest.raises(TypeError) as info:
        f.__dict__ = []
    assert str(info.value) == "setting function's dictionary to a non-dict"
    with pytest.raises(TypeError) as info:
        del f.__dict__
    assert str(info.value) == "function's dictionary may not be deleted"
    saved = f.__dict__
    try:
        f.__dict__ = {"other": 2}
        assert f.other == 2
        assert not hasattr(f, "marker")
    finally:
        f.__dict__ = saved


def test_annotations_are_writable_with_dict_only():
    f = p.ret_str
    saved = f.__annotations__
    try:
        f.__annotations__ = {"value": "int"}
        assert f.__annotations__ == {"value": "int"}
        with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
            f.__annotations__ = ["value"]
    finally:
        f.__annotations__ = saved


@pytest.mark.parametrize("attr", ["__self__", "__func__", "__wrapped__", "__signature__", "__text_signature__", "__type_params__"])
def test_absent_attributes(attr):
    assert not hasattr(p.g, attr)


def test_weakref():
    assert weakref.ref(p.g)() is p.g


@pytest.mark.parametrize("func", [p.g, C.f, C.smeth, Forge.__init__], ids=lambda f: f.__qualname__)
def test_pickle_and_copy_by_reference(func):
    assert pickle.loads(pickle.dumps(func)) is func
    assert copy.copy(func) is func
    assert copy.deepcopy(func) is func
    assert func.__reduce__() == func.__qualname__


# ---- references ----

REFCOUNTED_CALLS = [
    "p.g(x, x, x, x, x)",
    "p.g(x, x, x, d=x, e=x)",
    "p.g(x)",
    "p.g(x, x, x, x, x, x)",
    "p.g(x, x, x, x, a=x)",
    "p.g(x, x, x, x, q=x)",
    "p.opts(x, k=x, z=x)",
    "p.opts(x, z=x)",
    "p.typed(x, [x], o=x)",
    "p.typed('s', [x], o=None)",
    "p.ret_str(x)",
    "obj.f(x, b=x)",
    "obj.f(x, x, c=x)",
    "obj.text",
    "p.onearg(x, **{'a': x})",
    "C.smeth(x)",
    "Forge(x, flag=x)",
    "Forge('n', flag=x).add_class_property(x, x, is_required=x)",
    "forge.register_class(x, 'A')",
]


@pytest.mark.parametrize("expr", REFCOUNTED_CALLS)
def test_argument_refcounts_unchanged(expr):
    x = object()
    obj = C()
    obj.value = x
    names = {"p": p, "C": C, "Forge": Forge, "obj": obj, "forge": Forge("n", flag=1), "x": x}
    before = sys.getrefcount(x)
    for _ in range(3):
        try:
            result = eval(expr, names)
        except TypeError:
            pass
        else:
            del result
    assert sys.getrefcount(x) == before


# ---- leaks ----


def _swallow(op, exc=TypeError):
    def run_once():
        try:
            op()
        except exc:
            pass

    return run_once


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "op",
    [
        lambda: p.g(1, 2, 3, d=4),
        lambda: p.opts(1, k=2),
        _swallow(lambda: p.g(1, 2, 3, q=1)),
        _swallow(lambda: p.g(1, 2, 3, 4, 5, 6)),
        _swallow(lambda: p.opts(1)),
        _swallow(lambda: p.typed("x", None)),
        _swallow(lambda: p.ret_str(1)),
        _swallow(p.stray_cpp_exception, SystemError),
        lambda: C().f(1, b=2),
        lambda: C.method.__code__,
        lambda: p.opts.__kwdefaults__,
    ],
    ids=["call", "kwonly", "unexpected", "too-many", "missing-kwonly", "entry", "result", "stray", "method", "code", "kwdefaults"],
)
def test_no_leak(no_leak, op):
    no_leak(op)
