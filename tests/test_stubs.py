# The .pyi stubs shipped beside the native modules must match what the modules really offer (a
# module without a stub fails too), and the plain-Python command line must type-check against them.
# mypy comes with the test extra.
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NATIVE_MODULES = [
    "velkor_models.classes.builder.ast_generator.model_forge",
    "velkor_models.classes.builder.ast_generator.records",
    "velkor_models.classes.builder.ast_generator.helpers.emit_checker_def",
    "velkor_models.classes.builder.ast_generator.helpers.emit_literal_tree",
    "velkor_models.classes.builder.validators.choice_checks",
    "velkor_models.schemas.loaders.schema_dir_reader",
    "velkor_models.schemas.loaders.choice_set_reader",
    "velkor_models.schemas.loaders.asset_dir_reader",
    "velkor_models.schemas.utils.model_digest",
    "velkor_models.utils.files",
]


def mypy(tmp_path, *args):
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "mypy_cache")}
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT, env=env
    )


def test_stubs_match_the_runtime_signatures(tmp_path):
    result = mypy(tmp_path, "mypy.stubtest", *NATIVE_MODULES)
    assert result.returncode == 0, result.stdout + result.stderr


def test_command_line_type_checks_against_the_stubs(tmp_path):
    result = mypy(
        tmp_path, "mypy", "--strict", "src/velkor_models/cli.py", "examples/shop/try_models.py"
    )
    assert result.returncode == 0, result.stdout + result.stderr
