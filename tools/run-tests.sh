#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Installs what is missing, checks that the committed data files are what
# their generators make from Debian's cctbx and periodictable, builds
# everything with warnings as errors and runs the whole test suite and a
# quick run of the benchmarks, then the parallel stages under
# ThreadSanitizer (SKIP_TSAN=1 skips them). With
# SANITIZE=1 it builds into build-asan with AddressSanitizer and
# UndefinedBehaviorSanitizer instead. JOBS sets the builds' parallel jobs
# (default 2).
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/check_data.sh
BUILD=build
FLAGS=""
if [ "${SANITIZE:-0}" = 1 ]; then
  BUILD=build-asan
  FLAGS="-DPULVINA_SANITIZE=ON"
  LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp"
  export LSAN_OPTIONS
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPULVINA_WERROR=ON $FLAGS > /dev/null
cmake --build "$BUILD" -j "${JOBS:-2}"
(cd "$BUILD" && ctest --output-on-failure --timeout 600 -j2)

# The benchmarks are built on demand only: built here, and their quick ones
# run once, they cannot rot unseen into code that no longer compiles or
# into a report of errors where the figures should be.
if [ "${SANITIZE:-0}" != 1 ]; then
  cmake --build "$BUILD" -j "${JOBS:-2}" --target benchmarks
  "$BUILD"/bench/bench_solve --benchmark_filter='AnnealingMoves|RestartsOfOneModel' \
    > "$BUILD/bench-smoke.txt"
  if grep "ERROR OCCURRED" "$BUILD/bench-smoke.txt"; then exit 1; fi
fi

# The parallel stages under ThreadSanitizer: the tests that run models on
# several threads, the batch solver's runs at 1, 2 and 4 threads, and the
# desktop program's tests, whose background jobs run the stages on worker
# threads (they bring their own suppressions for the toolkit's libraries).
if [ "${SANITIZE:-0}" != 1 ] && [ "${SKIP_TSAN:-0}" != 1 ]; then
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPULVINA_TSAN=ON \
    -DPULVINA_BENCH=OFF > /dev/null
  cmake --build build-tsan -j "${JOBS:-2}" --target kernel_tests pulvina-solve pulvina-simulate \
    ui_tests
  SUPPRESSIONS="$(pwd)/tests/tsan.supp"
  (cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$SUPPRESSIONS" \
    ctest --output-on-failure --timeout 900 -j2 -R 'Stages\.|Messages\.|BatchSolver\.|IntensityTest\.Moves|^ui$')
fi
