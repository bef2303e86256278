#!/usr/bin/env bash
# Builds and runs every test: the C++ core tests (plain and under AddressSanitizer
# + UndefinedBehaviorSanitizer) and the Python suite against the installed package.
# Installs what it needs: Debian packages (as root), a virtual environment in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n==> %s\n' "$*"; }

# Each stage's output is also kept in build/logs, so that the last line can say
# what ran: the counts come from the runners' own closing lines.
mkdir -p build/logs
logged() { local name=$1; shift; "$@" 2>&1 | tee "$root/build/logs/$name.log"; }
ctest_count() { grep -E 'tests passed' "$root/build/logs/$1.log" | grep -Eo 'out of [0-9]+' | grep -Eo '[0-9]+' | tail -n 1; }
pytest_count() { grep -E '^[0-9]+ passed' "$root/build/logs/$1.log" | tail -n 1 | sed -E 's/ in [0-9.]+s.*//'; }
gtest_count() { grep -Eo '\[  PASSED  \] [0-9]+ tests?' "$root/build/logs/$1.log" | grep -Eo '[0-9]+' | tail -n 1; }

# --- Debian packages --------------------------------------------------------
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
# The report tests open pages in a real headless browser.
command -v chromium >/dev/null || missing+=(chromium)
command -v chromedriver >/dev/null || missing+=(chromium-driver)
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
logged ctest-release ctest --test-dir build/tests --output-on-failure -j "$jobs"

step "C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_BUILD_TESTS=ON \
    -DQUILLET_WERROR=ON -DQUILLET_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    logged ctest-asan ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "C++ kernel tests for arm64 under qemu-aarch64 (neon kernel)"
logged neon bash tools/test_neon.sh

# --- Python package and its tests ----------------------------------------------
if [ -f pyproject.toml ]; then
    step "Python package into .venv"
    install_package "[test]" py-test --config-settings=cmake.define.QUILLET_WERROR=ON
    step "pytest"
    (cd "$root/tests" && logged pytest "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")
fi

# --- robustness: begin --------------------------------------------------------
# The frame cache under libFuzzer, the Python suite against an AddressSanitizer +
# UndefinedBehaviorSanitizer build of the module (.venv-asan), and a valgrind
# memcheck run over the module. See fuzz/README.md and docs/bad_input.md.
robust_missing=()
command -v clang++-16 >/dev/null || robust_missing+=(clang-16 libclang-rt-16-dev)
command -v valgrind >/dev/null || robust_missing+=(valgrind)
if ((${#robust_missing[@]})); then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        step "installing ${robust_missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${robust_missing[@]}"
    else
        echo "missing: ${robust_missing[*]}; install them with: sudo apt-get install ${robust_missing[*]}" >&2
        exit 1
    fi
fi

step "libFuzzer: frame cache operations and kernels, 60 s"
CXX=clang++-16 cmake -S . -B build/fuzz-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLET_BUILD_FUZZERS=ON -DQUILLET_SANITIZE=ON -DQUILLET_WERROR=ON >/dev/null
cmake --build build/fuzz-asan -j "$jobs"
mkdir -p build/fuzz-run/corpus
# Every expected failure writes a report to standard error, so it is closed;
# findings and sanitizer reports still appear.
(cd build/fuzz-run && "$root/build/fuzz-asan/fuzz/frame_cache_fuzzer" -max_total_time=60 \
    -close_fd_mask=2 -rss_limit_mb=2048 -timeout=60 -print_final_stats=1 \
    corpus "$root/fuzz/corpus/frame_cache") 2>&1 | tee "$root/build/logs/fuzz.log"

step "pytest against the sanitizer build of the module"
[ -x .venv-asan/bin/python ] || "$(find_python)" -m venv .venv-asan
.venv-asan/bin/python -m pip install -q --upgrade pip
.venv-asan/bin/python -m pip install -q ".[test]" --config-settings=build-dir=build/robust-asan-module \
    --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=cmake.define.QUILLET_SANITIZE=ON --config-settings=cmake.define.QUILLET_WERROR=ON
# (ldd's output goes to a file first: with pipefail, grep -q closing the pipe early
# could fail the check through ldd's SIGPIPE.)
for module in .venv-asan/lib/python3.13/site-packages/quillet/_*.so; do
    ldd "$module" >build/logs/ldd-asan.txt
    grep -q libasan build/logs/ldd-asan.txt ||
        { echo "$module in .venv-asan is not built with AddressSanitizer" >&2; exit 1; }
done
# The interpreter itself leaks at exit, so leak detection is off. Under ASan an
# allocation that cannot be had aborts instead of throwing, so the tests that
# exhaust a lowered address-space limit run in the plain suite only.
(cd "$root/tests" &&
    LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$root/.venv-asan/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" -m "not integration" \
    --deselect tests/test_module_panic.py::test_allocation_failure_in_core_raises_memory_error \
    --deselect tests/test_module_panic.py::test_result_that_cannot_be_built_is_a_panic) 2>&1 |
    tee "$root/build/logs/pytest-asan.log"

step "valgrind memcheck over the module"
PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
    --error-exitcode=99 --num-callers=40 --log-file=build/robust-valgrind.log \
    .venv/bin/python fuzz/valgrind_exercise.py 2>build/robust-valgrind.stderr ||
    { tail -n 60 build/robust-valgrind.log build/robust-valgrind.stderr; exit 1; }
.venv/bin/python fuzz/valgrind_exercise.py --check build/robust-valgrind.log
# --- robustness: end ----------------------------------------------------------

# --- summary --------------------------------------------------------------------
fuzz_runs=$(grep -Eo 'stat::number_of_executed_units: [0-9]+' "$root/build/logs/fuzz.log" | grep -Eo '[0-9]+$' || echo '?')
echo
echo "everything passed: C++ $(ctest_count ctest-release) (release) + $(ctest_count ctest-asan) (ASan+UBSan)" \
    "+ $(gtest_count neon) (arm64 under qemu); pytest $(pytest_count pytest);" \
    "pytest on the sanitizer build $(pytest_count pytest-asan); libFuzzer ${fuzz_runs} runs; valgrind clean"
