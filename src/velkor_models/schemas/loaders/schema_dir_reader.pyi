from collections.abc import Iterator
from pathlib import Path

from velkor_models.schemas.loaders.base import ConfigLoaderBase, ConfigReaderMixin
from velkor_utils.models.records.schema import ObjectSchema

MODEL_JSON_FILE: str

class CliConfigLoader(ConfigReaderMixin, ConfigLoaderBase):
    _config_dir: Path
    def __init__(self, config_dir: Path) -> None: ...
    def iter_configs(self) -> Iterator[ObjectSchema]: ...
    def iter_json_files(self) -> Iterator[Path]: ...
