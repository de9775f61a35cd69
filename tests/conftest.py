import importlib
import sys
import types

import pytest

from leakcheck import assert_no_leak


@pytest.fixture
def no_leak():
    """The leak check, for tests marked `leakcheck`: `no_leak(lambda: op())`."""
    return assert_no_leak


def _without(module: types.ModuleType, names: set[str]) -> types.ModuleType:
    """A stand-in for `module` that lacks `names` (and __path__, so no submodule is tried)."""
    fake = types.ModuleType(module.__name__)
    fake.__dict__.update(
        (k, v) for k, v in vars(module).items() if k not in names and k != "__path__"
    )
    lazy = vars(module).get("__getattr__")
    if lazy is not None:
        # A package that loads names lazily (pydantic) would hand the removed names out again.
        def __getattr__(name: str):
            if name in names:
                raise AttributeError(name)
            return lazy(name)

        fake.__getattr__ = __getattr__
    return fake


@pytest.fixture
def assert_import_order(monkeypatch):
    """Checks that importing `module_name` runs `steps` in order and stops at the first failure.

    `steps` lists `(module, None)` for `import module` and `(module, name)` for
    `from module import name`. For each step k, every step from k on is broken (the module
    hidden, or the name removed from it); the import must then fail with step k's own error,
    unchanged. With nothing broken the import must succeed.
    """

    def check(module_name: str, steps: list[tuple[str, str | None]]) -> None:
        for k, (mod, name) in enumerate(steps):
            with monkeypatch.context() as m:
                m.delitem(sys.modules, module_name, raising=False)
                missing: dict[str, set[str]] = {}
                hidden: set[str] = set()
                for later_mod, later_name in steps[k:]:
                    if later_name is None:
                        hidden.add(later_mod)
                    else:
                        missing.setdefault(later_mod, set()).add(later_name)
                for later_mod, names in missing.items():
                    if later_mod not in hidden:
                        real = importlib.import_module(later_mod)
                        m.setitem(sys.modules, later_mod, _without(real, names))
                for later_mod in hidden:
                    m.setitem(sys.modules, later_mod, None)
                with pytest.raises(ImportError) as info:
                    importlib.import_module(module_name)
                if name is None:
                    assert type(info.value) is ModuleNotFoundError, (k, mod)
                    assert str(info.value) == f"import of {mod} halted; None in sys.modules"
                else:
                    assert type(info.value) is ImportError, (k, mod, name)
                    assert str(info.value) == f"cannot import name {name}"
                assert module_name not in sys.modules
        with monkeypatch.context() as m:
            m.delitem(sys.modules, module_name, raising=False)
            fresh = importlib.import_module(module_name)
            for mod, name in steps:
                bound = name if name is not None else mod.partition(".")[0]
                expected = importlib.import_module(mod)
                if name is not None:
                    expected = getattr(expected, name)
                else:
                    expected = sys.modules[bound]
                assert getattr(fresh, bound) is expected, bound

    return check
