#!/usr/bin/env bash
# Runs the benchmarks: the C++ kernels against their floors and the frame
# cache, then (unless --cpp-only) the Python module against NumPy and OpenCV,
# still images against ImageMagick, OpenCV and scikit-image, and whole videos
# against FFmpeg's psnr filter.
# Usage: bash bench/run.sh [--cpp-only]
# QUILLET_KERNEL=scalar|avx2|avx512|neon forces the kernel the frame cache and
# the Python module use (the per-kernel table always shows every kernel).
# QUILLET_BENCH_PYTHON=/path/to/python uses an interpreter that already has
# quillet, NumPy (and optionally OpenCV) installed instead of .venv-bench.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S bench -B build/kernels-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/kernels-bench -j2 >/dev/null
./build/kernels-bench/quillet_bench

[ "${1:-}" = "--cpp-only" ] && exit 0

python="${QUILLET_BENCH_PYTHON:-}"
if [ -z "$python" ]; then
  if [ ! -x .venv-bench/bin/python ]; then
    source tools/common.sh
    "$(find_python)" -m venv .venv-bench
    .venv-bench/bin/pip install -q numpy
    .venv-bench/bin/pip install -q opencv-python-headless || echo "(OpenCV not installed)"
  fi
  python=.venv-bench/bin/python
  # The module as the sources are now, with the libraries its image and video readers use.
  "$python" -m pip install -q '.[video]' >/dev/null
fi
"$python" bench/python_bench.py

# Still images against ImageMagick, OpenCV and scikit-image (installed for the bench only).
if ! command -v compare >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq imagemagick >/dev/null
fi
"$python" -c "import cv2, skimage, PIL" 2>/dev/null ||
  "$python" -m pip install -q opencv-python-headless scikit-image Pillow || echo "(OpenCV / scikit-image not installed)"
"$python" bench/still_bench.py

# The standard figures against scikit-image, OpenCV and FFmpeg's ssim filter.
if ! command -v ffmpeg >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ffmpeg >/dev/null
fi
"$python" bench/standard_bench.py
if "$python" -c 'import distributed, pyarrow, av' 2>/dev/null; then "$python" bench/batch_bench.py; else echo "(batch benchmark skipped: it needs pip install '.[batch,video]')"; fi

# Whole videos against FFmpeg (clips made from scikit-image's photos; FFmpeg installed when missing).
"$python" -c "import av, skimage" 2>/dev/null || "$python" -m pip install -q av scikit-image Pillow
"$python" bench/video_bench.py
