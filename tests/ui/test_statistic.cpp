// The statistic page and the choice of models, driven as a user would: the
// wizard, numbers typed into entries, the filter dialog with its ticks, the
// refinement levels and the state they leave behind.
#include <algorithm>
#include <cstring>

#include "ui_testing.h"

namespace {

const char *const kZno = "examples/zno_wurtzite/zno.epc";
const char *const kRutile = "tests/data/tio2_rutile/tio2_rutile.epc";

bool Idle() { return !job_worker_running(); }

std::string Markup(GtkWidget *label) { return gtk_label_get_label(GTK_LABEL(label)); }

bool EntryMarked(GtkWidget *entry) {
  return gtk_entry_get_icon_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY) != nullptr;
}

std::string Count(int n) { return "<b>" + std::to_string(n) + "</b> models"; }

class Statistic : public AppTest {
 protected:
  void Open(const char *file) {
    OpenThroughMenu(&user, SourcePath(file));
    ASSERT_EQ(jobing, 1);
  }
  void Generate() {
    gtk_button_clicked(GTK_BUTTON(btn_generate_models));
    ASSERT_TRUE(SpinUntil(Idle, 60));
    SpinFor(0.05);
  }
  void Test() {
    gtk_action_activate(action_statistic_test_start);
    ASSERT_TRUE(SpinUntil(Idle, 120));
    SpinFor(0.15);
  }
  void Solve() {
    gtk_action_activate(action_solve_structures);
    ASSERT_TRUE(SpinUntil(Idle, 120));
    SpinFor(0.05);
  }
  // A dialog of the choice of models; inside it the user does what act
  // says, and act's result is the button pressed.
  void Choose(const char *action, const std::function<int()> &act) {
    user.actions.push_back([act](GtkDialog *dialog) {
      EXPECT_EQ(GTK_WIDGET(dialog), dlg_choose_models);
      return act();
    });
    gtk_action_activate(Action(action));
  }
  static void Tick(int row) {
    g_signal_emit_by_name(Renderer(treeview_choose_models, "cell_toggle_select_model"),
                          "toggled", std::to_string(row).c_str());
  }
};

}  // namespace

TEST_F(Statistic, TheWizardGoesOnOnlyWithAPeakFile) {
  gtk_action_activate(action_file_new);
  gtk_action_activate(Action("action_goto_statistic_test"));
  ASSERT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic)), 1);
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_action_activate(Action("action_notebook_statistic_forward"));
  EXPECT_EQ(user.Count("Invalid peak file!\nPlease open a valid peak file.\n"), 1u);
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic)), 1);
  gtk_action_activate(Action("action_notebook_statistic_backward"));
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic)), 0);

  user.answers.push_back(GTK_RESPONSE_YES);  // close the empty job
  Open(kZno);
  gtk_action_activate(Action("action_goto_statistic_test"));
  gtk_action_activate(Action("action_notebook_statistic_forward"));
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic)), 2);
  for (int i = 0; i < 5; ++i) gtk_action_activate(Action("action_notebook_statistic_forward"));
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic)), 4);
}

TEST_F(Statistic, ATrialCountThatIsNoneIsShownAndNeverStored) {
  Open(kZno);
  const int32_t before = TheJob().config.statisticCircles;
  ASSERT_EQ(file_changed_flag, 0);
  EXPECT_FALSE(EntryMarked(entry_statistic_circles));
  for (const char *bad : {"", "12x", "2.5", "0", "-4"}) {
    gtk_entry_set_text(GTK_ENTRY(entry_statistic_circles), bad);
    EXPECT_TRUE(EntryMarked(entry_statistic_circles)) << bad;
    EXPECT_EQ(TheJob().config.statisticCircles, before) << bad;
  }
  EXPECT_EQ(file_changed_flag, 0);
  // Said once in the log, beside the entry while it stays wrong.
  const std::string log = LogText();
  EXPECT_NE(log.find("STATISTIC_CIRCLES: '' in a wrong format: expected a whole number"),
            std::string::npos);
  EXPECT_EQ(log.find("STATISTIC_CIRCLES: '12x'"), std::string::npos);
  gchar *tip = gtk_entry_get_icon_tooltip_text(GTK_ENTRY(entry_statistic_circles),
                                               GTK_ENTRY_ICON_SECONDARY);
  ASSERT_NE(tip, nullptr);
  EXPECT_STREQ(tip, "STATISTIC_CIRCLES: '-4' out of range: expected a number of trials of at "
                    "least 1");
  g_free(tip);

  gtk_entry_set_text(GTK_ENTRY(entry_statistic_circles), "250");
  EXPECT_FALSE(EntryMarked(entry_statistic_circles));
  EXPECT_EQ(TheJob().config.statisticCircles, 250);
  EXPECT_EQ(file_changed_flag, 1);

  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_statistic_auto_scale), TRUE);
  EXPECT_EQ(TheJob().config.autoStCircles, 1);
  EXPECT_FALSE(gtk_widget_get_sensitive(entry_statistic_circles));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_statistic_auto_scale), FALSE);
  EXPECT_TRUE(gtk_widget_get_sensitive(entry_statistic_circles));
}

TEST_F(Statistic, KeepAllListsEveryModelAndUntickingKeepsOneOut) {
  Open(kZno);
  Generate();
  Test();
  ASSERT_EQ(TheJob().config.filterType, 2);
  const int models = TheJob().models.count;
  ASSERT_GE(models, 3);
  CrystalModel *unticked = nullptr;
  Choose("action_choose_opt_models", [&] {
    EXPECT_EQ(Rows(ls_choose_models), models);
    EXPECT_EQ(Markup(lbl_choose_model_count), Count(models));
    // Keep all: no threshold to type, nothing to filter again.
    EXPECT_FALSE(gtk_widget_is_sensitive(entry_filter_fom));
    EXPECT_FALSE(gtk_widget_is_sensitive(btn_choose_model_refresh));
    GtkTreeIter row;
    gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(ls_choose_models), &row, nullptr, 1);
    gtk_tree_model_get(GTK_TREE_MODEL(ls_choose_models), &row, 0, &unticked, -1);
    Tick(1);
    EXPECT_EQ(Markup(lbl_choose_model_count), Count(models - 1));
    gboolean ticked = TRUE;
    gtk_tree_model_get(GTK_TREE_MODEL(ls_choose_models), &row, 11, &ticked, -1);
    EXPECT_FALSE(ticked);
    gtk_widget_show(dlg_choose_models);
    Screenshot(dlg_choose_models, "choose-models.png");
    return GTK_RESPONSE_ACCEPT;
  });
  ASSERT_NE(unticked, nullptr);
  const std::vector<CrystalModel *> listed = models_of_store(ls_opt_models);
  EXPECT_EQ(static_cast<int>(listed.size()), models - 1);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), unticked), 0);
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_main)), 2);
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_opt)), 2);
  EXPECT_EQ(statistic_finished, 1);
  EXPECT_EQ(model_state, 1);
  // Showing the dialog again filters again: the unticked model is back.
  Choose("action_choose_opt_models", [&] {
    EXPECT_EQ(Markup(lbl_choose_model_count), Count(models));
    return GTK_RESPONSE_CANCEL;
  });
  EXPECT_EQ(static_cast<int>(models_of_store(ls_opt_models).size()), models - 1);
}

TEST_F(Statistic, TheFilterByFigureOfMeritTakesTheTypedThreshold) {
  Open(kRutile);
  Generate();
  Test();
  // The threshold between the third and fourth best figures of merit.
  std::vector<double> foms;
  for (const CrystalModel &m : TheJob().models.models) foms.push_back(m.FOM);
  std::sort(foms.rbegin(), foms.rend());
  ASSERT_GT(foms[2], foms[3]);
  const double threshold = (foms[2] + foms[3]) / 2;
  Choose("action_choose_opt_models", [&] {
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_statistic_filter), 1);
    EXPECT_TRUE(gtk_widget_is_sensitive(entry_filter_fom));
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic_filter)), 0);
    char text[64];
    g_snprintf(text, sizeof text, "%.6f", threshold);
    gtk_entry_set_text(GTK_ENTRY(entry_filter_fom), text);
    gtk_widget_activate(entry_filter_fom);  // Enter filters
    EXPECT_EQ(Rows(ls_choose_models), 3);
    EXPECT_EQ(Markup(lbl_choose_model_count), Count(3));
    // A threshold that is none leaves the last good one in force.
    gtk_entry_set_text(GTK_ENTRY(entry_filter_fom), "1.2.3");
    gtk_button_clicked(GTK_BUTTON(btn_choose_model_refresh));
    EXPECT_EQ(Rows(ls_choose_models), 3);
    return GTK_RESPONSE_ACCEPT;
  });
  EXPECT_EQ(TheJob().config.filterType, 0);
  EXPECT_NEAR(TheJob().config.fomThreshold, threshold, 1e-6);
  EXPECT_EQ(Rows(ls_opt_models), 3);
  for (const CrystalModel *m : models_of_store(ls_opt_models)) EXPECT_GT(m->FOM, threshold);
  EXPECT_EQ(file_changed_flag, 1);
}

TEST_F(Statistic, ModelsWithInvalidBondsAreLeftOutOfBothChoices) {
  Open(kRutile);
  Generate();
  gtk_action_activate(action_check_models_bl_validity);
  ASSERT_TRUE(SpinUntil(Idle, 30));
  SpinFor(0.2);
  int invalid = 0;
  for (const CrystalModel &m : TheJob().models.models)
    invalid += (m.validity & VALIDITY_BOND_LENGTHS) ? 0 : 1;
  ASSERT_GT(invalid, 0);
  const int valid = TheJob().models.count - invalid;
  Choose("action_choose_opt_models", [&] {
    EXPECT_EQ(Rows(ls_choose_models), TheJob().models.count);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_exclude_invalid), TRUE);
    EXPECT_EQ(Rows(ls_choose_models), valid);
    return GTK_RESPONSE_ACCEPT;
  });
  for (const CrystalModel *m : models_of_store(ls_opt_models))
    EXPECT_TRUE(m->validity & VALIDITY_BOND_LENGTHS) << m->modelNumber;
  Solve();
  // One more model turns out invalid; the refinement leaves it out too.
  CrystalModel *now = models_of_store(ls_opt_models).front();
  now->validity &= ~VALIDITY_BOND_LENGTHS;
  TheJob().config.refine = 0;
  Choose("action_choose_refine_models", [&] {
    EXPECT_EQ(Rows(ls_choose_models), valid - 1);
    return GTK_RESPONSE_ACCEPT;
  });
  const std::vector<CrystalModel *> refined = models_of_store(ls_opt_models);
  EXPECT_EQ(static_cast<int>(refined.size()), valid - 1);
  EXPECT_EQ(std::count(refined.begin(), refined.end(), now), 0);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_exclude_invalid), FALSE);
}

TEST_F(Statistic, EachRefinementChoiceFiltersTheLevelBelowIt) {
  Open(kRutile);
  Generate();
  gtk_action_activate(action_goto_opt);
  Solve();
  ASSERT_EQ(Rows(ls_opt_models), TheJob().models.count);
  // First level: the best three of the solved models.
  Choose("action_choose_refine_models", [&] {
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_choose_models)), 1);
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_refine_filter), 1);
    gtk_entry_set_text(GTK_ENTRY(entry_refine_n), "3");
    gtk_button_clicked(GTK_BUTTON(btn_choose_model_refresh));
    EXPECT_EQ(Rows(ls_choose_models), 3);
    return GTK_RESPONSE_ACCEPT;
  });
  EXPECT_EQ(model_state, 2);
  EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_opt)), 5);
  ASSERT_EQ(TheJob().selection.levels.size(), 1u);
  const std::vector<CrystalModel *> first = models_of_store(ls_opt_models);
  ASSERT_EQ(first.size(), 3u);
  std::vector<CrystalModel *> best = TheJob().filtered;
  SortModels(&best);
  EXPECT_EQ(first, std::vector<CrystalModel *>(best.begin(), best.begin() + 3));

  // A choice not taken leaves the stack as it was.
  Choose("action_choose_refine_models", [] { return GTK_RESPONSE_CANCEL; });
  EXPECT_EQ(TheJob().selection.levels.size(), 1u);
  EXPECT_EQ(models_of_store(ls_opt_models), first);

  // Keeping all at the second level keeps the three, not every model.
  Choose("action_choose_refine_models", [&] {
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_refine_filter), 0);
    EXPECT_FALSE(gtk_widget_is_sensitive(entry_refine_n));
    EXPECT_EQ(Rows(ls_choose_models), 3);
    gtk_widget_show(dlg_choose_models);
    Screenshot(dlg_choose_models, "choose-refinement.png");
    return GTK_RESPONSE_ACCEPT;
  });
  EXPECT_EQ(TheJob().selection.levels.size(), 2u);
  EXPECT_EQ(TheJob().selection.depth, 2);
  EXPECT_EQ(models_of_store(ls_opt_models), first);
  EXPECT_EQ(TheJob().config.refine, 0);

  // Showing the optimisation selection again returns to the first stage.
  Choose("action_choose_opt_models", [] { return GTK_RESPONSE_ACCEPT; });
  EXPECT_EQ(model_state, 1);
  EXPECT_EQ(Rows(ls_opt_models), TheJob().models.count);
  model_state = 2;
  gtk_action_activate(action_goto_opt);
  EXPECT_EQ(model_state, 1);
}

TEST_F(Statistic, OpeningAJobShowsItsSettingsWithoutChangingIt) {
  Open(kRutile);
  EXPECT_EQ(std::string(gtk_entry_get_text(GTK_ENTRY(entry_statistic_circles))), "1000");
  EXPECT_EQ(std::string(gtk_entry_get_text(GTK_ENTRY(entry_refine_n))), "3");
  // A threshold finer than the entry shows keeps its value.
  TheJob().config.fomThreshold = 1e-9;
  jobing = 1;
  update_statistic_fields_by_config();
  EXPECT_EQ(std::string(gtk_entry_get_text(GTK_ENTRY(entry_filter_fom))), "0.000000");
  EXPECT_EQ(TheJob().config.fomThreshold, 1e-9);
  EXPECT_EQ(file_changed_flag, 0);
}
