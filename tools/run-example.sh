#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Installs what is missing, builds, and runs the batch solver on the bundled
# ZnO example; the ranked models and the best structure are printed, the
# files go to example-results/.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build --target pulvina-solve pulvina-simulate
./build/cli/pulvina-solve -o example-results examples/zno_wurtzite/zno.epc
