// Background jobs started through their actions: they finish and fill the
// lists, stop when asked, never leave a thread behind, and give the batch
// solver's results for the same job and seed.
#include <dirent.h>
#include <glib/gstdio.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "ui_testing.h"

namespace {

const char *const kZno = "examples/zno_wurtzite/zno.epc";
const char *const kScheelite = "examples/cawo4_scheelite/cawo4.epc";

bool Idle() { return !job_worker_running(); }

int ThreadCount() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/task")) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}




class Jobs : public AppTest {
 protected:
  void Open(const char *job) {
    OpenThroughMenu(&user, SourcePath(job));
    ASSERT_EQ(jobing, 1);
  }
  void Generate() {
    gtk_button_clicked(GTK_BUTTON(btn_generate_models));
    ASSERT_TRUE(SpinUntil(Idle, 60)) << "generation did not end";
    SpinFor(0.05);
  }
  void Statistic() {
    gtk_action_activate(action_statistic_test_start);
    ASSERT_TRUE(SpinUntil(Idle, 120)) << "the statistic test did not end";
    SpinFor(0.15);
  }
  void Solve() {
    gtk_action_activate(action_solve_structures);
    ASSERT_TRUE(SpinUntil(Idle, 300)) << "solving did not end";
    SpinFor(0.05);
  }
};

}  // namespace

TEST_F(Jobs, GenerationAndTheStatisticTestFillTheModelList) {
  Open(kZno);
  Generate();
  EXPECT_EQ(Rows(ls_models), 4);
  EXPECT_EQ(TheJob().models.count, 4);
  EXPECT_FALSE(gtk_widget_get_visible(window_epc_splash));
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_main)), 1);
  const std::string log = LogText();
  EXPECT_NE(log.find("================Model Generation===============\n\n"), std::string::npos);
  EXPECT_NE(log.find("4 models has been created, use time "), std::string::npos);
  EXPECT_NE(log.find("Model Generation Finished!"), std::string::npos);
  // First figures: one evaluation of every model.
  for (int r = 0; r < 4; ++r) EXPECT_GT(Cell<double>(ls_models, r, 4), 0.0);

  Statistic();
  EXPECT_FALSE(gtk_widget_get_visible(window_statistic_splash));
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic)), 4);
  EXPECT_NE(LogText().find("Statistic Analysis Finished"), std::string::npos);
  for (int r = 0; r < 4; ++r) {
    const CrystalModel *m = nullptr;
    GtkTreeIter it;
    gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(ls_models), &it, nullptr, r);
    gtk_tree_model_get(GTK_TREE_MODEL(ls_models), &it, 0, &m, -1);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Text(ls_models, r, 8), GTK_STOCK_APPLY);
    EXPECT_DOUBLE_EQ(Cell<double>(ls_models, r, 4), m->Rmin);
    EXPECT_DOUBLE_EQ(Cell<double>(ls_models, r, 7), m->FOM);
    EXPECT_LE(m->Rmin, m->Ravg);
  }
  // The run can be told again.
  EXPECT_NE(LogText().find("Model #1:\t1000"), std::string::npos);
}

TEST_F(Jobs, TheStatisticTestNeedsAPeakFile) {
  gtk_action_activate(action_file_new);
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_action_activate(action_statistic_test_start);
  EXPECT_EQ(user.Count("Invalid peak file!\nPlease open a valid peak file!\n"), 1u);
  EXPECT_TRUE(Idle());
}

TEST_F(Jobs, StopEndsTheStatisticTestWithinASecond) {
  Open(kScheelite);
  Generate();
  TheJob().config.statisticCircles = 2000000000;
  TheJob().config.autoStCircles = 0;
  gtk_action_activate(action_statistic_test_start);
  ASSERT_TRUE(job_worker_running());
  // Nothing may start or change the job while it runs.
  EXPECT_FALSE(gtk_action_get_sensitive(action_file_open));
  EXPECT_FALSE(gtk_action_get_sensitive(action_file_close));
  EXPECT_FALSE(gtk_action_get_sensitive(action_solve_structures));
  EXPECT_FALSE(gtk_action_get_sensitive(action_statistic_test_start));
  EXPECT_FALSE(gtk_widget_get_sensitive(notebook_epc));
  EXPECT_TRUE(gtk_action_get_sensitive(action_statistic_test_stop));
  EXPECT_TRUE(gtk_action_get_sensitive(GTK_ACTION(toggleaction_factor_plots_window)));
  // Edits that reach a handler meanwhile are refused, not raced with the
  // worker, which holds the job.
  EXPECT_FALSE(JobAccess());
  gtk_entry_set_text(GTK_ENTRY(entry_statistic_circles), "7");
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_statistic_auto_scale), TRUE);
  // The progress shows within a second.
  ASSERT_TRUE(SpinUntil([] {
    return std::string(gtk_label_get_text(GTK_LABEL(lbl_statistic_splash_info)))
               .rfind("Model #", 0) == 0;
  }, 2));
  Screenshot(window_statistic_splash, "statistic-test.png");
  GTimer *timer = g_timer_new();
  gtk_action_activate(action_statistic_test_stop);
  ASSERT_TRUE(SpinUntil(Idle, 5));
  const double seconds = g_timer_elapsed(timer, nullptr);
  g_timer_destroy(timer);
  EXPECT_LT(seconds, 1.0);
  SpinFor(0.2);
  EXPECT_NE(LogText().find("Statistic Analysis Stopped!\n"), std::string::npos);
  EXPECT_EQ(TheJob().config.statisticCircles, 2000000000);
  EXPECT_EQ(TheJob().config.autoStCircles, 0);
  EXPECT_FALSE(gtk_widget_get_visible(window_statistic_splash));
  // The models after the stopped one keep their first figures.
  EXPECT_EQ(Text(ls_models, Rows(ls_models) - 1, 8), "");
  EXPECT_TRUE(gtk_action_get_sensitive(action_file_open));
  EXPECT_TRUE(gtk_action_get_sensitive(action_statistic_test_start));
  EXPECT_FALSE(gtk_action_get_sensitive(action_statistic_test_stop));
  EXPECT_TRUE(gtk_widget_get_sensitive(notebook_epc));
}

TEST_F(Jobs, QuittingWhileAJobRunsStopsItAndLeavesNoThread) {
  const int before = ThreadCount();
  Open(kScheelite);
  Generate();
  TheJob().config.statisticCircles = 2000000000;
  TheJob().config.autoStCircles = 0;
  gtk_action_activate(action_statistic_test_start);
  ASSERT_TRUE(job_worker_running());
  SpinFor(0.3);
  EXPECT_GT(ThreadCount(), before);
  gtk_action_activate(action_exit);
  EXPECT_TRUE(quitRequested);
  EXPECT_FALSE(job_worker_running());
  EXPECT_EQ(jobing, 0);
  EXPECT_TRUE(SpinUntil([before] { return ThreadCount() <= before; }, 2));
}

TEST_F(Jobs, ClosingTheWindowWhileSolvingIsRefusedAndStopEndsTheRun) {
  Open(kScheelite);
  Generate();
  // Annealing for every model, long enough to be stopped.
  TheJob().config.autoGridSearch = 0;
  TheJob().config.tradiSaMoves = 2000000000;
  gtk_action_activate(action_goto_opt);
  ASSERT_EQ(Rows(ls_opt_models), TheJob().models.count);
  ASSERT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_main)), 2);
  ScratchDir output;
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), TRUE);
  CopyText(cif_output_folder, sizeof cif_output_folder, output.path().c_str());
  gtk_action_activate(action_solve_structures);
  ASSERT_TRUE(job_worker_running());
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_solve_state)), 1);
  EXPECT_TRUE(SpinUntil([] { return Cell<int>(ls_opt_models, 0, 11) > 0 ||
                                    Text(ls_opt_models, 0, 12) == "#FF0000"; }, 5));
  GdkEvent *event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(window_main->window));
  gtk_main_do_event(event);
  gdk_event_free(event);
  EXPECT_TRUE(gtk_widget_get_visible(window_main));
  EXPECT_FALSE(quitRequested);
  EXPECT_NE(LogText().find(
                "structure solving is running, please stop it before exiting the program!\n"),
            std::string::npos);
  EXPECT_TRUE(job_worker_running());

  gtk_action_activate(action_solve_structures_stop);
  ASSERT_TRUE(SpinUntil(Idle, 5));
  SpinFor(0.1);
  const std::string log = LogText();
  const size_t stopping = log.find("Structure solving is stopping...\n");
  const size_t total = log.find("Total time used: ");
  const size_t stopped = log.find("Structure solving stopped!\n");
  ASSERT_NE(stopping, std::string::npos);
  ASSERT_NE(total, std::string::npos);
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(stopping, total);
  EXPECT_LT(total, stopped);
  EXPECT_EQ(log.find("Structure solving finished!"), std::string::npos);
  // The stopped model was not solved to the end: no file of it.
  EXPECT_FALSE(g_file_test(output.file("cawo4_1.cif").c_str(), G_FILE_TEST_EXISTS));
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_solve_state)), 0);
  // The blinking hint runs and settles grey.
  EXPECT_TRUE(SpinUntil([] { return job_end_color_count >= 2; }, 3));
  EXPECT_TRUE(SpinUntil([] { return job_end_color_count == 0; }, 5));
  EXPECT_NE(std::string(gtk_label_get_text(GTK_LABEL(lbl_job_end_tips))).find("The job can be"),
            std::string::npos);
}

TEST_F(Jobs, SolvingShowsItsProgressInThePlotsAndTheView) {
  gtk_window_move(GTK_WINDOW(window_main), 0, 0);
  Open(kScheelite);
  Generate();
  Statistic();
  // Long enough that the first model is still running when looked at.
  TheJob().config.autoGridSearch = 0;
  TheJob().config.tradiSaMoves = 2000000000;
  TheJob().config.tradiSaCycles = 1;
  gtk_action_activate(action_goto_opt);
  gtk_toggle_action_set_active(toggleaction_factor_plots_window, TRUE);
  gtk_toggle_action_set_active(toggleaction_peak_plots_window, TRUE);
  gtk_toggle_action_set_active(toggleaction_3d_view_window, TRUE);
  gtk_window_move(GTK_WINDOW(window_factor_plots), 700, 0);
  gtk_window_move(GTK_WINDOW(window_3d_view), 0, 440);
  gtk_window_move(GTK_WINDOW(window_peak_plots), 540, 560);
  SpinFor(0.3);
  gtk_action_activate(action_solve_structures);
  // Past the ring's 800 points of the first model.
  ASSERT_TRUE(SpinUntil([] { return factor_serial->count == kHistoryCapacity; }, 60));
  SpinFor(0.3);
  GdkPixbuf *plots = Screenshot(window_factor_plots, "solving-factor-plots.png");
  GdkPixbuf *view = Screenshot(window_3d_view, "solving-3d-view.png");
  GdkPixbuf *peaks = Screenshot(window_peak_plots, "solving-peak-plots.png");
  GdkPixbuf *main = Screenshot(window_main, "solving-main-window.png");
  for (GdkPixbuf *p : {plots, view, peaks, main})
    if (p) g_object_unref(p);
  // The ring runs from the oldest report to the newest.
  for (guint32 k = 1; k < factor_serial->count; ++k)
    ASSERT_LT(factor_serial->points[k - 1].x, factor_serial->points[k].x);
  EXPECT_GT(best_factor_serial->count, 0u);
  EXPECT_FALSE(crystal_3d_view->crystal.atoms.empty());
  EXPECT_GT(obs_peak_serial->count, 0u);
  EXPECT_EQ(Text(ls_opt_models, 0, 12), "#FF0000");
  EXPECT_EQ(Text(ls_opt_models, 0, 8), GTK_STOCK_GO_FORWARD);
  EXPECT_TRUE(gtk_action_get_sensitive(action_solve_structures_stop));
  EXPECT_FALSE(gtk_action_get_sensitive(action_statistic_test_stop));
  EXPECT_FALSE(gtk_action_get_sensitive(action_solve_structures));
  gtk_action_activate(action_solve_structures_stop);
  ASSERT_TRUE(SpinUntil(Idle, 5));
}

TEST_F(Jobs, BondLengthsModelStatesAndFixedCoordinatesRunAsJobs) {
  Open(kZno);
  Generate();
  gtk_action_activate(action_check_models_bl_validity);
  ASSERT_TRUE(SpinUntil(Idle, 30));
  SpinFor(0.2);
  EXPECT_FALSE(gtk_widget_get_visible(window_validity_splash));
  EXPECT_NE(LogText().find("Bond length checking finished.\n"), std::string::npos);
  for (int r = 0; r < Rows(ls_models); ++r) {
    const std::string icon = Text(ls_models, r, 9);
    EXPECT_TRUE(icon == GTK_STOCK_APPLY || icon == GTK_STOCK_CANCEL) << icon;
  }

  TheJob().config.radiation = 1;
  SetRadiation(&TheJob().config, &TheJob().radiation);
  const double before = Cell<double>(ls_models, 0, 4);
  gtk_action_activate(action_update_model_states);
  ASSERT_TRUE(SpinUntil(Idle, 30));
  SpinFor(0.05);
  EXPECT_FALSE(gtk_widget_get_visible(window_states_splash));
  EXPECT_NE(Cell<double>(ls_models, 0, 4), before);

  // Zinc's z fixed on 2b in every model that has it.
  FixedCoordinate fixed;
  fixed.symbol = "Zn";
  fixed.oxidation = 2;
  fixed.multiplicity = 2;
  fixed.wyckoffLetter = 'b';
  fixed.z = 0.25;
  fixed.flags = FIX_Z;
  TheJob().config.fixedCoordinates.push_back(fixed);
  gtk_action_activate(action_set_models_fixed_coordinates);
  ASSERT_TRUE(SpinUntil(Idle, 30));
  SpinFor(0.05);
  const std::string log = LogText();
  const size_t at = log.find("\nSetting fixed coordinates finished, ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(log.find("Setting fixed coordinates finished, 0 affected"), std::string::npos);
  bool red = false;
  for (int r = 0; r < Rows(ls_models); ++r) red = red || Text(ls_models, r, 10) == "#FF0000";
  EXPECT_TRUE(red);
  gtk_action_activate(action_reset_fixed_coordinates_models);
  ASSERT_TRUE(SpinUntil(Idle, 30));
  SpinFor(0.05);
  for (int r = 0; r < Rows(ls_models); ++r) EXPECT_EQ(Text(ls_models, r, 10), "#000000");
  EXPECT_NE(LogText().find("Fixed coordinates have been reset, "), std::string::npos);
}

// The batch solver and the program, one job and one seed: the same best
// model, factor and CIF file. Annealing on, so that the seed matters.
TEST_F(Jobs, SameJobAndSeedGiveTheBatchSolversResult) {
  ScratchDir dir;
  std::string control = ReadFile(SourcePath(kZno));
  const size_t at = control.find("AUTO_GRID_SEARCH\t1");
  ASSERT_NE(at, std::string::npos);
  control.replace(at, std::strlen("AUTO_GRID_SEARCH\t1"), "AUTO_GRID_SEARCH\t0");
  g_file_set_contents(dir.file("zno.epc").c_str(), control.c_str(), -1, nullptr);
  const std::string peaks = ReadFile(SourcePath("examples/zno_wurtzite/zno.hkl"));
  g_file_set_contents(dir.file("zno.hkl").c_str(), peaks.c_str(), -1, nullptr);
  const unsigned long long seed = 424242;

  programOptions.settings.seed = seed;
  OpenThroughMenu(&user, dir.file("zno.epc"));
  ASSERT_EQ(jobing, 1);
  ASSERT_EQ(TheJob().settings.seed, seed);
  Generate();
  Statistic();
  gtk_action_activate(action_goto_opt);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), TRUE);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_hkl), TRUE);
  const std::string gui = dir.file("gui");
  g_mkdir(gui.c_str(), 0755);
  CopyText(cif_output_folder, sizeof cif_output_folder, gui.c_str());
  // No HKL folder chosen: they go beside the control file.
  hkl_output_folder[0] = '\0';
  Solve();
  for (int n = 1; n <= 4; ++n) {
    const std::string stem = "/zno_" + std::to_string(n);
    EXPECT_TRUE(g_file_test((gui + stem + ".cif").c_str(), G_FILE_TEST_IS_REGULAR)) << stem;
    EXPECT_TRUE(g_file_test((dir.path() + stem + ".hkl").c_str(), G_FILE_TEST_IS_REGULAR))
        << stem;
  }
  EXPECT_NE(LogText().find("Structure solving finished!\n"), std::string::npos);
  std::vector<CrystalModel *> solved = models_of_store(ls_opt_models);
  ASSERT_EQ(solved.size(), 4u);
  for (int r = 0; r < Rows(ls_opt_models); ++r) {
    EXPECT_EQ(Cell<int>(ls_opt_models, r, 11), 100);
    EXPECT_EQ(Text(ls_opt_models, r, 12), "#0000FF");
  }
  SortModels(&solved);
  const CrystalModel *best = solved.front();

  const std::string batch = dir.file("batch");
  const BatchBest batchBest =
      RunBatchSolver("--threads 1 --seed " + std::to_string(seed) + " --stop-after optimise " +
                         dir.file("zno.epc"),
                     batch);
  EXPECT_EQ(std::to_string(best->modelNumber), batchBest.model);
  char factor[32];
  std::snprintf(factor, sizeof factor, "%.6f", best->Rmin);
  EXPECT_EQ(factor, batchBest.rmin);
  const std::string name = "/zno_" + std::to_string(best->modelNumber) + ".cif";
  EXPECT_EQ(ReadFile(gui + name), ReadFile(batch + name));
}

TEST_F(Jobs, WithTwoThreadsEachRowShowsItsOwnProgressAndThePlotsFollowTheFirst) {
  programOptions.settings.threads = 2;
  Open(kScheelite);
  ASSERT_EQ(TheJob().settings.threads, 2);
  Generate();
  TheJob().config.autoGridSearch = 0;
  TheJob().config.tradiSaMoves = 2000000000;
  gtk_action_activate(action_goto_opt);
  gtk_action_activate(action_solve_structures);
  // Two rows run side by side, each with its own best factor and progress.
  ASSERT_TRUE(SpinUntil([] {
    return Text(ls_opt_models, 0, 12) == "#FF0000" &&
           Text(ls_opt_models, 1, 12) == "#FF0000";
  }, 10));
  EXPECT_EQ(Text(ls_opt_models, 0, 8), GTK_STOCK_GO_FORWARD);
  EXPECT_EQ(Text(ls_opt_models, 1, 8), GTK_STOCK_GO_FORWARD);
  EXPECT_EQ(Text(ls_opt_models, 2, 8), "");
  long shown = -1;
  std::string path;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    shown = optOutData.shownIndex;
    path = optOutData.currentRowPath;
  }
  EXPECT_EQ(shown, 0);
  EXPECT_EQ(path, "0");
  gtk_action_activate(action_solve_structures_stop);
  ASSERT_TRUE(SpinUntil(Idle, 5));
  SpinFor(0.1);
  // Both stopped models are marked so, neither counts as solved.
  EXPECT_EQ(Text(ls_opt_models, 0, 8), GTK_STOCK_MEDIA_STOP);
  EXPECT_EQ(Text(ls_opt_models, 1, 8), GTK_STOCK_MEDIA_STOP);
  EXPECT_NE(LogText().find("Structure solving stopped!\n"), std::string::npos);
}

TEST_F(Jobs, AnEmptyOptimisationListEndsAtOnce) {
  Open(kZno);
  Generate();
  gtk_list_store_clear(ls_opt_models);
  Solve();
  const std::string log = LogText();
  EXPECT_NE(log.find("Total time used: 0.000s\n"), std::string::npos);
  EXPECT_NE(log.find("Structure solving finished!\n"), std::string::npos);
  EXPECT_EQ(log.find("Solving model"), std::string::npos);
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_opt)), 4);
}
