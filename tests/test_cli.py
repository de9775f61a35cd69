import base64
import importlib
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from pydantic import ValidationError

import velkor_models.cli as cli
from velkor_models.classes.model import Reference
from velkor_models.schemas.utils.model_digest import calculate_model_digest
from velkor_utils.models.records.schema import ObjectSchema

EXAMPLE_APP = Path(__file__).resolve().parents[1] / "examples" / "shop" / "app"
TRY_MODELS = EXAMPLE_APP.parent / "try_models.py"
MODELS = {
    "Customer": "customer",
    "GiftOrder": "gift_order",
    "Money": "money",
    "Order": "order",
    "OrderLine": "order_line",
    "PostalAddress": "postal_address",
    "Product": "product",
}
GOOD_ORDER = {
    "id": "o-1",
    "customer": {"id": "c-1"},
    "lines": [
        {
            "product": {"id": "p-1"},
            "quantity": 3,
            "unit_price": {"amount_minor": 250, "currency": "EUR"},
        }
    ],
    "status": "paid",
}


@pytest.fixture
def app(tmp_path):
    """A private copy of the shop example, free to break."""
    return Path(shutil.copytree(EXAMPLE_APP, tmp_path / "app"))


@pytest.fixture
def out(tmp_path):
    return tmp_path / "gen" / "models"


@pytest.fixture
def run(capsys):
    def run(*args: object) -> tuple[int, str, str]:
        status = cli.main([str(arg) for arg in args])
        captured = capsys.readouterr()
        return status, captured.out, captured.err

    return run


@pytest.fixture
def load(monkeypatch):
    """Imports a generated package from its directory; forgets it again afterwards."""

    def forget(name):
        for loaded in [m for m in sys.modules if m == name or m.startswith(f"{name}.")]:
            del sys.modules[loaded]

    names = []

    def load(package_dir: Path):
        monkeypatch.syspath_prepend(str(package_dir.parent))
        forget(package_dir.name)
        importlib.invalidate_caches()
        names.append(package_dir.name)
        return importlib.import_module(package_dir.name)

    yield load
    for name in names:
        forget(name)


def edit_schema(app: Path, folder: str, **changes):
    path = app / "config" / folder / "model.json"
    schema = json.loads(path.read_text())
    schema.update(changes)
    path.write_text(json.dumps(schema))


def add_property(app: Path, folder: str, name: str, prop: dict):
    path = app / "config" / folder / "model.json"
    schema = json.loads(path.read_text())
    schema["properties"][name] = prop
    path.write_text(json.dumps(schema))


def snapshot(out: Path) -> dict[str, tuple[int, str]]:
    return {p.name: (p.stat().st_mtime_ns, p.read_text()) for p in sorted(out.iterdir())}


# ---- the example, end to end ----


def test_example_generates_a_package_that_validates(app, out, run, load):
    status, stdout, err = run("generate", app, "--out", out)
    assert (status, err) == (0, "")
    assert stdout.splitlines()[-1] == "7 generated, 0 unchanged, 0 skipped, 0 failed"
    assert sorted(p.name for p in out.iterdir()) == sorted(
        [f"{m}.py" for m in MODELS.values()] + ["__init__.py", "static_files.py"]
    )

    models = load(out)
    assert models.__all__ == sorted(MODELS)
    order = models.Order.model_validate(GOOD_ORDER)
    assert order.total_minor() == 750
    assert str(order.lines[0].unit_price) == "2.50 EUR"  # custom __str__ of Money
    # A value outside its option set is refused with the option validator's message.
    with pytest.raises(ValidationError) as info:
        models.Order.model_validate({**GOOD_ORDER, "status": "lost"})
    assert (
        "Value=lost doesn't match available options: ['draft', 'placed', 'paid', 'shipped', 'cancelled']."
        in str(info.value)
    )
    with pytest.raises(ValidationError, match="Value=XX doesn't match available options"):
        models.PostalAddress(street="s", city="c", postcode="p", country="XX")
    # A list property takes its options element by element.
    price = {"amount_minor": 1, "currency": "NOK"}
    product = {"sku": "s", "title": "t", "price": price, "category": "books"}
    assert models.Product(**product, labels=["eco", "new"]).labels == ["eco", "new"]
    with pytest.raises(ValidationError, match=r"Value=\['eco', 'used'\] doesn't match"):
        models.Product(**product, labels=["eco", "used"])
    # The union with a reference takes an embedded model or, failing that, a reference.
    embedded = {"id": "c-1", "name": "Ada", "email": "Ada@Example.org"}
    assert (
        type(models.Order.model_validate({**GOOD_ORDER, "customer": embedded}).customer)
        is models.Customer
    )
    assert order.customer == Reference(id="c-1")
    assert order.customer_ref() == order.customer
    # Custom code: an imported module and a validator method of the schema's own.
    assert models.Customer(**embedded).email == "ada@example.org"
    with pytest.raises(ValidationError, match="not an e-mail address"):
        models.Customer(id="c", name="n", email="nope")
    assert issubclass(models.GiftOrder, models.Order)
    # The fingerprint is that of the schema with its option set filled in.
    money = ObjectSchema.model_validate_json((app / "config" / "money" / "model.json").read_text())
    currency = money.properties["currency"].model_copy(
        update={"options": ["EUR", "NOK", "SEK", "USD"]}
    )
    resolved = money.model_copy(update={"properties": {**money.properties, "currency": currency}})
    assert models.Money.class_fingerprint == calculate_model_digest(resolved)
    with pytest.raises(AttributeError, match="has no attribute 'Nothing'"):
        models.Nothing

    static = importlib.import_module(f"{out.name}.static_files")
    for path in (app / "static").iterdir():
        assert static.read_static_file(path.name) == path.read_bytes()


def test_make_example_route_works_as_a_subprocess(app, out):
    """`python -m velkor_models` and the example's script, as `make example` runs them."""
    generate = subprocess.run(
        [sys.executable, "-m", "velkor_models", "generate", str(app), "--out", str(out)],
        capture_output=True,
        text=True,
    )
    assert generate.returncode == 0, generate.stderr
    tried = subprocess.run(
        [sys.executable, str(TRY_MODELS), str(out)], capture_output=True, text=True
    )
    assert tried.returncode == 0, tried.stderr
    assert "good order o-1001: customer Reference, line 1 Product, line 2 Reference" in tried.stdout
    assert "bad order rejected: status: Value error, Value=lost doesn't match" in tried.stdout


@pytest.mark.parametrize(
    "contents",
    [b"", b"abcd", b"aGVsbG8=", b"\x00\xff\xfe binary", "naïve text\n".encode()],
    ids=["empty", "looks-like-base64", "is-base64", "binary", "utf8"],
)
def test_static_files_come_back_byte_for_byte(app, out, run, load, contents):
    (app / "static" / "sample.bin").write_bytes(contents)
    assert run("generate", app, "--out", out)[0] == 0
    load(out)
    static = importlib.import_module(f"{out.name}.static_files")
    assert static.read_static_file("sample.bin") == contents
    assert base64.b64decode(static.STATIC_FILES["sample.bin"]) == contents


# ---- incremental runs ----


def test_second_run_does_no_work(app, out, run, monkeypatch):
    run("generate", app, "--out", out)
    before = snapshot(out)

    def no_generation(*args, **kwargs):
        raise AssertionError("a model was generated again")

    monkeypatch.setattr(cli, "_render_model", no_generation)
    status, stdout, _ = run("generate", app, "--out", out)
    assert status == 0
    assert "unchanged Order (order.py): schema fingerprint matches" in stdout
    assert stdout.splitlines()[-1] == "0 generated, 7 unchanged, 0 skipped, 0 failed"
    assert snapshot(out) == before  # not even __init__.py or static_files.py is rewritten


def _add_property(app):
    add_property(app, "money", "note", {"type": "string"})


def _edit_option_set(app):
    path = app / "options" / "currencies.json"
    path.write_text(path.read_text().replace('"USD"', '"USD", "GBP"'))


def _move_address_module(app):
    edit_schema(app, "postal_address", module="address")


@pytest.mark.parametrize(
    "change, regenerated",
    [
        (_add_property, {"Money"}),
        # The options are part of the fingerprint: editing a set regenerates its users only.
        (_edit_option_set, {"Money"}),
        # Models that import a moved model regenerate although their schemas did not change.
        (_move_address_module, {"PostalAddress", "Customer", "Order"}),
    ],
    ids=["schema", "option-set", "imported-module"],
)
def test_only_affected_models_are_regenerated(app, out, run, load, change, regenerated):
    run("generate", app, "--out", out)
    change(app)
    status, stdout, _ = run("generate", app, "--out", out)
    assert status == 0
    generated = {line.split()[1] for line in stdout.splitlines() if line.startswith("generated ")}
    assert generated == regenerated
    assert load(out).Order.model_validate(GOOD_ORDER).status == "paid"


def test_force_regenerates_every_model(app, out, run):
    run("generate", app, "--out", out)
    status, stdout, _ = run("generate", app, "--out", out, "--force", "--quiet")
    assert (status, stdout) == (0, "7 generated, 0 unchanged, 0 skipped, 0 failed\n")


# ---- failures ----


def _write(relative: str, text: str):
    def change(app):
        (app / relative).parent.mkdir(parents=True, exist_ok=True)
        (app / relative).write_text(text)

    return change


@pytest.mark.parametrize(
    "change, bad_file, message, failed_models",
    [
        (
            _write("config/money/model.json", "{not json"),
            "config/money/model.json",
            "not a UTF-8 JSON file",
            {"Money"},
        ),
        (
            lambda app: edit_schema(app, "money", schema_type="BOGUS"),
            "config/money/model.json",
            "schema_type 'BOGUS' is not one of OBJECT, TYPE",
            {"Money"},
        ),
        (
            lambda app: edit_schema(app, "order_line", custom_code="def broken(self:\n    pass\n"),
            "config/order_line/model.json",
            "OrderLine: custom code does not parse: ",
            {"OrderLine"},
        ),
        (
            lambda app: add_property(
                app, "product", "kind", {"type": "string", "options_set": "nope"}
            ),
            "config/product/model.json",
            "Product: property 'kind': option set 'nope' is not defined in options/",
            {"Product"},
        ),
        (
            _write("options/more.json", '{"name": "currencies", "options": ["EUR"]}'),
            "options/more.json",
            "option set 'currencies' is defined more than once",
            {"Money"},
        ),
        (
            _write("config/copy/model.json", '{"name": "Money"}'),
            "config/copy/model.json",
            "model Money is defined more than once (also in",
            {"Money"},
        ),
        (
            _write("config/copy/model.json", '{"name": "Cash", "module": "money"}'),
            "config/copy/model.json",
            "module money.py is also the module of Money",
            {"Money"},
        ),
        (
            _write("config/statics/model.json", '{"name": "Statics", "module": "static_files"}'),
            "config/statics/model.json",
            "module name 'static_files' is reserved",
            {"Statics"},
        ),
    ],
    ids=[
        "bad-json",
        "bad-schema",
        "custom-code",
        "unknown-option-set",
        "duplicate-option-set",
        "duplicate-model",
        "shared-module",
        "reserved-module",
    ],
)
def test_a_broken_input_fails_alone(app, out, run, change, bad_file, message, failed_models):
    change(app)
    status, stdout, err = run("generate", app, "--out", out)
    assert status == 1
    assert f"error: {app / bad_file}" in err
    assert message in err
    assert re.search(r", [1-9][0-9]* failed$", stdout.splitlines()[-1])
    written = {p.stem for p in out.glob("*.py")}
    for name, module in MODELS.items():
        assert (module in written) == (name not in failed_models), name
    assert {"__init__", "static_files"} <= written


def test_a_failed_model_keeps_its_previous_module(app, out, run, load):
    run("generate", app, "--out", out)
    old = (out / "order_line.py").read_text()
    add_property(app, "order_line", "kind", {"type": "string", "options_set": "nope"})
    assert run("generate", app, "--out", out)[0] == 1
    assert (out / "order_line.py").read_text() == old
    assert load(out).OrderLine.model_validate(GOOD_ORDER["lines"][0]).quantity == 3


def test_a_model_json_that_is_not_a_file_is_skipped(app, out, run):
    (app / "config" / "odd" / "model.json").mkdir(parents=True)
    status, stdout, _ = run("generate", app, "--out", out)
    assert status == 0
    assert f"skipped {app / 'config' / 'odd' / 'model.json'}: not a schema file" in stdout
    assert stdout.splitlines()[-1] == "7 generated, 0 unchanged, 1 skipped, 0 failed"


def test_a_file_not_written_by_the_command_is_never_replaced(app, out, run):
    out.mkdir(parents=True)
    (out / "money.py").write_text("# my own money module\n")
    status, _, err = run("generate", app, "--out", out, "--force")
    assert status == 1
    assert "was not written by velkor-models; move it away" in err
    assert (out / "money.py").read_text() == "# my own money module\n"


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_interrupted_write_keeps_the_old_module(app, out, run, monkeypatch, failing):
    run("generate", app, "--out", out)
    old = (out / "money.py").read_text()
    _add_property(app)
    calls = []
    real = getattr(os, failing)

    def fail(*args):
        calls.append(args)
        if failing == "replace":
            assert Path(args[0]).parent == Path(args[1]).parent  # written beside the target
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, failing, fail)
    status, _, err = run("generate", app, "--out", out)
    monkeypatch.setattr(os, failing, real)
    assert calls and status == 1
    assert "No space left on device" in err and "Money" in err
    assert (out / "money.py").read_text() == old
    assert [p.name for p in out.iterdir() if p.name.endswith(".tmp")] == []
    # The next run finishes the job.
    assert run("generate", app, "--out", out)[0] == 0
    assert "note: Optional[str]" in (out / "money.py").read_text()


def test_written_files_follow_the_umask(app, out, run):
    old = os.umask(0o027)
    try:
        run("generate", app, "--out", out)
    finally:
        os.umask(old)
    assert {oct(p.stat().st_mode & 0o777) for p in out.iterdir()} == {oct(0o640)}


# ---- the command line itself ----


@pytest.mark.parametrize(
    "args, message",
    [
        (["generate", "{tmp}/missing", "--out", "{tmp}/models"], "is not a directory"),
        (["generate", "{tmp}/no_config", "--out", "{tmp}/models"], "the class schemas go there"),
        (
            ["generate", "{app}", "--out", "{tmp}/my-models"],
            "'my-models' is not a Python package name; name it with --package",
        ),
        (
            ["generate", "{app}", "--out", "{tmp}/m", "--package", "a.class"],
            "'a.class' is not a Python package name",
        ),
    ],
    ids=["no-app-root", "no-config-dir", "bad-dir-name", "bad-package"],
)
def test_usage_errors_exit_2(app, tmp_path, run, args, message):
    (tmp_path / "no_config").mkdir()
    status, _, err = run(*[a.format(tmp=tmp_path, app=app) for a in args])
    assert status == 2
    assert message in err
    assert not (tmp_path / "models").exists()


def test_package_option_names_the_imports_between_models(app, tmp_path, run, load):
    out = tmp_path / "shop" / "models"
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "__init__.py").write_text("")
    assert run("generate", app, "--out", out, "--package", "shop.models")[0] == 0
    assert "from shop.models.customer import Customer" in (out / "order.py").read_text()
    shop = load(tmp_path / "shop")
    assert importlib.import_module("shop.models").Order.model_validate(GOOD_ORDER).id == "o-1"
    assert shop.__name__ == "shop"


def test_help_explains_the_layout_and_options(capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(["generate", "--help"])
    assert info.value.code == 0
    text = capsys.readouterr().out
    for expected in [
        "config/<model>/model.json",
        "options/*.json",
        "static/*",
        "--out DIR",
        "--force",
        "--package NAME",
        "--no-progress",
        "exit status",
    ]:
        assert expected in text


@pytest.mark.parametrize(
    "flag, shown", [("--progress", True), ("--no-progress", False), (None, False)]
)
def test_progress_bar(app, out, run, flag, shown):
    status, _, err = run("generate", app, "--out", out, *([flag] if flag else []))
    assert status == 0
    assert ("0/7 [" in err) if shown else (err == "")
