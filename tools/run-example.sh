#!/bin/sh
# Installs what is missing, builds, and runs the batch solver on the bundled
# example.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build --target pulvina-solve
./build/cli/pulvina-solve --stop-after setup examples/batio3/batio3.epc
