from pathlib import Path

from velkor_models.schemas.loaders.utils import load_object_schema_from_json_file
from velkor_utils.models.records.schema import ObjectSchema


class ConfigReaderMixin:
    """Reads class schemas from the files a configuration loader finds."""

    def is_schema_file(self, json_file: Path) -> bool:
        """Tells whether ``json_file`` is a regular file with a ".json" suffix in any case."""
        path = Path(json_file)
        return path.is_file() and path.suffix.lower() == ".json"

    def read_configs_from_file(self, json_file: Path) -> list[ObjectSchema]:
        """Returns the class schemas of ``json_file``: one, or one per element of a list."""
        return load_object_schema_from_json_file(json_file, model_cls=ObjectSchema)


class ConfigLoaderBase:
    """Base of the loaders of an application's class schemas.

    A subclass offers ``iter_configs()``, yielding ``ObjectSchema`` records, and
    ``iter_json_files()``, yielding the paths they are read from. It sets up its own state; this
    base has none and no initialiser to call.
    """


class OptionsLoaderBase:
    """Base of the loaders of an application's option sets.

    A subclass offers ``iter_options()``, yielding ``OptionSchema`` records, and
    ``iter_json_files()``, yielding the paths they are read from. It sets up its own state; this
    base has none and no initialiser to call.
    """


class StaticsLoaderBase:
    """Base of the loaders of an application's static files.

    A subclass offers ``iter_static()``, yielding the paths of the static files. It sets up its
    own state; this base has none and no initialiser to call.
    """
