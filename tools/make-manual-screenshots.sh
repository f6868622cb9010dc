#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Remakes the screenshots of the HTML manual (docs/manual/images/) from the
# real program, run under Xvfb on the bundled scheelite example.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
BUILD=${BUILD:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$BUILD" --target pulvina-manual-shots
xvfb-run -a -s '-screen 0 1280x1024x24 +extension GLX' \
  "$BUILD/ui/pulvina-manual-shots" docs/manual/images
