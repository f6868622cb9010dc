// SPDX-License-Identifier: BSD-3-Clause
// Background jobs started through their actions: they finish and fill the
// lists, stop when asked, never leave a thread behind, and give the batch
// solver's results for the same job and seed.
#include <dirent.h>
#include <glib/gstdio.h>

#include "ui_testing.h"

namespace {

const char *const kScheelite = "examples/cawo4_scheelite/cawo4.epc";

int ThreadCount() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/task")) {
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

class Jobs : public AppTest {
 protected:
  // Scheelite's models, under settings with which the first model is still
  // being tested or solved when looked at.
  void OpenEndless() {
    Open(kScheelite);
    Generate();
    TheJob().config.autoGridSearch = 0;
    TheJob().config.tradiSaMoves = 2000000000;
    TheJob().config.statisticCircles = 2000000000;
    TheJob().config.autoStCircles = 0;
  }
  void Stop(GtkAction *stop) {
    gtk_action_activate(stop);
    EXPECT_TRUE(SpinUntil(Idle, 5));
    SpinFor(0.1);
  }
};

bool Sensitive(GtkAction *action) { return gtk_action_get_sensitive(action); }

}  // namespace

TEST_F(Jobs, StopEndsTheStatisticTestWithinASecondAndQuittingLeavesNoThread) {
  OpenEndless();
  const int before = ThreadCount();
  gtk_action_activate(action_statistic_test_start);
  ASSERT_TRUE(job_worker_running());
  // Nothing may start or change the job while it runs; windows may be shown.
  EXPECT_FALSE(Sensitive(action_file_open) || Sensitive(action_statistic_test_start));
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_epc));
  EXPECT_TRUE(Sensitive(action_statistic_test_stop));
  EXPECT_TRUE(Sensitive(GTK_ACTION(toggleaction_factor_plots_window)));
  // Edits that reach a handler meanwhile are refused, not raced with the
  // worker, which holds the job.
  EXPECT_FALSE(JobAccess());
  gtk_entry_set_text(GTK_ENTRY(entry_statistic_circles), "7");
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_statistic_auto_scale), TRUE);
  // The progress shows within a second.
  ASSERT_TRUE(SpinUntil([] { return Text(lbl_statistic_splash_info).find("Model #") == 0; }, 2));
  EXPECT_GT(ThreadCount(), before);
  const gint64 start = g_get_monotonic_time();
  Stop(action_statistic_test_stop);
  EXPECT_LT(g_get_monotonic_time() - start, 1100000);
  EXPECT_TRUE(Logged("Statistic Analysis Stopped!\n"));
  EXPECT_EQ(TheJob().config.statisticCircles, 2000000000);
  EXPECT_EQ(TheJob().config.autoStCircles, 0);
  // The models after the stopped one keep their first figures.
  EXPECT_EQ(Text(ls_models, Rows(ls_models) - 1, 8), "");
  EXPECT_TRUE(Sensitive(action_file_open) && gtk_widget_get_sensitive(notebook_epc));
  EXPECT_FALSE(Sensitive(action_statistic_test_stop));
  // Quitting while it runs stops it.
  gtk_action_activate(action_statistic_test_start);
  SpinFor(0.3);
  gtk_action_activate(action_exit);
  EXPECT_TRUE(quitRequested);
  EXPECT_FALSE(job_worker_running());
  EXPECT_EQ(jobing, 0);
  EXPECT_TRUE(SpinUntil([before] { return ThreadCount() <= before; }, 2));
}

// With two threads each row shows its own progress; the plots follow the
// first.
TEST_F(Jobs, SolvingShowsItsProgressAndTheWindowStaysTillItIsStopped) {
  programOptions.settings.threads = 2;
  OpenEndless();
  TheJob().config.tradiSaCycles = 1;
  gtk_action_activate(action_goto_opt);
  ASSERT_EQ(Rows(ls_opt_models), TheJob().models.count);
  TempDir output;
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), TRUE);
  CopyText(cif_output_folder, sizeof cif_output_folder, output.path().c_str());
  gtk_toggle_action_set_active(toggleaction_factor_plots_window, TRUE);
  gtk_action_activate(action_solve_structures);
  // Past the ring's 800 points of the first model.
  ASSERT_TRUE(SpinUntil([] { return factor_serial->count == kHistoryCapacity; }, 60));
  Screenshot(window_factor_plots, "solving-factor-plots.png");
  // The ring runs from the oldest report to the newest.
  for (guint32 k = 1; k < factor_serial->count; ++k)
    ASSERT_LT(factor_serial->points[k - 1].x, factor_serial->points[k].x);
  EXPECT_GT(best_factor_serial->count * obs_peak_serial->count, 0u);
  EXPECT_FALSE(crystal_3d_view->crystal.atoms.empty());
  for (int row : {0, 1}) {
    EXPECT_EQ(Text(ls_opt_models, row, 12), "#FF0000");
    EXPECT_EQ(Text(ls_opt_models, row, 8), GTK_STOCK_GO_FORWARD);
  }
  EXPECT_EQ(Text(ls_opt_models, 2, 8), "");
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    EXPECT_EQ(optOutData.shownIndex, 0);
    EXPECT_EQ(std::string(optOutData.currentRowPath), "0");
  }
  EXPECT_TRUE(Sensitive(action_solve_structures_stop));
  EXPECT_FALSE(Sensitive(action_statistic_test_stop) || Sensitive(action_solve_structures));
  Delete(window_main);
  EXPECT_TRUE(gtk_widget_get_visible(window_main));
  EXPECT_FALSE(quitRequested);
  EXPECT_TRUE(Logged("structure solving is running, please stop it before exiting the program!"));
  Stop(action_solve_structures_stop);
  const std::string log = LogText();
  const size_t stopping = log.find("Structure solving is stopping...\n");
  const size_t total = log.find("Total time used: ");
  const size_t stopped = log.find("Structure solving stopped!\n");
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(stopping, total);
  EXPECT_LT(total, stopped);
  // The stopped models were not solved to the end: marked so, no file.
  EXPECT_EQ(Text(ls_opt_models, 1, 8), GTK_STOCK_MEDIA_STOP);
  EXPECT_FALSE(g_file_test(output.file("cawo4_1.cif").c_str(), G_FILE_TEST_EXISTS));
  // The blinking hint runs and settles.
  EXPECT_TRUE(SpinUntil([] { return job_end_color_count >= 2; }, 3));
  EXPECT_TRUE(SpinUntil([] { return job_end_color_count == 0; }, 5));
}

// The batch solver and the program, one job and one seed: the same best
// model, factor and CIF file. Annealing on, so that the seed matters. On
// the way, what generation and the statistic test show of the models.
// Two restarts: the race's leader, alone in its last rounds, searches them
// side by side on the desktop program's threads and one after the other in
// the batch solver's one.
TEST_F(Jobs, AJobGivesTheBatchSolversResultForTheSameSeed) {
  TempDir dir;
  const std::string control =
      CopyZno(dir, {{"AUTO_GRID_SEARCH\t1", "AUTO_GRID_SEARCH\t0\nRESTARTS\t2"}});
  programOptions.settings.seed = 424242;
  programOptions.settings.threads = 2;
  Open(control);
  Generate();
  EXPECT_EQ(Rows(ls_models), 4);
  EXPECT_FALSE(gtk_widget_get_visible(window_epc_splash));
  EXPECT_TRUE(Logged("4 models has been created, use time "));
  EXPECT_GT(Cell<double>(ls_models, 3, 4), 0.0);  // one evaluation of every model
  Run(action_statistic_test_start);
  EXPECT_EQ(Page(notebook_statistic), 4);
  EXPECT_TRUE(Logged("Model #1:\t1000"));
  EXPECT_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progress_statistic)), 1.0);
  for (int r = 0; r < 4; ++r) {
    const CrystalModel *m = Cell<CrystalModel *>(ls_models, r, 0);
    EXPECT_EQ(Text(ls_models, r, 8), GTK_STOCK_APPLY);
    EXPECT_EQ(Cell<double>(ls_models, r, 7), m->FOM);
    EXPECT_LE(m->Rmin, m->Ravg);
  }
  gtk_action_activate(action_goto_opt);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), TRUE);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_hkl), TRUE);
  const std::string gui = dir.file("gui");
  g_mkdir(gui.c_str(), 0755);
  CopyText(cif_output_folder, sizeof cif_output_folder, gui.c_str());
  hkl_output_folder[0] = '\0';  // none chosen: beside the control file
  Run(action_solve_structures);
  for (int n = 1; n <= 4; ++n) {
    const std::string stem = "/zno_" + std::to_string(n);
    EXPECT_TRUE(g_file_test((gui + stem + ".cif").c_str(), G_FILE_TEST_IS_REGULAR)) << stem;
    EXPECT_TRUE(g_file_test((dir.path() + stem + ".hkl").c_str(), G_FILE_TEST_IS_REGULAR));
  }
  std::vector<CrystalModel *> solved = models_of_store(ls_opt_models);
  ASSERT_EQ(solved.size(), 4u);
  // The models race: the winner is blue, the three left behind grey.
  SortModels(&solved);
  for (int r = 0; r < 4; ++r)
    EXPECT_EQ(Text(ls_opt_models, r, 12),
              Cell<CrystalModel *>(ls_opt_models, r, 0) == solved.front() ? "#0000FF" : "#808080");
  ExpectBatchSolverGives(solved.front(), "zno",
                         "--threads 1 --seed 424242 --stop-after optimise " + control,
                         dir.file("batch"), gui);
}
