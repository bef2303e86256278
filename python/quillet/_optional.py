"""Imports of the optional libraries, each failing with the name of the extra that provides it."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["require_av", "require_numpy", "require_pillow", "require_report_library"]


def _require(module: str, library: str, extra: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{purpose} needs {library}, which is not installed; "
            f"install it with: pip install 'quillet[{extra}]'"
        ) from error


def require_numpy(purpose: str) -> ModuleType:
    """Return the ``numpy`` module, or raise ImportError naming the ``numpy`` extra."""
    return _require("numpy", "NumPy", "numpy", purpose)


def require_pillow(purpose: str) -> ModuleType:
    """Return the ``PIL.Image`` module, or raise ImportError naming the ``image`` extra."""
    return _require("PIL.Image", "Pillow", "image", purpose)


def require_av(purpose: str) -> ModuleType:
    """Return the ``av`` module (PyAV), or raise ImportError naming the ``video`` extra."""
    return _require("av", "PyAV", "video", purpose)


def require_report_library(purpose: str, module: str = "altair") -> ModuleType:
    """Return ``altair`` (or ``vl_convert``, which ships the chart scripts), naming the ``report`` extra."""
    library = {"altair": "Altair", "vl_convert": "vl-convert-python"}[module]
    return _require(module, library, "report", purpose)
