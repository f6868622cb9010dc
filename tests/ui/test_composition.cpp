// SPDX-License-Identifier: BSD-3-Clause
// The composition page as a user works it: formula and oxidation states,
// the wizard's checks, the space group with the cell its crystal system
// ties, the restraints on Wyckoff positions, and what becomes of models
// when what they were made from changes.
#include "ui_testing.h"

namespace {

class Composition : public AppTest {
 protected:
  void NewJob(const char *title, const char *formula, const char *z) {
    gtk_action_activate(action_file_new);
    gtk_entry_set_text(GTK_ENTRY(entry_title), title);
    gtk_entry_set_text(GTK_ENTRY(entry_formular), formula);
    gtk_entry_set_text(GTK_ENTRY(entry_formular_z), z);
  }
  void SpaceGroup(const char *number, int setting) {
    gtk_entry_set_text(GTK_ENTRY(entry_sg_number), number);
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sg_setting), setting - 1);
    gtk_action_activate(action_set_sg);
  }
  void Forward() { gtk_action_activate(Action("action_notebook_epc_forward")); }
};

bool Editable(GtkWidget *entry) { return gtk_widget_get_sensitive(entry); }

}  // namespace

TEST_F(Composition, AMixedSiteListsItsMembersAndItsGroupAndTakesTheirOxidationStates) {
  NewJob("ferrite", "(Fe0.5Mn0.5)2O3", "2");
  gtk_action_activate(action_set_formular);
  ASSERT_EQ(Rows(ls_elements), 3);
  EXPECT_EQ(Text(ls_elements, 1, 0), "Mn");
  EXPECT_EQ(Cell<int>(ls_elements, 2, 1), 6);  // 3 O per formula unit, Z = 2
  EXPECT_EQ(Text(ls_comb_elements, 1, 0), "(Fe+Mn)");  // after "*", all atoms
  EXPECT_EQ(Cell<int>(ls_comb_elements, 1, 1), 4);
  // An oxidation state typed into the list reaches the job's table and the
  // compound, members of the mixed site included.
  g_signal_emit_by_name(cell_spin_oxidation, "edited", "1", "2");
  EXPECT_EQ(Cell<int>(ls_elements, 1, 2), 2);
  EXPECT_EQ(TheJob().config.oxidation[1].symbol + std::to_string(TheJob().config.oxidation[1].oxidation),
            "Mn2");
  EXPECT_GT(TheJob().compound.entries[0].members[1].ionRadius, 0);
  EXPECT_EQ(file_changed_flag, 1);
  // Beyond the reader's range: refused, the row and the job as they were.
  g_signal_emit_by_name(cell_spin_oxidation, "edited", "0", "9");
  EXPECT_EQ(Cell<int>(ls_elements, 0, 2), 3);  // Fe starts at its common state
  EXPECT_EQ(TheJob().config.oxidation[0].oxidation, 3);
  EXPECT_TRUE(Logged("OXIDATION Fe: '9' is no oxidation state"));
  // A state without an ionic radius: the list stays for correcting it, but
  // the formula does not pass.
  g_signal_emit_by_name(cell_spin_oxidation, "edited", "0", "7");
  EXPECT_EQ(file_formular_validity, 0);
  EXPECT_EQ(Rows(ls_elements), 3);
  EXPECT_TRUE(Logged("no ionic radius is known for Fe+7"));
}

TEST_F(Composition, TheWizardStaysOnAStepThatLacksSomething) {
  NewJob("", "Na1Xq1", "4");
  user.answers = {GTK_RESPONSE_OK, GTK_RESPONSE_OK, GTK_RESPONSE_OK, GTK_RESPONSE_OK,
                  GTK_RESPONSE_OK};
  Forward();
  EXPECT_EQ(user.Count("Please input a valid title!"), 1u);
  gtk_entry_set_text(GTK_ENTRY(entry_title), "salt");
  Forward();
  EXPECT_EQ(Page(notebook_epc), 0);
  gtk_button_clicked(GTK_BUTTON(Named(window_main, "btn_estimate_z")));  // nor estimates Z
  EXPECT_EQ(user.Count("Please input a valid formula!"), 2u);
  // Z is checked as the control file's reader checks it: refused values
  // are marked beside the field, logged, and never stored.
  gtk_entry_set_text(GTK_ENTRY(entry_formular), "Na1Cl1");
  gtk_entry_set_text(GTK_ENTRY(entry_formular_z), "0");
  EXPECT_TRUE(entry_has_error(entry_formular_z));
  EXPECT_EQ(TheJob().config.formularZ, 4);
  EXPECT_TRUE(Logged("Z (FORMULAR_Z): '0' out of range: expected a number of formula units "
                     "from 1 to 1000000"));
  Forward();
  EXPECT_EQ(user.Count("Please input a valid formula!"), 3u);
  gtk_entry_set_text(GTK_ENTRY(entry_formular_z), "4");
  Forward();
  ASSERT_EQ(Page(notebook_epc), 1);
  // The space group: a number that is none is refused likewise.
  gtk_entry_set_text(GTK_ENTRY(entry_sg_number), "300");
  EXPECT_TRUE(entry_has_error(entry_sg_number));
  EXPECT_EQ(TheJob().config.sgNumber, 1);
  Forward();
  EXPECT_EQ(user.Count("Invalid space group No. or setting!"), 1u);
  Type(entry_sg_number, "225");
  EXPECT_NE(Text(lbl_sg_information).find("Fm-3m"), std::string::npos);
  Forward();
  EXPECT_EQ(Page(notebook_epc), 2);
  EXPECT_TRUE(user.answers.empty());
}

TEST_F(Composition, TheCrystalSystemTiesTheCell) {
  NewJob("cells", "Na1Cl1", "4");
  gtk_action_activate(action_set_formular);
  // Cubic: only a, and b and c follow it, in the job, the page and the
  // dialog and the displayed crystal.
  SpaceGroup("225", 1);
  EXPECT_FALSE(Editable(entry_cell_b0) || Editable(entry_cell_alpha));
  Type(entry_cell_a0, "5.64");
  EXPECT_EQ(TheJob().config.cellC, 5.64);
  EXPECT_EQ(Text(entry_cell_c), "5.640000");
  EXPECT_EQ(optOutData.crystal.b, 5.64);
  // With free input, a is edited alone; switching it off ties again.
  gtk_toggle_action_set_active(toggleaction_free_cell_input, TRUE);
  Type(entry_cell_a, "5.70");
  EXPECT_EQ(TheJob().config.cellB, 5.64);
  gtk_toggle_action_set_active(toggleaction_free_cell_input, FALSE);
  EXPECT_EQ(TheJob().config.cellB, 5.70);
  // Rhombohedral axes: one angle for all three, which stays the user's
  // when a changes; three of 130 degrees span no cell and are refused.
  SpaceGroup("166", 2);
  EXPECT_FALSE(Editable(entry_cell_beta0));
  Type(entry_cell_alpha0, "60");
  Type(entry_cell_a0, "7.1");
  EXPECT_EQ(TheJob().config.cellC, 7.1);
  EXPECT_EQ(TheJob().config.cellGamma, 60);
  Type(entry_cell_alpha0, "130");
  EXPECT_TRUE(entry_has_error(entry_cell_alpha0));
  EXPECT_EQ(TheJob().config.cellGamma, 60);
  // Monoclinic, unique axis b: beta, which survives loading the group
  // again; unique axis c: gamma instead.
  SpaceGroup("14", 1);
  EXPECT_FALSE(Editable(entry_cell_gamma0));
  Type(entry_cell_beta0, "105.5");
  SpaceGroup("15", 1);
  SpaceGroup("14", 1);
  EXPECT_EQ(Text(entry_cell_beta), "105.500000");
  // Enter or leaving a field the program filled stores nothing, though it
  // shows b rounded to six decimals.
  Type(entry_cell_b0, "4.1234567");
  gtk_widget_activate(entry_cell_b);
  GdkEvent *focus = gdk_event_new(GDK_FOCUS_CHANGE);
  gboolean handled = FALSE;
  g_signal_emit_by_name(entry_cell_b, "focus-out-event", focus, &handled);
  gdk_event_free(focus);
  EXPECT_EQ(TheJob().config.cellB, 4.1234567);
  SpaceGroup("14", 2);
  EXPECT_TRUE(Editable(entry_cell_gamma0));
  EXPECT_FALSE(Editable(entry_cell_beta0));
  // Values the reader refuses are marked and not stored.
  Type(entry_cell_a0, "-3");
  EXPECT_EQ(TheJob().config.cellA, 7.1);
  EXPECT_TRUE(Logged("Cell a (CELL_A): '-3' out of range"));
}

TEST_F(Composition, RestraintsEditTheJobsConstraints) {
  NewJob("salt", "Na1Cl1", "4");
  Forward();
  SpaceGroup("225", 1);
  Forward();
  // The cursor starts on "*", all atoms; the positions are listed in the
  // database's order, 4a last.
  ASSERT_EQ(Rows(ls_restraints), 12);
  const int a = 11, b = 10;
  ASSERT_EQ(Text(ls_restraints, a, 1), "a");
  Select(treeview_comb_elements, 2);  // Cl
  EXPECT_EQ(Cell<int>(ls_restraints, a, 3), 1);  // 4 Cl fill 4a once
  file_changed_flag = 0;
  Emit(cell_spin_r_max, a, "0");
  EXPECT_EQ(Cell<int>(ls_restraints, a, 3), 0);
  ASSERT_EQ(TheJob().config.constraints.size(), 1u);
  const Constraint c = TheJob().config.constraints.front();
  EXPECT_EQ(c.name + std::to_string(c.index) + c.wyckoffLetter + std::to_string(c.maximum),
            "Cl2a0");
  EXPECT_EQ(TheJob().combPositions.nodes[a].upperBySlot[2], 0);
  EXPECT_EQ(file_changed_flag, 1);
  // A minimum above the maximum is refused, and a maximum below the
  // minimum, and no number.
  Emit(cell_spin_r_min, b, "2");
  Emit(cell_spin_r_min, b, "one");
  EXPECT_EQ(Cell<int>(ls_restraints, b, 2), 0);
  EXPECT_TRUE(Logged("the minimum must not exceed the maximum"));
  Emit(cell_spin_r_min, b, "1");
  Emit(cell_spin_r_max, b, "0");
  EXPECT_EQ(Cell<int>(ls_restraints, b, 3), 1);

  // Another formula: the rows of the former element list go with it, so
  // that no restraint is shown for an element the cursor no longer names.
  gtk_entry_set_text(GTK_ENTRY(entry_formular), "Na1Br1");
  gtk_action_activate(action_set_formular);
  EXPECT_EQ(Rows(ls_restraints), 0);
  // Back to the salt; Reset forgets every constraint and keeps the chosen
  // element.
  gtk_entry_set_text(GTK_ENTRY(entry_formular), "Na1Cl1");
  gtk_action_activate(action_set_formular);
  gtk_action_activate(action_set_sg);
  Select(treeview_comb_elements, 2);
  EXPECT_EQ(Cell<int>(ls_restraints, a, 3), 0);
  gtk_button_clicked(GTK_BUTTON(Named(window_main, "btn_restraints_reset")));
  EXPECT_TRUE(TheJob().config.constraints.empty());
  EXPECT_EQ(TheJob().combPositions.currentSlot, 2);
  EXPECT_EQ(Cell<int>(ls_restraints, a, 3), 1);
}

TEST_F(Composition, ModelsGoWhenTheFormulaOrTheGroupChangesAndStayOtherwise) {
  Open("examples/zno_wurtzite/zno.epc");
  Generate();
  const CrystalModel *first = &TheJob().models.models.front();
  // Next and Generate apply formula and group every time; unchanged, they
  // leave the models (and the compound they point into) alone, and so does
  // a new oxidation state.
  gtk_action_activate(action_set_formular);
  gtk_action_activate(action_set_sg);
  g_signal_emit_by_name(cell_spin_oxidation, "edited", "0", "0");
  EXPECT_EQ(&TheJob().models.models.front(), first);
  EXPECT_EQ(first->atoms[0].element, &TheJob().compound.entries[0]);
  EXPECT_EQ(Rows(ls_models), 4);
  // Another space group: the models pointed into the old one's positions.
  Type(entry_sg_number, "194");
  EXPECT_EQ(Rows(ls_models) + TheJob().models.count, 0);
  EXPECT_TRUE(Logged("the space group has changed: the 4 models of the former one have been "
                     "removed; generate the models again"));
  Type(entry_sg_number, "186");
  Generate();
  ASSERT_EQ(Rows(ls_models), 4);
  gtk_entry_set_text(GTK_ENTRY(entry_formular_z), "4");
  gtk_action_activate(action_set_formular);
  EXPECT_EQ(Rows(ls_models), 0);
  EXPECT_TRUE(Logged("the formula or Z has changed"));
}
