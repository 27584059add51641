#!/bin/sh
# Builds the fuzz targets with clang into build-fuzz/ and runs each for a fixed time on a copy of its corpus,
# so what a run finds never lands in the repository. ORVANE_FUZZ_SECONDS sets the time per target.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds="${ORVANE_FUZZ_SECONDS:-30}"

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build"

run() {
    target=$1
    corpus=$2
    shift 2
    work="$build/corpus-$corpus"
    rm -rf "$work"
    cp -R "$root/fuzz/corpus/$corpus" "$work"
    echo "== $target: ${seconds}s"
    "$build/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/$target-" "$@" "$work"
}

run fuzz_asx asx -dict="$root/fuzz/asx.dict"
run fuzz_catalogue_line catalogue
