#!/bin/sh
# Times tavrix extracting two compressed archives of the same many files, one
# with imploded sectors (mask 0x08) and one with zlib sectors (mask 0x02),
# against unzip extracting a zip of the same files made at zip's default
# level, rotating the order of the three in every round, and reports the
# medians and the median ratios tavrix/unzip. The file contents are the mixed
# set make_bench_archive describes (text, binary records, sound, random).
#   bench/extract_compressed_bench.sh [build dir] [runs] [files] [total MB]
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
cmake --build "$build" --target tavrix make_bench_archive -j2 >/dev/null
tavrix="$build/extractor/tavrix"

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
run_unzip() {
  rm -rf "$work/unzipped"
  timed "$work" /dev/null unzip -q "$work/bench.zip" -d "$work/unzipped"
}

# One untimed round checks that all three produce the tree the files came from.
run_implode >/dev/null
run_zlib >/dev/null
run_unzip >/dev/null
for out in bench_implode_mpq bench_zlib_mpq unzipped; do
  if ! diff -r "$work/$out" "$work/tree" >/dev/null; then
    echo "$out differs from the source files" >&2
    exit 1
  fi
done
rm -rf "$work/tree"

# Rows: implode wall cpu, zlib wall cpu, unzip wall cpu.
results=$work/results.txt
: >"$results"
i=1
while [ "$i" -le "$runs" ]; do
  case $((i % 3)) in
    1) a=$(run_implode); b=$(run_zlib); c=$(run_unzip) ;;
    2) b=$(run_zlib); c=$(run_unzip); a=$(run_implode) ;;
    0) c=$(run_unzip); a=$(run_implode); b=$(run_zlib) ;;
  esac
  set -- $a $b $c
  echo "$1 $2 $3 $4 $5 $6" >>"$results"
  echo "  run $i: implode $1 ms (cpu $2), zlib $3 ms (cpu $4), unzip $5 ms (cpu $6)"
  i=$((i + 1))
done

rm -rf "$work/bench_implode_mpq" "$work/bench_zlib_mpq"
peak_i=$(peak_kb "$work/newline" "$tavrix" "$work/bench_implode.mpq")
peak_z=$(peak_kb "$work/newline" "$tavrix" "$work/bench_zlib.mpq")
rm -rf "$work/unzipped"; mkdir "$work/unzipped"
peak_u=$(peak_kb /dev/null unzip -q "$work/bench.zip" -d "$work/unzipped")

r=$results
echo "median wall: tavrix implode $(col_median "$r" 1) ms, tavrix zlib $(col_median "$r" 3) ms, unzip $(col_median "$r" 5) ms"
echo "median cpu:  tavrix implode $(col_median "$r" 2) ms, tavrix zlib $(col_median "$r" 4) ms, unzip $(col_median "$r" 6) ms"
echo "median ratio implode/unzip: wall $(ratio_median "$r" 1 5), cpu $(ratio_median "$r" 2 6) (target <= 1.0)"
echo "median ratio zlib/unzip:    wall $(ratio_median "$r" 3 5), cpu $(ratio_median "$r" 4 6) (target <= 1.0)"
echo "peak memory: tavrix implode $peak_i KB, tavrix zlib $peak_z KB, unzip $peak_u KB"
