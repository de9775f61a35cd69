"""Native generators: lazy start, send/throw/close, delegation to Python and native iterators,
finalisation and garbage collection."""

import collections.abc
import gc
import inspect
import pickle
import re
import sys
import types
import typing
import weakref

import pytest

import velkor_models._vkrt_probe as p


def recording(log, count=3, catch=()):
    """An inner generator that logs what reaches it: sent values, caught exceptions, closing."""
    try:
        for i in range(count):
            try:
                sent = yield i
            except catch as exc:
                log.append(("caught", exc))
            else:
                log.append(("sent", sent))
        return "inner-done"
    except GeneratorExit:
        log.append("exit")
        raise
    finally:
        log.append("finally")


class CloseOnly:
    """An iterator with close() but no send() or throw()."""

    def __init__(self, log, close_error=None):
        self.log = log
        self.close_error = close_error
        self.n = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.n += 1
        return self.n

    def close(self):
        self.log.append("closed")
        if self.close_error is not None:
            raise self.close_error


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def finished(g):
    with pytest.raises(StopIteration) as info:
        next(g)
    assert info.value.args == ()
    return True


# ---- creation and the object ----


def test_body_starts_at_the_first_next():
    g = p.simple("three")  # the body would fail reading its count
    with pytest.raises(TypeError):
        next(g)
    assert finished(g)
    log = []
    inner = recording(log)
    d = p.delegating(inner)
    assert inspect.getgeneratorstate(inner) == inspect.GEN_CREATED
    assert next(d) == 0
    assert inspect.getgeneratorstate(inner) == inspect.GEN_SUSPENDED


def test_entry_tests_run_at_the_call():
    with pytest.raises(TypeError, match=r"^Argument 'items' has incorrect type \(expected list, got tuple\)$"):
        p.each((1,))
    with pytest.raises(TypeError, match=r"^each\(\) takes exactly 1 positional argument \(0 given\)$"):
        p.each()


def test_generator_object():
    obj = p.C()
    g = obj.gen()
    for abc in (collections.abc.Generator, collections.abc.Iterator, collections.abc.Iterable, typing.Generator):
        assert isinstance(g, abc)
    assert not isinstance(g, types.GeneratorType)
    assert not inspect.isgenerator(g)
    assert iter(g) is g
    assert (g.__name__, g.__qualname__, g.__module__) == ("gen", "C.gen", "velkor_models._vkrt_probe")
    assert g.gi_code is p.C.gen.__code__
    assert g.gi_running is False
    assert g.gi_yieldfrom is None
    assert re.fullmatch(r"<generator object C\.gen at 0x[0-9a-f]+>", repr(g))
    assert weakref.ref(g)() is g
    assert not hasattr(g, "gi_suspended")
    with pytest.raises(AttributeError):
        g.x = 1
    with pytest.raises(TypeError, match=r"^cannot pickle 'native_generator' object$"):
        pickle.dumps(g)
    assert list(g) == [obj]


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_generator_names_are_writable_with_str_only(attr):
    g = p.simple(1)
    setattr(g, attr, "renamed")
    assert getattr(g, attr) == "renamed"
    with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
        setattr(g, attr, 1)
    assert p.simple.__name__ == "simple"


# ---- the protocol ----


def test_send_before_start():
    g = p.simple(3)
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        g.send(1)
    assert g.send(None) == 0
    assert g.send(5) == 1


def test_values_then_stop_iteration_and_nothing_after():
    g = p.simple(2)
    assert [next(g), next(g)] == [0, 1]
    assert finished(g)
    for value in (None, 5):
        with pytest.raises(StopIteration) as info:
            g.send(value)
        assert info.value.args == ()
    assert list(g) == []


@pytest.mark.parametrize("advance", [0, 1, 3], ids=["before-start", "after-start", "after-end"])
def test_close_returns_none(advance):
    g = p.simple(2)
    for _ in range(advance):
        next(g, None)
    assert g.close() is None
    assert g.close() is None
    assert finished(g)
    with pytest.raises(StopIteration):
        g.send(5)


def test_throw_before_start_finishes_the_generator():
    g = p.catching(ValueError)
    exc = ValueError("x")
    with pytest.raises(ValueError) as info:
        g.throw(exc)
    assert info.value is exc
    assert finished(g)
    with pytest.raises(StopIteration):
        g.send(5)


def test_throw_into_a_finished_generator_propagates_unchanged():
    g = p.simple(0)
    assert finished(g)
    exc = ValueError("z")
    with pytest.raises(ValueError) as info:
        g.throw(exc)
    assert info.value is exc


def test_exception_caught_by_the_body_resumes_it():
    g = p.catching(ValueError)
    assert next(g) == 1
    assert g.throw(ValueError("v")) == 1
    assert g.throw(ValueError) == 1
    with pytest.raises(KeyError):
        g.throw(KeyError("k"))
    assert finished(g)


def test_uncaught_thrown_exception_ends_the_generator():
    g = p.simple(3)
    next(g)
    with pytest.raises(ValueError, match="^v$"):
        g.throw(ValueError, "v")
    assert finished(g)


@pytest.mark.parametrize(
    ("args", "check"),
    [
        ((ValueError,), lambda e: type(e) is ValueError and e.args == ()),
        ((ValueError, "v"), lambda e: e.args == ("v",)),
        ((ValueError, ("a", "b")), lambda e: e.args == ("a", "b")),
        ((ValueError, None, None), lambda e: e.args == ()),
        ((LookupError, KeyError("k")), lambda e: type(e) is KeyError and e.args == ("k",)),
    ],
    ids=["class", "value", "tuple", "three-args", "instance-of-subclass"],
)
def test_throw_builds_the_exception_as_raise_does(args, check):
    g = p.simple(3)
    next(g)
    with pytest.raises(BaseException) as info:
        g.throw(*args)  # no DeprecationWarning either: warnings are errors here
    assert check(info.value)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((), "throw expected at least 1 argument, got 0"),
        ((ValueError, None, None, None), "throw expected at most 3 arguments, got 4"),
        ((ValueError("v"), "x"), "instance exception may not have a separate value"),
        ((1,), "raise: exception class must be a subclass of BaseException"),
        ((object,), "raise: exception class must be a subclass of BaseException"),
        ((ValueError, None, 1), "raise: arg 3 must be a traceback or None"),
    ],
)
def test_throw_argument_errors_leave_the_generator_usable(args, message):
    g = p.simple(3)
    next(g)
    with pytest.raises(TypeError) as info:
        g.throw(*args)
    assert str(info.value) == message
    assert next(g) == 1


def test_throw_attaches_the_given_traceback():
    try:
        raise ValueError("t")
    except ValueError as caught:
        tb = caught.__traceback__
    g = p.simple(3)
    next(g)
    with pytest.raises(ValueError) as info:
        g.throw(ValueError, None, tb)
    frames = []
    t = info.value.__traceback__
    while t is not None:
        frames.append(t)
        t = t.tb_next
    assert tb in frames


def test_close_on_a_generator_that_ignores_generator_exit(unraisable):
    g = p.catching(GeneratorExit)
    next(g)
    with pytest.raises(RuntimeError, match="^generator ignored GeneratorExit$"):
        g.close()
    assert g.send(None) == 1  # still suspended, so finalisation tries (and fails) again
    del g
    assert [str(u.exc_value) for u in unraisable] == ["generator ignored GeneratorExit"]
    g = p.catching(ValueError)
    next(g)
    assert g.close() is None


def test_stop_iteration_escaping_the_body():
    g = p.raises_stop()
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        next(g)
    assert type(info.value.__context__) is StopIteration
    assert info.value.__context__.args == ("x",)
    assert finished(g)


def test_running_flag_and_reentry():
    g = p.introspect()
    assert next(g) is True
    assert g.gi_running is False
    with pytest.raises(ValueError, match="^generator already executing$"):
        next(g)
    assert finished(g)


def test_stray_cpp_exception_in_a_body():
    with pytest.raises(SystemError, match="^gen_stray: unexpected C\\+\\+ exception: boom$"):
        next(p.gen_stray())


# ---- delegation ----


def test_delegation_passes_sent_values_and_resumes_after():
    log = []
    inner = recording(log)
    d = p.delegating(inner)
    assert next(d) == 0
    assert d.gi_yieldfrom is inner
    assert d.send("a") == 1
    assert d.send("b") == 2
    assert d.send("c") == "after"
    assert d.gi_yieldfrom is None
    assert log == [("sent", "a"), ("sent", "b"), ("sent", "c"), "finally"]
    assert finished(d)


def test_thrown_exception_caught_by_the_inner_generator():
    log = []
    d = p.delegating(recording(log, catch=ValueError))
    next(d)
    exc = ValueError("v")
    assert d.throw(exc) == 1
    assert log == [("caught", exc)]
    assert d.gi_yieldfrom is not None


def test_three_argument_throw_reaches_a_python_inner_generator_without_warning():
    log = []
    d = p.delegating(recording(log, catch=ValueError))
    next(d)
    assert d.throw(ValueError, "v", None) == 1  # warnings are errors here
    [(what, exc)] = log
    assert (what, type(exc), exc.args) == ("caught", ValueError, ("v",))


def test_inner_generator_reentering_the_outer_one():
    def reentrant():
        yield next(d)

    d = p.delegating(reentrant())
    with pytest.raises(ValueError, match="^generator already executing$"):
        next(d)
    assert finished(d)


@pytest.mark.parametrize(
    ("exc", "outcome"),
    [(ValueError("v"), ValueError), (KeyError("k"), "caught")],
    ids=["uncaught", "caught-by-outer"],
)
def test_thrown_exception_not_caught_by_the_inner_generator(exc, outcome):
    log = []
    d = p.delegating(recording(log))
    next(d)
    if outcome == "caught":
        assert d.throw(exc) == "caught"
    else:
        with pytest.raises(outcome) as info:
            d.throw(exc)
        assert info.value is exc
    assert log == ["finally"]
    assert d.gi_yieldfrom is None


def test_close_and_generator_exit_reach_the_inner_generator():
    log = []
    d = p.delegating(recording(log))
    next(d)
    assert d.close() is None
    assert log == ["exit", "finally"]
    assert finished(d)

    log = []
    d = p.delegating(recording(log))
    next(d)
    with pytest.raises(GeneratorExit):
        d.throw(GeneratorExit)
    assert log == ["exit", "finally"]
    assert finished(d)


def test_delegate_without_send_or_throw():
    d = p.delegating([1, 2, 3])
    assert next(d) == 1
    with pytest.raises(AttributeError, match="^'list_iterator' object has no attribute 'send'$"):
        d.send(5)
    assert finished(d)

    d = p.delegating([1, 2, 3])
    next(d)
    assert d.throw(KeyError("k")) == "caught"  # raised in the outer body, which catches it
    d = p.delegating([1, 2, 3])
    next(d)
    with pytest.raises(ValueError):
        d.throw(ValueError)
    assert finished(d)


def test_delegate_with_close_only():
    log = []
    d = p.delegating(CloseOnly(log))
    assert [next(d), next(d)] == [1, 2]
    assert d.throw(KeyError) == "caught"
    assert log == []  # a delegate without throw() is dropped, not closed
    log = []
    d = p.delegating(CloseOnly(log))
    next(d)
    d.close()
    assert log == ["closed"]
    error = OSError("close failed")
    d = p.delegating(CloseOnly(log, close_error=error))
    next(d)
    with pytest.raises(OSError) as info:
        d.close()
    assert info.value is error
    assert finished(d)


def test_delegate_close_lookup_error_is_unraisable(unraisable):
    class BadClose(CloseOnly):
        @property
        def close(self):
            raise OSError("lookup failed")

    seen = unraisable
    d = p.delegating(BadClose([]))
    next(d)
    assert d.close() is None
    assert [type(u.exc_value) for u in seen] == [OSError]


@pytest.mark.parametrize(
    ("inner", "expected"),
    [
        ([], ["after"]),
        (iter(()), ["after"]),
        ((x for x in "ab"), ["a", "b", "after"]),
        (p.simple(2), [0, 1, "after"]),
        (p.delegating(p.each([7])), [7, "after", "after"]),
        (map(lambda k: {}[k], ["missing"]), ["caught"]),
    ],
    ids=["empty-list", "empty-iterator", "genexpr", "native", "native-nested", "inner-raises"],
)
def test_delegation_to_iterables(inner, expected):
    assert list(p.delegating(inner)) == expected


def test_delegating_to_a_non_iterable():
    d = p.delegating(5)
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        next(d)


def test_nested_native_delegation_forwards_everything():
    log = []
    d = p.delegating(p.delegating(recording(log, catch=ValueError)))
    assert next(d) == 0
    assert d.send("a") == 1
    assert d.throw(ValueError("v")) == 2
    d.close()
    assert log[0] == ("sent", "a")
    assert log[2:] == ["exit", "finally"]


def test_python_generator_delegating_to_a_native_one(unraisable):
    def outer(inner):
        result = yield from inner
        yield ("returned", result)

    assert list(outer(p.simple(2))) == [0, 1, ("returned", None)]
    g = outer(p.catching(ValueError))
    assert next(g) == 1
    assert g.send(5) == 1
    assert g.throw(ValueError) == 1
    inner = p.catching(GeneratorExit)
    g = outer(inner)
    next(g)
    with pytest.raises(RuntimeError, match="^generator ignored GeneratorExit$"):
        g.close()
    del g, inner
    assert [str(u.exc_value) for u in unraisable] == ["generator ignored GeneratorExit"]


# ---- finalisation and collection ----


def test_dropping_a_started_generator_closes_its_delegate():
    log = []
    d = p.delegating(recording(log))
    next(d)
    del d
    assert log == ["exit", "finally"]


def test_finalisation_reports_an_ignored_generator_exit(unraisable):
    seen = unraisable
    unstarted = p.catching(GeneratorExit)
    del unstarted
    assert seen == []
    g = p.catching(GeneratorExit)
    next(g)
    del g
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError
    assert str(seen[0].exc_value) == "generator ignored GeneratorExit"


class Holder:
    pass


def _cycle_through_args():
    obj = p.C()
    obj.g = obj.gen()
    next(obj.g)
    return obj


def _cycle_through_a_local():
    holder = Holder()
    items = [holder]
    holder.g = p.each(items)
    next(holder.g)
    items.clear()  # now only the body's current item reaches back to the holder
    return holder


class OneShot:
    """An iterable that hands its iterator over and keeps no reference to it."""

    def __init__(self, it):
        self.it = it

    def __iter__(self):
        it, self.it = self.it, None
        return it


def _cycle_through_the_delegate():
    holder = Holder()
    holder.g = p.delegating(OneShot(iter([holder, holder])))
    next(holder.g)  # now only the delegate reaches back to the holder
    return holder


@pytest.mark.parametrize("make", [_cycle_through_args, _cycle_through_a_local, _cycle_through_the_delegate])
def test_generator_in_a_reference_cycle_is_collected(make):
    obj = make()
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def test_collected_cycle_closes_the_inner_generator():
    holder = Holder()
    log = []
    holder.g = p.delegating(recording(log))
    holder.inner_ref = holder  # self cycle keeps holder alive until collection
    next(holder.g)
    del holder
    gc.collect()
    assert log == ["exit", "finally"]


def test_generator_releases_its_arguments():
    x = object()
    before = sys.getrefcount(x)
    for run in (list, lambda g: next(g), lambda g: g.close(), lambda g: None):
        g = p.each([x])
        run(g)
        del g
    assert sys.getrefcount(x) == before


# ---- leaks ----


def _swallow(op, exc):
    def run_once():
        try:
            op()
        except exc:
            pass

    return run_once


def _throw_caught_then_close():
    d = p.delegating(recording([], catch=ValueError))
    next(d)
    d.throw(ValueError("v"))
    d.close()


def _throw_uncaught():
    d = p.delegating([1, 2])
    next(d)
    try:
        d.throw(ValueError("v"))
    except ValueError:
        pass


def _dropped_half_way():
    g = p.each([1, 2, 3])
    next(g)


@pytest.mark.leakcheck
@pytest.mark.parametrize(
    "op",
    [
        lambda: list(p.delegating(recording([]))),
        lambda: list(p.each([1, 2, 3])),
        _throw_caught_then_close,
        _throw_uncaught,
        _dropped_half_way,
        _swallow(lambda: p.simple(1).send(1), TypeError),
        _swallow(lambda: next(p.raises_stop()), RuntimeError),
        _swallow(lambda: list(p.introspect()), ValueError),
    ],
    ids=["delegated", "each", "throw-close", "throw-uncaught", "dropped", "send-before-start", "stop-iteration", "reentry"],
)
def test_no_leak(no_leak, op):
    no_leak(op, calls=500)
