// SPDX-License-Identifier: BSD-3-Clause
// The model list's dialogs driven as a user would: a model's details with
// its atoms and bond lengths, the minimum distances and the fixed
// coordinates.
#include <algorithm>

#include "ui_testing.h"

namespace {

std::string Stock(GtkWidget *image) {
  gchar *stock = nullptr;
  gtk_image_get_stock(GTK_IMAGE(image), &stock, nullptr);
  return stock ? stock : "";
}

class ModelDialogs : public AppTest {
 protected:
  // ZnO's models, the cursor on the first with a free coordinate.
  void SetUp() override {
    AppTest::SetUp();
    Open("examples/zno_wurtzite/zno.epc");
    Generate();
    for (row = 0; row < Rows(ls_models) && !model; ++row)
      if (Cell<CrystalModel *>(ls_models, row, 0)->freeCount > 0) {
        Select(treeview_models, row);
        model = currentModel;
      }
    --row;
    ASSERT_NE(model, nullptr);
  }
  // The dialog the action shows; in it the user does what act says.
  void In(GtkWidget *dialog, const char *action, const std::function<int()> &act) {
    user.actions.push_back([dialog, act](GtkDialog *shown) {
      EXPECT_EQ(GTK_WIDGET(shown), dialog);
      return act();
    });
    gtk_action_activate(Action(action));
  }
  void CheckBonds(const char *tolerance) {
    gtk_entry_set_text(GTK_ENTRY(entry_bond_length_tolerance), tolerance);
    In(dlg_model_details, "action_model_details", [] {
      gtk_action_activate(action_check_model_bl_validity);
      return GTK_RESPONSE_CLOSE;
    });
  }
  int row = 0;
  CrystalModel *model = nullptr;
};

}  // namespace

TEST_F(ModelDialogs, EditingAndFixingACoordinateGiveTheModelNewFiguresAndCounts) {
  const int free = model->freeCount;
  const double before = model->Rmin;
  In(dlg_model_details, "action_model_details", [&] {
    EXPECT_EQ(Text(entry_model_epc), EPCStr(model));
    GtkWidget *atoms = Named(dlg_model_details, "treeview_model_atoms");
    int atom = 0;  // the first with a free z
    while (atom < Rows(ls_model_atoms) && !Cell<gboolean>(ls_model_atoms, atom, 20)) ++atom;
    const double was = Cell<double>(ls_model_atoms, atom, 5);
    Emit(Renderer(atoms, "cell_text_z"), atom, "0.3x");
    EXPECT_EQ(Cell<double>(ls_model_atoms, atom, 5), was);
    Emit(Renderer(atoms, "cell_text_z"), atom, "0.1");
    EXPECT_EQ(Cell<double>(ls_model_atoms, atom, 5), 0.1);
    EXPECT_EQ(Text(ls_model_atoms, atom, 14), "#FF0000");
    // x, fixed by symmetry, shown bold, cannot be fixed by hand.
    EXPECT_EQ(Cell<int>(ls_model_atoms, atom, 15), 700);
    Emit(Renderer(atoms, "cell_renderer_toggle_x_fixed"), atom);
    EXPECT_EQ(Text(entry_model_para_count), std::to_string(free));
    Emit(Renderer(atoms, "cell_renderer_toggle_z_fixed"), atom);
    EXPECT_EQ(Text(entry_model_para_count), std::to_string(free - 1));
    GtkRcStyle *style = gtk_widget_get_modifier_style(entry_model_para_count);
    EXPECT_TRUE(style->color_flags[GTK_STATE_NORMAL] & GTK_RC_TEXT);
    EXPECT_EQ(style->text[GTK_STATE_NORMAL].red, 65535);
    EXPECT_EQ(Text(ls_model_atoms, atom, 14), "#0000FF");
    Screenshot(dlg_model_details, "model-details.png");
    return GTK_RESPONSE_CLOSE;
  });
  EXPECT_TRUE(Logged("z: '0.3x' in a wrong format"));
  EXPECT_EQ(Cell<int>(ls_models, row, 3), free - 1);
  EXPECT_EQ(Text(ls_models, row, 10), "#FF0000");
  EXPECT_NE(model->Rmin, before);
  EXPECT_EQ(Cell<double>(ls_models, row, 4), model->Rmin);
  // Nothing changed, nothing computed.
  model->Rmin = 42;
  In(dlg_model_details, "action_model_details", [] { return GTK_RESPONSE_CLOSE; });
  EXPECT_EQ(model->Rmin, 42);
}

TEST_F(ModelDialogs, AModelsBondLengthsAreCheckedInItsDetailsAtTheToleranceGiven) {
  for (BondLength &b : TheJob().bondLengths.items) b.distance = 50;  // minima no structure meets
  In(dlg_model_details, "action_model_details", [&] {
    GtkWidget *expand = Named(dlg_model_details, "btn_expand_model_validiation");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(expand), TRUE);
    EXPECT_TRUE(gtk_widget_get_visible(align_model_validation));
    gtk_action_activate(action_check_model_bl_validity);
    const int all = Rows(ls_bond_lengths);
    EXPECT_GT(all, 0);
    EXPECT_EQ(Stock(image_bond_length_validity), GTK_STOCK_CANCEL);
    // Hiding the valid ones leaves only the crosses, of which there are some.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_bond_length_hide_valid), TRUE);
    EXPECT_GT(Rows(ls_bond_lengths), 0);
    for (int r = 0; r < Rows(ls_bond_lengths); ++r)
      EXPECT_EQ(Text(ls_bond_lengths, r, 0), GTK_STOCK_CANCEL);
    gtk_action_activate(action_reset_model_bl_validity);
    EXPECT_EQ(Rows(ls_bond_lengths), all);
    EXPECT_EQ(Stock(image_bond_length_validity), GTK_STOCK_APPLY);
    gtk_action_activate(action_check_model_bl_validity);
    return GTK_RESPONSE_CLOSE;
  });
  EXPECT_FALSE(model->validity & VALIDITY_BOND_LENGTHS);
  EXPECT_EQ(Text(ls_models, row, 9), GTK_STOCK_CANCEL);  // the list shows it too
  // No two atoms on one spot, and minima just above the shortest distance:
  // valid at the default tolerance, invalid at none.
  int k = 0;
  for (AtomModel &a : model->atoms)
    if (a.para[SLOT_Z].index >= 0) a.para[SLOT_Z].value = 0.1 + 0.37 * k++;
  CheckBonds("10");
  double shortest = 1e9;
  for (const BondLength &b : model->bondLengths.items) shortest = std::min(shortest, b.distance);
  ASSERT_GT(shortest, 0.5);
  for (BondLength &b : TheJob().bondLengths.items) b.distance = shortest / 0.95;
  for (const char *tolerance : {"10", "0", "100"}) {
    CheckBonds(tolerance);
    EXPECT_EQ((model->validity & VALIDITY_BOND_LENGTHS) != 0, tolerance[0] == '1') << tolerance;
  }
  // A tolerance that is none is said, and the default is used.
  EXPECT_NE(Mark(entry_bond_length_tolerance), "");
  EXPECT_TRUE(Logged("checking bond lengths, using the default tolerance of 10%"));
}

TEST_F(ModelDialogs, MinimumDistancesAreEditedSwitchedOffAndReset) {
  In(dlg_bond_length_constraint, "action_bond_length_constraint", [&] {
    GtkWidget *view = Named(dlg_bond_length_constraint, "treeview_bond_length_constraint");
    Emit(Renderer(view, "celltoggle_bond_length_constraint_check"), 0);  // Zn-Zn
    for (const char *text : {"3.5", "-1", "abc"})  // Zn-O
      Emit(Renderer(view, "celltext_bond_length_constraint"), 1, text);
    EXPECT_EQ(TheJob().bondLengths.items[0].valid, 0);
    EXPECT_EQ(Cell<double>(ls_bond_length_constraint, 1, 6), 3.5);
    gtk_button_clicked(GTK_BUTTON(Named(dlg_bond_length_constraint,
                                        "btn_bond_length_constraints_reset")));
    EXPECT_EQ(TheJob().bondLengths.items[0].valid, 1);
    EXPECT_NE(TheJob().bondLengths.items[1].distance, 3.5);
    EXPECT_EQ(Cell<double>(ls_bond_length_constraint, 1, 6), TheJob().bondLengths.items[1].distance);
    return GTK_RESPONSE_CLOSE;
  });
  EXPECT_TRUE(Logged("'-1' is no distance") && Logged("'abc' is no distance"));
  EXPECT_EQ(file_changed_flag, 0);  // not part of the control file
}

TEST_F(ModelDialogs, FixedCoordinatesAreTakenOnlyOnApply) {
  GtkWidget *view = treeview_fixed_coordinates;
  In(dlg_fixed_coordinates, "action_fixed_coordinates_models", [&] {
    // Every real element and every position to choose from.
    EXPECT_EQ(Text(ls_fixed_coordinate_element, 1, 0), "O -2");
    EXPECT_EQ(static_cast<size_t>(Rows(ls_fixed_coordinate_wyckoff)),
              TheJob().crystal.spaceGroup.positions.size());
    gtk_action_activate(Action("action_fixed_coordinate_add"));
    return GTK_RESPONSE_CANCEL;
  });
  EXPECT_TRUE(TheJob().config.fixedCoordinates.empty());
  // B and occupancy, which the dialog does not show, are kept.
  FixedCoordinate oxygen;
  oxygen.symbol = "O";
  oxygen.oxidation = -2;
  oxygen.multiplicity = 2;
  oxygen.wyckoffLetter = 'b';
  oxygen.B = 0.5;
  oxygen.flags = FIX_B;
  TheJob().config.fixedCoordinates.push_back(oxygen);
  In(dlg_fixed_coordinates, "action_fixed_coordinates_models", [&] {
    EXPECT_EQ(Rows(ls_fixed_coordinates), 1);
    gtk_action_activate(Action("action_fixed_coordinate_add"));
    Emit(Renderer(view, "cell_comb_fixed_coordinate_element"), 1, "Zn 2");
    Emit(Renderer(view, "cell_comb_fixed_coordinate_wyckoff"), 1, "2 b");
    Emit(Renderer(view, "cell_toggle_fixed_coordinate_fix_z"), 1);
    Emit(Renderer(view, "cell_text_fixed_coordinate_z_value"), 1, "0.3");
    Emit(Renderer(view, "cell_text_fixed_coordinate_y_value"), 1, "half");
    Emit(Renderer(view, "cell_text_fixed_coordinate_oxidation"), 1, "9");
    gtk_action_activate(Action("action_fixed_coordinate_add"));  // never completed
    return GTK_RESPONSE_APPLY;
  });
  ASSERT_TRUE(SpinUntil(Idle, 30));
  const FixedCoordinates &list = TheJob().config.fixedCoordinates;
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].B, 0.5);
  EXPECT_EQ(list[0].flags, FIX_B);
  EXPECT_EQ(list[1].symbol + std::to_string(list[1].oxidation) + list[1].wyckoffLetter, "Zn2b");
  EXPECT_EQ(list[1].z, 0.3);
  EXPECT_EQ(list[1].y, 0.0);
  EXPECT_EQ(list[1].flags, FIX_Z);
  EXPECT_TRUE(Logged("row 3 names no element or no Wyckoff position"));
  EXPECT_TRUE(Logged("'9' is none") && Logged("y: 'half' in a wrong format"));
  // Applied to every model that has the position, shown red; and reset.
  auto red = [] {
    int n = 0;
    for (int r = 0; r < Rows(ls_models); ++r) n += Text(ls_models, r, 10) == "#FF0000";
    return n;
  };
  EXPECT_GT(red(), 0);
  Run(action_reset_fixed_coordinates_models);
  EXPECT_EQ(red(), 0);
  EXPECT_TRUE(Logged("Fixed coordinates have been reset, "));
  // (And a list of models to solve left empty ends at once.)
  gtk_list_store_clear(ls_opt_models);
  Run(action_solve_structures);
  EXPECT_TRUE(Logged("Total time used: 0.000s (wall clock)"));
  EXPECT_FALSE(Logged("Solving model"));
}
