// SPDX-License-Identifier: BSD-3-Clause
// The shell: start-up, the message log, the file commands with their
// questions and accelerators, and the window geometry.
#include <glib/gstdio.h>
#include <gdk/gdkkeysyms.h>

#include "ui_testing.h"

namespace {

const char *const kBanner = "Pulvina (kernel version 2.0.0)\n\n";

std::string Title() { return gtk_window_get_title(GTK_WINDOW(window_main)); }
bool Press(guint key) {
  return gtk_accel_groups_activate(G_OBJECT(window_main), key, GDK_CONTROL_MASK);
}

}  // namespace

using Shell = AppTest;

TEST_F(Shell, StartsWithoutAJobAndLogsFromAnyThread) {
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_main));
  EXPECT_EQ(LogText(), kBanner);
  // A picture before errors, warnings and hints, none before the rest.
  for (int type : {+MESSAGE_ERROR, +MESSAGE_WARNING, +MESSAGE_HINT, +MESSAGE_PLAIN, 7})
    Message(type, "type %d\n", type);
  EXPECT_EQ(LogPictures(), 3);
  EXPECT_TRUE(Logged("\ntype 7\n"));
  // Messages from another thread wait for the GUI lock, which this thread
  // holds; they arrive while the loop turns.
  GThread *thread = g_thread_new("reporter", [](gpointer) -> gpointer {
    for (int i = 0; i < 50; ++i) Message(MESSAGE_WARNING, "from a worker %d\n", i);
    return nullptr;
  }, nullptr);
  ASSERT_TRUE(SpinUntil([] { return Logged("from a worker 49"); }, 5));
  {
    GuiLockReleased released;
    g_thread_join(thread);
  }
  EXPECT_EQ(LogPictures(), 53);
  Message(MESSAGE_PLAIN, "caf\xe9\n");  // no UTF-8: a Latin-1 file name
  EXPECT_TRUE(Logged("caf\xc3\xa9\n"));
}

TEST_F(Shell, OpenSaveAsAndSaveRoundTripAControlFileByteForByte) {
  TempDir dir;
  const std::string original = SourcePath("examples/zno_wurtzite/zno.epc");
  Open(original);
  EXPECT_EQ(Title(), "zno.epc — Pulvina");  // the name, not the folders
  EXPECT_STREQ(default_file_path, SourcePath("examples/zno_wurtzite").c_str());
  Screenshot(window_main, "main-window-job.png");
  user.files.push_back(dir.file("copy.epc"));
  gtk_action_activate(action_file_save_as);
  EXPECT_EQ(user.chooserTitles, (std::vector<std::string>{"Open File", "Save File"}));
  // Saved into another folder, the job names its peak file by the whole path.
  std::string moved = ReadWholeFile(original);
  const std::string peakFile = "\"zno.hkl\"";
  moved.replace(moved.find(peakFile), peakFile.size(),
                "\"" + SourcePath("examples/zno_wurtzite/zno.hkl") + "\"");
  EXPECT_EQ(ReadWholeFile(dir.file("copy.epc")), moved);
  EXPECT_STREQ(default_file_path, dir.path().c_str());
  // Save writes to the same file without asking.
  mark_file_changed();
  EXPECT_EQ(Title(), "*copy.epc — Pulvina");
  g_remove(dir.file("copy.epc").c_str());
  EXPECT_TRUE(Press(GDK_s));
  EXPECT_EQ(ReadWholeFile(dir.file("copy.epc")), moved);
  EXPECT_EQ(Title(), "copy.epc — Pulvina");
  EXPECT_TRUE(user.asked.empty());
}

TEST_F(Shell, AControlFileThatCannotBeReadLeavesTheJobClosed) {
  TempDir dir;
  dir.write("bad.epc", "this is no control file\n");
  user.answers = {GTK_RESPONSE_OK, GTK_RESPONSE_OK};
  user.files = {dir.file("bad.epc"), dir.file("missing.epc")};
  gtk_action_activate(action_file_open);
  EXPECT_EQ(user.asked.at(0).rfind("Cannot open the job " + dir.file("bad.epc") +
                                   ": it is no control file of Pulvina.", 0), 0u);
  gtk_action_activate(action_file_open);
  EXPECT_EQ(user.asked.at(1).rfind("Cannot open the job " + dir.file("missing.epc"), 0), 0u);
  EXPECT_EQ(jobing, 0);
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_main));
  EXPECT_TRUE(Logged("missing.epc"));
}

TEST_F(Shell, AChangedJobAsksOnceAndASaveThatDidNotHappenKeepsIt) {
  TempDir dir;
  gtk_action_activate(action_file_new);
  mark_file_changed();
  // Yes, save it, then the file dialog is cancelled: the job stays.
  user.answers = {GTK_RESPONSE_YES, GTK_RESPONSE_OK, GTK_RESPONSE_NO};
  user.files = {"", dir.file("no-such-folder/job.epc")};
  gtk_action_activate(action_file_close);
  EXPECT_EQ(jobing, 1);
  // A write that fails keeps the changed mark and says so.
  gtk_action_activate(action_file_save_as);
  EXPECT_EQ(file_changed_flag, 1);
  EXPECT_EQ(user.asked.back().rfind("The job could not be saved", 0), 0u);
  EXPECT_EQ(Title()[0], '*');
  // No, do not save: the job goes and the log starts afresh.
  EXPECT_TRUE(Press(GDK_w));
  // Asked first about the new job, then about the name the failed write gave it.
  EXPECT_EQ(user.Count("Save the changes to the job \"untitled.epc\" before closing?"), 1u);
  EXPECT_EQ(user.Count("Save the changes to the job \"job.epc\" before closing?"), 1u);
  EXPECT_EQ(Title(), "Pulvina");
  EXPECT_EQ(LogText(), kBanner);
}

TEST_F(Shell, WindowGeometryGoesToTheUserConfigFolderAndComesBackWhole) {
  const std::string config = join_path(g_get_user_config_dir(), "pulvina/config");
  EXPECT_EQ(uiConfigFileName, config);
  gtk_window_move(GTK_WINDOW(window_main), 40, 30);
  gtk_window_resize(GTK_WINDOW(window_main), 1040, 780);
  gtk_toggle_action_set_active(toggleaction_factor_plots_window, TRUE);
  gtk_window_move(GTK_WINDOW(window_factor_plots), 620, 110);
  UIConfig c;
  ASSERT_TRUE(SpinUntil([&] {
    return ReadUIConfig(config.c_str(), &c) && c.mainWidth == 1040 && c.factorLeft == 620;
  }, 5));
  pulvina_close_windows();
  ASSERT_TRUE(pulvina_open_windows());
  SpinFor(0.3);
  gint x = 0, y = 0, w = 0, h = 0;
  gtk_window_get_position(GTK_WINDOW(window_main), &x, &y);
  gtk_window_get_size(GTK_WINDOW(window_main), &w, &h);
  EXPECT_EQ(std::vector<gint>({x, y, w, h}), std::vector<gint>({40, 30, 1040, 780}));
  EXPECT_TRUE(gtk_widget_get_visible(window_factor_plots));
  // Closing an extra window unticks its toggle and remembers that.
  Delete(window_factor_plots);
  EXPECT_FALSE(gtk_toggle_action_get_active(toggleaction_factor_plots_window));
  ASSERT_TRUE(ReadUIConfig(config.c_str(), &c));
  EXPECT_EQ(c.factorShow, 0);
}
