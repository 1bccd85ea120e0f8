#!/bin/sh
# Builds every libFuzzer target with clang and runs each for N seconds
# (default 60) on its seed corpus. Fails on any crash, leak or hang.
set -eu
cd "$(dirname "$0")/.."
secs="${1:-60}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAVRIX_FUZZ=ON -DTAVRIX_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
for src in fuzz/*_fuzz.cpp; do
  [ -e "$src" ] || continue
  name=$(basename "$src" .cpp)
  corpus="fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  echo "--- $name for ${secs}s"
  status=0
  ./build-fuzz/fuzz/"$name" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 "$work" >"$work.log" 2>&1 || status=$?
  tail -3 "$work.log"
  if [ "$status" -ne 0 ]; then
    echo "$name failed ($status):"; tail -60 "$work.log"; rm -rf "$work" "$work.log"; exit 1
  fi
  rm -rf "$work" "$work.log"
done
