"""``python -m velkor_models``: the same command line as ``velkor-models``."""

import sys

from velkor_models.cli import main

sys.exit(main())
