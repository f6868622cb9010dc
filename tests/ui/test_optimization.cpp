// The optimisation page driven as a user would: its wizard, the parameter
// dialog of both stages, the output folders, the list's menu, the files of
// one model and of all, and one whole job through the window that gives the
// batch solver's result.
#include <glib/gstdio.h>

#include <cstring>
#include <sstream>

#include "ModelPages.h"
#include "ui_testing.h"

namespace {

const char *const kZno = "examples/zno_wurtzite/zno.epc";
const char *const kScheelite = "examples/cawo4_scheelite/cawo4.epc";
const char *const kBruciteFolder = "tests/data/mgoh2_brucite/";

bool Idle() { return !job_worker_running(); }

bool EntryMarked(GtkWidget *entry) {
  return gtk_entry_get_icon_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY) != nullptr;
}

int Page(GtkWidget *notebook) { return gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook)); }

class Optimisation : public AppTest {
 protected:
  void Open(const std::string &file) {
    OpenThroughMenu(&user, file);
    ASSERT_EQ(jobing, 1);
  }
  void Generate() {
    gtk_button_clicked(GTK_BUTTON(btn_generate_models));
    ASSERT_TRUE(SpinUntil(Idle, 60));
    SpinFor(0.05);
  }
  void Solve() {
    gtk_action_activate(action_solve_structures);
    ASSERT_TRUE(SpinUntil(Idle, 300)) << "solving did not end";
    SpinFor(0.05);
  }
  // The next dialog: the user does what act says and presses its result.
  void During(const std::function<int()> &act) {
    user.actions.push_back([act](GtkDialog *) { return act(); });
  }
  // The row of the optimisation list becomes the selected one.
  static void Select(GtkWidget *view, int row) {
    GtkTreePath *path = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(view), path, nullptr, FALSE);
    gtk_tree_path_free(path);
  }
};

}  // namespace

TEST_F(Optimisation, TheWizardFollowsTheStage) {
  gtk_action_activate(action_file_new);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 2);
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_action_activate(Action("action_notebook_opt_forward"));
  EXPECT_EQ(user.Count("Invalid peak file!\nPlease open a valid peak file.\n"), 1u);
  EXPECT_EQ(Page(notebook_opt), 0);

  user.answers.push_back(GTK_RESPONSE_YES);  // close the empty job
  Open(SourcePath(kZno));
  Generate();
  gtk_action_activate(action_goto_opt);
  GtkAction *forward = Action("action_notebook_opt_forward");
  GtkAction *backward = Action("action_notebook_opt_backward");
  gtk_action_activate(forward);
  EXPECT_EQ(Page(notebook_opt), 1);
  gtk_action_activate(forward);
  gtk_action_activate(forward);
  EXPECT_EQ(Page(notebook_opt), 3);
  gtk_action_activate(backward);  // state 1: back to the output
  EXPECT_EQ(Page(notebook_opt), 2);
  gtk_action_activate(backward);  // no choice made: the method
  EXPECT_EQ(Page(notebook_opt), 1);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 5);
  gtk_action_activate(forward);  // the refinement's method leads to solving it
  EXPECT_EQ(model_state, 2);
  EXPECT_EQ(Page(notebook_opt), 3);
  gtk_action_activate(backward);
  EXPECT_EQ(Page(notebook_opt), 5);
  // After a choice of models, back from the output is the statistic page.
  statistic_finished = 1;
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 2);
  gtk_action_activate(backward);
  EXPECT_EQ(Page(notebook_main), 1);
  EXPECT_EQ(statistic_finished, 0);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 2);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 0);
  gtk_action_activate(backward);
  EXPECT_EQ(Page(notebook_main), 1);
}

TEST_F(Optimisation, TheParameterDialogWritesTheSetItShows) {
  Open(SourcePath(kZno));
  const Config before = TheJob().config;
  // The refinement stage is on, yet the optimisation's dialog is open.
  model_state = 2;
  During([&] {
    char shown[32];
    g_snprintf(shown, sizeof shown, "%f", before.searchResolution);
    EXPECT_EQ(std::string(gtk_entry_get_text(GTK_ENTRY(entry_opt_resolution))), shown);
    gtk_entry_set_text(GTK_ENTRY(entry_opt_resolution), "0.05");
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_opt_method), 1);
    EXPECT_TRUE(gtk_widget_is_sensitive(check_opt_auto_gs));
    EXPECT_EQ(Page(notebook_opt_paras), 1);
    gtk_entry_set_text(GTK_ENTRY(entry_sa_moves_tradi), "0");  // no schedule
    EXPECT_TRUE(EntryMarked(entry_sa_moves_tradi));
    gtk_entry_set_text(GTK_ENTRY(entry_sa_rate_tradi), "1.5");
    EXPECT_TRUE(EntryMarked(entry_sa_rate_tradi));
    gtk_entry_set_text(GTK_ENTRY(entry_sa_moves_tradi), "750");
    gtk_widget_show(dlg_opt);
    Screenshot(dlg_opt, "optimisation-parameters.png");
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_opt_parameters"));
  EXPECT_EQ(TheJob().config.searchResolution, 0.05);
  EXPECT_EQ(TheJob().config.optimizationMethod, 1);
  EXPECT_EQ(TheJob().config.tradiSaMoves, 750);
  EXPECT_EQ(TheJob().config.tradiSaRate, before.tradiSaRate);
  EXPECT_EQ(TheJob().config.refineSearchResolution, before.refineSearchResolution);
  EXPECT_EQ(TheJob().config.refineOptimizationMethod, before.refineOptimizationMethod);
  EXPECT_NE(LogText().find("TRADI_SA_RATE: '1.5' out of range: expected a cooling rate between "
                           "0 and 1"),
            std::string::npos);

  // And the refinement's dialog writes the refinement's, in either state.
  model_state = 1;
  const Config middle = TheJob().config;
  During([&] {
    char shown[32];
    g_snprintf(shown, sizeof shown, "%f", middle.refineSearchResolution);
    EXPECT_EQ(std::string(gtk_entry_get_text(GTK_ENTRY(entry_opt_resolution))), shown);
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_opt_method), 2);
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sa_strategy_adapt), 1);
    EXPECT_FALSE(gtk_widget_is_sensitive(entry_sa_start_t_adapt));
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sa_strategy_adapt), 0);
    EXPECT_TRUE(gtk_widget_is_sensitive(entry_sa_start_t_adapt));
    gtk_entry_set_text(GTK_ENTRY(entry_sa_start_t_adapt), "2.5");
    gtk_entry_set_text(GTK_ENTRY(entry_opt_resolution), "0.02");
    // Grid search needs no automatic choice of it.
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_opt_method), 0);
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_opt_auto_gs)));
    EXPECT_FALSE(gtk_widget_is_sensitive(check_opt_auto_gs));
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_opt_refine_parameters"));
  EXPECT_EQ(TheJob().config.refineOptimizationMethod, 0);
  EXPECT_EQ(TheJob().config.refineAdaptSaStrategy, 0);
  EXPECT_EQ(TheJob().config.refineAdaptSaStartT, 2.5);
  EXPECT_EQ(TheJob().config.refineSearchResolution, 0.02);
  EXPECT_EQ(TheJob().config.refineAutoGridSearch, 0);
  EXPECT_EQ(TheJob().config.optimizationMethod, middle.optimizationMethod);
  EXPECT_EQ(TheJob().config.adaptSaStartT, middle.adaptSaStartT);
  EXPECT_EQ(TheJob().config.autoGridSearch, middle.autoGridSearch);

  // Only looking changes nothing.
  file_changed_flag = 0;
  const Config looked = TheJob().config;
  During([] { return GTK_RESPONSE_CLOSE; });
  gtk_action_activate(Action("action_opt_parameters"));
  EXPECT_EQ(file_changed_flag, 0);
  EXPECT_EQ(TheJob().config.autoGridSearch, looked.autoGridSearch);
}

TEST_F(Optimisation, OutputFoldersAreChosenOnlyWhenWantedAndNotWhileSolving) {
  Open(SourcePath(kScheelite));
  Generate();
  gtk_action_activate(action_goto_opt);
  EXPECT_FALSE(gtk_action_get_sensitive(action_set_cif_output_dir));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), TRUE);
  EXPECT_TRUE(gtk_action_get_sensitive(action_set_cif_output_dir));
  ScratchDir out;
  user.files.push_back(out.path());
  gtk_action_activate(action_set_cif_output_dir);
  ASSERT_EQ(user.chooserTitles.back(), "Choose Output Directory");
  EXPECT_EQ(std::string(cif_output_folder), out.path());
  user.files.push_back("");  // cancelled: the folder stays
  gtk_action_activate(action_set_cif_output_dir);
  EXPECT_EQ(std::string(cif_output_folder), out.path());
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), FALSE);

  // While solving: a warning, no folder dialog, no menu.
  TheJob().config.autoGridSearch = 0;
  TheJob().config.tradiSaMoves = 2000000000;
  gtk_action_activate(action_solve_structures);
  ASSERT_TRUE(job_worker_running());
  const size_t choosers = user.chooserTitles.size();
  set_output_dir(hkl_output_folder);
  EXPECT_EQ(user.chooserTitles.size(), choosers);
  PressOnRow(treeview_opt_models, 1, 3);
  EXPECT_FALSE(gtk_widget_get_mapped(popmenu_opt_models));
  const std::string log = LogText();
  const size_t first = log.find("structure solve is running!\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("structure solve is running!\n", first + 1), std::string::npos);
  gtk_action_activate(action_solve_structures_stop);
  ASSERT_TRUE(SpinUntil(Idle, 5));
  SpinFor(0.1);

  // Idle again: the menu comes up on the row clicked.
  EXPECT_TRUE(PressOnRow(treeview_opt_models, 1, 3));
  EXPECT_TRUE(gtk_widget_get_mapped(popmenu_opt_models));
  GtkTreeIter row;
  EXPECT_EQ(selected_model(GTK_TREE_VIEW(treeview_opt_models), &row),
            models_of_store(ls_opt_models)[1]);
  EXPECT_EQ(currentModel, models_of_store(ls_opt_models)[1]);
  gtk_menu_popdown(GTK_MENU(popmenu_opt_models));
}

TEST_F(Optimisation, OneModelsFilesAreNamedAfterTheJobAndTheModel) {
  ScratchDir dir;
  Open(SourcePath(kScheelite));
  Generate();
  ASSERT_GE(TheJob().models.count, 7);
  TheJob().config.title = "abc";
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 1);
  Select(treeview_models, 6);
  ASSERT_EQ(currentModel->modelNumber, 7);
  std::string proposed;
  testHooks.fileDialog = [&](GtkFileChooser *chooser, std::string *file) {
    proposed = ProposedName(chooser);
    *file = dir.file("seven");
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  };
  gtk_action_activate(Action("action_models_cif_file"));
  EXPECT_EQ(proposed, "abc_model_7.cif");
  const std::string cif = ReadFile(dir.file("seven.cif"));
  EXPECT_NE(cif.find("data_Crystal"), std::string::npos);
  EXPECT_NE(LogText().find(dir.file("seven.cif") + " has been created.\n"), std::string::npos);
  gtk_action_activate(Action("action_models_hkl_file"));
  EXPECT_EQ(proposed, "abc_model_7.hkl");
  EXPECT_TRUE(g_file_test(dir.file("seven.hkl").c_str(), G_FILE_TEST_IS_REGULAR));
  // A name with its own extension is written as it stands.
  testHooks.fileDialog = [&](GtkFileChooser *, std::string *file) {
    *file = dir.file("seven.txt");
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  };
  gtk_action_activate(Action("action_models_cif_file"));
  EXPECT_EQ(ReadFile(dir.file("seven.txt")), cif);
  // The name typed without extension names a file that exists: asked.
  testHooks.fileDialog = [&](GtkFileChooser *, std::string *file) {
    *file = dir.file("seven");
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  };
  g_file_set_contents(dir.file("seven.cif").c_str(), "mine", -1, nullptr);
  user.answers.push_back(GTK_RESPONSE_NO);
  gtk_action_activate(Action("action_models_cif_file"));
  EXPECT_EQ(ReadFile(dir.file("seven.cif")), "mine");
  EXPECT_EQ(user.asked.back().kind, "message");
}

TEST_F(Optimisation, AllModelsFilesGoIntoTheChosenFolder) {
  Open(SourcePath(kZno));
  Generate();
  gtk_action_activate(action_goto_opt);
  ScratchDir out;
  user.files.push_back(out.path());
  gtk_action_activate(Action("action_opt_models_cif_files"));
  EXPECT_EQ(user.chooserTitles.back(), "Choose Output Directory");
  user.files.push_back(out.path());
  gtk_action_activate(Action("action_opt_models_hkl_files"));
  for (const CrystalModel *m : models_of_store(ls_opt_models)) {
    const std::string stem = out.file("zno_" + std::to_string(m->modelNumber));
    EXPECT_TRUE(g_file_test((stem + ".cif").c_str(), G_FILE_TEST_IS_REGULAR)) << stem;
    EXPECT_TRUE(g_file_test((stem + ".hkl").c_str(), G_FILE_TEST_IS_REGULAR)) << stem;
  }
}

// One reference case from its control file to its CIF files, through the
// window, against the batch solver with the same seed. Annealing in both
// stages, chosen in the parameter dialogs, so that the seed matters.
TEST_F(Optimisation, AWholeJobGivesTheBatchSolversBestModelFactorAndCif) {
  ScratchDir dir;
  Open(SourcePath(std::string(kBruciteFolder) + "mgoh2_brucite.epc"));
  Generate();
  GtkAction *forward = Action("action_notebook_statistic_forward");
  for (int page = 0; page < 3; ++page) gtk_action_activate(forward);
  ASSERT_EQ(Page(notebook_statistic), 3);
  gtk_action_activate(action_statistic_test_start);
  ASSERT_TRUE(SpinUntil(Idle, 120));
  SpinFor(0.15);
  ASSERT_EQ(Page(notebook_statistic), 4);
  During([] {
    EXPECT_EQ(Rows(ls_choose_models), 8);
    return GTK_RESPONSE_ACCEPT;
  });
  gtk_action_activate(Action("action_choose_opt_models"));
  ASSERT_EQ(Rows(ls_opt_models), 8);
  ASSERT_EQ(Page(notebook_opt), 2);
  for (const char *dialog : {"action_opt_parameters", "action_opt_refine_parameters"}) {
    During([] {
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_opt_auto_gs), FALSE);
      return GTK_RESPONSE_CLOSE;
    });
    gtk_action_activate(Action(dialog));
  }
  ASSERT_EQ(TheJob().config.autoGridSearch, 0);
  ASSERT_EQ(TheJob().config.refineAutoGridSearch, 0);
  gtk_action_activate(Action("action_notebook_opt_forward"));
  Solve();
  ASSERT_EQ(Page(notebook_opt), 4);
  During([] {
    EXPECT_EQ(Rows(ls_choose_models), 3);  // REFINE 1, REFINE_N 3
    return GTK_RESPONSE_ACCEPT;
  });
  gtk_action_activate(Action("action_choose_refine_models"));
  ASSERT_EQ(Rows(ls_opt_models), 3);
  gtk_action_activate(Action("action_notebook_opt_forward"));
  ASSERT_EQ(model_state, 2);
  Solve();
  const std::string log = LogText();
  EXPECT_NE(log.find("Structure solving finished!\n"), std::string::npos);
  const std::string gui = dir.file("gui");
  g_mkdir(gui.c_str(), 0755);
  user.files.push_back(gui);
  gtk_action_activate(Action("action_opt_models_cif_files"));
  // The job as the window holds it, beside its peak file, for the batch.
  user.files.push_back(dir.file("brucite.epc"));
  gtk_action_activate(action_file_save_as);
  ASSERT_EQ(file_changed_flag, 0);
  const std::string peaks =
      ReadFile(SourcePath(std::string(kBruciteFolder) + "mgoh2_brucite_noisy.hkl"));
  g_file_set_contents(dir.file("mgoh2_brucite_noisy.hkl").c_str(), peaks.c_str(), -1, nullptr);
  std::vector<CrystalModel *> solved = TheJob().filtered;
  SortModels(&solved);
  const CrystalModel *best = solved.front();

  const std::string batch = dir.file("batch");
  const BatchBest batchBest = RunBatchSolver(
      "--threads 1 --seed " + std::to_string(TheJob().settings.seed) + " " + dir.file("brucite.epc"),
      batch);
  EXPECT_EQ(std::to_string(best->modelNumber), batchBest.model);
  char factor[32];
  std::snprintf(factor, sizeof factor, "%.6f", best->Rmin);
  EXPECT_EQ(factor, batchBest.rmin);
  const std::string name = "/mgoh2_brucite_" + std::to_string(best->modelNumber) + ".cif";
  const std::string written = ReadFile(gui + name);
  EXPECT_FALSE(written.empty());
  EXPECT_EQ(written, ReadFile(batch + name));
}
