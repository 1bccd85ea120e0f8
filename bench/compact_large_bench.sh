#!/bin/sh
# Compaction of more than 4 GB of live data in an archive of format 1: builds
# the archive with sorvane (four stored copies of one large file, each under
# its own name, plus small files of which half are deleted again so that
# there is dead space), times `sorvane compact` against `cp` of the same
# archive (the same bytes read and written once), checks that the result
# still holds blocks above 4 GiB (high-offset table), reads back the copy
# that lies furthest in, and verifies the whole archive.
#   bench/compact_large_bench.sh [build dir] [runs] [MB per large file]
# Needs about 3 x (4 x MB) of room in the work folder: on disk by default
# (BENCH_DIR to choose), as the data is far larger than memory should hold.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-3}
megabytes=${3:-1100}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane -j2 >/dev/null
sorvane="$build/tools/sorvane/sorvane"

BENCH_DIR=${BENCH_DIR:-${TMPDIR:-/tmp}}
work=$(bench_workdir "$build")
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"

head -c $((megabytes * 1024 * 1024)) /dev/urandom >big.bin
mkdir small
i=0
while [ $i -lt 200 ]; do head -c $((i * 97 + 10)) /dev/urandom >"small/s$i.bin"; i=$((i + 1)); done
"$sorvane" create base.mpq --format 1 --hash-size 1024
"$sorvane" add base.mpq small --compress none
for n in 1 2 3 4; do "$sorvane" add base.mpq big.bin --name "big$n.bin" --compress none --key-adjusted; done
i=0
while [ $i -lt 200 ]; do "$sorvane" delete base.mpq "small\\s$i.bin" >/dev/null; i=$((i + 2)); done
size=$(stat -c %s base.mpq)
echo "archive: $size bytes, 4 x $megabytes MiB position-keyed live data, 100 small files deleted"
"$sorvane" info base.mpq | grep -E "format version|high offsets|file data|dead space"

echo >newline
results=results.txt
: >"$results"
r=1
while [ "$r" -le "$runs" ]; do
  rm -f work.mpq ref.mpq
  cp base.mpq work.mpq
  if [ $((r % 2)) -eq 1 ]; then
    a=$(timed "$work" newline "$sorvane" compact work.mpq); b=$(timed "$work" newline cp base.mpq ref.mpq)
  else
    b=$(timed "$work" newline cp base.mpq ref.mpq); a=$(timed "$work" newline "$sorvane" compact work.mpq)
  fi
  set -- $a $b
  echo "$1 $2 $3 $4" >>"$results"
  echo "  run $r: compact $1 ms (cpu $2 ms), cp $3 ms (cpu $4 ms)" \
       "ratio $(awk -v a="$1" -v b="$3" 'BEGIN {printf "%.3f", a / b}')"
  r=$((r + 1))
done

echo "compacted: $(stat -c %s work.mpq) bytes (from $size)"
"$sorvane" info work.mpq | grep -E "high offsets|dead space"
"$sorvane" extract work.mpq 'big4.bin' -C out >/dev/null
cmp out/big4.bin big.bin && echo "big4.bin (the furthest copy) reads back exactly"
"$sorvane" verify work.mpq >/dev/null && echo "verify: every file decodes"
echo "median wall: compact $(col_median "$results" 1) ms, cp $(col_median "$results" 3) ms"
echo "median ratio compact/cp: wall $(ratio_median "$results" 1 3), cpu $(ratio_median "$results" 2 4)"
