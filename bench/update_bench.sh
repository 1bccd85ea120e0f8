#!/bin/sh
# Times the sorvane tool on the update side against tar and zip, on the mixed
# files of make_bench_archive (10,000 files, 200 MB by default):
#  1. create + add of the whole tree, imploded (the tool's default, against
#     zip -q -r at its default level) and stored (--compress none, against
#     tar -cf), the four rotated in each round;
#  2. the add rate as the archive fills, one tool run per sub-folder, at two
#     hash-table sizes: every add rewrites both tables, so the cost of an add
#     grows with the tables;
#  3. delete of every second file, then compact, against tar -cf and zip -q -r
#     of the files that remain (rebuilding an archive of them from scratch).
# Medians and median ratios are printed at the end of each part.
#   bench/update_bench.sh [build dir] [runs] [files] [total MB]
# HASH_SIZE sets the hash-table entries (default: the power of two at least
# 1.5 times the file count).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-3}
files=${3:-10000}
megabytes=${4:-200}

bench_need zip zip
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane tavrix make_bench_archive -j2 >/dev/null
build=$(cd "$build" && pwd)
sorvane="$build/tools/sorvane/sorvane"
tavrix="$build/extractor/tavrix"

hash=${HASH_SIZE:-}
if [ -z "$hash" ]; then
  hash=16
  while [ "$hash" -lt $((files + files / 2 + 1)) ]; do hash=$((hash * 2)); done
fi

work=$(bench_workdir "$build" 3000000)
trap 'rm -rf "$work"' EXIT INT TERM
echo "input: $files files, about $megabytes MB, in $work; hash table $hash entries"
"$build/samples/make_bench_archive" "$work" "$files" "$megabytes" none | sed 's/^/  /'
tree=$work/tree
folders=$(cd "$tree" && ls)

# ---- 1. create + add ---------------------------------------------------------
run_sorvane() {  # <method>
  rm -f "$work/made.mpq"
  timed "$work" /dev/null sh -c 'cd "$1" && "$0" create "$2" --hash-size "$3" &&
    shift 3 && exec "$0" add "$@"' "$sorvane" "$tree" "$work/made.mpq" "$hash" \
    "$work/made.mpq" --compress "$1" $folders
}
run_tar() {
  rm -f "$work/made.tar"
  timed "$work" /dev/null tar -cf "$work/made.tar" -C "$tree" .
}
run_zip() {
  rm -f "$work/made.zip"
  timed "$work" /dev/null sh -c 'cd "$1" && exec zip -q -r "$2" .' sh "$tree" "$work/made.zip"
}

echo
echo "1. create + add of every file"
: >"$work/create.txt"
i=1
while [ "$i" -le "$runs" ]; do
  # Rows: sorvane implode, zip, sorvane none, tar (wall cpu each).
  case $((i % 4)) in
    1) a=$(run_sorvane implode); b=$(run_zip); c=$(run_sorvane none); d=$(run_tar) ;;
    2) b=$(run_zip); c=$(run_sorvane none); d=$(run_tar); a=$(run_sorvane implode) ;;
    3) c=$(run_sorvane none); d=$(run_tar); a=$(run_sorvane implode); b=$(run_zip) ;;
    0) d=$(run_tar); a=$(run_sorvane implode); b=$(run_zip); c=$(run_sorvane none) ;;
  esac
  set -- $a $b $c $d
  echo "$*" >>"$work/create.txt"
  echo "  run $i: sorvane implode $1 ms (cpu $2), zip $3 ms (cpu $4)," \
       "sorvane none $5 ms (cpu $6), tar $7 ms (cpu $8)"
  i=$((i + 1))
done
run_sorvane implode >/dev/null
cp "$work/made.mpq" "$work/full.mpq"
run_zip >/dev/null
run_tar >/dev/null
ls -l "$work/full.mpq" "$work/made.zip" "$work/made.tar" | awk '{print "  " $5 " bytes  " $9}'

# The archive holds exactly the tree: tavrix extracts it byte for byte.
echo >"$work/newline"
"$tavrix" "$work/full.mpq" <"$work/newline" >/dev/null
if ! diff -r "$work/full_mpq" "$tree" >/dev/null; then
  echo "the archive made by sorvane does not extract to the source files" >&2
  exit 1
fi
rm -rf "$work/full_mpq"

r=$work/create.txt
echo "  median wall: sorvane implode $(col_median "$r" 1) ms, zip $(col_median "$r" 3) ms," \
     "sorvane none $(col_median "$r" 5) ms, tar $(col_median "$r" 7) ms"
echo "  median ratio sorvane implode/zip: wall $(ratio_median "$r" 1 3), cpu $(ratio_median "$r" 2 4)"
echo "  median ratio sorvane none/tar:    wall $(ratio_median "$r" 5 7), cpu $(ratio_median "$r" 6 8)"
echo "  adds per second (implode, whole run): $(awk -v n="$files" -v t="$(col_median "$r" 1)" 'BEGIN {printf "%.0f", n * 1000 / t}')"

# ---- 2. add rate as the archive fills --------------------------------------------
# One tool run per sub-folder (a slice of the files); the rate of each slice
# against the files already stored. Stored without compression, so the
# per-add overhead of the tables shows rather than the codec.
growth() {  # <hash size>
  rm -f "$work/grow.mpq"
  "$sorvane" create "$work/grow.mpq" --hash-size "$1"
  stored=0
  for f in $folders; do
    for s in $(cd "$tree/$f" && ls); do
      n=$(find "$tree/$f/$s" -type f | wc -l)
      t=$(cd "$tree" && timed "$work" /dev/null "$sorvane" add "$work/grow.mpq" --compress none "$f/$s")
      set -- $t
      echo "$stored $n $1 $2"
      stored=$((stored + n))
    done
  done
}
echo
echo "2. add rate as the archive fills (stored, one run per sub-folder)"
growth "$hash" >"$work/grow_small.txt"
big=$((hash * 4))
growth "$big" >"$work/grow_big.txt"
# Rows of each: files before, files added, wall ms, cpu ms; the rates use
# the processor time, which other users of the machine disturb less.
echo "  files before   files   cpu ms (hash $hash)   adds/s   cpu ms (hash $big)   adds/s"
paste "$work/grow_small.txt" "$work/grow_big.txt" | awk '{
  printf "  %12d %7d %21.1f %8.0f %19.1f %8.0f\n", $1, $2, $4, $2 * 1000 / ($4 > 0 ? $4 : 1),
         $8, $6 * 1000 / ($8 > 0 ? $8 : 1) }'
for g in "$hash:$work/grow_small.txt" "$big:$work/grow_big.txt"; do
  awk '{n += $2; w += $3; c += $4}
       END {printf "  hash %s: %d adds in %.0f ms (cpu %.0f ms), %.0f adds/s of cpu\n", h, n, w, c, n * 1000 / c}' \
    h="${g%%:*}" "${g#*:}"
done
rm -f "$work/grow.mpq"

# ---- 3. delete half, compact ------------------------------------------------------
# Every second file (in name order) goes; keep.txt lists the rest for tar and zip.
(cd "$tree" && find . -type f | sed 's|^\./||' | sort) >"$work/all.txt"
awk 'NR % 2 == 0' "$work/all.txt" | tr '/' '\\' >"$work/gone.txt"
awk 'NR % 2 == 1' "$work/all.txt" >"$work/keep.txt"
cp "$work/full.mpq" "$work/half.mpq"
echo
echo "3. delete $(wc -l <"$work/gone.txt") files, then compact"
t=$(timed "$work" /dev/null sh -c 'exec "$0" delete "$1" $(cat "$2")' "$sorvane" "$work/half.mpq" "$work/gone.txt")
set -- $t
echo "  delete: $1 ms (cpu $2), $(awk -v n="$(wc -l <"$work/gone.txt")" -v t="$1" 'BEGIN {printf "%.0f", n * 1000 / (t > 0 ? t : 1)}') deletes/s"

run_compact() {
  cp "$work/half.mpq" "$work/compact.mpq"
  timed "$work" /dev/null "$sorvane" compact "$work/compact.mpq"
}
run_tar_half() {
  rm -f "$work/half.tar"
  timed "$work" /dev/null tar -cf "$work/half.tar" -C "$tree" -T "$work/keep.txt"
}
run_zip_half() {
  rm -f "$work/half.zip"
  timed "$work" "$work/keep.txt" sh -c 'cd "$1" && exec zip -q "$2" -@' sh "$tree" "$work/half.zip"
}
: >"$work/compact.txt"
i=1
while [ "$i" -le "$runs" ]; do
  case $((i % 3)) in
    1) a=$(run_compact); b=$(run_tar_half); c=$(run_zip_half) ;;
    2) b=$(run_tar_half); c=$(run_zip_half); a=$(run_compact) ;;
    0) c=$(run_zip_half); a=$(run_compact); b=$(run_tar_half) ;;
  esac
  set -- $a $b $c
  echo "$*" >>"$work/compact.txt"
  echo "  run $i: compact $1 ms (cpu $2), tar $3 ms (cpu $4), zip $5 ms (cpu $6)"
  i=$((i + 1))
done
"$sorvane" verify "$work/compact.mpq" >/dev/null
ls -l "$work/half.mpq" "$work/compact.mpq" "$work/half.zip" "$work/half.tar" |
  awk '{print "  " $5 " bytes  " $9}'
"$sorvane" info "$work/compact.mpq" | grep -E '^(files|dead space):' | sed 's/^/  /'

# The compacted archive holds exactly the kept files.
"$tavrix" "$work/compact.mpq" <"$work/newline" >/dev/null
(cd "$work/compact_mpq" && find . -type f | sed 's|^\./||' | sort) >"$work/got.txt"
if ! cmp -s "$work/got.txt" "$work/keep.txt"; then
  echo "the compacted archive does not hold exactly the kept files" >&2
  exit 1
fi
rm -rf "$work/compact_mpq"

r=$work/compact.txt
echo "  median wall: compact $(col_median "$r" 1) ms, tar $(col_median "$r" 3) ms, zip $(col_median "$r" 5) ms"
echo "  median ratio compact/tar: wall $(ratio_median "$r" 1 3), cpu $(ratio_median "$r" 2 4)"
echo "  median ratio compact/zip: wall $(ratio_median "$r" 1 5), cpu $(ratio_median "$r" 2 6)"
