#!/bin/sh
# Builds everything and runs every test. Usage: scripts/test.sh [build-dir] [extra cmake args]
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"; [ $# -gt 0 ] && shift
sh scripts/install-deps.sh
cmake -S . -B "$build" -DTAVRIX_TESTS=ON "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
