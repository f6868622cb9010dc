// SPDX-License-Identifier: BSD-3-Clause
// The extra windows and the keyboard: geometry that comes back usable,
// windows the user can put behind the main one, unique shortcuts, actions
// that wait for a job, and what the status bar and the log report.
#include <glib/gstdio.h>

#include "ui_testing.h"

namespace {

struct ExtraWindow {
  const char *name;
  GtkWidget *const *window;
  GtkToggleAction *const *toggle;
  gint minWidth, minHeight;
};

const ExtraWindow kExtraWindows[] = {
    {"factor plots", &window_factor_plots, &toggleaction_factor_plots_window, 640, 400},
    {"peak plots", &window_peak_plots, &toggleaction_peak_plots_window, 640, 400},
    {"3D view", &window_3d_view, &toggleaction_3d_view_window, 480, 480},
};

std::string ConfigFile() { return join_path(g_get_user_config_dir(), "pulvina/config"); }

}  // namespace

using Windows = AppTest;

// A first run shows no extra window and quits: the next run shows each at
// a usable size on the screen, whatever the file said about unseen windows.
TEST_F(Windows, ExtraWindowsComeBackAtAUsableSizeOnTheScreen) {
  pulvina_close_windows();
  UIConfig c;
  ASSERT_TRUE(ReadUIConfig(ConfigFile().c_str(), &c));
  EXPECT_EQ(c.peakWidth, 0) << "a window never shown has no geometry to keep";
  // An older file with zero sizes and a window far off the screen.
  c.viewLeft = 5000;
  c.viewTop = 4000;
  c.viewWidth = 9000;
  c.viewHeight = 30;
  ASSERT_TRUE(UpdateUIConfig(ConfigFile().c_str(), &c));
  ASSERT_TRUE(pulvina_open_windows());
  const gint screenW = gdk_screen_get_width(gdk_screen_get_default());
  const gint screenH = gdk_screen_get_height(gdk_screen_get_default());
  for (const ExtraWindow &w : kExtraWindows) {
    SCOPED_TRACE(w.name);
    gtk_toggle_action_set_active(*w.toggle, TRUE);
    SpinFor(0.2);
    gint x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(GTK_WINDOW(*w.window), &x, &y);
    gtk_window_get_size(GTK_WINDOW(*w.window), &width, &height);
    EXPECT_GE(width, w.minWidth);
    EXPECT_GE(height, w.minHeight);
    EXPECT_LE(x + width, screenW);
    EXPECT_LE(y + height, screenH);
    EXPECT_GE(x, 0);
    EXPECT_GE(y, 0);
    Screenshot(*w.window, std::string("window-") + w.name + ".png");
  }
}

// The plot and 3D windows are ordinary windows: no keep-above hint, not
// tied above the main window, so the user can raise the main window.
TEST_F(Windows, ExtraWindowsCanGoBehindTheMainWindow) {
  for (const ExtraWindow &w : kExtraWindows) {
    SCOPED_TRACE(w.name);
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(*w.window)), nullptr);
    EXPECT_EQ(gtk_window_get_type_hint(GTK_WINDOW(*w.window)), GDK_WINDOW_TYPE_HINT_NORMAL);
  }
}
