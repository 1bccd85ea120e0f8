#!/bin/sh
# Installs what a fresh Debian machine lacks for building and testing.
# Only packages that are missing are installed; one that still cannot be
# installed fails the script with its name.
# Usage: scripts/install-deps.sh [package...]
set -eu
. "$(dirname "$0")/apt-lib.sh"
want="cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev libbz2-dev libgcrypt20-dev clang libclang-rt-14-dev pkg-config libfuse3-dev fuse3"
[ $# -gt 0 ] && want="$*"
# shellcheck disable=SC2086
missing="$(apt_missing $want)"
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt_update
  # shellcheck disable=SC2086
  if ! apt_install $missing; then
    # shellcheck disable=SC2086
    echo "could not install:$(apt_missing $missing) (needed to build and test; apt-get said why above)" >&2
    exit 1
  fi
fi
