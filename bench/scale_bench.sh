#!/bin/sh
# Whether sorvane's everyday verbs cost the same per file at 100,000 files as
# at 10,000: create+add (stored), list, extract, delete of half (two of the
# four top folders), compact. Both sizes are made by make_bench_archive with
# the same mean file size; the two sizes alternate in every round and each
# figure is the median over the rounds of (time per file at the large size)
# / (time per file at the small size). Processor time is the main figure
# (the machine may be shared); wall time is shown beside it.
#   bench/scale_bench.sh [build dir] [runs] [small files] [large files]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-5}
small=${3:-10000}
large=${4:-100000}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane make_bench_archive -j2 >/dev/null
build=$(cd "$build" && pwd)
sorvane="$build/tools/sorvane/sorvane"

# 5 KB a file on average; the generator's few 9 MB files scale with the count.
need_kb=$(( large * 5 * 4 + 1000000 ))
work=$(bench_workdir "$build" "$need_kb")
trap 'rm -rf "$work"' EXIT INT TERM
echo "work folder $work"

for n in "$small" "$large"; do
  mkdir -p "$work/in$n"
  "$build/samples/make_bench_archive" "$work/in$n" "$n" $(( n * 5 / 1000 )) none >/dev/null
done

steps="add list extract delete compact"

# round <files>: one pass of every step on a fresh archive; prints
# "wall cpu" per step on one line.
round() {
  n=$1; d="$work/in$n"
  rm -rf "$d/a.mpq" "$d/out"
  line=$(cd "$d" && timed "$work" /dev/null "$sorvane" add a.mpq tree --compress none -q)
  line="$line $(cd "$d" && timed "$work" /dev/null "$sorvane" list a.mpq)"
  line="$line $(cd "$d" && timed "$work" /dev/null "$sorvane" extract a.mpq -C out -q)"
  line="$line $(cd "$d" && timed "$work" /dev/null "$sorvane" delete a.mpq tree/Folder0 tree/Folder1 -q)"
  line="$line $(cd "$d" && timed "$work" /dev/null "$sorvane" compact a.mpq -q)"
  rm -rf "$d/out"
  echo "$line"
}

: >"$work/small.txt"; : >"$work/large.txt"
i=1
while [ "$i" -le "$runs" ]; do
  if [ $((i % 2)) -eq 1 ]; then
    round "$small" >>"$work/small.txt"; round "$large" >>"$work/large.txt"
  else
    round "$large" >>"$work/large.txt"; round "$small" >>"$work/small.txt"
  fi
  i=$((i + 1))
done

paste -d' ' "$work/small.txt" "$work/large.txt" >"$work/both.txt"
echo
echo "per-file time at $large files / at $small files (median of $runs rounds)"
printf '  %-8s %12s %12s %10s %10s\n' step "small ms" "large ms" "cpu ratio" "wall ratio"
col=1
for s in $steps; do
  # Columns: small wall, small cpu ... then large wall, large cpu ...
  sw=$col; sc=$((col + 1)); lw=$((col + 10)); lc=$((col + 11))
  scale=$(awk -v a="$small" -v b="$large" 'BEGIN {print a / b}')
  cpu=$(awk -v x="$lc" -v y="$sc" -v f="$scale" '{ if ($y > 0) printf "%.3f\n", $x / $y * f }' "$work/both.txt" | median)
  wall=$(awk -v x="$lw" -v y="$sw" -v f="$scale" '{ if ($y > 0) printf "%.3f\n", $x / $y * f }' "$work/both.txt" | median)
  printf '  %-8s %12s %12s %10s %10s\n' "$s" "$(col_median "$work/small.txt" "$sc")" \
    "$(col_median "$work/large.txt" "$sc")" "$cpu" "$wall"
  col=$((col + 2))
done
