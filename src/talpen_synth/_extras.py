"""Imports of the optional packages that the extras install.

The core install needs nothing beyond this package; every feature that needs
more asks for its module here, and a missing one fails with the extra that
installs it.
"""

from __future__ import annotations

import importlib
from types import ModuleType


class MissingExtra(ImportError):
    """An optional package is not installed. `feature` names what needed it,
    `package` the missing top-level package and `extra` the extra to install."""

    def __init__(self, feature: str, package: str, extra: str) -> None:
        super().__init__(f"{feature} needs {package}, which is not installed; "
                         f"install the extra with: pip install 'talpen_synth[{extra}]'", name=package)
        self.feature = feature
        self.package = package
        self.extra = extra


def require(module: str, extra: str, feature: str) -> ModuleType:
    """Imports `module`, or raises MissingExtra naming `feature` and `extra`."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise MissingExtra(feature, module.partition(".")[0], extra) from error
