#!/usr/bin/env bash
# Installs the Debian packages of tools/debian-packages.txt that are missing, then builds Orvane.
#
#   tools/setup.sh [--asan] [--no-build]
#
# build/       RelWithDebInfo, the program and the tests
# build-asan/  with --asan: the same under AddressSanitizer + UndefinedBehaviorSanitizer
# ORVANE_JOBS sets the build's parallel jobs (2 by default).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
asan=0
build=1
for arg in "$@"; do
    case "$arg" in
    --asan) asan=1 ;;
    --no-build) build=0 ;;
    *)
        echo "usage: tools/setup.sh [--asan] [--no-build]" >&2
        exit 2
        ;;
    esac
done

install_missing() {
    local missing=() package
    for package in $(sed -e 's/#.*//' "$root/tools/debian-packages.txt"); do
        if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "setup: installing ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

configure_and_build() {
    local dir=$1
    shift
    local log="$root/$dir/configure.log"
    mkdir -p "$root/$dir"
    if ! cmake -S "$root" -B "$root/$dir" -G Ninja -Wno-dev "$@" >"$log" 2>&1; then
        cat "$log" >&2
        echo "setup: configuring $dir failed" >&2
        return 1
    fi
    echo "setup: building $dir"
    cmake --build "$root/$dir" --parallel "${ORVANE_JOBS:-2}" -- --quiet
}

install_missing
[ "$build" -eq 1 ] || exit 0

configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$asan" -eq 1 ]; then
    # -O1: sanitizer reports keep their line numbers, and the suite does not crawl.
    configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DORVANE_SANITIZE=ON
fi
