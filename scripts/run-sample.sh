#!/bin/sh
# Builds tavrix and extracts the sample archive into samples/sample_mpq/.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh cmake g++ make libgtest-dev zlib1g-dev libbz2-dev libgcrypt20-dev
cmake -S . -B build -DTAVRIX_TESTS=OFF
cmake --build build -j"$(nproc)" --target tavrix
rm -rf samples/sample_mpq
echo | ./build/extractor/tavrix "$(pwd)/samples/sample.mpq"
echo
find samples/sample_mpq -type f | sort
