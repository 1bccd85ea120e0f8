#!/bin/sh
# Times the Python package against the sorvane tool on the bench archive of
# many plain files, in one run with the order rotated every round:
#  - reading every file through Archive.read (a whole Python process: start,
#    import, open, namelist, read) against `sorvane extract -C` into a fresh
#    folder;
#  - Archive.infolist() (a whole process too) against `sorvane list --json`.
# Targets: each at most 1.5 x the tool.
#   bench/python_bench.sh [build dir] [runs] [files] [total MB]
# PYTHON chooses the interpreter (default python3); the package is installed
# into a fresh virtual environment from python/ as README says.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-python}
runs=${2:-5}
files=${3:-10000}
megabytes=${4:-200}
python=${PYTHON:-python3}

export SORVANE_BUILD_DIR="$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane make_bench_archive -j2 >/dev/null
sorvane="$build/tools/sorvane/sorvane"

work=$(bench_workdir "$build")
trap 'rm -rf "$work"' EXIT INT TERM
"$python" -m venv "$work/venv" >/dev/null
"$work/venv/bin/python" -m pip install -q --no-index --no-build-isolation "$root/python" >/dev/null
py="$work/venv/bin/python"

echo "input: $files files, about $megabytes MB, in $work ($("$py" --version))"
"$build/samples/make_bench_archive" "$work" "$files" "$megabytes" plain >/dev/null
rm -rf "$work/tree"
cat >"$work/read_all.py" <<'PY'
import sys, sorvane
total = 0
with sorvane.open(sys.argv[1]) as archive:
    for name in archive.namelist():
        if name not in sorvane.INTERNAL_NAMES:
            total += len(archive.read(name))
print(total)
PY
cat >"$work/infolist.py" <<'PY'
import sys, sorvane
with sorvane.open(sys.argv[1]) as archive:
    print(len(archive.infolist()))
PY

# One untimed round checks that the package reads what the tool writes.
mkdir "$work/out"
"$sorvane" extract "$work/bench.mpq" -C "$work/out"
expected=$(find "$work/out" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
got=$("$py" "$work/read_all.py" "$work/bench.mpq")
[ "$got" = "$expected" ] || { echo "Archive.read gave $got bytes, sorvane extract $expected" >&2; exit 1; }
[ "$("$py" "$work/infolist.py" "$work/bench.mpq")" -ge "$files" ] || { echo "infolist is short" >&2; exit 1; }

run_extract() { rm -rf "$work/out"; mkdir "$work/out"; timed "$work" /dev/null "$sorvane" extract "$work/bench.mpq" -C "$work/out"; }
run_read() { timed "$work" /dev/null "$py" "$work/read_all.py" "$work/bench.mpq"; }
run_list() { timed "$work" /dev/null "$sorvane" list "$work/bench.mpq" --json; }
run_infolist() { timed "$work" /dev/null "$py" "$work/infolist.py" "$work/bench.mpq"; }

results=$work/results.txt
: >"$results"
i=1
while [ "$i" -le "$runs" ]; do
  if [ $((i % 2)) -eq 1 ]; then
    a=$(run_extract); b=$(run_read); c=$(run_list); d=$(run_infolist)
  else
    d=$(run_infolist); c=$(run_list); b=$(run_read); a=$(run_extract)
  fi
  set -- $a $b $c $d
  echo "$1 $2 $3 $4 $5 $6 $7 $8" >>"$results"
  echo "  run $i: extract $1 ms (cpu $2), Archive.read $3 ms (cpu $4), list --json $5 ms (cpu $6)," \
       "infolist $7 ms (cpu $8); ratios $(awk -v a="$1" -v b="$3" -v c="$5" -v d="$7" \
       'BEGIN {printf "%.3f %.3f", b / a, d / c}')"
  i=$((i + 1))
done
echo "median wall: extract $(col_median "$results" 1) ms, Archive.read $(col_median "$results" 3) ms," \
     "list --json $(col_median "$results" 5) ms, infolist $(col_median "$results" 7) ms"
echo "median ratio Archive.read/extract: wall $(ratio_median "$results" 3 1), cpu $(ratio_median "$results" 4 2) (target <= 1.5)"
echo "median ratio infolist/list --json: wall $(ratio_median "$results" 7 5), cpu $(ratio_median "$results" 8 6) (target <= 1.5)"
