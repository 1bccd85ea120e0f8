# Package helpers shared by the install scripts (sourced, not run). A failed
# apt-get never stops a script by itself: a mirror caught mid-sync fails an
# index now and then, and what the lists already hold is usually enough.
# Only a package that is needed and still missing after all that fails the
# caller, by name.
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"

# Prints those of the given packages that are not installed, space-separated.
apt_missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || printf ' %s' "$p"
  done
}

apt_update() {
  $SUDO apt-get update -qq && return 0
  pause="${TAVRIX_APT_PAUSE:-20}"
  echo "apt-get update failed; trying once more in $pause s"
  sleep "$pause"
  $SUDO apt-get update -qq && return 0
  echo "apt-get update failed again: going on with the package lists this machine already has"
}

# Installs the packages; succeeds when all of them are installed afterwards.
# One package apt cannot install keeps it from installing any of the others
# asked for with it, so after a failure each is tried on its own.
apt_install() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" && return 0
  for p in "$@"; do
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$p" || true
  done
  [ -z "$(apt_missing "$@")" ]
}
