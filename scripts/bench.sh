#!/usr/bin/env bash
# Builds the benchmarks optimised in build-bench/ and runs each one, or only those named
# (`scripts/bench.sh drive drop` runs bench_drive and bench_drop); every figure is printed as
# `name = value` on a line of its own. Exits non-zero only when a benchmark could not be built,
# found or run to its end: a figure that misses its target fails nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CCACHE_BASEDIR="$PWD"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIXAVELLA_BENCH=ON \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache

failed=0
benches=()
if [ $# -eq 0 ]; then
  cmake --build build-bench -j "$(nproc)" --target benchmarks
  for b in build-bench/bench/bench_*; do
    # Regular executable files only: the build leaves folders such as bench_*_autogen here.
    [ -f "$b" ] && [ -x "$b" ] && benches+=("$b")
  done
else
  targets=()
  for name; do
    target="bench_${name#bench_}"
    if ninja -C build-bench -t query "$target" >/dev/null 2>&1; then
      targets+=("$target")
      benches+=("build-bench/bench/$target")
    else
      echo "# $target: no such benchmark"
      failed=1
    fi
  done
  [ ${#targets[@]} -eq 0 ] || cmake --build build-bench -j "$(nproc)" --target "${targets[@]}"
fi

# libfuse's own passthrough filesystems, which the drive benchmarks measure against; built once.
bench/passthrough.sh build-bench/passthrough

for b in "${benches[@]}"; do
  echo "# $(basename "$b")"
  rc=0
  scripts/run-isolated.sh env PIXAVELLA_BUILD_DIR="$PWD/build-bench" PIXAVELLA_SOURCE_DIR="$PWD" \
    "$b" || rc=$?
  if [ $rc -ne 0 ]; then
    echo "# $(basename "$b") failed to run (exit $rc)"
    failed=1
  fi
done
exit $failed
