"""Imports of the optional packages that the extras install.

The core install needs nothing beyond this package; every feature that needs
more asks for its module here, and a missing one fails with the extra that
installs it.
"""

from __future__ import annotations

import importlib
import sys
from types import ModuleType
from typing import NoReturn


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


# The packages of the `stats` extra that each command of the command line
# imports, by import name.
STATS_MODULES: dict[str, tuple[str, ...]] = {
    "report": ("numpy", "pandas", "scipy", "statsmodels", "arch", "matplotlib"),
    "compare": ("numpy", "pandas", "scipy", "statsmodels", "arch", "matplotlib"),
    "fit": ("numpy", "pandas", "scipy", "statsmodels", "ruptures"),
    "sample": ("numpy", "pandas", "scipy", "statsmodels", "ruptures"),
}


def missing_stats(feature: str) -> NoReturn:
    """Raises MissingExtra for `feature`, a module of the `stats` extra whose
    imports have just failed; call it in the `except ImportError` clause. An
    ImportError raised from inside a package names no module: then the first
    package of the extra that does not import is named."""
    error = sys.exc_info()[1]
    package = error.name if isinstance(error, ImportError) else None
    if package is None:
        for module in dict.fromkeys(m for ms in STATS_MODULES.values() for m in ms):
            try:
                importlib.import_module(module)
            except ImportError:
                package = module
                break
    raise MissingExtra(feature, (package or "a dependency").partition(".")[0], "stats") from error
