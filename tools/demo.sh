#!/usr/bin/env bash
# The main job on a fresh machine: builds the package into .venv and compares
# the sample frames shipped with it, writing quillet-demo-diff.png.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
install_package "[image]" py-release
.venv/bin/quillet demo "$@"
