// The model list and its dialogs driven as a user would: a model's details
// with its atoms and bond lengths, the minimum distances, the fixed
// coordinates, the statistics of free parameters and the model file.
#include <glib/gstdio.h>

#include <algorithm>
#include <cmath>

#include "ui_testing.h"

namespace {

const char *const kZno = "examples/zno_wurtzite/zno.epc";

bool Idle() { return !job_worker_running(); }


std::string Entry(GtkWidget *entry) { return gtk_entry_get_text(GTK_ENTRY(entry)); }

std::string Stock(GtkWidget *image) {
  gchar *stock = nullptr;
  gtk_image_get_stock(GTK_IMAGE(image), &stock, nullptr);
  return stock ? stock : "";
}

void Emit(GtkCellRenderer *renderer, int row, const char *text = nullptr) {
  const std::string path = std::to_string(row);
  if (text)
    g_signal_emit_by_name(renderer, "edited", path.c_str(), text);
  else
    g_signal_emit_by_name(renderer, "toggled", path.c_str());
}

class ModelDialogs : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    OpenThroughMenu(&user, SourcePath(kZno));
    ASSERT_EQ(jobing, 1);
    gtk_button_clicked(GTK_BUTTON(btn_generate_models));
    ASSERT_TRUE(SpinUntil(Idle, 60));
    SpinFor(0.05);
    ASSERT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_main)), 1);
  }
  // Selects the first model with a free coordinate; returns its row.
  int SelectFreeModel() {
    for (int r = 0; r < Rows(ls_models); ++r) {
      CrystalModel *m = Cell<CrystalModel *>(ls_models, r, 0);
      if (m->freeCount > 0) {
        GtkTreePath *path = gtk_tree_path_new_from_indices(r, -1);
        gtk_tree_view_set_cursor(GTK_TREE_VIEW(treeview_models), path, nullptr, FALSE);
        gtk_tree_path_free(path);
        return r;
      }
    }
    ADD_FAILURE() << "no model with a free coordinate";
    return 0;
  }
  // The first atom row with a free z.
  static int FreeZRow() {
    for (int r = 0; r < Rows(ls_model_atoms); ++r)
      if (Cell<gboolean>(ls_model_atoms, r, 20)) return r;
    ADD_FAILURE() << "no atom with a free z";
    return 0;
  }
  void During(GtkWidget *dialog, const std::function<int()> &act) {
    user.actions.push_back([dialog, act](GtkDialog *shown) {
      EXPECT_EQ(GTK_WIDGET(shown), dialog);
      return act();
    });
  }
};

}  // namespace

TEST_F(ModelDialogs, TheListFollowsTheCursorAndOffersItsMenuOnTheRowClicked) {
  EXPECT_TRUE(PressOnRow(treeview_models, 2, 3));
  EXPECT_TRUE(gtk_widget_get_mapped(popmenu_models));
  ASSERT_NE(currentModel, nullptr);
  EXPECT_EQ(currentModel, Cell<CrystalModel *>(ls_models, 2, 0));
  gtk_menu_popdown(GTK_MENU(popmenu_models));
  SpinFor(0.1);
  size_t shown = 0;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    shown = optOutData.crystal.atoms.size();
  }
  EXPECT_EQ(shown, currentModel->atoms.size());
  // Other buttons go on to the list, which selects the row.
  PressOnRow(treeview_models, 1, 1);
  EXPECT_FALSE(gtk_widget_get_mapped(popmenu_models));
  EXPECT_EQ(currentModel, Cell<CrystalModel *>(ls_models, 1, 0));
}

TEST_F(ModelDialogs, FixingACoordinateShowsTheCountInRedInTheDialogAndTheList) {
  const int row = SelectFreeModel();
  CrystalModel *m = currentModel;
  const int free = m->freeCount;
  During(dlg_model_details, [&] {
    EXPECT_EQ(Entry(entry_model_number), std::to_string(m->modelNumber));
    EXPECT_EQ(Entry(entry_model_epc), EPCStr(m));
    EXPECT_EQ(Entry(entry_model_para_count), std::to_string(free));
    EXPECT_EQ(Rows(ls_model_atoms), static_cast<int>(m->atoms.size()));
    const int atom = FreeZRow();
    EXPECT_EQ(Text(ls_model_atoms, atom, 14), "#FF0000");
    // Fixed by symmetry: black and bold, and cannot be fixed by hand.
    EXPECT_EQ(Text(ls_model_atoms, atom, 12), "#000000");
    EXPECT_EQ(Cell<int>(ls_model_atoms, atom, 15), 700);
    Emit(Renderer(Named(dlg_model_details, "treeview_model_atoms"),
                  "cell_renderer_toggle_x_fixed"),
         atom);
    EXPECT_EQ(Entry(entry_model_para_count), std::to_string(free));

    Emit(Renderer(Named(dlg_model_details, "treeview_model_atoms"),
                  "cell_renderer_toggle_z_fixed"),
         atom);
    EXPECT_EQ(Entry(entry_model_para_count), std::to_string(free - 1));
    GtkRcStyle *style = gtk_widget_get_modifier_style(entry_model_para_count);
    EXPECT_TRUE(style->color_flags[GTK_STATE_NORMAL] & GTK_RC_TEXT);
    EXPECT_EQ(style->text[GTK_STATE_NORMAL].red, 65535);
    EXPECT_EQ(style->text[GTK_STATE_NORMAL].green, 0);
    EXPECT_EQ(Text(ls_model_atoms, atom, 14), "#0000FF");
    EXPECT_TRUE(Cell<gboolean>(ls_model_atoms, atom, 11));
    gtk_widget_show(dlg_model_details);
    Screenshot(dlg_model_details, "model-details.png");
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_model_details"));
  EXPECT_FALSE(gtk_widget_get_visible(dlg_model_details));
  EXPECT_EQ(Cell<int>(ls_models, row, 3), free - 1);
  EXPECT_EQ(Text(ls_models, row, 10), "#FF0000");
}

TEST_F(ModelDialogs, AnEditedCoordinateGivesTheModelNewFigures) {
  const int row = SelectFreeModel();
  CrystalModel *m = currentModel;
  const double before = m->Rmin;
  GtkCellRenderer *z = nullptr;
  During(dlg_model_details, [&] {
    const int atom = FreeZRow();
    z = Renderer(Named(dlg_model_details, "treeview_model_atoms"), "cell_text_z");
    const double was = Cell<double>(ls_model_atoms, atom, 5);
    Emit(z, atom, "0.3x");
    EXPECT_EQ(Cell<double>(ls_model_atoms, atom, 5), was);
    Emit(z, atom, "0.1");
    EXPECT_EQ(Cell<double>(ls_model_atoms, atom, 5), 0.1);
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_model_details"));
  EXPECT_NE(LogText().find("z: '0.3x' in a wrong format"), std::string::npos);
  EXPECT_NE(m->Rmin, before);
  EXPECT_EQ(Cell<double>(ls_models, row, 4), m->Rmin);
  // Nothing changed, nothing computed.
  const double now = m->Rmin;
  m->Rmin = 42;
  During(dlg_model_details, [] { return GTK_RESPONSE_CLOSE; });
  gtk_action_activate(Action("action_model_details"));
  EXPECT_EQ(m->Rmin, 42);
  m->Rmin = now;
}

TEST_F(ModelDialogs, AModelsBondLengthsAreCheckedInItsDetails) {
  SelectFreeModel();
  CrystalModel *m = currentModel;
  // Minima no structure meets.
  for (BondLength &b : TheJob().bondLengths.items) b.distance = 50;
  During(dlg_model_details, [&] {
    GtkWidget *expand = Named(dlg_model_details, "btn_expand_model_validiation");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(expand), TRUE);
    EXPECT_TRUE(gtk_widget_get_visible(align_model_validation));
    gtk_action_activate(action_check_model_bl_validity);
    EXPECT_GT(Rows(ls_bond_lengths), 0);
    EXPECT_EQ(Stock(image_bond_length_validity), GTK_STOCK_CANCEL);
    EXPECT_FALSE(m->validity & VALIDITY_BOND_LENGTHS);
    const int all = Rows(ls_bond_lengths);
    // Hiding the valid ones leaves only the crosses.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_bond_length_hide_valid), TRUE);
    EXPECT_LE(Rows(ls_bond_lengths), all);
    for (int r = 0; r < Rows(ls_bond_lengths); ++r)
      EXPECT_EQ(Text(ls_bond_lengths, r, 0), GTK_STOCK_CANCEL);
    gtk_widget_show(dlg_model_details);
    Screenshot(dlg_model_details, "model-bond-lengths.png");
    gtk_action_activate(action_reset_model_bl_validity);
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_bond_length_hide_valid)));
    EXPECT_EQ(Rows(ls_bond_lengths), all);
    EXPECT_EQ(Stock(image_bond_length_validity), GTK_STOCK_APPLY);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(expand), FALSE);
    EXPECT_FALSE(gtk_widget_get_visible(align_model_validation));
    gtk_action_activate(action_check_model_bl_validity);
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_model_details"));
  // The list shows what the check found.
  bool crossed = false;
  for (int r = 0; r < Rows(ls_models); ++r)
    if (Cell<CrystalModel *>(ls_models, r, 0) == m)
      crossed = Text(ls_models, r, 9) == GTK_STOCK_CANCEL;
  EXPECT_TRUE(crossed);

  // No two atoms on one spot, and minima just above the shortest distance:
  // valid at the default tolerance, invalid at none.
  int k = 0;
  for (AtomModel &a : m->atoms)
    if (a.para[SLOT_Z].index >= 0) a.para[SLOT_Z].value = 0.1 + 0.37 * k++;
  auto check = [&](const char *tolerance) {
    gtk_entry_set_text(GTK_ENTRY(entry_bond_length_tolerance), tolerance);
    During(dlg_model_details, [] {
      gtk_action_activate(action_check_model_bl_validity);
      return GTK_RESPONSE_CLOSE;
    });
    gtk_action_activate(Action("action_model_details"));
    return (m->validity & VALIDITY_BOND_LENGTHS) != 0;
  };
  check("10");
  double shortest = 1e9;
  for (const BondLength &b : m->bondLengths.items) shortest = std::min(shortest, b.distance);
  ASSERT_GT(shortest, 0.5);
  for (BondLength &b : TheJob().bondLengths.items) b.distance = shortest / 0.95;
  EXPECT_TRUE(check("10"));
  EXPECT_FALSE(check("0"));
  // A tolerance that is none is said, and the default is used.
  EXPECT_TRUE(check("100"));
  EXPECT_NE(gtk_entry_get_icon_stock(GTK_ENTRY(entry_bond_length_tolerance),
                                     GTK_ENTRY_ICON_SECONDARY),
            nullptr);
  EXPECT_NE(LogText().find("checking bond lengths, using the default tolerance of 10%"),
            std::string::npos);
}

TEST_F(ModelDialogs, MinimumDistancesAreEditedSwitchedOffAndReset) {
  ASSERT_EQ(TheJob().bondLengths.count, 3);  // Zn-Zn, Zn-O, O-O
  const double zinc = TheJob().bondLengths.items[0].distance;
  EXPECT_EQ(Entry(entry_bond_length_tolerance), "10");
  During(dlg_bond_length_constraint, [&] {
    EXPECT_EQ(Rows(ls_bond_length_constraint), 3);
    GtkWidget *view = Named(dlg_bond_length_constraint, "treeview_bond_length_constraint");
    Emit(Renderer(view, "celltoggle_bond_length_constraint_check"), 0);
    EXPECT_EQ(TheJob().bondLengths.items[0].valid, 0);
    EXPECT_FALSE(Cell<gboolean>(ls_bond_length_constraint, 0, 1));
    Emit(Renderer(view, "celltext_bond_length_constraint"), 1, "3.5");
    EXPECT_EQ(TheJob().bondLengths.items[1].distance, 3.5);
    EXPECT_EQ(Cell<double>(ls_bond_length_constraint, 1, 6), 3.5);
    Emit(Renderer(view, "celltext_bond_length_constraint"), 1, "-1");
    EXPECT_EQ(TheJob().bondLengths.items[1].distance, 3.5);
    Emit(Renderer(view, "celltext_bond_length_constraint"), 2, "abc");
    gtk_widget_show(dlg_bond_length_constraint);
    Screenshot(dlg_bond_length_constraint, "bond-length-minima.png");
    gtk_button_clicked(GTK_BUTTON(Named(dlg_bond_length_constraint,
                                        "btn_bond_length_constraints_reset")));
    EXPECT_EQ(TheJob().bondLengths.items[0].valid, 1);
    EXPECT_EQ(TheJob().bondLengths.items[0].distance, zinc);
    EXPECT_NE(TheJob().bondLengths.items[1].distance, 3.5);
    EXPECT_EQ(Cell<double>(ls_bond_length_constraint, 1, 6), TheJob().bondLengths.items[1].distance);
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_bond_length_constraint"));
  EXPECT_NE(LogText().find("'-1' is no distance"), std::string::npos);
  EXPECT_NE(LogText().find("'abc' is no distance"), std::string::npos);
  // Not part of the control file.
  EXPECT_EQ(file_changed_flag, 0);
}

TEST_F(ModelDialogs, FixedCoordinatesAreTakenOnlyOnApply) {
  GtkWidget *view = treeview_fixed_coordinates;
  During(dlg_fixed_coordinates, [&] {
    // Every real element and every position to choose from.
    EXPECT_EQ(Rows(ls_fixed_coordinate_element), 2);
    EXPECT_EQ(Text(ls_fixed_coordinate_element, 0, 0), "Zn 2");
    EXPECT_EQ(Text(ls_fixed_coordinate_element, 1, 0), "O -2");
    EXPECT_EQ(Rows(ls_fixed_coordinate_wyckoff),
              static_cast<int>(TheJob().crystal.spaceGroup.positions.size()));
    bool b = false;
    for (int r = 0; r < Rows(ls_fixed_coordinate_wyckoff); ++r)
      b = b || (Text(ls_fixed_coordinate_wyckoff, r, 0) == "2 b" &&
                Cell<int>(ls_fixed_coordinate_wyckoff, r, 1) == 'b');
    EXPECT_TRUE(b);
    gtk_action_activate(Action("action_fixed_coordinate_add"));
    EXPECT_EQ(Rows(ls_fixed_coordinates), 1);
    return GTK_RESPONSE_CANCEL;
  });
  gtk_action_activate(Action("action_fixed_coordinates_models"));
  EXPECT_TRUE(TheJob().config.fixedCoordinates.empty());
  EXPECT_EQ(file_changed_flag, 1);

  // B and occupancy, which the dialog does not show, are kept.
  FixedCoordinate oxygen;
  oxygen.symbol = "O";
  oxygen.oxidation = -2;
  oxygen.multiplicity = 2;
  oxygen.wyckoffLetter = 'b';
  oxygen.B = 0.5;
  oxygen.flags = FIX_B;
  TheJob().config.fixedCoordinates.push_back(oxygen);
  During(dlg_fixed_coordinates, [&] {
    EXPECT_EQ(Rows(ls_fixed_coordinates), 1);
    gtk_action_activate(Action("action_fixed_coordinate_add"));
    Emit(Renderer(view, "cell_comb_fixed_coordinate_element"), 1, "Zn 2");
    Emit(Renderer(view, "cell_comb_fixed_coordinate_wyckoff"), 1, "2 b");
    Emit(Renderer(view, "cell_toggle_fixed_coordinate_fix_z"), 1);
    Emit(Renderer(view, "cell_text_fixed_coordinate_z_value"), 1, "0.3");
    Emit(Renderer(view, "cell_text_fixed_coordinate_y_value"), 1, "half");
    Emit(Renderer(view, "cell_text_fixed_coordinate_oxidation"), 1, "9");
    EXPECT_EQ(Cell<int>(ls_fixed_coordinates, 1, 1), 2);
    // A third row never completed.
    gtk_action_activate(Action("action_fixed_coordinate_add"));
    gtk_widget_show(dlg_fixed_coordinates);
    Screenshot(dlg_fixed_coordinates, "fixed-coordinates.png");
    return GTK_RESPONSE_APPLY;
  });
  gtk_action_activate(Action("action_fixed_coordinates_models"));
  ASSERT_TRUE(SpinUntil(Idle, 30));
  SpinFor(0.05);
  const FixedCoordinates &list = TheJob().config.fixedCoordinates;
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].symbol, "O");
  EXPECT_EQ(list[0].B, 0.5);
  EXPECT_EQ(list[0].flags, FIX_B);
  EXPECT_EQ(list[1].symbol, "Zn");
  EXPECT_EQ(list[1].oxidation, 2);
  EXPECT_EQ(list[1].multiplicity, 2);
  EXPECT_EQ(list[1].wyckoffLetter, 'b');
  EXPECT_EQ(list[1].z, 0.3);
  EXPECT_EQ(list[1].y, 0.0);
  EXPECT_EQ(list[1].flags, FIX_Z);
  const std::string log = LogText();
  EXPECT_NE(log.find("row 3 names no element or no Wyckoff position"), std::string::npos);
  EXPECT_NE(log.find("'9' is none"), std::string::npos);
  EXPECT_NE(log.find("y: 'half' in a wrong format"), std::string::npos);
  EXPECT_NE(log.find("Setting fixed coordinates finished"), std::string::npos);
  bool red = false;
  for (int r = 0; r < Rows(ls_models); ++r) red = red || Text(ls_models, r, 10) == "#FF0000";
  EXPECT_TRUE(red);
}

TEST_F(ModelDialogs, TheStatisticsOfFreeParametersCountEveryModel) {
  During(dlg_model_info, [&] {
    EXPECT_EQ(Entry(entry_model_info_model_count), std::to_string(TheJob().models.count));
    int total = 0, least = 1000, most = -1;
    double percent = 0;
    for (int r = 0; r < Rows(ls_model_info); ++r) {
      total += Cell<int>(ls_model_info, r, 1);
      percent += Cell<double>(ls_model_info, r, 2);
      least = std::min(least, Cell<int>(ls_model_info, r, 0));
      most = std::max(most, Cell<int>(ls_model_info, r, 0));
    }
    EXPECT_EQ(total, TheJob().models.count);
    EXPECT_NEAR(percent, 100, 1e-9);
    EXPECT_EQ(Entry(entry_model_info_min_para_count), std::to_string(least));
    EXPECT_EQ(Entry(entry_model_info_max_para_count), std::to_string(most));
    gtk_widget_show(dlg_model_info);
    Screenshot(dlg_model_info, "model-statistic.png");
    // A share bar wider than the room its column has shows only its left end
    // and looks full at every share.
    GtkWidget *view = gtk_tree_view_column_get_tree_view(column_model_info_percentage);
    int left = 0;
    GList *columns = gtk_tree_view_get_columns(GTK_TREE_VIEW(view));
    for (GList *i = columns; i && i->data != column_model_info_percentage; i = i->next)
      left += gtk_tree_view_column_get_width(GTK_TREE_VIEW_COLUMN(i->data));
    g_list_free(columns);
    gint bar = 0;
    gtk_cell_renderer_get_fixed_size(cellprogress_model_info, &bar, nullptr);
    EXPECT_LE(left + bar, view->allocation.width);
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_model_statistic"));
  EXPECT_FALSE(gtk_widget_get_visible(dlg_model_info));
}

TEST_F(ModelDialogs, AModelFileTypedWithoutExtensionGetsTsm) {
  ScratchDir dir;
  std::string proposed;
  std::string typed = dir.file("model");
  testHooks.fileDialog = [&](GtkFileChooser *chooser, std::string *file) {
    proposed = ProposedName(chooser);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(chooser)), "Save TSM Model File");
    *file = typed;
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  };
  gtk_action_activate(Action("action_generate_model_file"));
  EXPECT_EQ(proposed, TheJob().config.title + ".tsm");
  const std::string report = ReadFile(dir.file("model.tsm"));
  EXPECT_NE(report.find("4 models has been generated."), std::string::npos);
  EXPECT_NE(LogText().find(dir.file("model.tsm") + " has been created.\n"), std::string::npos);
  typed = dir.file("model.txt");
  gtk_action_activate(Action("action_generate_model_file"));
  EXPECT_EQ(ReadFile(dir.file("model.txt")), report);
  // A folder with a dot does not count as an extension.
  const std::string dotted = dir.file("v1.2");
  g_mkdir(dotted.c_str(), 0755);
  typed = dotted + "/model";
  gtk_action_activate(Action("action_generate_model_file"));
  EXPECT_TRUE(g_file_test((dotted + "/model.tsm").c_str(), G_FILE_TEST_IS_REGULAR));
  g_remove((dotted + "/model.tsm").c_str());
  g_rmdir(dotted.c_str());
}
