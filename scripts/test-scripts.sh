#!/bin/sh
# Checks the install scripts' decisions against a stand-in apt-get, dpkg and
# dpkg-query early in PATH that fail the way a mirror caught mid-sync does:
# every `apt-get update` exits 100, and wine32:i386 cannot be installed
# ("held broken packages"). Nothing on the machine is installed or changed.
set -eu
cd "$(dirname "$0")/.."
here="$(pwd)"
fake="$(mktemp -d)"
trap 'rm -rf "$fake"' EXIT
mkdir "$fake/bin"
: >"$fake/arches"
: >"$fake/calls"

# Installed: everything but the 32-bit wine and the package "broken-dev".
cat >"$fake/bin/dpkg-query" <<'STUB'
#!/bin/sh
echo "dpkg-query $*" >>"$FAKE/calls"
last=""; for a in "$@"; do last="$a"; done
case "$last" in
  wine | wine32:i386 | broken-dev) exit 1 ;;
  -f=*) echo "installed zlib1g:amd64"; exit 0 ;;
esac
printf 'install ok installed'
STUB
cat >"$fake/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$FAKE/calls"
case " $* " in
  *" update "*)
    echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
    exit 100 ;;
  *" wine32:i386 "* | *" broken-dev "*)
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100 ;;
esac
exit 0
STUB
cat >"$fake/bin/dpkg" <<'STUB'
#!/bin/sh
echo "dpkg $*" >>"$FAKE/calls"
case "$1" in
  --print-foreign-architectures) cat "$FAKE/arches" ;;
  --add-architecture) echo "$2" >>"$FAKE/arches" ;;
  --remove-architecture) grep -vx "$2" "$FAKE/arches" >"$FAKE/arches.new" || true; mv "$FAKE/arches.new" "$FAKE/arches" ;;
esac
STUB
printf '#!/bin/sh\nexec "$@"\n' >"$fake/bin/sudo"
chmod +x "$fake/bin/"*

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
run() {
  : >"$fake/calls"
  env PATH="$fake/bin:$PATH" FAKE="$fake" TAVRIX_APT_PAUSE=0 TAVRIX_I386_PROBE=yes \
    TAVRIX_WINDOWS_DECIDE_ONLY=1 "$@" >"$fake/out" 2>&1 && code=0 || code=$?
}

# 32-bit programs run, the 32-bit wine cannot be installed: the 64-bit path, saying why.
run sh scripts/test-windows.sh
grep -q '^32-bit wine could not be installed: apt-get could not install wine wine32:i386; .*testing the 64-bit build under 64-bit wine instead$' "$fake/out" ||
  fail "the fallback did not say why"
grep -qx 'path: 64' "$fake/out" && [ "$code" -eq 0 ] || fail "the fallback did not take the 64-bit path (status $code)"
[ "$(grep -c '^apt-get update' "$fake/calls")" -eq 2 ] || fail "a failed apt-get update was not tried exactly twice"
grep -qx i386 "$fake/arches" && fail "the i386 architecture the script added was left behind"
grep -q 'going on with the package lists' "$fake/out" || fail "the failed update was not reported"
[ "$failures" -eq 0 ] || cat "$fake/out"
[ -n "${VERBOSE:-}" ] && cat "$fake/out"

# Forcing the 32-bit tests where they cannot run fails the step with the reason.
run env TAVRIX_WINDOWS_TESTS=both sh scripts/test-windows.sh
[ "$code" -ne 0 ] && grep -q '^TAVRIX_WINDOWS_TESTS=both, but 32-bit wine could not be installed' "$fake/out" ||
  { fail "TAVRIX_WINDOWS_TESTS=both did not fail with the reason (status $code)"; cat "$fake/out"; }

# Forcing the 64-bit path asks nothing of the 32-bit wine.
run env TAVRIX_WINDOWS_TESTS=64 sh scripts/test-windows.sh
grep -qx 'path: 64' "$fake/out" && ! grep -q 'wine32' "$fake/calls" ||
  { fail "TAVRIX_WINDOWS_TESTS=64 still tried the 32-bit wine"; cat "$fake/out"; }

# A package the build needs that cannot be installed fails, naming it.
run sh scripts/install-deps.sh cmake broken-dev
[ "$code" -ne 0 ] && grep -q '^could not install: broken-dev ' "$fake/out" ||
  { fail "install-deps.sh did not fail naming the package (status $code)"; cat "$fake/out"; }

[ "$failures" -eq 0 ] && echo "install scripts: the decisions hold with a failing mirror" || exit 1
cd "$here"
