# The two entry points a newcomer needs; both set everything up from nothing.
.PHONY: example test dev

dev:
	tools/dev_install.sh

test: dev
	PYTHONDEVMODE=1 PYTHONFAULTHANDLER=1 .venv/bin/python -m pytest

example: dev
	.venv/bin/python -c "import velkor_models.utils.files as f; print(f.convert_data_to_base64('hello'))"
