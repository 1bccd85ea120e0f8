#!/bin/sh
# What an update costs as the archive's tables and files grow:
#  1. dead space: 1,000 single-file adds of 1-4 KB files, each its own
#     library call with the name list kept (no batch), against the same
#     archive compacted (bench/dead_space.cpp);
#  2. peak memory of `sorvane add` of one 300 MB file against one 3 MB file,
#     imploded and stored;
#  3. `sorvane add` of 2,000 files (one batch) into a 262,144-entry hash
#     table against a 4,096-entry one, stored and imploded, the two sizes
#     alternating in every round;
#  4. the file's size along 40 updates that alternately add and delete one
#     file of an archive with a 64 MiB hash table, and along 1,000 of them
#     with a 4,096-entry one (bench/dead_space.cpp);
#  5. dead space of 1,000 single adds of 64 KiB stored files (larger than
#     the block table, so no hole a table copy leaves takes one), without
#     and with the name list kept, against the compacted archive's tables.
#   bench/update_scale_bench.sh [build dir] [runs]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
build=${1:-$root/build-bench}
runs=${2:-5}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF >/dev/null
cmake --build "$build" --target sorvane dead_space -j2 >/dev/null
build=$(cd "$build" && pwd)
sorvane="$build/tools/sorvane/sorvane"

work=$(bench_workdir "$build" 1000000)
trap 'rm -rf "$work"' EXIT INT TERM
echo "work folder $work"

# ---- 1. dead space --------------------------------------------------------------
echo
echo "1. dead space after 1,000 single adds"
"$build/samples/dead_space" "$work" 1000 4096 | sed 's/^/  /'

# ---- 2. peak memory ------------------------------------------------------------
# Half random, half zeros in every MB: the codec has to work on it.
python3 - "$work" <<'EOF'
import os, sys, random
random.seed(1)
def write(path, mb):
    with open(path, "wb") as f:
        for _ in range(mb):
            f.write(random.randbytes(512 * 1024) + bytes(512 * 1024))
write(os.path.join(sys.argv[1], "small.bin"), 3)
write(os.path.join(sys.argv[1], "big.bin"), 300)
EOF
echo
echo "2. peak memory of one add (KB)"
for method in implode none; do
  for file in small big; do
    rm -f "$work/mem.mpq"
    kb=$(cd "$work" && peak_kb /dev/null "$sorvane" add mem.mpq "$file.bin" --compress "$method")
    echo "  $method, $file.bin ($(( $(wc -c <"$work/$file.bin") / 1000000 )) MB): $kb KB"
  done
done
rm -f "$work/big.bin" "$work/small.bin" "$work/mem.mpq"

# ---- 3. hash-table size ----------------------------------------------------------
python3 - "$work" <<'EOF'
import os, sys, random
random.seed(2)
for i in range(2000):
    d = os.path.join(sys.argv[1], "tree", "d%02d" % (i % 20))
    os.makedirs(d, exist_ok=True)
    size = 1000 + (i * 7919) % 7000
    data = random.randbytes(size // 2) + b"record %d " % i * (size // 20)
    with open(os.path.join(d, "f%04d.bin" % i), "wb") as f:
        f.write(data[:size])
EOF
add_into() {  # <hash entries> <method>: prints "wall_ms cpu_ms" of the add alone
  rm -f "$work/h.mpq"
  "$sorvane" create "$work/h.mpq" --hash-size "$1"
  (cd "$work" && timed "$work" /dev/null "$sorvane" add h.mpq tree --compress "$2")
}
echo
echo "3. add of 2,000 files: 262,144 against 4,096 hash entries"
for method in none implode; do
  : >"$work/scale.txt"
  i=1
  while [ "$i" -le "$runs" ]; do
    if [ $((i % 2)) -eq 1 ]; then
      a=$(add_into 4096 "$method"); b=$(add_into 262144 "$method")
    else
      b=$(add_into 262144 "$method"); a=$(add_into 4096 "$method")
    fi
    echo "$a $b" >>"$work/scale.txt"
    i=$((i + 1))
  done
  echo "  --compress $method: 4,096 entries $(col_median "$work/scale.txt" 1) ms" \
       "(cpu $(col_median "$work/scale.txt" 2)), 262,144 entries $(col_median "$work/scale.txt" 3) ms" \
       "(cpu $(col_median "$work/scale.txt" 4)); ratio wall $(ratio_median "$work/scale.txt" 3 1)," \
       "cpu $(ratio_median "$work/scale.txt" 4 2)"
done

# ---- 4. table space under alternating updates ---------------------------------
echo
echo "4. 40 alternating add/delete updates with a 4,194,304-entry (64 MiB) hash table"
"$build/samples/dead_space" "$work" churn 40 4194304 | sed 's/^/  /'
echo "   and 1,000 with a 4,096-entry one"
"$build/samples/dead_space" "$work" churn 1000 4096 | tail -2 | sed 's/^/  /'

# ---- 5. a growing block table --------------------------------------------------
echo
echo "5. 1,000 single adds of 64 KiB stored files, 4,096-entry hash table"
"$build/samples/dead_space" "$work" large 1000 4096 64 nolist | sed 's/^/  /'
"$build/samples/dead_space" "$work" large 1000 4096 64 | tail -2 | sed 's/^/  /'
