// SPDX-License-Identifier: BSD-3-Clause
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
#include "PageCommon.h"
#include "testing.h"

// Handlers the builder file names that the program lacks (CrystalMain.cpp).
const std::vector<std::string> &unbound_handlers();

// The user's answers to the program's dialogs, taken in order: first the
// actions (each does something in the dialog shown and gives the button
// pressed), then the plain answers. A dialog left without one fails the
// test and is answered with Cancel/No, so that no test hangs on it.
struct ScriptedUser {
  std::deque<std::function<int(GtkDialog *dialog)>> actions;
  std::deque<int> answers;
  std::deque<std::string> files;  // for file choosers; "" cancels
  std::vector<std::string> asked;  // message texts and dialog titles
  std::vector<std::string> chooserTitles, openedUris;
  void Install();
  size_t Count(const std::string &text) const;  // how often it was asked
};

// The program with its windows open, for one test: one thread per stage
// and a fixed seed unless a test says otherwise. Open is File > Open of a
// path below the checkout or an absolute one; Generate and Run run the
// generation or the job an action starts to its end; During: in the next
// dialog the user does what act says, and act gives the button pressed.
class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Open(const std::string &file);
  void Generate();
  void Run(GtkAction *action);
  void During(const std::function<int()> &act);
  ScriptedUser user;
};

// The open job, for the set-ups and checks a test makes between background
// jobs: a test that asks while a worker holds the job fails.
Job &TheJob();

// Turns the main loop (without the GUI lock, as gtk_main does) until cond
// holds or the time is up; true when it held.
bool SpinUntil(const std::function<bool()> &cond, double seconds);
void SpinFor(double seconds);
bool Idle();  // no background job runs

std::string LogText();
bool Logged(const std::string &text);
int LogPictures();  // message pictures in the log
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
std::string Text(GtkWidget *entryOrLabel);
// The reason shown beside an entry marked wrong (its icon's tooltip), or "".
std::string Mark(GtkWidget *entry);
void Type(GtkWidget *entry, const char *text);  // and Enter
int Page(GtkWidget *notebook);
void Select(GtkWidget *view, int row);  // puts the cursor on the row

std::string SourcePath(const std::string &relative);
// The ZnO example's control file in the folder, texts replaced, beside its
// peak file.
std::string CopyZno(const TempDir &dir,
                    const std::vector<std::pair<std::string, std::string>> &changes = {});

// Shows a window and saves what it shows in the test-output folder, for a
// person to look at.
void Screenshot(GtkWidget *window, const std::string &name);

// Builder objects the program keeps no global for: an action of the main
// UI manager, a widget below a window (by builder id or widget name), a
// cell renderer of a list.
GtkAction *Action(const char *name);
GtkWidget *Named(GtkWidget *root, const char *name);
GtkCellRenderer *Renderer(GtkWidget *view, const char *name);
// Edits (text) or toggles (no text) a cell of a renderer.
void Emit(GtkCellRenderer *renderer, int row, const char *text = nullptr);
std::string ProposedName(GtkFileChooser *chooser);  // of a save dialog
// A press of a mouse button on a row of a list, as the user makes it.
gboolean PressOnRow(GtkWidget *view, int row, guint button);
void Delete(GtkWidget *window);  // as the window manager asks

// Runs the batch solver with these arguments (the control file last) into
// the folder and expects its best model, factor (summary.tsv) and CIF file
// to be those of the model the window solved, whose CIF is in guiFolder.
void ExpectBatchSolverGives(const CrystalModel *best, const std::string &title,
                            const std::string &arguments, const std::string &folder,
                            const std::string &guiFolder);

#endif
