"""quillet: compare RGB video frames and draw where they differ.

>>> import quillet
>>> quillet.compare("before.png", "after.png")          # doctest: +SKIP
Metrics(ssim=0.99..., psnr=41.2..., mse=4.9..., max_diff=3121.0)

Arrays (NumPy) and images (Pillow) are accepted when those libraries are installed; importing
quillet needs neither. The native comparison lives in :mod:`quillet._core`.
"""

# The public names load their modules on first use (module __getattr__), so that
# ``import quillet`` and ``quillet --help`` stay quick; the extension modules, the
# comparison API and its dependencies load when something is first compared.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._api import (
        MAX_COMPARED_HEIGHT,
        MAX_COMPARED_WIDTH,
        MAX_SQUARED_DISTANCE,
        Comparison,
        DiffPicture,
        FrameComparer,
        Metrics,
        WrongThreadError,
        compare,
        compare_with_diff,
        compared_size,
    )
    from ._frames import Frame, FrameLike, as_frame
    from ._images import ImageReadError, ImageTooLargeError, MultiFrameImageError
    from ._standard import MsSsim, StandardMetrics, kernel_name, ms_ssim, standard_metrics
    from ._thresholds import Thresholds

# Public name -> the module that defines it.
_LAZY_NAMES = {
    "MAX_COMPARED_HEIGHT": "._limits",
    "MAX_COMPARED_WIDTH": "._limits",
    "MAX_SQUARED_DISTANCE": "._limits",
    "Comparison": "._api",
    "DiffPicture": "._api",
    "Frame": "._frames",
    "FrameComparer": "._api",
    "FrameLike": "._frames",
    "ImageReadError": "._images",
    "ImageTooLargeError": "._images",
    "Metrics": "._api",
    "MsSsim": "._standard",
    "MultiFrameImageError": "._images",
    "StandardMetrics": "._standard",
    "Thresholds": "._thresholds",
    "WrongThreadError": "._api",
    "as_frame": "._frames",
    "compare": "._api",
    "compare_with_diff": "._api",
    "compared_size": "._api",
    "kernel_name": "._standard",
    "ms_ssim": "._standard",
    "standard_metrics": "._standard",
}

__all__ = sorted(_LAZY_NAMES)


def __getattr__(name: str) -> object:
    module_name = _LAZY_NAMES.get(name)
    if module_name is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module_name, __name__), name)
    globals()[name] = value  # later lookups are plain attribute reads
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY_NAMES))
