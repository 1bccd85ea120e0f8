#!/bin/sh
# Installs libsorvane, static and then shared, each into a temporary prefix
# and checks what a program outside this repository gets:
#  - the headers: only under include/sorvane/, each compiles alone as C11 and
#    as C++ with -Wall -Wextra -Werror -pedantic (also with <windows.h> under
#    the mingw cross-compiler, when present), and includes only its siblings
#    and the standard or system headers it is allowed;
#  - nothing installed is named generically;
#  - the shared library exports exactly the operations the header declares,
#    under a versioned SONAME;
#  - the examples, built once through find_package(Sorvane) and once through
#    pkg-config, list and extract the sample archive as the installed
#    sorvane does;
#  - the pure-C example, built by a project that enables C alone and by cc
#    with pkg-config's flags and nothing else, lists the sample's entries
#    and puts a failure in words.
# Usage: scripts/test-install.sh [build-dir-prefix]   (default build-install)
set -eu
cd "$(dirname "$0")/.."
root="$(pwd)"
base="${1:-build-install}"
sh scripts/install-deps.sh cmake g++ make pkg-config zlib1g-dev libbz2-dev libgcrypt20-dev binutils
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sample="$root/samples/sample.mpq"
fail() { echo "test-install: $*" >&2; exit 1; }
say() { echo "--- $*"; }

# The operations a header declares: the name on each line that begins with
# SORVANE_API.
declared() { sed -n 's/^SORVANE_API .*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$@" | sort -u; }

check_headers() {
  prefix="$1"
  say "installed headers"
  find "$prefix/include" -type f | sed "s|^$prefix/||"
  outside="$(find "$prefix/include" -type f ! -path "$prefix/include/sorvane/*")"
  [ -z "$outside" ] || fail "headers outside include/sorvane/: $outside"
  for h in "$prefix"/include/sorvane/*; do
    name="sorvane/$(basename "$h")"
    # Each include names a sibling or one of the standard or system headers
    # a public header may use; anything else is a private header.
    grep -E '^[[:space:]]*#[[:space:]]*include' "$h" | while read -r line; do
      target="$(echo "$line" | sed 's/.*[<"]\(.*\)[>"].*/\1/')"
      case "$target" in
        stdbool.h|stddef.h|stdint.h|windows.h) ;;
        sorvane/*) [ -f "$prefix/include/$target" ] || fail "$name includes $target, which is not installed" ;;
        *) fail "$name includes $target, which is not a public header" ;;
      esac
    done
    # A function declared without SORVANE_API would be left out of the
    # shared library's exports.
    unmarked="$(grep -nE '^[A-Za-z_][A-Za-z0-9_ ]*[ *]+[A-Za-z_][A-Za-z0-9_]*\(' "$h" |
                grep -vE '^[0-9]+:(SORVANE_API |typedef |#)' || true)"
    [ -z "$unmarked" ] || fail "$name declares functions without SORVANE_API: $unmarked"
    printf '#include <%s>\nint main(void) { return GetSorvaneVersion() == 0; }\n' "$name" >"$work/one.src"
    gcc -x c -std=c11 -Wall -Wextra -Werror -pedantic -I"$prefix/include" -fsyntax-only "$work/one.src" ||
      fail "$name does not compile alone as C11"
    g++ -x c++ -std=c++11 -Wall -Wextra -Werror -pedantic -I"$prefix/include" -fsyntax-only "$work/one.src" ||
      fail "$name does not compile alone as C++11"
    if command -v x86_64-w64-mingw32-gcc >/dev/null; then
      printf '#include <windows.h>\n#include <%s>\nint main(void) { SetLastError(ERROR_FILE_CORRUPT); return GetLastError() == ERR_NOT_ARCHIVE; }\n' \
        "$name" >"$work/win.c"
      x86_64-w64-mingw32-gcc -x c -std=c11 -Wall -Wextra -Werror -pedantic -DSORVANE_STATIC -I"$prefix/include" \
        -fsyntax-only "$work/win.c" || fail "$name does not compile as C beside <windows.h>"
      printf '#include <%s>\n#include <windows.h>\nOVERLAPPED o;\n' "$name" >"$work/win2.c"
      x86_64-w64-mingw32-gcc -x c -std=c11 -Wall -Wextra -Werror -pedantic -I"$prefix/include" \
        -fsyntax-only "$work/win2.c" || fail "$name does not compile as C before <windows.h>"
      echo "$name compiles as C11 and C++11 (-Wall -Wextra -Werror -pedantic), and as C11 with <windows.h> (mingw)"
    else
      echo "$name compiles as C11 and C++11 (-Wall -Wextra -Werror -pedantic); no mingw here for the <windows.h> check"
    fi
  done
}

check_names() {
  prefix="$1"
  say "installed files"
  (cd "$prefix" && find . -type f -o -type l | sort | sed 's|^\./||')
  generic="$(cd "$prefix" && find . \( -type f -o -type l \) \( -path './lib*/lib*' -o -path './bin/*' \) |
             grep -Ev '/(libsorvane[^/]*|sorvane|tavrix)$' || true)"
  [ -z "$generic" ] || fail "installed under a name that is not the project's: $generic"
}

check_exports() {
  prefix="$1"
  lib="$(find "$prefix" -name 'libsorvane.so.*.*' | head -n 1)"
  [ -n "$lib" ] || fail "no libsorvane.so installed"
  say "shared library $(basename "$lib")"
  objdump -p "$lib" | grep SONAME
  objdump -p "$lib" | grep -q "SONAME *libsorvane.so.[0-9]" || fail "no versioned SONAME"
  nm -D --defined-only "$lib" | awk '{print $3}' | sort -u >"$work/exported"
  declared "$prefix"/include/sorvane/*.h >"$work/declared"
  if ! diff "$work/declared" "$work/exported" >"$work/export-diff"; then
    cat "$work/export-diff"
    fail "the exported symbols are not the declared operations (< declared only, > exported only)"
  fi
  echo "nm -D: $(wc -l <"$work/exported") symbols exported, exactly the $(wc -l <"$work/declared") operations the header declares"
}

# Runs the pure-C example of one build: every entry of the sample, named
# where sorvane names it, and an error code in words.
run_pure_c() {
  bindir="$1"; label="$2"
  say "pure-C example ($label)"
  "$bindir/entries" "$sample" | tee "$work/entries-$label.txt"
  grep -q 'Sounds\\chime.wav$' "$work/entries-$label.txt" || fail "entries did not name the sample's files"
  if "$bindir/entries" "$work/missing.mpq" 2>"$work/entries-err"; then fail "entries opened a missing archive"; fi
  cat "$work/entries-err"
  grep -q 'error 2)$' "$work/entries-err" && ! grep -q 'unknown error' "$work/entries-err" ||
    fail "entries gave no words for a missing archive"
}

# Runs the examples of one build and checks them against the installed sorvane.
run_examples() {
  prefix="$1"; bindir="$2"; label="$3"
  say "examples ($label)"
  out="$work/out-$label"; mkdir -p "$out"
  "$bindir/list_and_extract" "$sample" | tee "$out/list.txt"
  grep -q 'Sounds\\chime.wav' "$out/list.txt" || fail "list_and_extract did not list the sample"
  for name in 'Data\zlib.txt' 'Maps\Secret\plan.txt' 'Sounds\chime.wav'; do
    "$bindir/list_and_extract" "$sample" "$name" "$out/one"
    rm -rf "$out/ref"
    "$prefix/bin/sorvane" extract "$sample" "$name" -C "$out/ref" >/dev/null
    cmp "$out/one" "$out/ref/$(printf '%s' "$name" | tr '\\' /)" || fail "$name extracted differently"
  done
  "$bindir/checksums" "$sample"
}

for kind in static shared; do
  build="$base-$kind"
  prefix="$work/prefix-$kind"
  shared=OFF; [ "$kind" = shared ] && shared=ON
  say "build and install ($kind) into $prefix"
  cmake -S . -B "$build" -DTAVRIX_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS="$shared" >/dev/null
  cmake --build "$build" -j2 --target sorvane_lib tavrix sorvane
  cmake --install "$build" --prefix "$prefix" | sed "s|$prefix|PREFIX|"
  check_names "$prefix"
  check_headers "$prefix"
  [ "$kind" = shared ] && check_exports "$prefix"

  say "installed sorvane on the sample"
  "$prefix/bin/sorvane" list "$sample"
  "$prefix/bin/sorvane" verify -v "$sample"

  say "examples through find_package(Sorvane) ($kind)"
  cmake -S examples -B "$work/cmake-$kind" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/cmake-$kind" -j2
  run_examples "$prefix" "$work/cmake-$kind" "cmake-$kind"
  say "pure-C project through find_package(Sorvane) ($kind)"
  cmake -S examples/pure_c -B "$work/c-$kind" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/c-$kind" -j2
  run_pure_c "$work/c-$kind" "cmake-$kind"

  say "examples through pkg-config ($kind)"
  PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name sorvane.pc)")"
  export PKG_CONFIG_PATH
  static=""; rpath=""
  if [ "$kind" = static ]; then static="--static"; else rpath="-Wl,-rpath,$(pkg-config --variable=libdir sorvane)"; fi
  echo "pkg-config --cflags --libs $static sorvane: $(pkg-config --cflags --libs $static sorvane | sed "s|$prefix|PREFIX|g")"
  mkdir -p "$work/pc-$kind"
  # shellcheck disable=SC2046
  gcc -std=c11 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags sorvane) examples/list_and_extract.c \
    -o "$work/pc-$kind/list_and_extract" $(pkg-config --libs $static sorvane) $rpath
  # shellcheck disable=SC2046
  g++ -std=c++17 -Wall -Wextra -Werror -pedantic $(pkg-config --cflags sorvane) examples/checksums.cpp \
    -o "$work/pc-$kind/checksums" $(pkg-config --libs $static sorvane) $rpath
  # shellcheck disable=SC2046
  cc $(pkg-config --cflags sorvane) examples/pure_c/entries.c -o "$work/pc-$kind/entries" \
    $(pkg-config --libs $static sorvane) $rpath
  [ "$kind" = shared ] && ldd "$work/pc-$kind/list_and_extract" | grep libsorvane
  run_examples "$prefix" "$work/pc-$kind" "pkg-config-$kind"
  run_pure_c "$work/pc-$kind" "pkg-config-$kind"
done
say "install checks passed"
