"""Building classes the way a class statement does: metaclass choice, __prepare__, namespace
order, __set_name__ and __init_subclass__."""

import functools

import pytest

import velkor_models._vkrt_probe as p


@pytest.fixture
def build(monkeypatch):
    """p.build_class(bases), with the Dyn binding it leaves in the module undone afterwards."""
    monkeypatch.setattr(p, "Dyn", None, raising=False)
    return p.build_class


class RecordingNamespace(dict):
    """A namespace that sees every store: a plain dict store would bypass __setitem__."""

    def __init__(self):
        super().__init__()
        self.order = []

    def __setitem__(self, key, value):
        self.order.append(key)
        super().__setitem__(key, value)


def test_namespace_order_through_prepare(build):
    calls = []

    class Meta(type):
        @classmethod
        def __prepare__(mcls, name, bases, **kwds):
            ns = RecordingNamespace()
            calls.append((name, bases, kwds, ns))
            return ns

    class Base(metaclass=Meta):
        pass

    calls.clear()
    cls = build([Base])
    assert type(cls) is Meta
    [(name, bases, kwds, ns)] = calls
    assert (name, bases, kwds) == ("Dyn", (Base,), {})
    assert ns.order == ["__module__", "__qualname__", "__doc__", "__annotations__", "field", "method", "cached"]


def test_class_attributes(build):
    cls = build(())
    assert type(cls) is type
    assert p.Dyn is cls
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("Dyn", "Dyn", p.__name__)
    assert cls.__doc__ == "Built at call time."
    assert cls.__annotations__ == {"field": "int | None", "other": "'X'"}
    assert cls.field is None
    assert list(cls.__dict__)[:6] == ["__module__", "__doc__", "__annotations__", "field", "method", "cached"]
    obj = cls()
    assert obj.method() == (obj,)


def test_class_made_at_import():
    assert list(p.C.__dict__)[:5] == ["__module__", "__doc__", "__annotations__", "label", "f"]
    assert p.C.__doc__ == "A probe class."
    assert p.Forge.__doc__ is None
    assert "__annotations__" not in p.Forge.__dict__


def test_cached_property_gets_its_name_and_caches():
    descriptor = p.C.__dict__["cached"]
    assert isinstance(descriptor, functools.cached_property)
    assert descriptor.attrname == "cached"
    assert descriptor.__doc__ == "A fresh list, made once per instance."
    obj = p.C()
    first = obj.cached
    assert first == []
    assert obj.cached is first
    assert vars(obj)["cached"] is first
    assert p.C().cached is not first


def test_cached_property_is_the_module_global_at_class_creation(build, monkeypatch):
    class Recording(functools.cached_property):
        names = []

        def __set_name__(self, owner, name):
            Recording.names.append((owner.__name__, name))
            super().__set_name__(owner, name)

    monkeypatch.setattr(p, "cached_property", Recording)
    cls = build(())
    assert type(cls.__dict__["cached"]) is Recording
    assert Recording.names == [("Dyn", "cached")]
    assert type(p.C.__dict__["cached"]) is functools.cached_property  # made at import

    monkeypatch.delattr(p, "cached_property")
    with pytest.raises(NameError, match="^name 'cached_property' is not defined$"):
        build(())


def test_init_subclass_runs(build):
    seen = []

    class Base:
        def __init_subclass__(cls, **kwds):
            super().__init_subclass__(**kwds)
            seen.append(cls)

    cls = build([Base])
    assert seen == [cls]
    assert cls.__mro__ == (cls, Base, object)


def test_most_derived_metaclass_wins(build):
    class M1(type):
        pass

    class M2(M1):
        pass

    class A(metaclass=M1):
        pass

    class B(metaclass=M2):
        pass

    assert type(build([A, B])) is M2
    assert type(build([B, A])) is M2


def test_metaclass_conflict(build):
    class M1(type):
        pass

    class M2(type):
        pass

    class A(metaclass=M1):
        pass

    class B(metaclass=M2):
        pass

    with pytest.raises(TypeError) as info:
        build([A, B])
    assert str(info.value) == (
        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
        "subclass of the metaclasses of all its bases"
    )


def test_errors_from_prepare_and_the_metaclass_propagate(build):
    class Refusing(type):
        @classmethod
        def __prepare__(mcls, name, bases):
            if name == "Dyn":
                raise LookupError("no namespace")
            return {}

    class Base(metaclass=Refusing):
        pass

    with pytest.raises(LookupError, match="^no namespace$"):
        build([Base])

    class Final:
        def __init_subclass__(cls):
            raise TypeError("final")

    with pytest.raises(TypeError, match="^final$"):
        build([Final])


@pytest.mark.leakcheck
def test_no_leak(build, no_leak):
    no_leak(lambda: build(()), calls=200)
