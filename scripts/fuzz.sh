#!/bin/sh
# Builds every libFuzzer target with clang and runs each for N seconds
# (default 60) on its seed corpus. Fails on any crash, leak or hang.
#
# Known open faults: fuzz/findings/<target>/ holds inputs that still make the
# target fail (found by fuzzing, not yet fixed). Each is replayed first and
# must still fail; one that passes now has been fixed and fails the run with a
# note to move it into fuzz/corpus/<target>/, where every run replays it as a
# seed. While a target has open findings it is fuzzed in fork mode that goes
# on past failures: new failing inputs are counted and listed, and the run
# does not fail on them, since they may well be the open faults again.
set -eu
cd "$(dirname "$0")/.."
secs="${1:-60}"
sh scripts/install-deps.sh cmake clang libclang-rt-14-dev zlib1g-dev libbz2-dev libgcrypt20-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAVRIX_FUZZ=ON -DTAVRIX_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
limits="-timeout=10 -rss_limit_mb=2048"
for src in fuzz/*_fuzz.cpp; do
  [ -e "$src" ] || continue
  name=$(basename "$src" .cpp)
  target=./build-fuzz/fuzz/$name
  corpus="fuzz/corpus/${name%_fuzz}"
  findings="fuzz/findings/${name%_fuzz}"
  open=0
  for finding in "$findings"/*; do
    [ -f "$finding" ] || continue
    if $target $limits "$finding" >/dev/null 2>&1; then
      echo "$name: $finding passes now; move it to $corpus/ so every run replays it"
      exit 1
    fi
    open=$((open + 1))
  done
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  status=0
  if [ "$open" -eq 0 ]; then
    echo "--- $name for ${secs}s"
    $target -max_total_time="$secs" $limits "$work" >"$work.log" 2>&1 || status=$?
    tail -3 "$work.log"
  else
    echo "--- $name for ${secs}s, going on past failures: $open known open finding(s) in $findings"
    mkdir "$work.found"
    $target -fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 -artifact_prefix="$work.found/" \
      -max_total_time="$secs" $limits "$work" >"$work.log" 2>&1 || true
    grep -E '^#[0-9]+' "$work.log" | tail -1 || true
    found=$(find "$work.found" -type f -size +0 | wc -l)
    echo "$name: $found new failing input(s) this run (not counted as a failure while findings are open)"
    find "$work.found" -type f -size +0 -exec basename {} \; | head -10 | sed 's/^/  /'
    # The parent's log ends in the exit code of the last failure; only a
    # run that never got going counts.
    grep -q '^INFO: exiting' "$work.log" || status=1
    rm -rf "$work.found"
  fi
  if [ "$status" -ne 0 ]; then
    echo "$name failed ($status):"; tail -60 "$work.log"; rm -rf "$work" "$work.log"; exit 1
  fi
  rm -rf "$work" "$work.log"
done
