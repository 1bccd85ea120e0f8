#!/bin/sh
# Installs the Python package into a fresh virtual environment of every
# Python 3.9 to 3.13 on this machine (those on PATH, pyenv's, Debian's
# python3), builds its wheel the same way, and runs its tests there against
# the sorvane tool of the same tree. Nothing comes from a package index:
#   pip install --no-index --no-build-isolation ./python
# Usage: scripts/test-python.sh [python...]   (default: every one found)
# SORVANE_BUILD_DIR: the CMake build of the shared library and the tool
# (default build-python).
set -eu
cd "$(dirname "$0")/.."
root="$(pwd)"
sh scripts/install-deps.sh cmake g++ make zlib1g-dev libbz2-dev libgcrypt20-dev python3 python3-venv
build="${SORVANE_BUILD_DIR:-$root/build-python}"
export SORVANE_BUILD_DIR="$build"
launcher=""
command -v ccache >/dev/null 2>&1 &&
  launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
# shellcheck disable=SC2086
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DTAVRIX_TESTS=OFF $launcher >/dev/null
cmake --build "$build" --target sorvane -j2 >/dev/null
export SORVANE_TOOL="$build/tools/sorvane/sorvane"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [ $# -gt 0 ]; then
  candidates="$*"
else
  candidates="/usr/bin/python3 python3"
  for v in 9 10 11 12 13; do candidates="$candidates python3.$v"; done
  if [ -d "${PYENV_ROOT:-$HOME/.pyenv}/versions" ]; then
    candidates="$candidates $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 2>/dev/null | tr '\n' ' ')"
  fi
fi

# Each interpreter once (by the program it runs), and only 3.9 to 3.13.
seen=""
tried=0
failed=""
for py in $candidates; do
  exe="$("$py" -c 'import sys; v = sys.version_info[:2]; print(sys.executable if (3, 9) <= v <= (3, 13) else "")' \
         2>/dev/null)" || continue
  [ -n "$exe" ] || continue
  real="$(readlink -f "$exe")"
  case " $seen " in *" $real "*) continue ;; esac
  seen="$seen $real"
  version="$("$exe" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')"
  echo "=== Python $version ($exe)"
  venv="$work/venv-$version"
  if ! "$exe" -m venv "$venv" >/dev/null 2>&1; then
    echo "cannot make a virtual environment with $exe (Debian: python3-venv); skipped"
    continue
  fi
  tried=$((tried + 1))
  if ! "$venv/bin/python" -m pip install -q --no-index --no-build-isolation "$root/python" ||
     ! "$venv/bin/python" -m pip wheel -q --no-index --no-build-isolation -w "$work/wheels-$version" "$root/python" ||
     ! ls "$work/wheels-$version"/sorvane-*.whl >/dev/null; then
    failed="$failed $version(install)"
    continue
  fi
  # From outside the repository, so that the installed package is the one imported.
  if ! (cd "$work" && "$venv/bin/python" -m unittest discover -s "$root/python/tests"); then
    failed="$failed $version"
  fi
done
[ "$tried" -gt 0 ] || { echo "test-python: no Python 3.9 to 3.13 found" >&2; exit 1; }
[ -z "$failed" ] || { echo "test-python: failed with Python$failed" >&2; exit 1; }
echo "test-python: $tried Python versions passed:$seen"
