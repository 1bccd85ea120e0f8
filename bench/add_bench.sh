#!/bin/sh
# Times `sorvane add` of many files into a new archive against tar and zip,
# the programs rotated in every round:
#  1. the 10,000-file set (make_bench_archive, 200 MB) stored
#     (--compress none, one thread: processor time counts) against tar -cf;
#  2. 3,000 small files (30 MB) stored, on disk, with the archive's own
#     flushes, against tar -cf followed by `sync` of the tar (wall time);
#  3. the 10,000-file set imploded (the default, every processor) against
#     zip -q -r (wall time);
#  4. with strace: the system calls of parts 1 and 2's adds and of tar,
#     per file.
# BENCH_BEFORE=DIR times the sorvane in DIR beside ours (another version:
# before and after in one sitting). BENCH_DISK_DIR: where part 2 runs
# (default: the build folder, which must be on disk).
#   bench/add_bench.sh [build dir] [runs]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-5}
before=${BENCH_BEFORE:-}

bench_need zip zip
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane make_bench_archive -j2 >/dev/null
build=$(cd "$build" && pwd)
after="$build/tools/sorvane/sorvane"

work=$(bench_workdir "$build" 1500000)
disk=$(mktemp -d "${BENCH_DISK_DIR:-$build}/tavrix_disk_XXXXXX")
trap 'rm -rf "$work" "$disk"' EXIT INT TERM
"$build/samples/make_bench_archive" "$work" 10000 200 none >/dev/null
"$build/samples/make_bench_archive" "$disk" 3000 30 none >/dev/null
echo "inputs: 10,000 files (200 MB) in $work; 3,000 files (30 MB) in $disk"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"

# add <program> <tree> <archive> <method> [options]: a new archive of every
# top folder of the tree.
add() {
  a_prog=$1; a_tree=$2; a_out=$3; a_method=$4; shift 4
  rm -f "$a_out"
  timed "$a_tree" /dev/null sh -c 'cd "$1" && p=$0 && o=$2 && m=$3 && shift 3 &&
    exec "$p" add "$o" --compress "$m" "$@" $(ls)' "$a_prog" "$a_tree" "$a_out" "$a_method" "$@"
}
tar_plain() { rm -f "$2"; timed "$1" /dev/null tar -cf "$2" -C "$1" .; }
tar_synced() { rm -f "$2"; timed "$1" /dev/null sh -c 'tar -cf "$1" -C "$0" . && exec sync "$1"' "$1" "$2"; }
zip_r() { rm -f "$2"; timed "$1" /dev/null sh -c 'cd "$0" && exec zip -q -r "$1" .' "$1" "$2"; }

# part <title> <results file> <reference command> <sorvane args...>: runs
# rounds of ours, the other version's (when given) and the reference,
# starting each round one further along; rows are "ours before reference"
# as "wall cpu" pairs (before 0 0 when not timed).
part() {
  p_title=$1; p_file=$2; p_ref=$3; shift 3
  echo
  echo "$p_title"
  : >"$p_file"
  i=1
  while [ "$i" -le "$runs" ]; do
    o="0 0"; b="0 0"; r="0 0"
    for step in 0 1 2; do
      case $(((i + step) % 3)) in
        0) o=$("$@" "$after") ;;
        1) if [ -n "$before" ]; then b=$("$@" "$before/sorvane"); fi ;;
        2) r=$($p_ref) ;;
      esac
    done
    echo "$o $b $r" >>"$p_file"
    echo "  run $i: sorvane $o, before $b, reference $r (wall cpu, ms)"
    i=$((i + 1))
  done
  echo "  median wall ms: sorvane $(col_median "$p_file" 1), before $(col_median "$p_file" 3)," \
       "reference $(col_median "$p_file" 5)"
  echo "  median ratio to the reference (wall / cpu): sorvane $(ratio_median "$p_file" 1 5) /" \
       "$(ratio_median "$p_file" 2 6)$([ -n "$before" ] && echo ", before $(ratio_median "$p_file" 3 5) / $(ratio_median "$p_file" 4 6)")"
}

stored10k() { add "$1" "$work/tree" "$work/s.mpq" none -j 1; }
stored3k() { add "$1" "$disk/tree" "$disk/s.mpq" none -j 1; }
imploded() { add "$1" "$work/tree" "$work/i.mpq" implode; }
ref_tar() { tar_plain "$work/tree" "$work/t.tar"; }
ref_tar_sync() { tar_synced "$disk/tree" "$disk/t.tar"; }
ref_zip() { zip_r "$work/tree" "$work/z.zip"; }

part "1. stored add of 10,000 files (one thread) against tar -cf" "$work/p1.txt" ref_tar stored10k
part "2. on disk: stored add of 3,000 small files against tar -cf + sync" "$work/p2.txt" ref_tar_sync stored3k
part "3. imploded add of 10,000 files (every processor) against zip -q -r" "$work/p3.txt" ref_zip imploded
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"

if command -v strace >/dev/null; then
  echo
  echo "4. system calls per input file (strace -f -c)"
  calls() {  # <label> <files> <command...>
    c_label=$1; c_files=$2; shift 2
    strace -f -c -o "$work/strace.txt" "$@" >/dev/null 2>&1 || true
    awk -v l="$c_label" -v n="$c_files" '
      $NF == "newfstatat" || $NF == "fstat" || $NF == "stat" || $NF == "lstat" || $NF == "statx" {s += $4}
      $NF == "openat" || $NF == "open" {o += $4}
      $NF == "write" || $NF == "pwrite64" {w += $4}
      $NF == "total" {t = $4}
      END {printf "  %-34s %6d calls, %5.2f per file (stats %d, opens %d, writes %d)\n", l, t, t / n, s, o, w}' \
      "$work/strace.txt"
  }
  for prog in "$after" ${before:+"$before/sorvane"}; do
    name=sorvane; [ "$prog" = "$after" ] || name="before"
    rm -f "$disk/s.mpq"
    (cd "$disk/tree" && calls "$name add, 3,000 files" 3000 "$prog" add "$disk/s.mpq" --compress none -j 1 $(ls))
  done
  rm -f "$disk/t.tar"
  calls "tar -cf, 3,000 files" 3000 tar -cf "$disk/t.tar" -C "$disk/tree" .
fi
