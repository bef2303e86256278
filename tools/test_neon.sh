#!/usr/bin/env bash
# Builds the kernel tests for arm64 with Debian's cross compiler and runs them
# under qemu-aarch64, so the neon kernel is checked against the scalar one on
# an x86 machine. GoogleTest is built from the sources libgtest-dev ships.
# Installs g++-aarch64-linux-gnu and qemu-user when missing (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-aarch64-linux-gnu qemu-user
    else
        echo "missing: sudo apt-get install g++-aarch64-linux-gnu qemu-user" >&2
        exit 1
    fi
fi
[ -d /usr/src/googletest ] || { echo "missing: sudo apt-get install libgtest-dev" >&2; exit 1; }

toolchain="$root/tools/aarch64-linux-gnu.cmake"
gtest_prefix="$root/build/aarch64-gtest"
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B build/aarch64-gtest-build -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_GMOCK=OFF \
        -Wno-dev -Wno-deprecated >/dev/null
    cmake --build build/aarch64-gtest-build -j "$jobs" >/dev/null
    cmake --install build/aarch64-gtest-build >/dev/null
fi

cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" \
    -DQUILLET_BUILD_TESTS=ON -DQUILLET_WERROR=ON >/dev/null
cmake --build build/aarch64 -j "$jobs" --target quillet_kernel_tests
# Every kernel against the scalar one and the exact-sum arguments. Death tests
# re-execute the test program, which qemu-user cannot do without binfmt, so
# the kernel-selection tests stay with the native run.
QEMU_LD_PREFIX=/usr/aarch64-linux-gnu qemu-aarch64 build/aarch64/core/tests/quillet_kernel_tests \
    --gtest_brief=1 --gtest_filter='kernels/KernelTest.*:exact_sum_test.*'
