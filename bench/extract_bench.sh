#!/bin/sh
# Times tavrix and `sorvane extract` extracting an archive of many plain
# stored files against GNU tar extracting a tar of the same files, each into
# a fresh folder, rotating the order in one run, and reports the median
# ratios to tar and tavrix's peak memory.
#   bench/extract_bench.sh [build dir] [runs] [files] [total MB]
# BENCH_PROGRAMS=DIR times DIR/tavrix and DIR/sorvane instead of the build's
# (to compare with another version); SORVANE_ARGS adds arguments to every
# `sorvane extract` (e.g. "-j 1").
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-5}
files=${3:-10000}
megabytes=${4:-200}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target tavrix sorvane make_bench_archive -j2 >/dev/null
tavrix="${BENCH_PROGRAMS:+$BENCH_PROGRAMS/tavrix}"
tavrix="${tavrix:-$build/extractor/tavrix}"
sorvane="${BENCH_PROGRAMS:+$BENCH_PROGRAMS/sorvane}"
sorvane="${sorvane:-$build/tools/sorvane/sorvane}"
sorvane_args=${SORVANE_ARGS:-}

work=$(bench_workdir "$build")
trap 'rm -rf "$work"' EXIT INT TERM

echo "input: $files files, about $megabytes MB, in $work"
"$build/samples/make_bench_archive" "$work" "$files" "$megabytes" plain
tar -cf "$work/bench.tar" -C "$work/tree" .
rm -rf "$work/tree"
ls -l "$work/bench.mpq" "$work/bench.tar" | awk '{print "  " $5 " bytes  " $9}'

echo >"$work/newline"
run_tavrix() { rm -rf "$work/bench_mpq"; timed "$work" "$work/newline" "$tavrix" "$work/bench.mpq"; }
run_sorvane() {
  rm -rf "$work/sorvout"; mkdir "$work/sorvout"
  # shellcheck disable=SC2086
  timed "$work" /dev/null "$sorvane" extract "$work/bench.mpq" -C "$work/sorvout" $sorvane_args
}
run_tar() {
  rm -rf "$work/tarout"; mkdir "$work/tarout"
  timed "$work" /dev/null tar -xf "$work/bench.tar" -C "$work/tarout"
}

# One untimed round checks that both produce the same tree.
run_tavrix >/dev/null
run_sorvane >/dev/null
run_tar >/dev/null
if ! diff -r "$work/bench_mpq" "$work/tarout" >/dev/null; then
  echo "tavrix output differs from tar's" >&2
  exit 1
fi
if ! diff -r "$work/sorvout" "$work/tarout" >/dev/null; then
  echo "sorvane output differs from tar's" >&2
  exit 1
fi

results=$work/results.txt
: >"$results"
i=1
while [ "$i" -le "$runs" ]; do
  case $((i % 3)) in
    1) a=$(run_tavrix); b=$(run_tar); c=$(run_sorvane) ;;
    2) b=$(run_tar); c=$(run_sorvane); a=$(run_tavrix) ;;
    *) c=$(run_sorvane); a=$(run_tavrix); b=$(run_tar) ;;
  esac
  set -- $a $b $c
  echo "$1 $2 $3 $4 $5 $6" >>"$results"
  echo "  run $i: tavrix $1 ms (cpu $2 ms), tar $3 ms (cpu $4 ms), sorvane $5 ms (cpu $6 ms)" \
       "ratios $(awk -v a="$1" -v b="$3" -v c="$5" 'BEGIN {printf "%.3f %.3f", a / b, c / b}')"
  i=$((i + 1))
done

rm -rf "$work/bench_mpq"
peak=$(peak_kb "$work/newline" "$tavrix" "$work/bench.mpq")
rm -rf "$work/sorvout"; mkdir "$work/sorvout"
# shellcheck disable=SC2086
peak_s=$(peak_kb /dev/null "$sorvane" extract "$work/bench.mpq" -C "$work/sorvout" $sorvane_args)

echo "median wall: tavrix $(col_median "$results" 1) ms, sorvane $(col_median "$results" 5) ms, tar $(col_median "$results" 3) ms"
echo "median cpu:  tavrix $(col_median "$results" 2) ms, sorvane $(col_median "$results" 6) ms, tar $(col_median "$results" 4) ms"
echo "median ratio tavrix/tar: wall $(ratio_median "$results" 1 3), cpu $(ratio_median "$results" 2 4) (target <= 1.1)"
echo "median ratio sorvane/tar: wall $(ratio_median "$results" 5 3), cpu $(ratio_median "$results" 6 4) (target <= 0.8 wall)"
echo "tavrix peak memory: $peak KB (target below 16 MB + the 4,000,000-byte copy buffer)"
echo "sorvane extract peak memory: $peak_s KB (target below 16 MB + a bounded buffer per thread)"
