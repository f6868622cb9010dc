// SPDX-License-Identifier: BSD-3-Clause
// The choice of models, driven as a user would: the filter dialog with its
// ticks, the refinement levels and the state they leave behind.
#include <algorithm>

#include "ui_testing.h"

namespace {

std::string Count(int n) { return "<b>" + std::to_string(n) + "</b> models"; }

class Statistic : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Open("tests/data/tio2_rutile/tio2_rutile.epc");
  }
  // The dialog of the choice of models that the action shows.
  void Choose(const char *action, const std::function<int()> &act) {
    user.actions.push_back([act](GtkDialog *dialog) {
      EXPECT_EQ(GTK_WIDGET(dialog), dlg_choose_models);
      return act();
    });
    gtk_action_activate(Action(action));
  }
};

}  // namespace

TEST_F(Statistic, KeepAllUntickingAndTheFigureOfMeritFilterChooseTheModels) {
  Generate();
  Run(action_statistic_test_start);
  const int models = TheJob().models.count;
  CrystalModel *unticked = nullptr;
  Choose("action_choose_opt_models", [&] {
    EXPECT_EQ(Text(lbl_choose_model_count), Count(models));
    EXPECT_FALSE(gtk_widget_is_sensitive(entry_filter_fom));  // keep all: no threshold
    unticked = Cell<CrystalModel *>(ls_choose_models, 1, 0);
    Emit(Renderer(treeview_choose_models, "cell_toggle_select_model"), 1);
    EXPECT_EQ(Text(lbl_choose_model_count), Count(models - 1));
    Screenshot(dlg_choose_models, "choose-models.png");
    return GTK_RESPONSE_ACCEPT;
  });
  std::vector<CrystalModel *> listed = models_of_store(ls_opt_models);
  EXPECT_EQ(static_cast<int>(listed.size()), models - 1);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), unticked), 0);

  // Shown again, the dialog filters again: the unticked model is back. The
  // threshold lies between the third and fourth best figures of merit.
  std::vector<double> foms;
  for (const CrystalModel &m : TheJob().models.models) foms.push_back(m.FOM);
  std::sort(foms.rbegin(), foms.rend());
  ASSERT_GT(foms[2], foms[3]);
  const double threshold = (foms[2] + foms[3]) / 2;
  Choose("action_choose_opt_models", [&] {
    EXPECT_EQ(Text(lbl_choose_model_count), Count(models));
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_statistic_filter), 1);
    Type(entry_filter_fom, std::to_string(threshold).c_str());  // Enter filters
    EXPECT_EQ(Rows(ls_choose_models), 3);
    // A threshold that is none leaves the last good one in force.
    gtk_entry_set_text(GTK_ENTRY(entry_filter_fom), "1.2.3");
    gtk_button_clicked(GTK_BUTTON(btn_choose_model_refresh));
    EXPECT_EQ(Text(lbl_choose_model_count), Count(3));
    return GTK_RESPONSE_ACCEPT;
  });
  EXPECT_EQ(TheJob().config.filterType, 0);
  EXPECT_NEAR(TheJob().config.fomThreshold, threshold, 1e-6);
  EXPECT_EQ(Rows(ls_opt_models), 3);
}

TEST_F(Statistic, ModelsWithInvalidBondsAreLeftOutOfBothChoices) {
  Generate();
  Run(action_check_models_bl_validity);
  int valid = 0;  // the list marks each model as the check found it
  for (int r = 0; r < Rows(ls_models); ++r) {
    const bool ok = Cell<CrystalModel *>(ls_models, r, 0)->validity & VALIDITY_BOND_LENGTHS;
    valid += ok;
    EXPECT_EQ(Text(ls_models, r, 9), ok ? GTK_STOCK_APPLY : GTK_STOCK_CANCEL);
  }
  ASSERT_LT(valid, TheJob().models.count);
  Choose("action_choose_opt_models", [&] {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_exclude_invalid), TRUE);
    EXPECT_EQ(Rows(ls_choose_models), valid);
    return GTK_RESPONSE_ACCEPT;
  });
  Run(action_solve_structures);
  // One more model turns out invalid; the refinement leaves it out too.
  CrystalModel *now = models_of_store(ls_opt_models).front();
  now->validity &= ~VALIDITY_BOND_LENGTHS;
  TheJob().config.refine = 0;
  Choose("action_choose_refine_models", [] { return GTK_RESPONSE_ACCEPT; });
  const std::vector<CrystalModel *> refined = models_of_store(ls_opt_models);
  EXPECT_EQ(static_cast<int>(refined.size()), valid - 1);
  EXPECT_EQ(std::count(refined.begin(), refined.end(), now), 0);
}

TEST_F(Statistic, EachRefinementChoiceFiltersTheLevelBelowIt) {
  TheJob().config.bondPruning = 0;  // enough models for three levels
  Generate();
  gtk_action_activate(action_goto_opt);
  Run(action_solve_structures);
  // First level: the best three of the solved models that stay ticked.
  Choose("action_choose_refine_models", [&] {
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_refine_filter), 1);
    gtk_entry_set_text(GTK_ENTRY(entry_refine_n), "3");
    gtk_button_clicked(GTK_BUTTON(btn_choose_model_refresh));
    EXPECT_EQ(Rows(ls_choose_models), 3);
    Emit(Renderer(treeview_choose_models, "cell_toggle_select_model"), 1);
    return GTK_RESPONSE_ACCEPT;
  });
  EXPECT_EQ(model_state, 2);
  EXPECT_EQ(Page(notebook_opt), 5);
  std::vector<CrystalModel *> best = TheJob().filtered;
  SortModels(&best);
  const std::vector<CrystalModel *> first = models_of_store(ls_opt_models);
  EXPECT_EQ(first, (std::vector<CrystalModel *>{best[0], best[2], best[3]}));
  // A choice not taken leaves the levels as they were.
  Choose("action_choose_refine_models", [] { return GTK_RESPONSE_CANCEL; });
  EXPECT_EQ(TheJob().selection.levels.size(), 1u);
  // Keeping all at the second level keeps the three, not every model.
  Choose("action_choose_refine_models", [&] {
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_refine_filter), 0);
    EXPECT_FALSE(gtk_widget_is_sensitive(entry_refine_n));
    return GTK_RESPONSE_ACCEPT;
  });
  EXPECT_EQ(TheJob().selection.depth, 2);
  EXPECT_EQ(models_of_store(ls_opt_models), first);
  EXPECT_EQ(TheJob().config.refine, 0);
  // Showing the optimisation selection again returns to the first stage.
  Choose("action_choose_opt_models", [] { return GTK_RESPONSE_ACCEPT; });
  EXPECT_EQ(model_state, 1);
  EXPECT_EQ(Rows(ls_opt_models), TheJob().models.count);
}
