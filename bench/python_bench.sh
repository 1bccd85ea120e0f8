#!/bin/sh
# Times the Python package against the sorvane tool on the bench archive of
# many plain files, in one run with the order rotated every round:
#  - reading every file through Archive.read (open, namelist, read) against
#    `sorvane extract -C` into a fresh folder;
#  - Archive.infolist() (open, infolist) against `sorvane list --json`.
# Targets: each at most 1.5 x the tool, timing the package's calls (the
# script notes their time); the whole Python process, with the
# interpreter's start and the import, is shown beside.
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
# Each script also notes the time of its calls alone (from open to close,
# without the interpreter's start and the import) in the file named second.
cat >"$work/read_all.py" <<'PY'
import sys, time, sorvane
t0, c0 = time.perf_counter(), time.process_time()
total = 0
with sorvane.open(sys.argv[1]) as archive:
    for name in archive.namelist():
        if name not in sorvane.INTERNAL_NAMES:
            total += len(archive.read(name))
t1, c1 = time.perf_counter(), time.process_time()
print(total)
if len(sys.argv) > 2:
    with open(sys.argv[2], "a") as out:
        out.write("%.1f %.1f\n" % ((t1 - t0) * 1000, (c1 - c0) * 1000))
PY
cat >"$work/infolist.py" <<'PY'
import sys, time, sorvane
t0, c0 = time.perf_counter(), time.process_time()
with sorvane.open(sys.argv[1]) as archive:
    count = len(archive.infolist())
t1, c1 = time.perf_counter(), time.process_time()
print(count)
if len(sys.argv) > 2:
    with open(sys.argv[2], "a") as out:
        out.write("%.1f %.1f\n" % ((t1 - t0) * 1000, (c1 - c0) * 1000))
PY

# One untimed round checks that the package reads what the tool writes.
mkdir "$work/out"
"$sorvane" extract "$work/bench.mpq" -C "$work/out"
expected=$(find "$work/out" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
got=$("$py" "$work/read_all.py" "$work/bench.mpq")
[ "$got" = "$expected" ] || { echo "Archive.read gave $got bytes, sorvane extract $expected" >&2; exit 1; }
[ "$("$py" "$work/infolist.py" "$work/bench.mpq")" -ge "$files" ] || { echo "infolist is short" >&2; exit 1; }

run_extract() { rm -rf "$work/out"; mkdir "$work/out"; timed "$work" /dev/null "$sorvane" extract "$work/bench.mpq" -C "$work/out"; }
run_read() { timed "$work" /dev/null "$py" "$work/read_all.py" "$work/bench.mpq" "$work/read_calls.txt"; }
run_list() { timed "$work" /dev/null "$sorvane" list "$work/bench.mpq" --json; }
run_infolist() { timed "$work" /dev/null "$py" "$work/infolist.py" "$work/bench.mpq" "$work/list_calls.txt"; }

results=$work/results.txt
: >"$results"
i=1
while [ "$i" -le "$runs" ]; do
  if [ $((i % 2)) -eq 1 ]; then
    a=$(run_extract); b=$(run_read); c=$(run_list); d=$(run_infolist)
  else
    d=$(run_infolist); c=$(run_list); b=$(run_read); a=$(run_extract)
  fi
  e=$(tail -n 1 "$work/read_calls.txt"); f=$(tail -n 1 "$work/list_calls.txt")
  set -- $a $b $c $d $e $f
  echo "$1 $2 $3 $4 $5 $6 $7 $8 $9 ${10} ${11} ${12}" >>"$results"
  echo "  run $i: extract $1 ms (cpu $2); Archive.read process $3 ms (cpu $4), calls $9 ms (cpu ${10});" \
       "list --json $5 ms (cpu $6); infolist process $7 ms (cpu $8), calls ${11} ms (cpu ${12})"
  i=$((i + 1))
done
echo "median wall: extract $(col_median "$results" 1) ms, Archive.read $(col_median "$results" 9) ms" \
     "($(col_median "$results" 3) ms with the interpreter's start), list --json $(col_median "$results" 5) ms," \
     "infolist $(col_median "$results" 11) ms ($(col_median "$results" 7) ms with the start)"
echo "median ratio Archive.read/extract: wall $(ratio_median "$results" 9 1), cpu $(ratio_median "$results" 10 2)" \
     "(target <= 1.5); whole process: wall $(ratio_median "$results" 3 1), cpu $(ratio_median "$results" 4 2)"
echo "median ratio infolist/list --json: wall $(ratio_median "$results" 11 5), cpu $(ratio_median "$results" 12 6)" \
     "(target <= 1.5); whole process: wall $(ratio_median "$results" 7 5), cpu $(ratio_median "$results" 8 6)"
