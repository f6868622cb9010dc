// The shell: start-up, the message log, the file commands with their
// questions and accelerators, the window geometry and the help command.
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
  EXPECT_FALSE(gtk_action_get_sensitive(action_file_save));
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
  // Bytes that are no UTF-8 (a Latin-1 file name) still reach the log.
  Message(MESSAGE_PLAIN, "caf\xe9\n");
  EXPECT_TRUE(Logged("caf\xc3\xa9\n"));
}

TEST_F(Shell, OpenSaveAsAndSaveRoundTripAControlFileByteForByte) {
  ScratchDir dir;
  const std::string original = SourcePath("examples/zno_wurtzite/zno.epc");
  Open(original);
  EXPECT_EQ(Title(), original);
  EXPECT_STREQ(default_file_path, SourcePath("examples/zno_wurtzite").c_str());
  Screenshot(window_main, "main-window-job.png");
  user.files.push_back(dir.file("copy.epc"));
  gtk_action_activate(action_file_save_as);
  EXPECT_EQ(user.chooserTitles, (std::vector<std::string>{"Open File", "Save File"}));
  EXPECT_EQ(ReadFile(dir.file("copy.epc")), ReadFile(original));
  EXPECT_STREQ(default_file_path, dir.path().c_str());
  // Save writes to the same file without asking.
  mark_file_changed();
  EXPECT_EQ(Title(), dir.file("copy.epc") + "*");
  g_remove(dir.file("copy.epc").c_str());
  EXPECT_TRUE(Press(GDK_s));
  EXPECT_EQ(ReadFile(dir.file("copy.epc")), ReadFile(original));
  EXPECT_EQ(Title(), dir.file("copy.epc"));
  EXPECT_TRUE(user.asked.empty());
}

TEST_F(Shell, ANewJobIsSavedUnderANameAskedForAsTheKernelWritesIt) {
  ScratchDir dir;
  EXPECT_TRUE(Press(GDK_n));
  EXPECT_EQ(Title(), "untitled.epc");
  job.config.title = "fresh";
  user.files.push_back(dir.file("fresh.epc"));
  gtk_action_activate(action_file_save);
  EXPECT_EQ(file_changed_flag, 0);
  Config expected;
  InitializeConfig(&expected);
  expected.title = "fresh";
  char *text = nullptr;
  size_t size = 0;
  std::FILE *f = open_memstream(&text, &size);
  WriteConfig(f, &expected);
  std::fclose(f);
  EXPECT_EQ(ReadFile(dir.file("fresh.epc")), std::string(text, size));
  std::free(text);
  // Open from an open job asks to close it first.
  user.answers.push_back(GTK_RESPONSE_YES);
  user.files.push_back(dir.file("fresh.epc"));
  EXPECT_TRUE(Press(GDK_o));
  EXPECT_EQ(user.Count("A job is already running, do you want to close it and create a new one?"),
            1u);
  EXPECT_EQ(Title(), dir.file("fresh.epc"));
}

TEST_F(Shell, AControlFileThatCannotBeReadLeavesTheJobClosed) {
  ScratchDir dir;
  g_file_set_contents(dir.file("bad.epc").c_str(), "this is no control file\n", -1, nullptr);
  user.answers.push_back(GTK_RESPONSE_OK);
  user.files = {dir.file("bad.epc"), dir.file("missing.epc")};
  gtk_action_activate(action_file_open);
  EXPECT_EQ(user.Count("Wrong file format!"), 1u);
  gtk_action_activate(action_file_open);
  EXPECT_EQ(jobing, 0);
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_main));
  EXPECT_TRUE(Logged("missing.epc"));
}

TEST_F(Shell, AChangedJobAsksOnceAndASaveThatDidNotHappenKeepsIt) {
  ScratchDir dir;
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
  EXPECT_EQ(Title().back(), '*');
  // No, do not save: the job goes and the log starts afresh.
  EXPECT_TRUE(Press(GDK_w));
  EXPECT_EQ(user.Count("File has not been saved yet,\nDo you want to save it?"), 2u);
  EXPECT_EQ(Title(), "Pulvina");
  EXPECT_EQ(LogText(), kBanner);
  // Emptying the pages changed nothing that belongs to a job: quitting
  // asks nothing.
  mark_file_changed();
  gtk_action_activate(action_exit);
  EXPECT_TRUE(quitRequested);
  EXPECT_EQ(user.asked.size(), 3u);
}

TEST_F(Shell, WindowGeometryGoesToTheUserConfigFolderAndComesBackWhole) {
  const std::string config = join_path(g_get_user_config_dir(), "pulvina/config");
  EXPECT_EQ(uiConfigFileName, config);
  gtk_window_move(GTK_WINDOW(window_main), 40, 30);
  gtk_window_resize(GTK_WINDOW(window_main), 1040, 780);
  gtk_toggle_action_set_active(toggleaction_factor_plots_window, TRUE);
  gtk_window_move(GTK_WINDOW(window_factor_plots), 620, 110);
  UIConfig c;
  ASSERT_TRUE(SpinUntil([&c] {
    return ReadUIConfig(uiConfigFileName.c_str(), &c) && c.mainWidth == 1040 &&
           c.factorLeft == 620;
  }, 5));
  EXPECT_FALSE(g_file_test("config", G_FILE_TEST_EXISTS));  // not where the program runs
  pulvina_close_windows();
  ASSERT_TRUE(pulvina_open_windows());
  SpinFor(0.3);
  gint x = 0, y = 0, w = 0, h = 0;
  gtk_window_get_position(GTK_WINDOW(window_main), &x, &y);
  gtk_window_get_size(GTK_WINDOW(window_main), &w, &h);
  EXPECT_EQ(std::vector<gint>({x, y, w, h}), std::vector<gint>({40, 30, 1040, 780}));
  gtk_window_get_position(GTK_WINDOW(window_factor_plots), &x, &y);
  EXPECT_EQ(std::vector<gint>({x, y}), std::vector<gint>({620, 110}));
  // Closing an extra window unticks its toggle and remembers that.
  Delete(window_factor_plots);
  EXPECT_FALSE(gtk_toggle_action_get_active(toggleaction_factor_plots_window));
  ASSERT_TRUE(ReadUIConfig(config.c_str(), &c));
  EXPECT_EQ(c.factorShow, 0);
  // A file that lacks a window restores nothing.
  pulvina_close_windows();
  g_file_set_contents(config.c_str(),
                      "[main window]\ntop=20\nleft=20\nwidth=500\nheight=400\n\n"
                      "[factor plots window]\nshow=true\ntop=0\nleft=0\nwidth=300\nheight=300\n",
                      -1, nullptr);
  ASSERT_TRUE(pulvina_open_windows());
  SpinFor(0.2);
  EXPECT_FALSE(gtk_widget_get_visible(window_factor_plots));
  gtk_window_get_size(GTK_WINDOW(window_main), &w, &h);
  EXPECT_NE(w, 500);
}

TEST_F(Shell, HelpOpensTheManualAndAboutShowsItsBox) {
  gtk_action_activate(action_help_manual);
  ASSERT_EQ(user.openedUris.size(), 1u);
  gchar *file = g_filename_from_uri(user.openedUris[0].c_str(), nullptr, nullptr);
  ASSERT_NE(file, nullptr) << user.openedUris[0];
  EXPECT_TRUE(g_file_test(file, G_FILE_TEST_IS_REGULAR)) << file;
  EXPECT_TRUE(g_str_has_suffix(file, "manual/index.html")) << file;
  g_free(file);
  user.answers.push_back(GTK_RESPONSE_CANCEL);
  gtk_action_activate(action_about);
  EXPECT_EQ(user.asked.size(), 1u);
  EXPECT_FALSE(gtk_widget_get_visible(dlg_about));
}
