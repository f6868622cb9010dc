// Helpers of the desktop program's tests: the real windows from the real
// builder file, dialogs answered by a script, waiting on the main loop.
#ifndef PULVINA_UI_TESTING_H
#define PULVINA_UI_TESTING_H

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "CrystalJobs.h"
#include "CrystalMain.h"

// The user's answers to the program's dialogs, taken in order. A message
// box or dialog without an answer left fails the test and is answered
// with Cancel/No, so that no test hangs on a modal dialog.
struct ScriptedUser {
  struct Asked {
    std::string kind;  // "message" with the text, "dialog" with the title
    std::string text;
  };
  // What the user does in the next dialogs, taken before the answers: each
  // acts on the dialog shown and returns the response.
  std::deque<std::function<int(GtkDialog *dialog)>> actions;
  std::deque<int> answers;
  std::deque<std::string> files;  // for file choosers; "" cancels
  std::vector<Asked> asked;
  std::vector<std::string> chooserTitles;
  std::vector<std::string> openedUris;

  void Install();
  // How many message boxes held this text.
  size_t Count(const std::string &text) const;
};

// The program with its windows open, for one test. Runs one thread per
// stage and a fixed seed unless a test says otherwise.
class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  ScriptedUser user;
};

// The open job, for the set-ups and checks a test makes between background
// jobs: a test that asks while a worker holds the job fails.
Job &TheJob();

// Turns the main loop (without the GUI lock, as gtk_main does) until cond
// holds or the time is up; true when it held.
bool SpinUntil(const std::function<bool()> &cond, double seconds);
// Lets pending events, redraws and timers through for a while.
void SpinFor(double seconds);

std::string LogText();
// Message pictures in the log.
int LogPictures();
// Rows of a list store, and the value or text in one of its cells.
int Rows(GtkListStore *store);
template <typename T>
T Cell(GtkListStore *store, int row, int column) {
  GtkTreeIter it;
  EXPECT_TRUE(gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(store), &it, nullptr, row));
  T v{};
  gtk_tree_model_get(GTK_TREE_MODEL(store), &it, column, &v, -1);
  return v;
}
std::string Text(GtkListStore *store, int row, int column);

std::string SourcePath(const std::string &relative);
std::string OutputPath(const std::string &name);
std::string ReadFile(const std::string &path);
// A scratch folder, removed with its files at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Saves what a toplevel window shows, the OpenGL view drawn in, as a PNG
// in the test-output folder; returns the picture (caller unrefs) or null.
GdkPixbuf *Screenshot(GtkWidget *window, const std::string &name);

// Builder objects the program keeps no global for, found by their names:
// an action of the main UI manager, a widget below a window, a cell
// renderer of a list.
GtkAction *Action(const char *name);
GtkWidget *Named(GtkWidget *root, const char *name);
GtkCellRenderer *Renderer(GtkWidget *view, const char *name);
// The name a save dialog proposes (the text of its name entry).
std::string ProposedName(GtkFileChooser *chooser);
// A press of a mouse button on a row of a list, as the user makes it.
gboolean PressOnRow(GtkWidget *view, int row, guint button);

// The best model of a run of the batch solver with these arguments (the
// control file last) into the folder: its number and its factor as
// summary.tsv writes them. Empty after a failure, which is reported.
struct BatchBest {
  std::string model, rmin;
};
BatchBest RunBatchSolver(const std::string &arguments, const std::string &folder);

// Opens a control file through File > Open.
void OpenThroughMenu(ScriptedUser *user, const std::string &path);

#endif
