#!/bin/sh
# Installs what is missing, builds everything and runs the whole test suite.
# With SANITIZE=1 it builds into build-asan with AddressSanitizer and
# UndefinedBehaviorSanitizer instead.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
BUILD=build
FLAGS=""
if [ "${SANITIZE:-0}" = 1 ]; then
  BUILD=build-asan
  FLAGS="-DPULVINA_SANITIZE=ON"
  LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp"
  export LSAN_OPTIONS
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release $FLAGS > /dev/null
cmake --build "$BUILD"
cd "$BUILD"
ctest --output-on-failure --timeout 600 -j2
