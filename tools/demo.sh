#!/usr/bin/env bash
# The main job on a fresh machine: builds the package into .venv with the extras
# the README's examples use (images, videos, reports and batches) and compares the sample frames
# shipped with it, writing quillet-demo-diff.png.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
install_package "[video,report,batch]" py-release
.venv/bin/quillet demo "$@"
echo
echo "The quillet command is in .venv: run .venv/bin/quillet, or 'source .venv/bin/activate' first."
