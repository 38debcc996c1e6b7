#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang++ (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer), writes the seed corpora, and runs each target.
#
#   fuzz/run-fuzz.sh smoke        deterministic short run of each target over its seeds
#   fuzz/run-fuzz.sh SECONDS      run each target for SECONDS, growing corpora in build-fuzz/corpus
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-smoke}

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVIO_BUILD_FUZZ=ON -DTARVIO_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc 2>/dev/null || echo 2)" \
    --target fuzz_wavin fuzz_rdaiff fuzz_tarvio make_seeds

seeds=build-fuzz/seeds
rm -rf "$seeds"
./build-fuzz/fuzz/make_seeds "$seeds"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for pair in wavin:wav rdaiff:aiff tarvio:tarvio; do
    target=fuzz_${pair%%:*}
    corpus=${pair##*:}
    if [ "$mode" = smoke ]; then
        echo "== $target: smoke run over $(ls "$seeds/$corpus" | wc -l) seeds"
        ./build-fuzz/fuzz/$target -seed=1 -runs=3000 -max_len=8192 "$seeds/$corpus" \
            2>build-fuzz/$target.log || { status=1; tail -n 40 build-fuzz/$target.log; }
        grep -E '^(#[0-9]+ +DONE|Done)' build-fuzz/$target.log || true
    else
        mkdir -p build-fuzz/corpus/$corpus build-fuzz/artifacts
        echo "== $target: ${mode}s"
        ./build-fuzz/fuzz/$target -max_total_time="$mode" -max_len=8192 -print_final_stats=1 \
            -artifact_prefix=build-fuzz/artifacts/$target- \
            build-fuzz/corpus/$corpus "$seeds/$corpus" 2>build-fuzz/$target.log ||
            { status=1; tail -n 60 build-fuzz/$target.log; }
        grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' build-fuzz/$target.log || true
    fi
done
exit $status
