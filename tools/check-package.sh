#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Builds the Debian package from a configured and built build folder, installs
# it with apt-get, runs the installed pulvina-solve on a bundled example from
# an unrelated folder, and removes the package again unless it was installed
# before. Prints the package's fields and file list. Needs root or sudo.
# BUILD names the build folder (default: build).
set -eu
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

rm -f "$BUILD"/pulvina_*.deb
if ! (cd "$BUILD" && cpack -G DEB > cpack.log 2>&1); then
  cat "$BUILD/cpack.log" >&2
  echo "check-package: cpack failed" >&2
  exit 1
fi
deb=$(cd "$BUILD" && pwd)/$(cd "$BUILD" && ls pulvina_*_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends
dpkg -c "$deb"

before=$(dpkg-query -W -f='${Status}' pulvina 2>/dev/null || true)
tmp=$(mktemp -d)
cleanup() {
  cd /
  rm -rf "$tmp"
  case "$before" in
    *"install ok installed"*) ;;
    *) $SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq pulvina > /dev/null ;;
  esac
}
trap cleanup EXIT INT TERM
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" \
  > "$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; exit 1; }

cd "$tmp"
env -u PULVINA_DATA /usr/bin/pulvina-solve -q --seed 1 -o out \
  /usr/share/doc/pulvina/examples/zno_wurtzite/zno.epc > solve.log 2>&1 ||
  { cat solve.log >&2; echo "check-package: the installed pulvina-solve failed" >&2; exit 1; }
grep -q 'Zn(2b)+O(2b)' out/summary.tsv ||
  { cat solve.log >&2; echo "check-package: the example was not solved" >&2; exit 1; }
grep -q '^License: BSD-3-clause' /usr/share/doc/pulvina/copyright ||
  { echo "check-package: the package carries no copyright file" >&2; exit 1; }
LC_ALL=C man -P cat pulvina-solve 2> /dev/null | grep -q -- '--stop-after' ||
  { echo "check-package: man pulvina-solve does not show the options" >&2; exit 1; }
echo "check-package: $(basename "$deb") installs, and its pulvina-solve runs an example"
