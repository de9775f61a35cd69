"""Module initialisation: the namespace it leaves, its import table and name lookup."""

import builtins
import functools
import importlib
import sys
import types

import velkor_models._vkrt_probe as p


def test_namespace(monkeypatch):
    # A fresh module: other tests rebind names of the shared one, which moves them in its dict.
    monkeypatch.delitem(sys.modules, p.__name__)
    fresh = importlib.import_module(p.__name__)
    names = list(vars(fresh))
    assert names[:7] == ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"]
    assert names[7:12] == ["cached_property", "g", "onearg", "noargs", "opts"]
    assert names[-2:] == ["C", "Forge"]
    assert fresh.__doc__ is None
    assert fresh.__builtins__ is builtins
    assert "__annotations__" not in vars(fresh)
    assert fresh.cached_property is functools.cached_property


def test_import_order(assert_import_order):
    assert_import_order("velkor_models._vkrt_probe", [("functools", "cached_property")])


def test_from_import_falls_back_to_sys_modules(monkeypatch):
    class Marker(functools.cached_property):
        pass

    fake = types.ModuleType("functools")
    monkeypatch.setitem(sys.modules, "functools", fake)
    monkeypatch.setitem(sys.modules, "functools.cached_property", Marker)
    monkeypatch.delitem(sys.modules, p.__name__)
    fresh = importlib.import_module(p.__name__)
    assert fresh is not p
    assert fresh.cached_property is Marker
    assert type(fresh.C.__dict__["cached"]) is Marker


def test_each_import_makes_its_own_types(monkeypatch):
    monkeypatch.delitem(sys.modules, p.__name__)
    fresh = importlib.import_module(p.__name__)
    assert type(fresh.g) is not type(p.g)
    assert type(fresh.simple(1)) is not type(p.simple(1))
    assert fresh.g.__globals__ is vars(fresh)
    assert list(fresh.simple(2)) == [0, 1]
