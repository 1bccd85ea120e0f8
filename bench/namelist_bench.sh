#!/bin/sh
# Large name lists: an archive whose "(listfile)" holds NAMES names shaped
# like a mod tree's (bench/make_name_list.py: folders and files, mixed case,
# a few percent repeated), and 2,000 stored files named from it. Each round
# times, in rotating order:
#   - `LC_ALL=C sort -u` of the same list (the reference),
#   - `sorvane list` of the archive,
#   - `sorvane add` of one small file to a fresh copy of the archive (the
#     copy is made before the timing), which stores the list once more,
#   - `sorvane resize` of a fresh copy to 8192 entries, which must find the
#     name of every stored file in the list.
# Then the peak memory of list, add and resize against twice the list plus
# 64 MB. BENCH_BEFORE=DIR (a folder holding another version's sorvane) times
# that one's list, add and resize in the same rounds too, for before-and-
# after ratios.
#   bench/namelist_bench.sh [build dir] [runs] [names]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-5}
names=${3:-3000000}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane -j2 >/dev/null
build=$(cd "$build" && pwd)
sorvane=${BENCH_PROGRAMS:-$build/tools/sorvane}/sorvane

work=$(bench_workdir "$build" 2000000)
trap 'rm -rf "$work"' EXIT INT TERM
echo "work folder $work"

python3 "$root/bench/make_name_list.py" "$work/list.txt" "$names" "$work/stored.txt" 2000
python3 - "$work" <<'EOF'
import os, sys
work = sys.argv[1]
for i, name in enumerate(open(os.path.join(work, "stored.txt")).read().split("\n")):
    if not name:
        continue
    path = os.path.join(work, "tree", *name.split("\\"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(("file %d %s\n" % (i, name)) * (1 + i % 20))
EOF
(cd "$work/tree" && "$sorvane" add ../arc.mpq -q *)
# The list goes in as a whole, as a tool that merges lists would store it,
# enciphered with the adjusted key as the library keeps a list.
(cd "$work" && "$sorvane" add arc.mpq list.txt --name '(listfile)' --replace --key-adjusted -q)
list_bytes=$(wc -c <"$work/list.txt")
echo "list: $(wc -l <"$work/list.txt") lines, $list_bytes bytes; archive $(wc -c <"$work/arc.mpq") bytes"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'new file\n' >"$work/new.txt"

results="$work/results.txt"
: >"$results"
before=${BENCH_BEFORE:-}
items="sort list add resize"
[ -n "$before" ] && items="sort list add resize oldlist oldadd oldresize"
count=$(echo $items | wc -w)
i=0
while [ "$i" -lt "$runs" ]; do
  i=$((i + 1))
  cp "$work/arc.mpq" "$work/copy.mpq"
  cp "$work/arc.mpq" "$work/oldcopy.mpq"
  cp "$work/arc.mpq" "$work/rcopy.mpq"
  cp "$work/arc.mpq" "$work/oldrcopy.mpq"
  s="" l="" a="" r="" ol="0 0" oa="0 0" or="0 0"
  # Each round starts one item later, so no program always runs first.
  order=$(echo $items $items | cut -d' ' -f$(( (i - 1) % count + 1 ))-$(( (i - 1) % count + count )))
  for which in $order; do
    case $which in
      sort) s=$(timed "$work" "$work/list.txt" env LC_ALL=C sort -u) ;;
      list) l=$(timed "$work" /dev/null "$sorvane" list "$work/arc.mpq") ;;
      add) a=$(cd "$work" && timed "$work" /dev/null "$sorvane" add copy.mpq new.txt --name "Units\\Bench\\new$i.txt") ;;
      resize) r=$(timed "$work" /dev/null "$sorvane" resize "$work/rcopy.mpq" 8192) ;;
      oldlist) ol=$(timed "$work" /dev/null "$before/sorvane" list "$work/arc.mpq") ;;
      oldadd) oa=$(cd "$work" && timed "$work" /dev/null "$before/sorvane" add oldcopy.mpq new.txt --name "Units\\Bench\\new$i.txt") ;;
      oldresize) or=$(timed "$work" /dev/null "$before/sorvane" resize "$work/oldrcopy.mpq" 8192) ;;
    esac
  done
  echo "$s $l $a $ol $oa $r $or" >>"$results"
  echo "  round $i: sort $s, list $l, add $a, resize $r${before:+, before: list $ol, add $oa, resize $or} (wall cpu ms)"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

cp "$work/arc.mpq" "$work/copy.mpq"
list_kb=$(peak_kb /dev/null "$sorvane" list "$work/arc.mpq")
add_kb=$(cd "$work" && peak_kb /dev/null "$sorvane" add copy.mpq new.txt --name 'Units\Bench\mem.txt')
cp "$work/arc.mpq" "$work/rcopy.mpq"
resize_kb=$(peak_kb /dev/null "$sorvane" resize "$work/rcopy.mpq" 8192)
sort_kb=$(peak_kb "$work/list.txt" env LC_ALL=C sort -u)
bound_kb=$(( list_bytes * 2 / 1024 + 65536 ))

echo
echo "medians over $runs rounds (wall / cpu ms):"
echo "  sort -u  $(col_median "$results" 1) / $(col_median "$results" 2)"
echo "  list     $(col_median "$results" 3) / $(col_median "$results" 4)"
echo "  add      $(col_median "$results" 5) / $(col_median "$results" 6)"
echo "  resize   $(col_median "$results" 11) / $(col_median "$results" 12)"
echo "ratios (median of the rounds' ratios, wall / cpu):"
echo "  list / sort -u: $(ratio_median "$results" 3 1) / $(ratio_median "$results" 4 2)   (target <= 2)"
echo "  add / list:     $(ratio_median "$results" 5 3) / $(ratio_median "$results" 6 4)   (target <= 1.5)"
echo "  resize / list:  $(ratio_median "$results" 11 3) / $(ratio_median "$results" 12 4)   (target <= 1.5)"
echo "peak memory (KB): list $list_kb, add $add_kb, resize $resize_kb, sort -u $sort_kb; bound 2 x list + 64 MB = $bound_kb"
if [ -n "$before" ]; then
  cp "$work/arc.mpq" "$work/oldcopy.mpq"
  old_list_kb=$(peak_kb /dev/null "$before/sorvane" list "$work/arc.mpq")
  old_add_kb=$(cd "$work" && peak_kb /dev/null "$before/sorvane" add oldcopy.mpq new.txt --name 'Units\Bench\mem.txt')
  cp "$work/arc.mpq" "$work/oldrcopy.mpq"
  old_resize_kb=$(peak_kb /dev/null "$before/sorvane" resize "$work/oldrcopy.mpq" 8192)
  echo "before: list $(col_median "$results" 7) / $(col_median "$results" 8), add $(col_median "$results" 9) / $(col_median "$results" 10), resize $(col_median "$results" 13) / $(col_median "$results" 14) ms"
  echo "  list / sort -u: $(ratio_median "$results" 7 1) / $(ratio_median "$results" 8 2); add / list: $(ratio_median "$results" 9 7) / $(ratio_median "$results" 10 8); resize / list: $(ratio_median "$results" 13 7) / $(ratio_median "$results" 14 8)"
  echo "  peak memory (KB): list $old_list_kb, add $old_add_kb, resize $old_resize_kb"
fi

# Changing listed names: `sorvane delete` of one stored name and of twenty,
# and `sorvane rename` of one, each on a fresh copy, beside `sorvane list`
# in the same round; then their peak memory against the same bound. The
# names are early in the list, so nearly all of it is stored anew.
one=$(sed -n 5p "$work/stored.txt")
twenty=$(sed -n 20,39p "$work/stored.txt" | tr '\n' '\t')
changes="$work/changes.txt"
for program in "$sorvane" ${before:+"$before/sorvane"}; do
  : >"$changes"
  i=0
  while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    l=$(timed "$work" /dev/null "$program" list "$work/arc.mpq")
    cp "$work/arc.mpq" "$work/copy.mpq"
    d=$(timed "$work" /dev/null "$program" delete "$work/copy.mpq" "$one")
    cp "$work/arc.mpq" "$work/copy.mpq"
    m=$(IFS='	'; timed "$work" /dev/null "$program" delete "$work/copy.mpq" $twenty)
    cp "$work/arc.mpq" "$work/copy.mpq"
    r=$(timed "$work" /dev/null "$program" rename "$work/copy.mpq" "$one" 'Units\Bench\renamed.txt')
    echo "$l $d $m $r" >>"$changes"
  done
  cp "$work/arc.mpq" "$work/copy.mpq"
  d_kb=$(peak_kb /dev/null "$program" delete "$work/copy.mpq" "$one")
  cp "$work/arc.mpq" "$work/copy.mpq"
  m_kb=$(IFS='	'; peak_kb /dev/null "$program" delete "$work/copy.mpq" $twenty)
  cp "$work/arc.mpq" "$work/copy.mpq"
  r_kb=$(peak_kb /dev/null "$program" rename "$work/copy.mpq" "$one" 'Units\Bench\renamed.txt')
  echo
  echo "changing listed names with $program, medians over $runs rounds (wall / cpu ms):"
  echo "  list $(col_median "$changes" 1) / $(col_median "$changes" 2), delete $(col_median "$changes" 3) / $(col_median "$changes" 4), delete 20 $(col_median "$changes" 5) / $(col_median "$changes" 6), rename $(col_median "$changes" 7) / $(col_median "$changes" 8)"
  echo "  over list (wall): delete $(ratio_median "$changes" 3 1), delete 20 $(ratio_median "$changes" 5 1), rename $(ratio_median "$changes" 7 1)"
  echo "  peak memory (KB): delete $d_kb, delete 20 $m_kb, rename $r_kb; bound $bound_kb"
done
