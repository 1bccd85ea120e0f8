#!/bin/sh
# Cross-builds everything for 32-bit Windows with mingw-w64 and runs every
# test under wine. Installs what a fresh Debian machine lacks (only that).
# Usage: scripts/test-windows.sh [build-dir] [extra cmake args]
set -eu
cd "$(dirname "$0")/.."
build="${1:-build-windows}"; [ $# -gt 0 ] && shift
jobs="$(nproc)"

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"

# Host tools and the GoogleTest sources that are built for the target.
sh scripts/install-deps.sh cmake make googletest

# The cross compiler and a 32-bit wine, which needs the i386 architecture.
need_update=""
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
missing=""
for p in g++-mingw-w64-i686-posix libz-mingw-w64-dev wine wine32:i386; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  need_update=1
fi
if [ -n "$need_update" ]; then
  $SUDO apt-get update -qq
fi
if [ -n "$missing" ]; then
  echo "installing:$missing"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

# A wine prefix of the build's own keeps the user's untouched and lets the
# script stop its wine processes without touching anyone else's. Mono and
# Gecko are not needed by console programs; skipping them keeps the prefix
# set-up short and free of prompts.
mkdir -p "$build"
WINEPREFIX="${TAVRIX_WINEPREFIX:-$(cd "$build" && pwd)/wineprefix}"
WINEDEBUG="-all,err+module"
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p "$WINEPREFIX"

# A persistent server and one warm-up run before anything runs a test
# program; otherwise wine's background processes start during a test and
# can keep ctest waiting.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit 0

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$build" -j"$jobs"
# Each test program is one ctest entry here (one wine process per program),
# so the case counts come from the programs' own summaries. A failing test
# fails the script through ctest's status.
status=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600 || status=$?
log="$build/Testing/Temporary/LastTest.log"
if [ -f "$log" ]; then
  echo "test cases under wine:"
  awk '
    function flush() { if (name != "") printf "  %-22s %s\n", name, (sum == "" ? "no summary (the program ended early)" : sum) }
    /^[0-9]+\/[0-9]+ Test: / { flush(); name = $3; sum = "" }
    /^\[==========\] [0-9]+ tests? from .* ran/ { sum = $2 " ran"; ran += $2 }
    /^\[  PASSED  \] [0-9]+ test/ { sum = sum ", " $4 " passed"; passed += $4 }
    /^\[  SKIPPED \] [0-9]+ test/ { sum = sum ", " $4 " skipped"; skipped += $4 }
    /^\[  FAILED  \] [0-9]+ test/ { sum = sum ", " $4 " failed"; failed += $4 }
    END { flush(); printf "  %-22s %d ran, %d passed, %d skipped, %d failed\n", "all", ran, passed, skipped, failed }' "$log" || true
fi
exit "$status"
