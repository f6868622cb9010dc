#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Installs the Debian 12 packages Pulvina builds and tests with, only those
# that are missing, so that a second run costs nothing.
set -eu
PACKAGES="build-essential cmake ninja-build pkg-config
  libxml2-dev libgsl-dev libxy-dev libgtest-dev googletest libbenchmark-dev nlohmann-json3-dev libcli11-dev
  libgtk2.0-dev libgtkglext1-dev libgl-dev libglu1-mesa-dev
  libcairo2-dev libpango1.0-dev fonts-dejavu-core librsvg2-bin
  xvfb xauth help2man man-db file dpkg-dev
  python3-gemmi python3-cctbx python3-periodictable cod-tools
  libopenmpi-dev openmpi-bin"
missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
if [ -z "$missing" ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
