"""Compare many pairs of videos or image sequences on a Dask cluster, with results in Parquet.

>>> from quillet.batch import run_batch, VideoOptions, Thresholds     # doctest: +SKIP
>>> table = run_batch("pairs.csv", "results", thresholds=Thresholds(min_psnr=40))  # doctest: +SKIP
>>> table.select(["name", "verdict", "psnr_min"]).to_pylist()          # doctest: +SKIP

:func:`run_batch` takes a manifest CSV (``left,right[,name]``) or pairs given in Python, runs one
task per pair on a local cluster (or on the ``distributed.Client`` given) and writes
``OUT/frames/NAME.parquet`` per pair and ``OUT/pairs.parquet``, returning the latter's table. A
rerun skips the pairs whose results match their unchanged inputs. Needs the ``batch`` extra:
``pip install 'quillet[batch]'`` (Dask distributed, pyarrow, fsspec, tqdm).
"""

from ._batch import (
    FRAMES_FOLDER,
    PAIRS_FILE,
    BatchInterrupted,
    batch_status,
    frame_schema,
    pair_verdict,
    pairs_schema,
    run_batch,
)
from ._manifest import BatchPair, ManifestError, read_manifest
from ._thresholds import Thresholds
from ._video import VideoOptions

__all__ = [
    "FRAMES_FOLDER",
    "PAIRS_FILE",
    "BatchInterrupted",
    "BatchPair",
    "ManifestError",
    "Thresholds",
    "VideoOptions",
    "batch_status",
    "frame_schema",
    "pair_verdict",
    "pairs_schema",
    "read_manifest",
    "run_batch",
]
