// SPDX-License-Identifier: BSD-3-Clause
// The model list's events and the dialogs it opens: a model's details with
// its atoms and bond lengths, the statistics of free parameters, the
// minimum distances, the fixed coordinates, and the model file.
#include <glib/gstdio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ModelPages.h"

namespace {

enum AtomColumn {
  ATOM_SYMBOL = 0,
  ATOM_OXIDATION,
  ATOM_WYCKOFF,
  ATOM_VALUE,      // + axis
  ATOM_INDEX = 6,  // + axis
  ATOM_FIXED = 9,
  ATOM_COLOUR = 12,
  ATOM_WEIGHT = 15,
  ATOM_EDITABLE = 18,
  ATOM_POINTER = 21
};

enum BondColumn { BOND_STOCK = 0, BOND_A, BOND_A_OX, BOND_B, BOND_B_OX, BOND_LENGTH };

enum MinimumColumn { MIN_POINTER = 0, MIN_ACTIVE, MIN_A, MIN_A_OX, MIN_B, MIN_B_OX, MIN_LENGTH };

enum FixedColumn {
  FIXED_SYMBOL = 0,
  FIXED_OXIDATION,
  FIXED_WYCKOFF,
  FIXED_X_ON,  // on, value, on, value, ... for x, y, z
  FIXED_X
};

// The model's coordinates were changed in the details dialog.
int model_changed = 0;

bool decimal_of(const char *text, double *value) {
  if (!IsFloat(text)) return false;
  const double v = std::strtod(text, nullptr);
  if (!std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool percentage(double v) { return v >= 0 && v < 100; }

}  // namespace

// ------------------------------------------------------------ model list

void popup_model_menu(GtkWidget *view, GdkEventButton *event, GtkWidget *menu) {
  // The menu acts on the selected model: make it the one clicked.
  GtkTreePath *path = nullptr;
  if (gtk_tree_view_get_path_at_pos(GTK_TREE_VIEW(view), static_cast<gint>(event->x),
                                    static_cast<gint>(event->y), &path, nullptr, nullptr,
                                    nullptr)) {
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(view), path, nullptr, FALSE);
    gtk_tree_path_free(path);
  }
  gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, nullptr, nullptr, event->button, event->time);
}

double bond_length_tolerance(const Job &job) {
  double tolerance = 0;
  if (read_entry_checked(entry_bond_length_tolerance, "a percentage from 0 to below 100",
                         percentage, &tolerance))
    return tolerance;
  Message(MESSAGE_WARNING, "checking bond lengths, using the default tolerance of %g%%\n",
          job.settings.bondTolerance);
  return job.settings.bondTolerance;
}

void update_model_fields_by_config() {
  JobAccess access;
  if (!access) return;
  char text[32];
  std::snprintf(text, sizeof text, "%g", access->settings.bondTolerance);
  gtk_entry_set_text(GTK_ENTRY(entry_bond_length_tolerance), text);
  mark_entry(entry_bond_length_tolerance, "");
}

extern "C" {

G_MODULE_EXPORT gboolean on_treeview_models_button_press_event(GtkWidget *view,
                                                              GdkEventButton *event, gpointer) {
  if (event->type != GDK_BUTTON_PRESS || event->button != 3) return FALSE;
  popup_model_menu(view, event, popmenu_models);
  return TRUE;
}

G_MODULE_EXPORT void on_treeview_models_cursor_changed(GtkTreeView *view, gpointer) {
  // A worker moves the cursor as it goes and holds the models meanwhile,
  // which show_model refuses.
  CrystalModel *m = selected_model(view, nullptr);
  if (m) show_model(m);
}

}  // extern "C"

// --------------------------------------------------------- model details

namespace {

void set_validity_flags(uint32_t flags) {
  gtk_image_set_from_stock(GTK_IMAGE(image_bond_length_validity),
                           (flags & VALIDITY_BOND_LENGTHS) ? GTK_STOCK_APPLY : GTK_STOCK_CANCEL,
                           GTK_ICON_SIZE_BUTTON);
}

void set_model_atom_list(CrystalModel *model) {
  gtk_list_store_clear(ls_model_atoms);
  for (AtomModel &atom : model->atoms) {
    GtkTreeIter row;
    gtk_list_store_append(ls_model_atoms, &row);
    char wyckoff[32];
    std::snprintf(wyckoff, sizeof wyckoff, "%d%c", atom.position->multiplicity,
                  atom.position->wyckoffLetter);
    gtk_list_store_set(ls_model_atoms, &row, ATOM_SYMBOL, atom.element->symbol.c_str(),
                       ATOM_OXIDATION, atom.element->oxidation, ATOM_WYCKOFF, wyckoff,
                       ATOM_POINTER, &atom, -1);
    // A member of a mixed site shows (and edits) its site's coordinates.
    const AtomModel &holder = CoordinateAtom(*model, atom);
    for (int axis = 0; axis < 3; ++axis) {
      const ModelParameter &p = holder.para[axis];
      const bool free = p.index >= 0;
      const char *colour = !free ? "#000000" : p.fixed ? "#0000FF" : "#FF0000";
      gtk_list_store_set(ls_model_atoms, &row, ATOM_VALUE + axis, p.value, ATOM_INDEX + axis,
                         p.index, ATOM_FIXED + axis, p.fixed != 0, ATOM_COLOUR + axis, colour,
                         ATOM_WEIGHT + axis, free ? 400 : 700, ATOM_EDITABLE + axis, free, -1);
    }
  }
}

void set_bond_length_list(const CrystalModel *model, bool hideValid) {
  gtk_list_store_clear(ls_bond_lengths);
  for (const BondLength &b : model->bondLengths.items) {
    if (hideValid && b.valid) continue;
    GtkTreeIter row;
    gtk_list_store_append(ls_bond_lengths, &row);
    gtk_list_store_set(ls_bond_lengths, &row, BOND_STOCK,
                       b.valid ? GTK_STOCK_APPLY : GTK_STOCK_CANCEL, BOND_A,
                       b.first->symbol.c_str(), BOND_A_OX, b.first->oxidation, BOND_B,
                       b.second->symbol.c_str(), BOND_B_OX, b.second->oxidation, BOND_LENGTH,
                       b.distance, -1);
  }
}

bool hide_valid_bonds() {
  return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_bond_length_hide_valid));
}

void update_model_details(CrystalModel *model) {
  char text[32];
  std::snprintf(text, sizeof text, "%d", model->modelNumber);
  gtk_entry_set_text(GTK_ENTRY(entry_model_number), text);
  std::string epc = EPCStr(model);
  gtk_entry_set_text(GTK_ENTRY(entry_model_epc), epc.c_str());
  std::snprintf(text, sizeof text, "%d", model->freeCount);
  gtk_entry_set_text(GTK_ENTRY(entry_model_para_count), text);
  GdkColor colour;
  gdk_color_parse(model->freeCount == model->parameterCount ? "#000000" : "#FF0000", &colour);
  gtk_widget_modify_text(entry_model_para_count, GTK_STATE_NORMAL, &colour);
  set_model_atom_list(model);
  set_validity_flags(model->validity);
  set_bond_length_list(model, hide_valid_bonds());
}

// The atom of a row of the atom list and the parameter of one axis.
ModelParameter *atom_parameter(const gchar *path, int axis) {
  GtkTreeIter row;
  if (!currentModel ||
      !gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(ls_model_atoms), &row, path))
    return nullptr;
  gpointer atom = nullptr;
  gtk_tree_model_get(GTK_TREE_MODEL(ls_model_atoms), &row, ATOM_POINTER, &atom, -1);
  return atom ? &CoordinateAtom(*currentModel, *static_cast<AtomModel *>(atom)).para[axis]
              : nullptr;
}

// The details dialog runs under its opener's access to the job; these keep
// to the same rule.
void toggle_fixed(const gchar *path, int axis) {
  JobAccess access;
  if (!access) return;
  ModelParameter *p = atom_parameter(path, axis);
  if (!p || p->index < 0) return;
  p->fixed = p->fixed ? 0 : 1;
  UpdateParaList(currentModel);
  update_model_details(currentModel);
}

void edit_coordinate(const gchar *path, const gchar *text, int axis) {
  JobAccess access;
  if (!access) return;
  ModelParameter *p = atom_parameter(path, axis);
  if (!p || p->index < 0) return;
  double v = 0;
  if (!decimal_of(text, &v)) {
    Message(MESSAGE_ERROR, "%c: '%s' in a wrong format: expected a decimal number such as 0.25 "
                           "(not taken)\n",
            "xyz"[axis], text);
    return;
  }
  p->value = v;
  UpdateParaList(currentModel);
  update_model_details(currentModel);
  model_changed = 1;
}

}  // namespace

void edit_model_details(GtkWidget *view) {
  GtkTreeIter row;
  CrystalModel *model = selected_model(GTK_TREE_VIEW(view), &row);
  JobAccess access;
  if (!model || !access) return;
  Job &job = *access;
  currentModel = model;
  update_model_details(model);
  model_changed = 0;
  run_dialog(GTK_DIALOG(dlg_model_details));
  gtk_widget_hide(dlg_model_details);
  if (model_changed && file_peak_file_validity)
    SetModelFactor(model, &job.crystal, &job.hklList, job.config.radiation);
  // The rows of both lists that show the model follow it.
  GtkWidget *const views[2] = {treeview_models, treeview_opt_models};
  for (GtkWidget *v : views) {
    GtkTreeModel *store = gtk_tree_view_get_model(GTK_TREE_VIEW(v));
    GtkTreeIter it;
    for (gboolean more = gtk_tree_model_get_iter_first(store, &it); more;
         more = gtk_tree_model_iter_next(store, &it)) {
      gpointer m = nullptr;
      gtk_tree_model_get(store, &it, 0, &m, -1);
      if (m == model) update_model_view_item(GTK_TREE_VIEW(v), &it);
    }
  }
  show_model(model);
}

extern "C" {

G_MODULE_EXPORT void on_action_model_details_activate(GtkAction *, gpointer) {
  edit_model_details(treeview_models);
}

G_MODULE_EXPORT void on_cell_renderer_toggle_x_fixed_toggled(GtkCellRendererToggle *,
                                                             gchar *path, gpointer) {
  toggle_fixed(path, 0);
}

G_MODULE_EXPORT void on_cell_renderer_toggle_y_fixed_toggled(GtkCellRendererToggle *,
                                                             gchar *path, gpointer) {
  toggle_fixed(path, 1);
}

G_MODULE_EXPORT void on_cell_renderer_toggle_z_fixed_toggled(GtkCellRendererToggle *,
                                                             gchar *path, gpointer) {
  toggle_fixed(path, 2);
}

G_MODULE_EXPORT void on_cell_text_x_edited(GtkCellRendererText *, gchar *path, gchar *text,
                                           gpointer) {
  edit_coordinate(path, text, 0);
}

G_MODULE_EXPORT void on_cell_text_y_edited(GtkCellRendererText *, gchar *path, gchar *text,
                                           gpointer) {
  edit_coordinate(path, text, 1);
}

G_MODULE_EXPORT void on_cell_text_z_edited(GtkCellRendererText *, gchar *path, gchar *text,
                                           gpointer) {
  edit_coordinate(path, text, 2);
}

G_MODULE_EXPORT void on_check_bond_length_hide_valid_toggled(GtkToggleButton *button, gpointer) {
  JobAccess access;
  if (currentModel && access)
    set_bond_length_list(currentModel, gtk_toggle_button_get_active(button));
}

G_MODULE_EXPORT void on_btn_expand_model_validiation_toggled(GtkToggleButton *button, gpointer) {
  if (gtk_toggle_button_get_active(button)) {
    gtk_widget_show(align_model_validation);
    gtk_arrow_set(GTK_ARROW(arrow_model_validation), GTK_ARROW_DOWN, GTK_SHADOW_NONE);
  } else {
    gtk_widget_hide(align_model_validation);
    gtk_arrow_set(GTK_ARROW(arrow_model_validation), GTK_ARROW_RIGHT, GTK_SHADOW_NONE);
    gtk_window_resize(GTK_WINDOW(dlg_model_details), 1, 1);
  }
}

G_MODULE_EXPORT void on_action_reset_model_bl_validity_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!currentModel || !access) return;
  GenerateBondLengths(&currentModel->bondLengths, &access->crystal, currentModel, -0.5, 1.5, -0.5,
                      1.5, -0.5, 1.5);
  {
    FillGuard guard;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_bond_length_hide_valid), FALSE);
  }
  set_bond_length_list(currentModel, false);
  currentModel->validity |= VALIDITY_BOND_LENGTHS;
  set_validity_flags(currentModel->validity);
}

G_MODULE_EXPORT void on_action_check_model_bl_validity_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!currentModel || !access) return;
  gtk_action_activate(action_reset_model_bl_validity);
  const double tolerance = bond_length_tolerance(*access);
  const bool valid =
      CheckBondLengthValidity(&currentModel->bondLengths, &access->bondLengths,
                              1 - tolerance / 100) != 0;
  set_bond_length_list(currentModel, hide_valid_bonds());
  if (valid)
    currentModel->validity |= VALIDITY_BOND_LENGTHS;
  else
    currentModel->validity &= ~VALIDITY_BOND_LENGTHS;
  set_validity_flags(currentModel->validity);
}

// ---- statistics of free parameters ----

G_MODULE_EXPORT void on_action_model_statistic_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  FreeModelInfo(&job.modelInfo);
  int minimum = 0, maximum = 0;
  ModelStatisticInfo(&job.models, &job.modelInfo, &minimum, &maximum);
  const size_t total = job.models.models.size();
  char text[32];
  std::snprintf(text, sizeof text, "%d", static_cast<int>(total));
  gtk_entry_set_text(GTK_ENTRY(entry_model_info_model_count), text);
  std::snprintf(text, sizeof text, "%d", minimum);
  gtk_entry_set_text(GTK_ENTRY(entry_model_info_min_para_count), text);
  std::snprintf(text, sizeof text, "%d", maximum);
  gtk_entry_set_text(GTK_ENTRY(entry_model_info_max_para_count), text);
  gtk_list_store_clear(ls_model_info);
  for (const ModelInfoEntry &e : job.modelInfo.entries) {
    GtkTreeIter row;
    gtk_list_store_append(ls_model_info, &row);
    gtk_list_store_set(ls_model_info, &row, 0, e.freeCount, 1, static_cast<int>(e.modelCount), 2,
                       total ? e.modelCount * 100.0 / static_cast<double>(total) : 0.0, -1);
  }
  run_dialog(GTK_DIALOG(dlg_model_info));
  gtk_widget_hide(dlg_model_info);
}

// ---- the model file ----

G_MODULE_EXPORT void on_action_generate_model_file_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      "Save TSM Model File", GTK_WINDOW(window_main), GTK_FILE_CHOOSER_ACTION_SAVE,
      GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE, GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
  GtkFileFilter *filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "TSM Files (*.tsm)");
  gtk_file_filter_add_pattern(filter, "*tsm");
  gtk_file_chooser_add_filter(chooser, filter);
  filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "All Files (*.*)");
  gtk_file_filter_add_pattern(filter, "*");
  gtk_file_chooser_add_filter(chooser, filter);
  if (default_file_path[0]) gtk_file_chooser_set_current_folder(chooser, default_file_path);
  std::string title = job.config.title;
  for (char &c : title)
    if (c == '/' || c == '\\') c = '_';
  gtk_file_chooser_set_current_name(chooser, (title + ".tsm").c_str());
  std::string chosen;
  const int response = run_file_dialog(chooser, &chosen);
  gtk_widget_destroy(dialog);
  if (response != GTK_RESPONSE_ACCEPT) return;
  const std::string path = with_extension(chosen, ".tsm");
  if (path.empty()) return;
  if (WriteModelFile(path.c_str(), &job)) Message(MESSAGE_PLAIN, "%s has been created.\n", path.c_str());
}

}  // extern "C"

// ------------------------------------------------------ minimum distances

namespace {

void update_bond_length_constraint(Job &job) {
  gtk_list_store_clear(ls_bond_length_constraint);
  for (BondLength &b : job.bondLengths.items) {
    GtkTreeIter row;
    gtk_list_store_append(ls_bond_length_constraint, &row);
    gtk_list_store_set(ls_bond_length_constraint, &row, MIN_POINTER, &b, MIN_ACTIVE, b.valid != 0,
                       MIN_A, b.first->symbol.c_str(), MIN_A_OX, b.first->oxidation, MIN_B,
                       b.second->symbol.c_str(), MIN_B_OX, b.second->oxidation, MIN_LENGTH,
                       b.distance, -1);
  }
}

BondLength *minimum_at(const gchar *path, GtkTreeIter *row) {
  if (!gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(ls_bond_length_constraint), row, path))
    return nullptr;
  gpointer b = nullptr;
  gtk_tree_model_get(GTK_TREE_MODEL(ls_bond_length_constraint), row, MIN_POINTER, &b, -1);
  return static_cast<BondLength *>(b);
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void on_action_bond_length_constraint_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  update_bond_length_constraint(job);
  run_dialog(GTK_DIALOG(dlg_bond_length_constraint));
  gtk_widget_hide(dlg_bond_length_constraint);
  // Read now, so that a wrong tolerance shows at once.
  double tolerance = 0;
  read_entry_checked(entry_bond_length_tolerance, "a percentage from 0 to below 100", percentage,
                     &tolerance);
}

G_MODULE_EXPORT void on_celltoggle_bond_length_constraint_check_toggled(GtkCellRendererToggle *,
                                                                        gchar *path, gpointer) {
  GtkTreeIter row;
  BondLength *b = minimum_at(path, &row);
  JobAccess access;
  if (!b || !access) return;
  b->valid = b->valid ? 0 : 1;
  gtk_list_store_set(ls_bond_length_constraint, &row, MIN_ACTIVE, b->valid != 0, -1);
}

G_MODULE_EXPORT void on_celltext_bond_length_constraint_edited(GtkCellRendererText *, gchar *path,
                                                               gchar *text, gpointer) {
  GtkTreeIter row;
  BondLength *b = minimum_at(path, &row);
  JobAccess access;
  if (!b || !access) return;
  double v = 0;
  if (!decimal_of(text, &v) || v < 0) {
    Message(MESSAGE_ERROR,
            "minimum distance %s-%s: '%s' is no distance: expected a decimal number of at "
            "least 0 angstrom (not taken)\n",
            b->first->symbol.c_str(), b->second->symbol.c_str(), text);
    return;
  }
  b->distance = v;
  gtk_list_store_set(ls_bond_length_constraint, &row, MIN_LENGTH, v, -1);
}

G_MODULE_EXPORT void on_btn_bond_length_constraints_reset_clicked(GtkButton *, gpointer) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  UpdateBondLengthConstraints(&job.bondLengths, &job.compound);
  update_bond_length_constraint(job);
}

}  // extern "C"

// ------------------------------------------------------ fixed coordinates

namespace {

void update_fixed_coordinate_stores(const Job &job) {
  gtk_list_store_clear(ls_fixed_coordinate_element);
  auto addElement = [](const Element &e) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %d", e.symbol.c_str(), e.oxidation);
    GtkTreeIter row;
    gtk_list_store_append(ls_fixed_coordinate_element, &row);
    gtk_list_store_set(ls_fixed_coordinate_element, &row, 0, text, 1, e.symbol.c_str(), 2,
                       e.oxidation, -1);
  };
  for (const Element &e : job.compound.entries) {
    if (e.atomicNumber == 0) {
      for (const Element &member : e.members) addElement(member);
    } else {
      addElement(e);
    }
  }
  gtk_list_store_clear(ls_fixed_coordinate_wyckoff);
  for (const Position &p : job.crystal.spaceGroup.positions) {
    char text[32];
    std::snprintf(text, sizeof text, "%d %c", p.multiplicity, p.wyckoffLetter);
    GtkTreeIter row;
    gtk_list_store_append(ls_fixed_coordinate_wyckoff, &row);
    gtk_list_store_set(ls_fixed_coordinate_wyckoff, &row, 0, text, 1,
                       static_cast<int>(p.wyckoffLetter), -1);
  }
  gtk_list_store_clear(ls_fixed_coordinates);
  for (const FixedCoordinate &f : job.config.fixedCoordinates) {
    char wyckoff[32];
    std::snprintf(wyckoff, sizeof wyckoff, "%d %c", f.multiplicity, f.wyckoffLetter);
    GtkTreeIter row;
    gtk_list_store_append(ls_fixed_coordinates, &row);
    gtk_list_store_set(ls_fixed_coordinates, &row, FIXED_SYMBOL, f.symbol.c_str(),
                       FIXED_OXIDATION, f.oxidation, FIXED_WYCKOFF, wyckoff, FIXED_X_ON,
                       (f.flags & FIX_X) != 0, FIXED_X, f.x, FIXED_X_ON + 2,
                       (f.flags & FIX_Y) != 0, FIXED_X + 2, f.y, FIXED_X_ON + 4,
                       (f.flags & FIX_Z) != 0, FIXED_X + 4, f.z, -1);
  }
}

// The job's list from the dialog's rows, in their order. A row without
// element or position would make a control file that cannot be read back:
// it is left out, with a warning. B and occupancy, which the dialog does
// not show, stay as the entry of the same atom and position had them.
void update_fixed_coordinate_list(Job &job) {
  GtkTreeModel *model = GTK_TREE_MODEL(ls_fixed_coordinates);
  FixedCoordinates list;
  GtkTreeIter row;
  int number = 0;
  try {
    for (gboolean more = gtk_tree_model_get_iter_first(model, &row); more;
         more = gtk_tree_model_iter_next(model, &row)) {
      ++number;
      gchar *symbol = nullptr, *wyckoff = nullptr;
      int oxidation = 0;
      gboolean on[3] = {FALSE, FALSE, FALSE};
      double value[3] = {0, 0, 0};
      gtk_tree_model_get(model, &row, FIXED_SYMBOL, &symbol, FIXED_OXIDATION, &oxidation,
                         FIXED_WYCKOFF, &wyckoff, FIXED_X_ON, &on[0], FIXED_X, &value[0],
                         FIXED_X_ON + 2, &on[1], FIXED_X + 2, &value[1], FIXED_X_ON + 4, &on[2],
                         FIXED_X + 4, &value[2], -1);
      FixedCoordinate f;
      char letter = 0;
      const bool complete = symbol && *symbol && wyckoff &&
                            std::sscanf(wyckoff, "%d %c", &f.multiplicity, &letter) == 2;
      if (complete) {
        f.symbol = std::string(symbol).substr(0, kSymbolLength);
        f.oxidation = oxidation;
        f.wyckoffLetter = letter;
        f.x = value[0];
        f.y = value[1];
        f.z = value[2];
        f.flags = (on[0] ? FIX_X : 0) | (on[1] ? FIX_Y : 0) | (on[2] ? FIX_Z : 0);
        for (const FixedCoordinate &old : job.config.fixedCoordinates)
          if (old.symbol == f.symbol && old.oxidation == f.oxidation &&
              old.multiplicity == f.multiplicity && old.wyckoffLetter == f.wyckoffLetter) {
            f.B = old.B;
            f.occupancy = old.occupancy;
            f.flags |= old.flags & (FIX_B | FIX_OCCUPANCY);
            break;
          }
      }
      g_free(symbol);
      g_free(wyckoff);
      if (!complete) {
        Message(MESSAGE_WARNING,
                "fixed coordinates, row %d names no element or no Wyckoff position; it is left "
                "out\n",
                number);
        continue;
      }
      list.push_back(f);
    }
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "updating fixed coordinates, memory error!\n");
  }
  job.config.fixedCoordinates.swap(list);
}

// The renderer's axis among the dialog's three of a kind.
int axis_of(GtkCellRenderer *renderer, GtkCellRenderer *x, GtkCellRenderer *y) {
  return renderer == x ? 0 : renderer == y ? 1 : 2;
}

// The dialog's rows are its own until Apply; the dialog runs under its
// opener's access to the job.
bool fixed_row(const gchar *path, GtkTreeIter *row) {
  return gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(ls_fixed_coordinates), row, path);
}

}  // namespace

void edit_fixed_coordinates(GtkWidget *view) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  update_fixed_coordinate_stores(job);
  const int response = run_dialog(GTK_DIALOG(dlg_fixed_coordinates));
  gtk_widget_hide(dlg_fixed_coordinates);
  if (response != GTK_RESPONSE_APPLY) return;
  update_fixed_coordinate_list(job);
  mark_file_changed();
  gtk_action_activate(view == treeview_opt_models ? action_set_opt_models_fixed_coordinates
                                                  : action_set_models_fixed_coordinates);
}

extern "C" {

G_MODULE_EXPORT void on_action_fixed_coordinates_models_activate(GtkAction *, gpointer) {
  edit_fixed_coordinates(treeview_models);
}

G_MODULE_EXPORT void on_action_fixed_coordinate_add_activate(GtkAction *, gpointer) {
  GtkTreeIter row;
  gtk_list_store_append(ls_fixed_coordinates, &row);
  gtk_list_store_set(ls_fixed_coordinates, &row, FIXED_SYMBOL, "", FIXED_OXIDATION, 0,
                     FIXED_WYCKOFF, "", FIXED_X_ON, FALSE, FIXED_X, 0.0, FIXED_X_ON + 2, FALSE,
                     FIXED_X + 2, 0.0, FIXED_X_ON + 4, FALSE, FIXED_X + 4, 0.0, -1);
  GtkTreePath *path = gtk_tree_model_get_path(GTK_TREE_MODEL(ls_fixed_coordinates), &row);
  gtk_tree_view_set_cursor(GTK_TREE_VIEW(treeview_fixed_coordinates), path, nullptr, FALSE);
  gtk_tree_path_free(path);
  mark_file_changed();
}

G_MODULE_EXPORT void on_action_fixed_coordinate_remove_activate(GtkAction *, gpointer) {
  GtkTreeSelection *selection =
      gtk_tree_view_get_selection(GTK_TREE_VIEW(treeview_fixed_coordinates));
  GtkTreeIter row;
  if (!gtk_tree_selection_get_selected(selection, nullptr, &row)) return;
  gtk_list_store_remove(ls_fixed_coordinates, &row);
  mark_file_changed();
}

G_MODULE_EXPORT void on_cell_comb_fixed_coordinate_element_edited(GtkCellRendererText *,
                                                                  gchar *path, gchar *text,
                                                                  gpointer) {
  GtkTreeIter row;
  if (!fixed_row(path, &row)) return;
  char symbol[16];
  int oxidation = 0;
  if (std::sscanf(text, "%15s %d", symbol, &oxidation) != 2) return;
  gtk_list_store_set(ls_fixed_coordinates, &row, FIXED_SYMBOL, symbol, FIXED_OXIDATION,
                     oxidation, -1);
  mark_file_changed();
}

G_MODULE_EXPORT void on_cell_text_fixed_coordinate_oxidation_edited(GtkCellRendererText *,
                                                                    gchar *path, gchar *text,
                                                                    gpointer) {
  GtkTreeIter row;
  if (!fixed_row(path, &row)) return;
  char *end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!IsInteger(text) || end == text || !ConfigAdmits("OXIDATION", v)) {
    Message(MESSAGE_ERROR,
            "fixed coordinates, oxidation state '%s' is none: expected a whole number from -8 "
            "to 8 (not taken)\n",
            text);
    return;
  }
  gtk_list_store_set(ls_fixed_coordinates, &row, FIXED_OXIDATION, static_cast<int>(v), -1);
  mark_file_changed();
}

G_MODULE_EXPORT void on_cell_comb_fixed_coordinate_wyckoff_edited(GtkCellRendererText *,
                                                                  gchar *path, gchar *text,
                                                                  gpointer) {
  GtkTreeIter row;
  if (!fixed_row(path, &row)) return;
  gtk_list_store_set(ls_fixed_coordinates, &row, FIXED_WYCKOFF, text, -1);
  mark_file_changed();
}

G_MODULE_EXPORT void on_cell_toggle_fixed_coordinate_toggled(GtkCellRendererToggle *renderer,
                                                             gchar *path, gpointer) {
  GtkTreeIter row;
  if (!fixed_row(path, &row)) return;
  const int column =
      FIXED_X_ON + 2 * axis_of(GTK_CELL_RENDERER(renderer), cell_toggle_fixed_coordinate_fix_x,
                               cell_toggle_fixed_coordinate_fix_y);
  gboolean on = FALSE;
  gtk_tree_model_get(GTK_TREE_MODEL(ls_fixed_coordinates), &row, column, &on, -1);
  gtk_list_store_set(ls_fixed_coordinates, &row, column, !on, -1);
  mark_file_changed();
}

G_MODULE_EXPORT void on_cell_text_fixed_coordinate_value_edited(GtkCellRendererText *renderer,
                                                                gchar *path, gchar *text,
                                                                gpointer) {
  GtkTreeIter row;
  if (!fixed_row(path, &row)) return;
  const int axis = axis_of(GTK_CELL_RENDERER(renderer), cell_text_fixed_coordinate_x_value,
                           cell_text_fixed_coordinate_y_value);
  double v = 0;
  if (!decimal_of(text, &v)) {
    Message(MESSAGE_ERROR,
            "fixed coordinates, %c: '%s' in a wrong format: expected a decimal number such as "
            "0.25 (not taken)\n",
            "xyz"[axis], text);
    return;
  }
  gtk_list_store_set(ls_fixed_coordinates, &row, FIXED_X + 2 * axis, v, -1);
  mark_file_changed();
}

}  // extern "C"
