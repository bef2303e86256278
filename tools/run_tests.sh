#!/usr/bin/env bash
# Builds and runs every test: the C++ core tests (plain and under AddressSanitizer
# + UndefinedBehaviorSanitizer) and the Python suite against the installed package.
# Installs what it needs: Debian packages (as root), a virtual environment in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n==> %s\n' "$*"; }

# --- Debian packages --------------------------------------------------------
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
if ((${#missing[@]})); then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        step "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    else
        echo "missing: ${missing[*]}; install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
fi

source tools/common.sh
find_python >/dev/null

# --- C++ core tests -----------------------------------------------------------
step "C++ tests (release, warnings as errors)"
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DQUILLET_BUILD_TESTS=ON \
    -DQUILLET_BUILD_EXAMPLES=ON -DQUILLET_WERROR=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

step "C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_BUILD_TESTS=ON \
    -DQUILLET_WERROR=ON -DQUILLET_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

# --- Python package and its tests ----------------------------------------------
if [ -f pyproject.toml ]; then
    step "Python package into .venv"
    install_package "[test]" py-test --config-settings=cmake.define.QUILLET_WERROR=ON
    step "pytest"
    (cd "$root/tests" && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")
fi
