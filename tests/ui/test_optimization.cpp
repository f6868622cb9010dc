// SPDX-License-Identifier: BSD-3-Clause
// The statistic and optimisation wizards, the parameter dialogs of both
// stages, the output folders, the list's menu, the files of one model, and
// one whole job through the window that gives the batch solver's result.
#include <glib/gstdio.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "ModelPages.h"
#include "ui_testing.h"

using Optimisation = AppTest;

TEST_F(Optimisation, TheWizardsGoOnOnlyWithAPeakFileAndFollowTheStage) {
  gtk_action_activate(action_file_new);
  GtkAction *forward = Action("action_notebook_opt_forward");
  GtkAction *backward = Action("action_notebook_opt_backward");
  gtk_action_activate(Action("action_goto_statistic_test"));
  user.answers = {GTK_RESPONSE_OK, GTK_RESPONSE_OK};
  gtk_action_activate(Action("action_notebook_statistic_forward"));
  EXPECT_EQ(Page(notebook_statistic), 1);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 2);
  gtk_action_activate(forward);
  EXPECT_EQ(Page(notebook_opt), 0);
  EXPECT_EQ(user.Count("Invalid peak file!\nPlease open a valid peak file.\n"), 2u);

  Open("examples/zno_wurtzite/zno.epc");
  EXPECT_EQ(user.asked.size(), 2u);  // the new job, unchanged, goes without a question
  gtk_action_activate(Action("action_goto_statistic_test"));
  for (int i = 0; i < 6; ++i) gtk_action_activate(Action("action_notebook_statistic_forward"));
  EXPECT_EQ(Page(notebook_statistic), 4);
  Generate();
  gtk_action_activate(action_goto_opt);
  // Each step: the action, then the page it leads to. Back from the output
  // leads to the method while no models were chosen; the refinement's
  // method leads to solving it, and back.
  const std::pair<GtkAction *, int> steps[] = {
      {forward, 1}, {forward, 2}, {forward, 3}, {backward, 2}, {backward, 1}};
  for (const auto &step : steps) {
    gtk_action_activate(step.first);
    EXPECT_EQ(Page(notebook_opt), step.second);
  }
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 5);
  gtk_action_activate(forward);
  EXPECT_EQ(model_state, 2);
  EXPECT_EQ(Page(notebook_opt), 3);
  gtk_action_activate(backward);
  EXPECT_EQ(Page(notebook_opt), 5);
  // After a choice of models, back from the output is the statistic page.
  statistic_finished = 1;
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 2);
  gtk_action_activate(backward);
  EXPECT_EQ(Page(notebook_main), 1);
}

TEST_F(Optimisation, EachStagesParameterDialogWritesItsOwnSet) {
  Open("examples/zno_wurtzite/zno.epc");
  const Config before = TheJob().config;
  model_state = 2;  // the refinement stage is on, yet the optimisation's dialog is open
  During([&] {
    EXPECT_EQ(Text(entry_opt_resolution), std::to_string(before.searchResolution));
    gtk_entry_set_text(GTK_ENTRY(entry_opt_resolution), "0.05");
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_opt_method), 1);
    EXPECT_EQ(Page(notebook_opt_paras), 1);
    gtk_entry_set_text(GTK_ENTRY(entry_sa_rate_tradi), "1.5");
    EXPECT_NE(Mark(entry_sa_rate_tradi), "");
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_opt_parameters"));
  EXPECT_EQ(TheJob().config.searchResolution, 0.05);
  EXPECT_EQ(TheJob().config.optimizationMethod, 1);
  EXPECT_EQ(TheJob().config.tradiSaRate, before.tradiSaRate);
  EXPECT_EQ(TheJob().config.refineSearchResolution, before.refineSearchResolution);
  EXPECT_TRUE(Logged("TRADI_SA_RATE: '1.5' out of range: expected a cooling rate between 0 and 1"));
  // The refinement's dialog writes the refinement's, in either state; grid
  // search needs no automatic choice of it.
  model_state = 1;
  During([&] {
    EXPECT_EQ(Text(entry_opt_resolution), std::to_string(before.refineSearchResolution));
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_opt_method), 2);
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sa_strategy_adapt), 1);
    EXPECT_FALSE(gtk_widget_is_sensitive(entry_sa_start_t_adapt));
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sa_strategy_adapt), 0);
    gtk_entry_set_text(GTK_ENTRY(entry_sa_start_t_adapt), "2.5");
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_opt_method), 0);
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_opt_auto_gs)));
    EXPECT_FALSE(gtk_widget_is_sensitive(check_opt_auto_gs));
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_opt_refine_parameters"));
  EXPECT_EQ(TheJob().config.refineOptimizationMethod, 0);
  EXPECT_EQ(TheJob().config.refineAdaptSaStartT, 2.5);
  EXPECT_EQ(TheJob().config.refineAutoGridSearch, 0);
  EXPECT_EQ(TheJob().config.adaptSaStartT, before.adaptSaStartT);
  EXPECT_EQ(TheJob().config.autoGridSearch, before.autoGridSearch);
  // Only looking changes nothing.
  file_changed_flag = 0;
  During([] { return GTK_RESPONSE_CLOSE; });
  gtk_action_activate(Action("action_opt_parameters"));
  EXPECT_EQ(file_changed_flag, 0);
}

TEST_F(Optimisation, OutputFoldersAndTheMenuAreOfferedOnlyWhenWantedAndNotWhileSolving) {
  Open("examples/cawo4_scheelite/cawo4.epc");
  Generate();
  gtk_action_activate(action_goto_opt);
  EXPECT_FALSE(gtk_action_get_sensitive(action_set_cif_output_dir));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), TRUE);
  TempDir out;
  user.files = {out.path(), ""};  // the second time cancelled: the folder stays
  for (int i = 0; i < 2; ++i) gtk_action_activate(action_set_cif_output_dir);
  EXPECT_EQ(std::string(cif_output_folder), out.path());
  // While solving: a warning, no folder dialog, no menu.
  TheJob().config.autoGridSearch = 0;
  TheJob().config.tradiSaMoves = 2000000000;
  gtk_action_activate(action_solve_structures);
  set_output_dir(hkl_output_folder);
  EXPECT_EQ(user.chooserTitles.size(), 3u);  // Open File and the two above
  PressOnRow(treeview_opt_models, 1, 3);
  EXPECT_FALSE(gtk_widget_get_mapped(popmenu_opt_models));
  const std::string log = LogText();
  EXPECT_NE(log.find("structure solve is running!", log.find("structure solve is running!") + 1),
            std::string::npos);
  gtk_action_activate(action_solve_structures_stop);
  ASSERT_TRUE(SpinUntil(Idle, 5));
  SpinFor(0.1);
  // Idle again: the menu comes up on the row clicked, which is shown.
  EXPECT_TRUE(PressOnRow(treeview_opt_models, 1, 3));
  EXPECT_TRUE(gtk_widget_get_mapped(popmenu_opt_models));
  EXPECT_EQ(currentModel, models_of_store(ls_opt_models)[1]);
  gtk_menu_popdown(GTK_MENU(popmenu_opt_models));
  SpinFor(0.1);
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    EXPECT_EQ(optOutData.crystal.atoms.size(), currentModel->atoms.size());
  }
  PressOnRow(treeview_opt_models, 0, 1);  // other buttons: no menu
  EXPECT_FALSE(gtk_widget_get_mapped(popmenu_opt_models));
}

// (Every model's files to a folder: the whole job below.)
TEST_F(Optimisation, FilesOfOneModelAndTheModelFileAreNamedAfterTheJob) {
  TempDir dir;
  Open("examples/cawo4_scheelite/cawo4.epc");
  Generate();
  // One model per pair of combinations an origin shift exchanges, each
  // showing its two; the switch beside Generate keeps all ten.
  ASSERT_EQ(Rows(ls_models), 5);
  gint equivalents = 0;
  GtkTreeIter first;
  ASSERT_TRUE(gtk_tree_model_get_iter_first(GTK_TREE_MODEL(ls_models), &first));
  gtk_tree_model_get(GTK_TREE_MODEL(ls_models), &first, 11, &equivalents, -1);
  EXPECT_EQ(equivalents, 2);
  gtk_button_clicked(GTK_BUTTON(Named(window_main, "check_all_combinations")));
  EXPECT_EQ(TheJob().config.allCombinations, 1);
  Generate();
  ASSERT_EQ(Rows(ls_models), 10);
  TheJob().config.title = "abc";
  g_mkdir(dir.file("v1.2").c_str(), 0755);  // a folder's dot is no extension
  Select(treeview_models, 6);
  std::string proposed, typed = dir.file("seven");
  testHooks.fileDialog = [&](GtkFileChooser *chooser, std::string *file) {
    proposed = ProposedName(chooser);
    *file = typed;
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  };
  gtk_action_activate(Action("action_models_cif_file"));
  EXPECT_EQ(proposed, "abc_model_7.cif");
  const std::string cif = ReadWholeFile(dir.file("seven.cif"));
  EXPECT_NE(cif.find("data_Crystal"), std::string::npos);
  EXPECT_TRUE(Logged(dir.file("seven.cif") + " has been created.\n"));
  gtk_action_activate(Action("action_models_hkl_file"));
  EXPECT_EQ(proposed, "abc_model_7.hkl");
  // A name with its own extension is written as it stands.
  typed = dir.file("seven.txt");
  gtk_action_activate(Action("action_models_cif_file"));
  EXPECT_EQ(ReadWholeFile(dir.file("seven.txt")), cif);
  // The name typed without extension names a file that exists: asked.
  typed = dir.file("seven");
  dir.write("seven.cif", "mine");
  user.answers.push_back(GTK_RESPONSE_NO);
  gtk_action_activate(Action("action_models_cif_file"));
  EXPECT_EQ(ReadWholeFile(dir.file("seven.cif")), "mine");
  EXPECT_EQ(user.asked.size(), 1u);
  // The model report.
  typed = dir.file("v1.2/models");
  gtk_action_activate(Action("action_generate_model_file"));
  EXPECT_EQ(proposed, "abc.tsm");
  EXPECT_TRUE(Holds(ReadWholeFile(dir.file("v1.2/models.tsm")), "models has been generated."));
}

// One reference case from its control file to its CIF files, through the
// window, against the batch solver with the same seed. Annealing in both
// stages, chosen in the parameter dialogs, so that the seed matters.
TEST_F(Optimisation, AWholeJobGivesTheBatchSolversBestModelFactorAndCif) {
  TempDir dir;
  Open("tests/data/mgoh2_brucite/mgoh2_brucite.epc");
  Generate();
  for (int page = 0; page < 3; ++page)
    gtk_action_activate(Action("action_notebook_statistic_forward"));
  Run(action_statistic_test_start);
  ASSERT_EQ(Page(notebook_statistic), 4);
  During([] { return GTK_RESPONSE_ACCEPT; });
  gtk_action_activate(Action("action_choose_opt_models"));
  ASSERT_EQ(Rows(ls_opt_models), 4);  // brucite's 8 combinations in 4 classes
  for (const char *dialog : {"action_opt_parameters", "action_opt_refine_parameters"}) {
    During([] {
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_opt_auto_gs), FALSE);
      return GTK_RESPONSE_CLOSE;
    });
    gtk_action_activate(Action(dialog));
  }
  gtk_action_activate(Action("action_notebook_opt_forward"));
  Run(action_solve_structures);
  ASSERT_EQ(Page(notebook_opt), 4);
  During([] { return GTK_RESPONSE_ACCEPT; });
  gtk_action_activate(Action("action_choose_refine_models"));
  ASSERT_EQ(Rows(ls_opt_models), 3);  // REFINE 1, REFINE_N 3
  gtk_action_activate(Action("action_notebook_opt_forward"));
  Run(action_solve_structures);
  EXPECT_TRUE(Logged("Structure solving finished!\n"));
  // No measured pattern: the profile column shows a dash for every model.
  for (int row = 0; row < Rows(ls_opt_models); ++row)
    EXPECT_EQ(Text(ls_opt_models, row, 14), "\xe2\x80\x94") << row;
  // A profile made of the observed peaks themselves: every model gets its
  // Rwp on it, the best model the lowest, and the profile plot shows the
  // current one.
  {
    const Job &job = TheJob();
    auto extraction = std::make_shared<LeBailResult>();
    LeBailResult &e = *extraction;
    e.model.cell[0] = job.crystal.a;
    e.model.cell[1] = job.crystal.b;
    e.model.cell[2] = job.crystal.c;
    e.model.cell[3] = job.crystal.alpha;
    e.model.cell[4] = job.crystal.beta;
    e.model.cell[5] = job.crystal.gamma;
    std::vector<PatternPeak> peaks;
    for (const HKLItem &item : job.hklList.items) {
      peaks.push_back({item.d, 100 * item.iObs});
      ExtractedReflection r;
      r.reflection = {item.h, item.k, item.l, item.multiplicity, item.d, item.twoTheta};
      r.inRange = true;
      e.reflections.push_back(r);
    }
    for (double x = job.config.startAngle; x <= job.config.endAngle; x += 0.02) e.x.push_back(x);
    CalculatePattern(e.model, JobPatternLines(job.config), JobPeakWindow(job.config), peaks, e.x,
                     &e.observed);
    for (double &y : e.observed) y += 10;
    e.background.assign(e.x.size(), 10.0);
    for (double y : e.observed) e.sigma.push_back(std::sqrt(y));
    e.calculated = e.observed;
    set_profile_extraction(extraction);
    set_opt_model_list(2);
    std::vector<CrystalModel *> shown = models_of_store(ls_opt_models);
    ASSERT_EQ(shown.size(), 3u);
    std::vector<double> rwp;
    for (int row = 0; row < 3; ++row) rwp.push_back(std::stod(Text(ls_opt_models, row, 14)));
    std::vector<CrystalModel *> sorted = shown;
    SortModels(&sorted);
    const size_t best = std::find(shown.begin(), shown.end(), sorted.front()) - shown.begin();
    for (size_t row = 0; row < 3; ++row) EXPECT_LE(rwp[best], rwp[row]) << row;
    EXPECT_LT(rwp[best], 0.2);
    show_model(sorted.front());
    GtkPlot *plot = GTK_PLOT(gtk_bin_get_child(GTK_BIN(align_profile_plot)));
    ASSERT_EQ(plot->serials.size(), 3u);
    EXPECT_EQ(plot->serials[0]->count, e.x.size());
    set_profile_extraction(nullptr);
    show_model(sorted.front());
    EXPECT_EQ(plot->serials[0]->count, 0u);
  }
  const std::string gui = dir.file("gui");
  g_mkdir(gui.c_str(), 0755);
  // The CIF files, and the job as the window holds it beside its peak
  // file, for the batch.
  user.files = {gui, dir.file("brucite.epc")};
  gtk_action_activate(Action("action_opt_models_cif_files"));
  gtk_action_activate(action_file_save_as);
  dir.write("mgoh2_brucite_noisy.hkl",
            ReadWholeFile(SourcePath("tests/data/mgoh2_brucite/mgoh2_brucite_noisy.hkl")));
  std::vector<CrystalModel *> solved = TheJob().filtered;
  SortModels(&solved);
  ExpectBatchSolverGives(solved.front(), "mgoh2_brucite",
                         "--threads 1 --seed " + std::to_string(TheJob().settings.seed) + " " +
                             dir.file("brucite.epc"),
                         dir.file("batch"), gui);
}
