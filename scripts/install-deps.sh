#!/bin/sh
# Installs what a fresh Debian machine lacks for building and testing.
# Only packages that are missing are installed.
set -eu
want="cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev libbz2-dev libgcrypt20-dev clang libclang-rt-14-dev"
[ $# -gt 0 ] && want="$*"
missing=""
for p in $want; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
