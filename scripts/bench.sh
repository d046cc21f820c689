#!/usr/bin/env bash
# Builds the benchmarks optimised in build-bench/ and runs each one; every figure is printed as
# `name = value` on a line of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CCACHE_BASEDIR="$PWD"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPIXAVELLA_BENCH=ON \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
cmake --build build-bench -j "$(nproc)"
for b in build-bench/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "# $(basename "$b")"
  scripts/run-isolated.sh env PIXAVELLA_BUILD_DIR="$PWD/build-bench" PIXAVELLA_SOURCE_DIR="$PWD" "$b"
done
