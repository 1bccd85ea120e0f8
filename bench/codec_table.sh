#!/bin/sh
# Builds the codec benchmarks (optimised) and prints one table: MB/s of
# uncompressed bytes for every codec in both directions on the fixed corpus,
# beside zlib's inflate and deflate level 6 measured in the same program run,
# with the speed ratio against zlib and the compression ratios.
#   bench/codec_table.sh [build dir] [repetitions] [min seconds per run]
# Repetitions are interleaved at random (the machine may be shared) and the
# table shows their medians. The raw results stay in <build dir>/codec-*.json.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
reps=${2:-5}
min_time=${3:-0.2}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRIX_TESTS=OFF -DTAVRIX_BENCH=ON >/dev/null
cmake --build "$build" --target dcl_bench huffman_bench adpcm_bench -j2 >/dev/null

for prog in dcl huffman adpcm; do
  echo "running ${prog}_bench ($reps repetitions)..." >&2
  "$build/bench/${prog}_bench" --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_min_time="$min_time" \
    --benchmark_format=json --benchmark_out_format=json \
    --benchmark_out="$build/codec-$prog.json" >/dev/null
done

python3 - "$build" <<'EOF'
import json, sys

build = sys.argv[1]
kinds = ["text", "binary", "wav", "compressed"]

def load(prog):
    with open(f"{build}/codec-{prog}.json") as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median" or "bytes_per_second" not in b:
            continue
        out[b["run_name"]] = (b["bytes_per_second"] / 1e6, b.get("ratio"))
    return data["context"], out

rows = []
# name, program, benchmark prefix, argument suffix, zlib baseline, target factor
specs = [
    ("Implode binary", "dcl", "BM_Implode", "/0", "BM_ZlibDeflate6", 1.0),
    ("Implode ascii", "dcl", "BM_Implode", "/1", "BM_ZlibDeflate6", None),
    ("Explode binary", "dcl", "BM_Explode", "/0", "BM_ZlibInflate", 1.0),
    ("Explode ascii", "dcl", "BM_Explode", "/1", "BM_ZlibInflate", None),
    ("Huffman compress t0", "huffman", "BM_HuffmanCompress", "/0", "BM_ZlibDeflate6", None),
    ("Huffman compress t2", "huffman", "BM_HuffmanCompress", "/2", "BM_ZlibDeflate6", None),
    ("Huffman compress t7", "huffman", "BM_HuffmanCompress", "/7", "BM_ZlibDeflate6", None),
    ("Huffman decode t0", "huffman", "BM_HuffmanDecompress", "/0", "BM_ZlibInflate", 0.5),
    ("Huffman decode t1", "huffman", "BM_HuffmanDecompress", "/1", "BM_ZlibInflate", 0.5),
    ("Huffman decode t2", "huffman", "BM_HuffmanDecompress", "/2", "BM_ZlibInflate", 0.5),
    ("Huffman decode t3", "huffman", "BM_HuffmanDecompress", "/3", "BM_ZlibInflate", 0.5),
    ("Huffman decode t4", "huffman", "BM_HuffmanDecompress", "/4", "BM_ZlibInflate", 0.5),
    ("Huffman decode t5", "huffman", "BM_HuffmanDecompress", "/5", "BM_ZlibInflate", 0.5),
    ("Huffman decode t6", "huffman", "BM_HuffmanDecompress", "/6", "BM_ZlibInflate", 0.5),
    ("Huffman decode t7", "huffman", "BM_HuffmanDecompress", "/7", "BM_ZlibInflate", 0.5),
    ("Huffman decode t8", "huffman", "BM_HuffmanDecompress", "/8", "BM_ZlibInflate", 0.5),
    ("ADPCM encode mono", "adpcm", "BM_AdpcmEncode", "/1/5", "BM_ZlibDeflate6", None),
    ("ADPCM encode stereo", "adpcm", "BM_AdpcmEncode", "/2/5", "BM_ZlibDeflate6", None),
    ("ADPCM decode mono", "adpcm", "BM_AdpcmDecode", "/1/5", "BM_ZlibInflate", None),
    ("ADPCM decode stereo", "adpcm", "BM_AdpcmDecode", "/2/5", "BM_ZlibInflate", None),
    ("Sector 0x41 compress", "adpcm", "BM_SectorCompress", "/65", "BM_ZlibDeflate6", None),
    ("Sector 0x81 compress", "adpcm", "BM_SectorCompress", "/129", "BM_ZlibDeflate6", None),
    ("Sector 0x41 decompress", "adpcm", "BM_SectorDecompress", "/65", "BM_ZlibInflate", None),
    ("Sector 0x81 decompress", "adpcm", "BM_SectorDecompress", "/129", "BM_ZlibInflate", None),
]
results = {}
context = None
for prog in ("dcl", "huffman", "adpcm"):
    context, results[prog] = load(prog)

print(f"# {context.get('num_cpus')} CPUs at {context.get('mhz_per_cpu')} MHz, "
      f"load {', '.join('%.2f' % x for x in context.get('load_avg', []))}; "
      "medians; MB = 10^6 bytes of uncompressed data")
print("# zlib = same program's deflate level 6 / inflate on the same 4096-byte sectors")
print("# size = compressed / original; an aggregate size >= 1 means such sectors are stored")
print("#        plain in an archive, so the decoder never runs on them (target n/a)")
hdr = f"{'codec':<24}{'corpus':<11}{'MB/s':>8}{'zlib MB/s':>11}{'vs zlib':>9}{'size':>7}{'zlib size':>11}  target"
print(hdr)
print("-" * len(hdr))
missed = []
for name, prog, bench, suffix, base, target in specs:
    for k, kind in enumerate(kinds):
        key = f"{bench}/{k}{suffix}"
        if key not in results[prog]:
            continue
        speed, size = results[prog][key]
        zspeed, zsize = results[prog][f"{base}/{k}"]
        rel = speed / zspeed
        verdict = ""
        if target is not None:
            if size is not None and size >= 1.0 and base == "BM_ZlibInflate":
                verdict = "n/a (stored plain)"
            else:
                ok = rel >= target
                verdict = f">= {target:g}x {'met' if ok else 'MISSED'}"
                if not ok:
                    missed.append(f"{name} on {kind}: {rel:.2f}x of zlib (target {target:g}x)")
        print(f"{name:<24}{kind:<11}{speed:8.1f}{zspeed:11.1f}{rel:8.2f}x{size:7.3f}{zsize:11.3f}  {verdict}")
    print()
if missed:
    print("targets missed:")
    for m in missed:
        print("  " + m)
else:
    print("all targets met")
EOF
