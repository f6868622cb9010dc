// The shell: start-up, the message log, the file commands with their
// questions, the window geometry and the help command.
#include <glib/gstdio.h>
#include <gdk/gdkkeysyms.h>

#include "ui_testing.h"

namespace {

const char *const kZno = "examples/zno_wurtzite/zno.epc";

std::string Title() { return gtk_window_get_title(GTK_WINDOW(window_main)); }

// The control file the kernel writes for a configuration.
std::string ConfigText(const Config &config) {
  char *text = nullptr;
  size_t size = 0;
  std::FILE *f = open_memstream(&text, &size);
  WriteConfig(f, &config);
  std::fclose(f);
  std::string s(text, size);
  std::free(text);
  return s;
}

}  // namespace

using Shell = AppTest;

TEST_F(Shell, StartsWithoutAJobAndWritesTheBanner) {
  EXPECT_TRUE(gtk_widget_get_visible(window_main));
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_main));
  EXPECT_FALSE(gtk_action_get_sensitive(action_file_save));
  EXPECT_FALSE(gtk_action_get_sensitive(action_file_close));
  EXPECT_EQ(LogText(), "Pulvina (kernel version 2.0.0)\n\n");
  EXPECT_FALSE(gtk_widget_get_visible(window_factor_plots));
  // The plots and the view sit in their places.
  EXPECT_NE(gtk_bin_get_child(GTK_BIN(align_factor_plot)), nullptr);
  EXPECT_NE(gtk_bin_get_child(GTK_BIN(align_3d_view)), nullptr);
}

TEST_F(Shell, LogShowsAPictureBeforeErrorsWarningsAndHintsFromAnyThread) {
  Message(MESSAGE_ERROR, "an error\n");
  Message(MESSAGE_WARNING, "a warning\n");
  Message(MESSAGE_HINT, "a hint\n");
  Message(MESSAGE_PLAIN, "plain\n");
  Message(7, "type seven\n");
  EXPECT_EQ(LogPictures(), 3);
  // Messages from another thread wait for the GUI lock, which this thread
  // holds; they arrive while the loop turns.
  GThread *thread = g_thread_new("reporter", [](gpointer) -> gpointer {
    for (int i = 0; i < 50; ++i) Message(MESSAGE_WARNING, "from a worker %d\n", i);
    return nullptr;
  }, nullptr);
  ASSERT_TRUE(SpinUntil([] { return LogText().find("from a worker 49") != std::string::npos; },
                        5));
  {
    GuiLockReleased released;
    g_thread_join(thread);
  }
  EXPECT_EQ(LogPictures(), 53);
  const std::string log = LogText();
  EXPECT_NE(log.find(" an error\n"), std::string::npos);
  EXPECT_NE(log.find("\ntype seven\n"), std::string::npos);
  // Bytes that are no UTF-8 (a Latin-1 file name) still reach the log.
  Message(MESSAGE_PLAIN, "caf\xe9\n");
  EXPECT_NE(LogText().find("caf\xc3\xa9\n"), std::string::npos);
}

TEST_F(Shell, OpenAndSaveAsRoundTripAControlFileByteForByte) {
  ScratchDir dir;
  const std::string original = SourcePath(kZno);
  OpenThroughMenu(&user, original);
  ASSERT_EQ(jobing, 1);
  EXPECT_EQ(Title(), original);
  EXPECT_EQ(file_peak_file_validity, 1);
  EXPECT_EQ(file_sg_validity, 1);
  EXPECT_STREQ(default_file_path, SourcePath("examples/zno_wurtzite").c_str());
  EXPECT_EQ(user.chooserTitles.back(), "Open File");
  GdkPixbuf *shot = Screenshot(window_main, "main-window-TheJob().png");
  if (shot) g_object_unref(shot);

  user.files.push_back(dir.file("copy.epc"));
  gtk_action_activate(action_file_save_as);
  EXPECT_EQ(user.chooserTitles.back(), "Save File");
  EXPECT_EQ(ReadFile(dir.file("copy.epc")), ReadFile(original));
  EXPECT_EQ(Title(), dir.file("copy.epc"));
  EXPECT_STREQ(default_file_path, dir.path().c_str());

  // Save writes to the same file without asking, changed or not.
  mark_file_changed();
  EXPECT_EQ(Title(), dir.file("copy.epc") + "*");
  g_remove(dir.file("copy.epc").c_str());
  gtk_action_activate(action_file_save);
  EXPECT_EQ(ReadFile(dir.file("copy.epc")), ReadFile(original));
  EXPECT_EQ(Title(), dir.file("copy.epc"));
  EXPECT_EQ(user.asked.size(), 0u);
}

TEST_F(Shell, NewJobIsSavedUnderItsTitleAndOpensAgainUnchanged) {
  ScratchDir dir;
  gtk_action_activate(action_file_new);
  ASSERT_EQ(jobing, 1);
  EXPECT_EQ(Title(), "untitled.epc");
  EXPECT_TRUE(gtk_widget_get_sensitive(notebook_main));
  TheJob().config.title = "fresh";
  // An untitled job asks for a name; cancelling writes nothing.
  mark_file_changed();
  user.files.push_back("");
  gtk_action_activate(action_file_save);
  EXPECT_EQ(file_changed_flag, 1);
  EXPECT_EQ(Title(), "untitled.epc*");
  user.files.push_back(dir.file("fresh.epc"));
  gtk_action_activate(action_file_save);
  EXPECT_EQ(file_changed_flag, 0);
  Config expected;
  InitializeConfig(&expected);
  expected.title = "fresh";
  EXPECT_EQ(ReadFile(dir.file("fresh.epc")), ConfigText(expected));

  // Open from an open job asks to close it first.
  user.answers.push_back(GTK_RESPONSE_YES);
  OpenThroughMenu(&user, dir.file("fresh.epc"));
  EXPECT_EQ(user.Count("A job is already running, do you want to close it and create a new one?"),
            1u);
  user.files.push_back(dir.file("again.epc"));
  gtk_action_activate(action_file_save_as);
  EXPECT_EQ(ReadFile(dir.file("again.epc")), ReadFile(dir.file("fresh.epc")));
}

TEST_F(Shell, ReadErrorsOfAControlFileLeaveTheJobClosed) {
  ScratchDir dir;
  const std::string bad = dir.file("bad.epc");
  g_file_set_contents(bad.c_str(), "this is no control file\n", -1, nullptr);
  user.answers.push_back(GTK_RESPONSE_OK);
  OpenThroughMenu(&user, bad);
  EXPECT_EQ(user.Count("Wrong file format!"), 1u);
  EXPECT_EQ(jobing, 0);
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_main));
  OpenThroughMenu(&user, dir.file("missing.epc"));
  EXPECT_EQ(jobing, 0);
  EXPECT_NE(LogText().find("missing.epc"), std::string::npos);
}

TEST_F(Shell, ClosingAChangedJobAsksOnceAndNoMore) {
  OpenThroughMenu(&user, SourcePath(kZno));
  mark_file_changed();
  user.answers.push_back(GTK_RESPONSE_NO);
  gtk_action_activate(action_file_close);
  EXPECT_EQ(user.Count("File has not been saved yet,\nDo you want to save it?"), 1u);
  EXPECT_EQ(jobing, 0);
  EXPECT_EQ(Title(), "Pulvina");
  EXPECT_EQ(LogText(), "Pulvina (kernel version 2.0.0)\n\n");
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_main));
  // Emptying the pages changed nothing that belongs to a job: quitting asks
  // nothing.
  mark_file_changed();
  gtk_action_activate(action_exit);
  EXPECT_TRUE(quitRequested);
  EXPECT_EQ(user.asked.size(), 1u);
}

TEST_F(Shell, ASaveThatDidNotHappenKeepsTheJob) {
  ScratchDir dir;
  gtk_action_activate(action_file_new);
  mark_file_changed();
  // Yes, save it, then the file dialog is cancelled: the job stays.
  user.answers.push_back(GTK_RESPONSE_YES);
  user.files.push_back("");
  gtk_action_activate(action_file_close);
  EXPECT_EQ(jobing, 1);
  EXPECT_EQ(file_changed_flag, 1);
  // A write that fails keeps the changed mark and says so.
  const std::string folder = dir.file("no-such-folder/TheJob().epc");
  user.files.push_back(folder);
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_action_activate(action_file_save_as);
  EXPECT_EQ(file_changed_flag, 1);
  ASSERT_FALSE(user.asked.empty());
  EXPECT_EQ(user.asked.back().text.rfind("The job could not be saved", 0), 0u);
  EXPECT_EQ(Title().back(), '*');
}

TEST_F(Shell, AcceleratorsRunTheFileCommands) {
  EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(window_main), GDK_n, GDK_CONTROL_MASK));
  EXPECT_EQ(jobing, 1);
  user.answers.push_back(GTK_RESPONSE_YES);
  user.files.push_back(SourcePath(kZno));
  EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(window_main), GDK_o, GDK_CONTROL_MASK));
  EXPECT_EQ(TheJob().config.title, "zno");
  EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(window_main), GDK_w, GDK_CONTROL_MASK));
  EXPECT_EQ(jobing, 0);
}

TEST_F(Shell, WindowGeometryGoesToTheUserConfigFolderAndComesBack) {
  const std::string config = join_path(g_get_user_config_dir(), "pulvina/config");
  EXPECT_EQ(uiConfigFileName, config);
  gtk_window_move(GTK_WINDOW(window_main), 40, 30);
  gtk_window_resize(GTK_WINDOW(window_main), 1040, 780);
  gtk_toggle_action_set_active(toggleaction_factor_plots_window, TRUE);
  gtk_window_move(GTK_WINDOW(window_factor_plots), 620, 110);
  ASSERT_TRUE(SpinUntil([] {
    UIConfig c;
    return ReadUIConfig(uiConfigFileName.c_str(), &c) && c.mainLeft == 40 && c.mainTop == 30 &&
           c.mainWidth == 1040 && c.factorShow == 1 && c.factorLeft == 620 &&
           c.factorTop == 110;
  }, 5));
  // Nothing is written where the program happens to run.
  EXPECT_FALSE(g_file_test("config", G_FILE_TEST_EXISTS));

  pulvina_close_windows();
  ASSERT_TRUE(pulvina_open_windows());
  SpinFor(0.3);
  gint x = 0, y = 0, w = 0, h = 0;
  gtk_window_get_position(GTK_WINDOW(window_main), &x, &y);
  gtk_window_get_size(GTK_WINDOW(window_main), &w, &h);
  EXPECT_EQ(x, 40);
  EXPECT_EQ(y, 30);
  EXPECT_EQ(w, 1040);
  EXPECT_EQ(h, 780);
  EXPECT_TRUE(gtk_widget_get_visible(window_factor_plots));
  gtk_window_get_position(GTK_WINDOW(window_factor_plots), &x, &y);
  EXPECT_EQ(x, 620);
  EXPECT_EQ(y, 110);
  // Closing an extra window unticks its toggle and remembers that.
  GdkEvent *event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(window_factor_plots->window));
  gtk_main_do_event(event);
  gdk_event_free(event);
  EXPECT_FALSE(gtk_widget_get_visible(window_factor_plots));
  EXPECT_FALSE(gtk_toggle_action_get_active(toggleaction_factor_plots_window));
  UIConfig c;
  ASSERT_TRUE(ReadUIConfig(config.c_str(), &c));
  EXPECT_EQ(c.factorShow, 0);
}

TEST_F(Shell, AnIncompleteGeometryFileRestoresNothing) {
  pulvina_close_windows();
  const std::string config = join_path(g_get_user_config_dir(), "pulvina/config");
  g_file_set_contents(config.c_str(),
                      "[main window]\ntop=20\nleft=20\nwidth=500\nheight=400\n\n"
                      "[factor plots window]\nshow=true\ntop=0\nleft=0\nwidth=300\nheight=300\n\n"
                      "[peak plot window]\nshow=true\ntop=0\nleft=0\nwidth=300\nheight=300\n",
                      -1, nullptr);
  UIConfig c;
  EXPECT_EQ(ReadUIConfig(config.c_str(), &c), 0);
  EXPECT_EQ(c.peakShow, 1);
  ASSERT_TRUE(pulvina_open_windows());
  SpinFor(0.2);
  EXPECT_FALSE(gtk_widget_get_visible(window_factor_plots));
  EXPECT_FALSE(gtk_widget_get_visible(window_peak_plots));
  gint w = 0, h = 0;
  gtk_window_get_size(GTK_WINDOW(window_main), &w, &h);
  EXPECT_NE(w, 500);
}

TEST_F(Shell, HelpOpensTheManualAndAboutShowsItsBox) {
  gtk_action_activate(action_help_manual);
  ASSERT_EQ(user.openedUris.size(), 1u);
  const std::string uri = user.openedUris[0];
  EXPECT_EQ(uri.rfind("file:///", 0), 0u);
  gchar *file = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(g_file_test(file, G_FILE_TEST_IS_REGULAR)) << file;
  EXPECT_TRUE(g_str_has_suffix(file, "manual/index.html")) << file;
  g_free(file);
  user.answers.push_back(GTK_RESPONSE_CANCEL);
  gtk_action_activate(action_about);
  EXPECT_EQ(user.asked.back().kind, "dialog");
  EXPECT_FALSE(gtk_widget_get_visible(dlg_about));
}
