# Helpers shared by the benchmark scripts (sourced, not run).

# bench_workdir <build dir>: makes and prints a fresh work folder. Runs go to
# memory (/dev/shm) when it has room (need_kb, default 2 GB free), so the
# disk's write-back stalls do not drown the programs' own cost; BENCH_DIR
# measures elsewhere. tavrix names its output folder after the archive path
# with every '.' turned into '_', so the work folder must not hold dots.
bench_workdir() {
  need_kb=${2:-2000000}
  base=${BENCH_DIR:-}
  if [ -z "$base" ]; then
    base=${TMPDIR:-/tmp}
    if [ -d /dev/shm ] && [ -w /dev/shm ] &&
       [ "$(df -Pk /dev/shm | awk 'NR == 2 {print $4}')" -gt "$need_kb" ]; then
      base=/dev/shm
    fi
  fi
  case "$base" in *.*) base=$1 ;; esac
  mktemp -d "$base/tavrix_bench_XXXXXX"
}

# bench_need <command> <package>: installs the Debian package when the
# command is missing.
bench_need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  echo "installing $2..." >&2
  if [ "$(id -u)" -eq 0 ]; then
    apt-get install -y -q "$2" >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q "$2" >/dev/null; }
  else
    sudo apt-get install -y -q "$2" >/dev/null
  fi
}

# timed <work dir> <stdin file> <command...>: runs the command with that
# input and its output discarded, and prints "wall_ms cpu_ms" (cpu = user +
# system of the command and its children, the machine may be shared). On
# disk, a sync before each run keeps one program's write-back out of the next
# one's time. python3 times to the microsecond; /usr/bin/time, the fallback,
# to 10 ms.
timed() {
  t_work=$1; t_input=$2; shift 2
  case "$t_work" in /dev/shm/*) ;; *) sync ;; esac
  if command -v python3 >/dev/null; then
    python3 -c 'import os, resource, subprocess, sys, time
r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
t0 = time.perf_counter()
with open(sys.argv[1], "rb") as stdin:
    rc = subprocess.run(sys.argv[2:], stdin=stdin, stdout=subprocess.DEVNULL).returncode
t1 = time.perf_counter()
r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
print("%.1f %.1f" % ((t1 - t0) * 1000, cpu * 1000))
sys.exit(rc)' "$t_input" "$@"
  elif [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%e %U %S" -o "$t_work/time.txt" "$@" <"$t_input" >/dev/null
    awk '{printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000}' "$t_work/time.txt"
  else
    t0=$(date +%s%N)
    "$@" <"$t_input" >/dev/null
    t1=$(date +%s%N)
    echo "$(( (t1 - t0) / 1000000 )) 0"
  fi
}

# peak_kb <stdin file> <command...>: peak resident memory of one run, in KB.
peak_kb() {
  p_input=$1; shift
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%M" "$@" <"$p_input" 2>&1 >/dev/null | tail -n 1
  elif command -v python3 >/dev/null; then
    python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[2:], stdin=open(sys.argv[1], "rb"), stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$p_input" "$@"
  else
    echo "?"
  fi
}

median() { sort -n | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# col_median <file> <column>; ratio_median <file> <column a> <column b>:
# medians over the rows of a results file, the ratio taken per row.
col_median() { awk -v c="$2" '{print $c}' "$1" | median; }
ratio_median() {
  awk -v a="$2" -v b="$3" '{ if ($b > 0) printf "%.4f\n", $a / $b; else print 0 }' "$1" | median
}
