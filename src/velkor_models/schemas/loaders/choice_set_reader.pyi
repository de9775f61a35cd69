import logging
from collections.abc import Iterator
from pathlib import Path

from velkor_models.schemas.loaders.base import OptionsLoaderBase
from velkor_models.schemas.records.options import OptionSchema

logger: logging.Logger

class ChoiceSetReader(OptionsLoaderBase):
    _app_root: Path
    def __init__(self, config_dir: Path) -> None: ...
    def iter_options(self) -> Iterator[OptionSchema]: ...
    def iter_json_files(self) -> Iterator[Path]: ...
    @staticmethod
    def read_options_from_file(json_file: Path) -> Iterator[OptionSchema]: ...
