#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs one or all of them. Not part of CI.
#   bench/run.sh            every benchmark
#   bench/run.sh NAME       one of them (the part after "kv_bench_")
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
kv_install_packages "${KV_BUILD_PACKAGES[@]}" "${KV_TEST_PACKAGES[@]}"
cmake -G Ninja -UKV_AREAS -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_BUILD_APP=ON \
    -DKV_BUILD_BENCH=ON >/dev/null
cmake --build build-bench
if [ $# -gt 0 ]; then
    exec "./build-bench/bench/kv_bench_$1" "${@:2}"
fi
for program in build-bench/bench/kv_bench_*; do
    echo "== ${program##*/}"
    "$program"
done
