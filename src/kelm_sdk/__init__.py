"""Application SDK for cooperating containers."""

from importlib.metadata import version as _version

# The version is set in pyproject.toml alone; this reads the installed metadata.
__version__ = _version("kelm-sdk-stashel")
