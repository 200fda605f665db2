"""Optional dependencies, imported only when a feature needs them."""
from __future__ import annotations

import importlib
from types import ModuleType


class MissingExtra(ImportError):
    """An optional package a feature needs is not installed; the text says how to get it."""


def require(module: str, extra: str, feature: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingExtra(f"{feature} needs {module.split('.')[0]}: pip install 'kivrun[{extra}]'") from None
