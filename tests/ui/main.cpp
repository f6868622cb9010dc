// SPDX-License-Identifier: BSD-3-Clause
// The desktop program's tests need a display; run them under xvfb-run.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

#include "CrystalMain.h"
#include "testing.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The program keeps its window geometry in the user's configuration
  // folder; the tests get a folder of their own before GLib reads it.
  const TempDir home;
  setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
  // Recently used files too.
  setenv("XDG_DATA_HOME", home.path().c_str(), 1);
  pulvina_init_threads();
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "ui_tests: no display; run under xvfb-run\n");
    return 1;
  }
  gdk_threads_enter();
  const int status = RUN_ALL_TESTS();
  gdk_threads_leave();
  return status;
}
