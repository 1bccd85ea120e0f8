#!/bin/sh
# Times reading every file of the bench archive through `sorvane mount`
# (cat of each file, the mount made fresh for each run so no cache helps)
# against `sorvane extract` of the same archive, stored and imploded,
# alternating the order, and reports the median ratios.
#   bench/mount_bench.sh [build dir] [runs] [files] [total MB]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-5}
files=${3:-10000}
megabytes=${4:-200}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane make_bench_archive -j2 >/dev/null
sorvane=$build/tools/sorvane/sorvane
work=$(bench_workdir "$build")
mnt=$(mktemp -d)
trap 'fusermount3 -u "$mnt" 2>/dev/null || true; rm -rf "$work" "$mnt"' EXIT INT TERM

echo "input: $files files, about $megabytes MB, in $work"
"$build/samples/make_bench_archive" "$work" "$files" "$megabytes" plain,implode
rm -rf "$work/tree"

for archive in bench.mpq bench_implode.mpq; do
  run_mount() {
    "$sorvane" mount "$work/$archive" "$mnt"
    r=$(timed "$work" /dev/null sh -c "find '$mnt' -type f -exec cat {} + > /dev/null")
    fusermount3 -u "$mnt"
    echo "$r"
  }
  run_extract() {
    rm -rf "$work/out"; mkdir "$work/out"
    timed "$work" /dev/null "$sorvane" extract "$work/$archive" -C "$work/out"
  }
  results=$work/results_$archive.txt
  : >"$results"
  i=1
  while [ "$i" -le "$runs" ]; do
    if [ $((i % 2)) -eq 1 ]; then a=$(run_mount); b=$(run_extract); else b=$(run_extract); a=$(run_mount); fi
    set -- $a $b
    echo "$1 $2 $3 $4" >>"$results"
    echo "  $archive run $i: mount+cat $1 ms, extract $3 ms"
    i=$((i + 1))
  done
  echo "$archive: median wall mount+cat $(col_median "$results" 1) ms, extract $(col_median "$results" 3) ms," \
       "ratio $(ratio_median "$results" 1 3) (target <= 2)"
done
