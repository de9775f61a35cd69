from collections.abc import Iterator
from pathlib import Path

from velkor_models.schemas.loaders.base import StaticsLoaderBase

class AssetDirReader(StaticsLoaderBase):
    _app_root: Path
    def __init__(self, app_root: Path) -> None: ...
    def iter_static(self) -> Iterator[Path]: ...
