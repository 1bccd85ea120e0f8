#!/bin/sh
# Cross-builds everything for Windows with mingw-w64 and runs every test
# under wine. Where this machine runs 32-bit programs: the 32-bit build's
# tests, then the 64-bit build's. Where it cannot (a kernel without the
# 32-bit layer, or a 32-bit wine that cannot be installed or cannot start a
# program): the 32-bit build is still made, so it cannot rot, and the
# tests run on the 64-bit build under 64-bit wine. Then the 64-bit library
# as a DLL, with the C example built against it. Installs what a fresh
# Debian machine lacks (only that).
# Usage: scripts/test-windows.sh [build-dir] [extra cmake args]
#   32-bit build in build-dir (default build-windows), 64-bit in build-dir-64,
#   the DLL in build-dir-dll.
#   TAVRIX_WINDOWS_64=build only builds the 64-bit programs (no tests).
#   TAVRIX_WINDOWS_TESTS=both|64 forces a path: both fails where the 32-bit
#   wine cannot run; 64 leaves the 32-bit build untested.
set -eu
cd "$(dirname "$0")/.."
build="${1:-build-windows}"; [ $# -gt 0 ] && shift
build64="$build-64"
jobs="$(nproc)"

. scripts/apt-lib.sh

# Which builds' tests run: the 32-bit and the 64-bit build ("both"), or the
# 64-bit build only ("64"); unset, the machine decides.
want="${TAVRIX_WINDOWS_TESTS:-auto}"
case "$want" in
  auto | both | 64) ;;
  *) echo "TAVRIX_WINDOWS_TESTS must be both or 64 (or unset), not \"$want\""; exit 2 ;;
esac

# Host tools, the GoogleTest sources that are built for the target, the
# cross compilers and the 64-bit wine: the step cannot go on without them.
sh scripts/install-deps.sh cmake make googletest g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  libz-mingw-w64-dev libgcrypt-mingw-w64-dev wine64

# Whether 32-bit x86 programs run here: a 91-byte static i386 program that
# only calls exit(0). Kernel configuration files are no guide (some claim
# the 32-bit layer on kernels that refuse its programs); running one is.
# TAVRIX_I386_PROBE=yes|no stands in for the answer (the script's own test).
runs_i386() {
  case "${TAVRIX_I386_PROBE:-}" in yes) return 0 ;; no) return 1 ;; esac
  probe="$(mktemp)"
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'\
'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'\
'\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000'\
'\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010'\
'\000\200\004\010\133\000\000\000\133\000\000\000\005\000\000\000'\
'\000\020\000\000'\
'\061\333\061\300\100\315\200' > "$probe"
  chmod +x "$probe"
  ok=1
  "$probe" 2>/dev/null || ok=0
  rm -f "$probe"
  [ "$ok" -eq 1 ]
}

# The 32-bit wine, which needs the i386 architecture. On failure sets
# `reason`. Multiarch needs the same versions of a library for both
# architectures, so an i386 index that failed to download can make wine32
# uninstallable for as long as the mirror is out of step; an architecture
# this script added is then taken out again (when no i386 package came in),
# so that the machine's later updates do not keep meeting the broken index.
install_wine32() {
  missing32="$(apt_missing wine wine32:i386)"
  [ -z "$missing32" ] && return 0
  added=""
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    added=1
  fi
  apt_update
  echo "installing:$missing32"
  # shellcheck disable=SC2086
  apt_install $missing32 && return 0
  # shellcheck disable=SC2086
  reason="apt-get could not install$(apt_missing $missing32)"
  if [ -n "$added" ] &&
    ! dpkg-query -W -f='${db:Status-Status} ${binary:Package}\n' 2>/dev/null | grep -q '^installed .*:i386$'; then
    echo "removing the i386 architecture again (no i386 package is installed)"
    $SUDO dpkg --remove-architecture i386 || true
  fi
  return 1
}

# Decides the path. `why` says why the 32-bit tests do not run.
mode=64
why=""
reason=""
if [ "$want" = 64 ]; then
  why="TAVRIX_WINDOWS_TESTS=64"
elif ! runs_i386; then
  why="this machine cannot run 32-bit programs"
elif ! install_wine32; then
  why="32-bit wine could not be installed: $reason"
else
  mode=32
fi
if [ "$mode" = 32 ]; then
  echo "32-bit programs run here: testing the 32-bit and the 64-bit Windows builds"
elif [ "$want" = both ]; then
  echo "TAVRIX_WINDOWS_TESTS=both, but $why"
  exit 1
else
  echo "$why; building the 32-bit Windows programs without running them, testing the 64-bit build under 64-bit wine instead"
fi
if [ -n "${TAVRIX_WINDOWS_DECIDE_ONLY:-}" ]; then
  echo "path: $mode"
  exit 0
fi

# Builds one Windows configuration. Usage: configure_and_build DIR TOOLCHAIN LOADER [cmake args]
configure_and_build() {
  dir="$1"; toolchain="$2"; loader="$3"; shift 3
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" -DTAVRIX_WINE="$loader" \
    -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$dir" -j"$jobs"
}

# Points wine at a prefix of the build's own: it keeps the user's untouched
# and lets the script stop its wine processes without touching anyone
# else's. Mono and Gecko are not needed by console programs; skipping them
# keeps the prefix set-up short and free of prompts.
# Usage: use_wine DIR LOADER SERVER DEBUG
use_wine() {
  WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
  WINELOADER="$2"
  WINESERVER="$3"
  WINEDEBUG="$4"
  WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES WINELOADER WINESERVER
  mkdir -p "$WINEPREFIX"
}

# Runs one build's tests under wine. Usage: run_tests DIR LOADER SERVER LABEL
run_tests() {
  dir="$1"; loader="$2"; server="$3"; label="$4"
  use_wine "$dir" "$loader" "$server" "-all,err+module"
  # A persistent server and one warm-up run before anything runs a test
  # program; otherwise wine's background processes start during a test and
  # can keep ctest waiting.
  "$server" -p
  "$loader" cmd /c exit 0 || true
  # Each test program is one ctest entry here (one wine process per
  # program), so the case counts come from the programs' own summaries.
  # A program whose run fails is run once more: wine itself fails a process
  # start now and then under load. Both runs stay in the log and in the
  # case counts below; the native and sanitizer runs allow no second try.
  tests_status=0
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600 --repeat until-pass:2 || tests_status=$?
  # The sample holds a bzip2 file, a method these builds lack: verify
  # reports that one file as not supported and every other as sound.
  echo "sorvane verify of the sample under the $label Windows build:"
  verify="$("$loader" "$dir/tools/sorvane/sorvane.exe" verify samples/sample.mpq 2>&1 | tr -d '\r')" || true
  printf "%s\n" "$verify"
  printf "%s\n" "$verify" | grep -q '^sorvane: not supported: Data\\bzip2.txt' &&
    printf "%s\n" "$verify" | grep -q '^11 files checked, 0 damaged, 1 not checked$' ||
    { echo "unexpected verify output"; tests_status=1; }
  "$server" -k 2>/dev/null || true
  log="$dir/Testing/Temporary/LastTest.log"
  if [ -f "$log" ]; then
    echo "test cases of the $label Windows build under wine:"
    awk '
      function flush() { if (name != "") printf "  %-22s %s\n", name, (sum == "" ? "no summary (the program ended early)" : sum) }
      /^[0-9]+\/[0-9]+ Test: / { flush(); name = $3; sum = "" }
      /^\[==========\] [0-9]+ tests? from .* ran/ { sum = $2 " ran"; ran += $2 }
      /^\[  PASSED  \] [0-9]+ test/ { sum = sum ", " $4 " passed"; passed += $4 }
      /^\[  SKIPPED \] [0-9]+ test/ { sum = sum ", " $4 " skipped"; skipped += $4 }
      /^\[  FAILED  \] [0-9]+ test/ { sum = sum ", " $4 " failed"; failed += $4 }
      END { flush(); printf "  %-22s %d ran, %d passed, %d skipped, %d failed\n", "all", ran, passed, skipped, failed }' "$log" || true
  fi
  return "$tests_status"
}

# The library as a DLL, as a Windows user of the package gets it: built with
# -DBUILD_SHARED_LIBS=ON and installed into a prefix; its export table must
# be exactly the operations the installed header declares, and the C
# example, built through find_package against it, must list the sample and
# extract a file as the installed sorvane.exe does. Usage: test_dll DIR LOADER SERVER
test_dll() {
  dir="$1"; loader="$2"; server="$3"
  prefix="$(pwd)/$dir/prefix"
  rm -rf "$prefix" "$dir/examples"
  configure_and_build "$dir" mingw-x86_64.cmake "$loader" -DBUILD_SHARED_LIBS=ON -DTAVRIX_TESTS=OFF
  cmake --install "$dir" --prefix "$prefix" >/dev/null
  dll="$prefix/bin/libsorvane.dll"
  [ -f "$dll" ] || { echo "no libsorvane.dll installed"; return 1; }
  x86_64-w64-mingw32-objdump -p "$dll" |
    awk '/\[Ordinal\/Name Pointer\] Table/ { t = 1; next } t && NF == 0 { t = 0 } t { print $NF }' |
    sort -u >"$dir/exported.txt"
  # The last-error calls are declared for other systems only: on Windows they
  # are the system's own.
  sed -n 's/^SORVANE_API .*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$prefix"/include/sorvane/*.h |
    grep -vx 'GetLastError\|SetLastError' | sort -u >"$dir/declared.txt"
  if ! diff "$dir/declared.txt" "$dir/exported.txt"; then
    echo "the DLL's exports are not the declared operations (< declared only, > exported only)"
    return 1
  fi
  echo "libsorvane.dll exports $(wc -l <"$dir/exported.txt") names, exactly the operations the header declares"
  cmake -S examples -B "$dir/examples" -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-x86_64.cmake" \
    -DSorvane_DIR="$prefix/lib/cmake/Sorvane" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir/examples" -j"$jobs" >/dev/null
  cp "$dll" "$dir/examples/"
  use_wine "$build64" "$loader" "$server" "-all"
  "$server" -p
  listing="$("$loader" "$dir/examples/list_and_extract.exe" samples/sample.mpq | tr -d '\r')" || true
  dll_status=0
  printf "%s\n" "$listing" | grep -q 'Sounds\\chime.wav' || { echo "the example on the DLL listed:"; printf "%s\n" "$listing"; dll_status=1; }
  "$loader" "$dir/examples/list_and_extract.exe" samples/sample.mpq 'Maps\Secret\plan.txt' "$dir/plan.txt" >/dev/null || dll_status=1
  "$loader" "$prefix/bin/sorvane.exe" extract samples/sample.mpq 'Maps\Secret\plan.txt' -C "$dir/ref" >/dev/null || dll_status=1
  cmp "$dir/plan.txt" "$dir/ref/Maps/Secret/plan.txt" || { echo "the example on the DLL extracted differently"; dll_status=1; }
  "$server" -k 2>/dev/null || true
  [ "$dll_status" -eq 0 ] && echo "the C example on libsorvane.dll listed the sample and extracted Maps\\Secret\\plan.txt as sorvane.exe does"
  return "$dll_status"
}

loader64=/usr/lib/wine/wine64
server64=/usr/lib/wine/wineserver64
status=0
configure_and_build "$build" mingw-i686.cmake wine "$@"
# An installed 32-bit wine that cannot start a program is no way to test.
if [ "$mode" = 32 ]; then
  use_wine "$build" wine wineserver "-all"
  if ! started="$(wine "$build/tools/sorvane/sorvane.exe" --version 2>&1)"; then
    why="32-bit wine cannot start a program: $(printf '%s' "$started" | tr -d '\r' | tail -n 1)"
    wineserver -k 2>/dev/null || true
    if [ "$want" = both ]; then
      echo "TAVRIX_WINDOWS_TESTS=both, but $why"
      exit 1
    fi
    echo "$why; testing the 64-bit build instead"
    mode=64
  fi
fi
if [ "$mode" = 32 ]; then
  run_tests "$build" wine wineserver "32-bit" || status=1
else
  echo "32-bit Windows build made; its tests are not run ($why)"
fi
configure_and_build "$build64" mingw-x86_64.cmake "$loader64" "$@"
if [ "${TAVRIX_WINDOWS_64:-test}" = build ]; then
  echo "64-bit Windows build made; its tests are not run (TAVRIX_WINDOWS_64=build)"
else
  run_tests "$build64" "$loader64" "$server64" "64-bit" || status=1
  test_dll "$build-dll" "$loader64" "$server64" || status=1
fi
exit "$status"
