# The two entry points a newcomer needs; both set everything up from nothing.
.PHONY: example test dev check

# Where `make example` writes the shop example's generated package (git ignores it).
EXAMPLE_OUT := example-out/models

dev:
	tools/dev_install.sh

test: dev
	PYTHONDEVMODE=1 PYTHONFAULTHANDLER=1 .venv/bin/python -m pytest

example: dev
	.venv/bin/velkor-models generate examples/shop/app --out $(EXAMPLE_OUT)
	.venv/bin/python examples/shop/try_models.py $(EXAMPLE_OUT)

# Every quality gate a change to the native core should pass, cheapest first.
check: test
	tools/check_format.sh
	tools/run_tidy.sh
	tools/run_sanitized.sh
	tools/memcheck.sh
