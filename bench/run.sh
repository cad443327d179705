#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them. Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
kv_install_packages "${KV_BUILD_PACKAGES[@]}" libbenchmark-dev
cmake -G Ninja -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_BUILD_APP=OFF \
    -DKV_BUILD_BENCH=ON >/dev/null
cmake --build build-bench
./build-bench/bench/kv_bench_list_sort "$@"
