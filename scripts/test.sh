#!/usr/bin/env bash
# Installs what the build needs, configures, builds and runs every test.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
extra=()
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  extra=(-DPIXAVELLA_SANITIZE=ON)
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi

scripts/install-deps.sh
# Compiler cache keyed on paths relative to the checkout, so rebuilds in another clone hit it.
export CCACHE_BASEDIR="$PWD"
# No optimisation or debug info: the tests run quickly either way and the build is far faster.
# Benchmarks are built with scripts/bench.sh, not here.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE= -DPIXAVELLA_WERROR=ON -DPIXAVELLA_BENCH=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "${extra[@]}"
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j 2
