#!/bin/sh
# Times tavrix extracting an archive of many plain stored files against GNU
# tar extracting a tar of the same files, alternating the two in one run, and
# reports the median ratio tavrix/tar and tavrix's peak memory.
#   bench/extract_bench.sh [build dir] [runs] [files] [total MB]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
runs=${2:-5}
files=${3:-10000}
megabytes=${4:-200}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target tavrix make_bench_archive -j2 >/dev/null
tavrix="$build/extractor/tavrix"

# The runs go to memory (/dev/shm) when there is room, so the disk's
# write-back stalls do not drown the programs' own cost; set BENCH_DIR to
# measure elsewhere. tavrix names its output folder after the archive path
# with every '.' turned into '_', so the work folder must not hold dots.
base=${BENCH_DIR:-}
if [ -z "$base" ]; then
  base=${TMPDIR:-/tmp}
  if [ -d /dev/shm ] && [ -w /dev/shm ] &&
     [ "$(df -Pk /dev/shm | awk 'NR == 2 {print $4}')" -gt 2000000 ]; then
    base=/dev/shm
  fi
fi
case "$base" in *.*) base=$build ;; esac
work=$(mktemp -d "$base/tavrix_bench_XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

echo "input: $files files, about $megabytes MB, in $work"
"$build/samples/make_bench_archive" "$work" "$files" "$megabytes"
tar -cf "$work/bench.tar" -C "$work/tree" .
rm -rf "$work/tree"
ls -l "$work/bench.mpq" "$work/bench.tar" | awk '{print "  " $5 " bytes  " $9}'

# A run prints "wall_ms cpu_ms". The machine may be shared, so the
# processor time (user + system) is reported beside the wall time.
on_disk=1
case "$work" in /dev/shm/*) on_disk=0 ;; esac
# timed <stdin file> <command...>: runs the command with that input and its
# output discarded, and prints "wall_ms cpu_ms".
timed() {
  input=$1; shift
  if [ "$on_disk" -eq 1 ]; then sync; fi
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" <"$input" >/dev/null
    awk '{printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000}' "$work/time.txt"
  else
    t0=$(date +%s%N)
    "$@" <"$input" >/dev/null
    t1=$(date +%s%N)
    echo "$(( (t1 - t0) / 1000000 )) 0"
  fi
}

echo >"$work/newline"
run_tavrix() { rm -rf "$work/bench_mpq"; timed "$work/newline" "$tavrix" "$work/bench.mpq"; }
run_tar() {
  rm -rf "$work/tarout"; mkdir "$work/tarout"
  timed /dev/null tar -xf "$work/bench.tar" -C "$work/tarout"
}

median() { sort -n | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# One untimed round checks that both produce the same tree.
run_tavrix >/dev/null
run_tar >/dev/null
if ! diff -r "$work/bench_mpq" "$work/tarout" >/dev/null; then
  echo "tavrix output differs from tar's" >&2
  exit 1
fi

: >"$work/results.txt"
i=1
while [ "$i" -le "$runs" ]; do
  if [ $((i % 2)) -eq 1 ]; then a=$(run_tavrix); b=$(run_tar); else b=$(run_tar); a=$(run_tavrix); fi
  set -- $a $b
  echo "$1 $2 $3 $4" >>"$work/results.txt"
  echo "  run $i: tavrix $1 ms (cpu $2 ms), tar $3 ms (cpu $4 ms)" \
       "ratio $(awk -v a="$1" -v b="$3" 'BEGIN {printf "%.3f", a / b}')"
  i=$((i + 1))
done

column() { awk -v c="$1" '{print $c}' "$work/results.txt" | median; }
ratio() { awk -v a="$1" -v b="$2" '{ if ($b > 0) printf "%.4f\n", $a / $b; else print 0 }' "$work/results.txt" | median; }

# Peak resident memory of one more extraction.
rm -rf "$work/bench_mpq"
if [ -x /usr/bin/time ]; then
  peak=$(/usr/bin/time -f "%M" "$tavrix" "$work/bench.mpq" <"$work/newline" 2>&1 >/dev/null | tail -n 1)
elif command -v python3 >/dev/null; then
  peak=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], input=b"\n", stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$tavrix" "$work/bench.mpq")
else
  peak="?"
fi

echo "median wall: tavrix $(column 1) ms, tar $(column 3) ms"
echo "median cpu:  tavrix $(column 2) ms, tar $(column 4) ms"
echo "median ratio tavrix/tar: wall $(ratio 1 3), cpu $(ratio 2 4) (target <= 1.1)"
echo "tavrix peak memory: $peak KB (target below 16 MB + the 4,000,000-byte copy buffer)"
