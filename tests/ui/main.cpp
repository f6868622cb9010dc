// The desktop program's tests need a display; run them under xvfb-run.
#include <gtest/gtest.h>
#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CrystalMain.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The program keeps its window geometry in the user's configuration
  // folder; the tests get a folder of their own before GLib reads it.
  gchar *home = g_dir_make_tmp("pulvina-ui-config-XXXXXX", nullptr);
  if (!home) return 1;
  setenv("XDG_CONFIG_HOME", home, 1);
  pulvina_init_threads();
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "ui_tests: no display; run under xvfb-run\n");
    return 1;
  }
  gdk_threads_enter();
  const int status = RUN_ALL_TESTS();
  gdk_threads_leave();
  const std::string config = std::string(home) + "/pulvina/config";
  std::remove(config.c_str());
  g_rmdir((std::string(home) + "/pulvina").c_str());
  g_rmdir(home);
  g_free(home);
  return status;
}
