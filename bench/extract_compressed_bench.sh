#!/bin/sh
# Times tavrix and `sorvane extract` extracting two compressed archives of
# the same many files, one with imploded sectors (mask 0x08) and one with
# zlib sectors (mask 0x02), against unzip extracting a zip of the same files
# made at zip's default level, rotating the order of the five in every
# round, and reports the medians and the median ratios to unzip. The file
# contents are the mixed set make_bench_archive describes (text, binary
# records, sound, random).
#   bench/extract_compressed_bench.sh [build dir] [runs] [files] [total MB]
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

bench_need zip zip
bench_need unzip unzip
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
"$build/samples/make_bench_archive" "$work" "$files" "$megabytes" implode,zlib | sed 's/^/  /'
(cd "$work/tree" && zip -q -r ../bench.zip .)
ls -l "$work/bench_implode.mpq" "$work/bench_zlib.mpq" "$work/bench.zip" |
  awk '{print "  " $5 " bytes  " $9}'

echo >"$work/newline"
run_implode() {
  rm -rf "$work/bench_implode_mpq"
  timed "$work" "$work/newline" "$tavrix" "$work/bench_implode.mpq"
}
run_zlib() {
  rm -rf "$work/bench_zlib_mpq"
  timed "$work" "$work/newline" "$tavrix" "$work/bench_zlib.mpq"
}
# $1: implode or zlib
run_sorvane() {
  rm -rf "$work/sorv_$1"; mkdir "$work/sorv_$1"
  # shellcheck disable=SC2086
  timed "$work" /dev/null "$sorvane" extract "$work/bench_$1.mpq" -C "$work/sorv_$1" $sorvane_args
}
run_unzip() {
  rm -rf "$work/unzipped"
  timed "$work" /dev/null unzip -q "$work/bench.zip" -d "$work/unzipped"
}
run_one() {
  case $1 in
    1) run_implode ;;
    2) run_zlib ;;
    3) run_sorvane implode ;;
    4) run_sorvane zlib ;;
    5) run_unzip ;;
  esac
}

# One untimed round checks that all five produce the tree the files came from.
run_implode >/dev/null
run_zlib >/dev/null
run_sorvane implode >/dev/null
run_sorvane zlib >/dev/null
run_unzip >/dev/null
for out in bench_implode_mpq bench_zlib_mpq sorv_implode sorv_zlib unzipped; do
  if ! diff -r "$work/$out" "$work/tree" >/dev/null; then
    echo "$out differs from the source files" >&2
    exit 1
  fi
done
rm -rf "$work/tree"

# Rows: tavrix implode wall cpu, tavrix zlib wall cpu, unzip wall cpu,
# sorvane implode wall cpu, sorvane zlib wall cpu. Round i starts the
# rotation of the five at program i.
results=$work/results.txt
: >"$results"
i=1
while [ "$i" -le "$runs" ]; do
  k=0
  while [ "$k" -lt 5 ]; do
    p=$(( (i - 1 + k) % 5 + 1 ))
    eval "t$p=\"\$(run_one $p)\""
    k=$((k + 1))
  done
  # shellcheck disable=SC2154
  set -- $t1 $t2 $t5 $t3 $t4
  echo "$1 $2 $3 $4 $5 $6 $7 $8 $9 ${10}" >>"$results"
  echo "  run $i: tavrix implode $1 ms (cpu $2), tavrix zlib $3 ms (cpu $4), unzip $5 ms (cpu $6)," \
       "sorvane implode $7 ms (cpu $8), sorvane zlib $9 ms (cpu ${10})"
  i=$((i + 1))
done

rm -rf "$work/bench_implode_mpq" "$work/bench_zlib_mpq" "$work/sorv_implode" "$work/sorv_zlib"
peak_i=$(peak_kb "$work/newline" "$tavrix" "$work/bench_implode.mpq")
peak_z=$(peak_kb "$work/newline" "$tavrix" "$work/bench_zlib.mpq")
mkdir "$work/sorv_implode" "$work/sorv_zlib"
# shellcheck disable=SC2086
peak_si=$(peak_kb /dev/null "$sorvane" extract "$work/bench_implode.mpq" -C "$work/sorv_implode" $sorvane_args)
# shellcheck disable=SC2086
peak_sz=$(peak_kb /dev/null "$sorvane" extract "$work/bench_zlib.mpq" -C "$work/sorv_zlib" $sorvane_args)
rm -rf "$work/unzipped"; mkdir "$work/unzipped"
peak_u=$(peak_kb /dev/null unzip -q "$work/bench.zip" -d "$work/unzipped")

r=$results
echo "median wall: tavrix implode $(col_median "$r" 1) ms, tavrix zlib $(col_median "$r" 3) ms," \
     "sorvane implode $(col_median "$r" 7) ms, sorvane zlib $(col_median "$r" 9) ms, unzip $(col_median "$r" 5) ms"
echo "median cpu:  tavrix implode $(col_median "$r" 2) ms, tavrix zlib $(col_median "$r" 4) ms," \
     "sorvane implode $(col_median "$r" 8) ms, sorvane zlib $(col_median "$r" 10) ms, unzip $(col_median "$r" 6) ms"
echo "median ratio tavrix implode/unzip:  wall $(ratio_median "$r" 1 5), cpu $(ratio_median "$r" 2 6) (target <= 1.0)"
echo "median ratio tavrix zlib/unzip:     wall $(ratio_median "$r" 3 5), cpu $(ratio_median "$r" 4 6) (target <= 1.0)"
echo "median ratio sorvane implode/unzip: wall $(ratio_median "$r" 7 5), cpu $(ratio_median "$r" 8 6) (target <= 0.3 wall)"
echo "median ratio sorvane zlib/unzip:    wall $(ratio_median "$r" 9 5), cpu $(ratio_median "$r" 10 6) (target <= 0.5 wall)"
echo "peak memory: tavrix implode $peak_i KB, tavrix zlib $peak_z KB, sorvane implode $peak_si KB," \
     "sorvane zlib $peak_sz KB, unzip $peak_u KB"
