#!/usr/bin/env bash
# Orvane's benchmark: builds what it needs in build-bench/, runs every measure inside the test rig's headless
# desktop, and rewrites bench/results.md and bench/ttfs.png.
#
#   bench/run.sh [--quick]       --quick: 3 runs, 10 s windows, 60 switches (a few minutes)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
quick=()
for arg in "$@"; do
    case "$arg" in
    --quick) quick=(--quick) ;;
    *)
        echo "usage: bench/run.sh [--quick]" >&2
        exit 2
        ;;
    esac
done

build="$root/build-bench"
mkdir -p "$build"
if ! cmake -S "$root" -B "$build" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TESTS=OFF \
    -DORVANE_BENCH=ON >"$build/configure.log" 2>&1; then
    cat "$build/configure.log" >&2
    exit 1
fi
ninja -C "$build" -j "${ORVANE_JOBS:-2}" orvane orvane_bench_driver orvane_bench_minimal orvane_bench_libmpv \
    orvane_bench_listen orvane_bench_xwatch orvane_bench_chart orvane_bench_minimal_linked

export PYTHONDONTWRITEBYTECODE=1
echo "bench: running (load average now: $(cut -d' ' -f1-3 /proc/loadavg))" >&2
exec "$root/tests/rig/rig.sh" --timeout 1800 -- /usr/bin/python3 "$root/bench/bench.py" --build "$build" \
    --out "$root/bench" --cache "$build/bench-media" "${quick[@]}"
