#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Rewrites the reference pictures of the plot and widget tests from what the
# drawing code draws now, for when a change of the drawing is meant. Look at
# the new pictures (git diff shows which changed) before committing them.
#
#   tools/update-reference-images.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake --build "$BUILD" -j2 --target plot_tests widget_tests
"$BUILD/tests/plot/plot_tests" --update-references --gtest_filter='PlotReference.EveryScene'
# The 3D views are drawn by Mesa's software OpenGL behind Xvfb, as in the tests.
xvfb-run -a -s '-screen 0 1280x1024x24 +extension GLX' \
  "$BUILD/tests/widgets/widget_tests" --update-references \
  --gtest_filter='CrystalView.ViewsLookLikeTheirReferences'
git status --short tests/plot/reference tests/widgets/reference
