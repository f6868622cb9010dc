// SPDX-License-Identifier: BSD-3-Clause
#include "dlgEstimateZ.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CrystalMain.h"
#include "PageCommon.h"

namespace {

// Avogadro's number times 1e-24: g/cm^3 from amu per cubic angstrom.
constexpr double kAvogadro = 0.6023;
// As many formula units as a control file takes.
const long kMaxZ = static_cast<long>(FindConfigKeyword("FORMULAR_Z")->range.high);
// A combo of more values than this is no choice any more.
constexpr long kMaxZChoices = 1000;

// The cell volume the conversions use, in cubic angstrom: the job's at
// each opening, then what the user types or calculates.
double V = 1000.0;
// The job's cell, which "Calculate V" starts from.
double jobCell[6] = {10, 10, 10, 90, 90, 90};
// The volume entry of the open dialog.
GtkWidget *editV = nullptr;

struct DialogData {
  GtkWidget *zMin = nullptr, *rhoMin = nullptr, *zMax = nullptr, *rhoMax = nullptr;
  GtkWidget *combo = nullptr;
  int count = 0;
  double M = 0;
  // Set while the program writes an entry: its handlers then know the
  // user did not type.
  bool writing = false;
};

// The text of an entry as a whole number from 0 to kMaxZ; an empty entry
// is 0 and sets *empty. False, with the entry marked, for anything else.
bool read_z(GtkWidget *entry, const char *field, long *z, bool *empty) {
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry));
  *empty = text[0] == '\0';
  *z = 0;
  if (*empty) {
    clear_entry_error(entry);
    return true;
  }
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end || errno == ERANGE || v < 0 || v > kMaxZ) {
    set_entry_error(entry, field, "",
                    "is no number of formula units: expected a whole number from 0 to 1000000");
    return false;
  }
  clear_entry_error(entry);
  *z = v;
  return true;
}

// A decimal number of at least 0 (above 0 when positive is set); an empty
// entry is 0.
bool read_decimal(GtkWidget *entry, const char *field, bool positive, const char *expected,
                  double *value) {
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry));
  *value = 0;
  if (!text[0] && !positive) {
    clear_entry_error(entry);
    return true;
  }
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || *end || errno == ERANGE || !std::isfinite(v) || v < 0 ||
      (positive && v == 0)) {
    set_entry_error(entry, field, "", std::string("is no ") + expected);
    return false;
  }
  clear_entry_error(entry);
  *value = v;
  return true;
}

// Density "%f", Z "%.0f".
void write_entry(DialogData *d, GtkWidget *entry, bool density, double value) {
  char text[64];
  if (density)
    std::snprintf(text, sizeof text, "%f", value);
  else
    std::snprintf(text, sizeof text, "%.0f", value);
  d->writing = true;
  gtk_entry_set_text(GTK_ENTRY(entry), text);
  d->writing = false;
}

// Refills the combo with the values of Z from from to to; Z of 0 is no
// cell content and is left out.
void BuildZComboBox(GtkWidget *combo, int *count, long from, long to) {
  for (int i = 0; i < *count; ++i) gtk_combo_box_text_remove(GTK_COMBO_BOX_TEXT(combo), 0);
  *count = 0;
  for (long z = std::max(from, 1L); z <= to; ++z) {
    char text[32];
    std::snprintf(text, sizeof text, "%ld", z);
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), text);
    ++*count;
  }
  if (*count > 0) gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
}

void editZChanged(GtkWidget *entry, DialogData *d) {
  const bool isMin = entry == d->zMin;
  const char *field = isMin ? "Z_min" : "Z_max";
  long z = 0;
  bool empty = false;
  const bool good = read_z(entry, field, &z, &empty);
  if (!d->writing && good) {
    // The user typed Z: its density follows.
    write_entry(d, isMin ? d->rhoMin : d->rhoMax, true, z * d->M / (V * kAvogadro));
    clear_entry_error(isMin ? d->rhoMin : d->rhoMax);
  }
  // The range of the two entries; an empty one takes the other's value.
  long from = 0, to = -1;
  long otherZ = 0;
  bool otherEmpty = false;
  const bool otherGood =
      read_z(isMin ? d->zMax : d->zMin, isMin ? "Z_max" : "Z_min", &otherZ, &otherEmpty);
  if (good && otherGood && !(empty && otherEmpty)) {
    if (empty) z = otherZ;
    if (otherEmpty) otherZ = z;
    from = std::min(z, otherZ);
    to = std::max(z, otherZ);
    if (to - std::max(from, 1L) + 1 > kMaxZChoices) {
      set_entry_error(entry, field, "",
                      "makes a range of more than 1000 values of Z: narrow the range");
      from = 0;
      to = -1;
    }
  }
  BuildZComboBox(d->combo, &d->count, from, to);
}

void editRhoChanged(GtkWidget *entry, DialogData *d) {
  if (d->writing) return;
  const bool isMin = entry == d->rhoMin;
  const char *field = isMin ? "rho_min" : "rho_max";
  double rho = 0;
  if (!read_decimal(entry, field, false, "density: expected a number of g/cm^3 of at least 0",
                    &rho))
    return;
  const double z = std::ceil(rho * kAvogadro * V / d->M);
  if (!(z <= kMaxZ)) {
    set_entry_error(entry, field, "", "gives more than 1000000 formula units in the cell");
    return;
  }
  write_entry(d, isMin ? d->zMin : d->zMax, false, z);
}

void editVChanged(GtkWidget *entry, DialogData *d) {
  double v = 0;
  if (!read_decimal(entry, "Unit cell volume V", true, "volume: expected cubic angstrom above 0",
                    &v))
    return;
  V = v;
  // The densities typed stand: the numbers of units they give follow the
  // volume, and with them the range offered.
  for (GtkWidget *rho : {d->rhoMin, d->rhoMax})
    if (rho && gtk_entry_get_text(GTK_ENTRY(rho))[0] && !entry_has_error(rho))
      editRhoChanged(rho, d);
}

void btnCalcVClicked(GtkButton *, GtkWidget *parent) {
  GtkWidget *dialog = gtk_dialog_new_with_buttons(
      "Calculate V", GTK_WINDOW(parent),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      "_Cancel", GTK_RESPONSE_CANCEL, "Ca_lculate", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_container_set_border_width(GTK_CONTAINER(dialog), 12);
  GtkWidget *frame = gtk_frame_new("Cell parameters: ");
  gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), frame, TRUE, TRUE, 0);
  GtkWidget *table = gtk_table_new(3, 4, FALSE);
  gtk_container_set_border_width(GTK_CONTAINER(table), 12);
  gtk_table_set_row_spacings(GTK_TABLE(table), 6);
  gtk_table_set_col_spacings(GTK_TABLE(table), 6);
  gtk_container_add(GTK_CONTAINER(frame), table);
  static const char *const kLabels[6] = {"a: ", "b: ", "c: ", "alpha: ", "beta: ", "gamma: "};
  static const char *const kNames[6] = {"entry_v_a",     "entry_v_b",    "entry_v_c",
                                        "entry_v_alpha", "entry_v_beta", "entry_v_gamma"};
  static const char *const kKeys[6] = {"CELL_A",     "CELL_B",    "CELL_C",
                                       "CELL_ALPHA", "CELL_BETA", "CELL_GAMMA"};
  GtkWidget *entries[6];
  for (int i = 0; i < 6; ++i) {
    GtkWidget *label = gtk_label_new(kLabels[i]);
    gtk_misc_set_alignment(GTK_MISC(label), 0, 0.5);
    entries[i] = gtk_entry_new();
    gtk_widget_set_name(entries[i], kNames[i]);
    gtk_entry_set_width_chars(GTK_ENTRY(entries[i]), 10);
    char text[64];
    std::snprintf(text, sizeof text, "%f", jobCell[i]);
    gtk_entry_set_text(GTK_ENTRY(entries[i]), text);
    gtk_widget_set_tooltip_text(entries[i],
                                i < 3 ? "Cell edge in angstrom, from 0.5 to 1000"
                                      : "Cell angle in degrees, above 0 and below 180");
    const guint row = static_cast<guint>(i % 3), column = static_cast<guint>(i / 3) * 2;
    gtk_table_attach(GTK_TABLE(table), label, column, column + 1, row, row + 1, GTK_FILL,
                     GTK_FILL, 0, 0);
    gtk_table_attach(GTK_TABLE(table), entries[i], column + 1, column + 2, row, row + 1,
                     static_cast<GtkAttachOptions>(GTK_EXPAND | GTK_FILL), GTK_FILL, 0, 0);
  }
  gtk_widget_show_all(GTK_DIALOG(dialog)->vbox);
  if (run_dialog(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    double cell[6];
    bool good = true;
    for (int i = 0; i < 6 && good; ++i)
      good = entry_config_value(entries[i], kKeys[i], kLabels[i], &cell[i]);
    const double volume =
        good ? CellVolume(cell[0], cell[1], cell[2], cell[3], cell[4], cell[5]) : 0;
    if (!good) {
      MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                 "Calculate V: the cell parameters are not valid (see the message log);\n"
                 "V stays %f A^3.",
                 V);
    } else if (!(volume > 0)) {
      Message(MESSAGE_ERROR,
              "Calculate V: the angles alpha %g, beta %g, gamma %g admit no cell; V stays %f "
              "A^3\n",
              cell[3], cell[4], cell[5], V);
      MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                 "The angles %g, %g and %g degrees admit no cell:\n"
                 "each angle must be below the sum of the other two,\n"
                 "and the three below 360 degrees.\nV stays %f A^3.",
                 cell[3], cell[4], cell[5], V);
    } else {
      V = volume;
      if (editV) {
        char text[64];
        std::snprintf(text, sizeof text, "%f", V);
        gtk_entry_set_text(GTK_ENTRY(editV), text);
      }
    }
  }
  gtk_widget_destroy(dialog);
}

}  // namespace

void CreateDlgEstimateZ(GtkWidget *parent, double M, GtkWidget *zEntry, const double cell[6]) {
  if (!(M > 0)) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Please input a valid formula!");
    return;
  }
  std::copy(cell, cell + 6, jobCell);
  const double volume = CellVolume(cell[0], cell[1], cell[2], cell[3], cell[4], cell[5]);
  V = volume > 0 && std::isfinite(volume) ? volume : 1000.0;
  DialogData d;
  d.M = M;
  GtkWidget *dialog = gtk_dialog_new_with_buttons(
      "Estimate Z", GTK_WINDOW(parent),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), "_Cancel",
      GTK_RESPONSE_CANCEL, "_Accept", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_container_set_border_width(GTK_CONTAINER(dialog), 12);
  GtkWidget *box = GTK_DIALOG(dialog)->vbox;
  gtk_box_set_spacing(GTK_BOX(box), 12);
  auto label = [](const char *text) {
    GtkWidget *l = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(l), 0, 0.5);
    return l;
  };
  auto attach = [](GtkWidget *table, GtkWidget *w, guint column, guint row, bool expand) {
    gtk_table_attach(GTK_TABLE(table), w, column, column + 1, row, row + 1,
                     expand ? static_cast<GtkAttachOptions>(GTK_EXPAND | GTK_FILL) : GTK_FILL,
                     GTK_FILL, 0, 0);
  };
  auto table_in = [&](const char *title, guint rows, guint columns) {
    GtkWidget *frame = gtk_frame_new(title);
    gtk_box_pack_start(GTK_BOX(box), frame, FALSE, FALSE, 0);
    GtkWidget *table = gtk_table_new(rows, columns, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 12);
    gtk_table_set_row_spacings(GTK_TABLE(table), 6);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_container_add(GTK_CONTAINER(frame), table);
    return table;
  };

  GtkWidget *info = table_in("Info", 2, 4);
  attach(info, label("Formula molar mass:   M = "), 0, 0, false);
  GtkWidget *editM = gtk_entry_new();
  gtk_widget_set_name(editM, "entry_m");
  char text[64];
  std::snprintf(text, sizeof text, "%f", M);
  gtk_entry_set_text(GTK_ENTRY(editM), text);
  gtk_editable_set_editable(GTK_EDITABLE(editM), FALSE);
  gtk_widget_set_tooltip_text(editM, "Mass of one formula unit in atomic mass units");
  attach(info, editM, 1, 0, true);
  attach(info, label("a.m.u"), 2, 0, false);
  attach(info, label("Unit cell volume:     V = "), 0, 1, false);
  editV = gtk_entry_new();
  gtk_widget_set_name(editV, "entry_v");
  // The volume of the job's cell.
  std::snprintf(text, sizeof text, "%.3f", V);
  gtk_entry_set_text(GTK_ENTRY(editV), text);
  gtk_widget_set_tooltip_text(editV, "Volume of the unit cell in cubic angstrom (A^3), above 0");
  g_signal_connect(editV, "changed", G_CALLBACK(editVChanged), &d);
  attach(info, editV, 1, 1, true);
  attach(info, label("A^3"), 2, 1, false);
  GtkWidget *calculate = gtk_button_new_with_mnemonic("Ca_lculate");
  gtk_widget_set_name(calculate, "btn_calculate_v");
  gtk_widget_set_tooltip_text(calculate, "The volume from the six cell parameters");
  g_signal_connect(calculate, "clicked", G_CALLBACK(btnCalcVClicked), dialog);
  attach(info, calculate, 3, 1, false);

  GtkWidget *estimate = table_in("Estimate", 2, 5);
  struct Row {
    const char *rhoLabel, *zLabel, *rhoName, *zName;
    GtkWidget **rho, **z;
  };
  const Row rows[2] = {{"rho_min: ", "Z_min: ", "entry_rho_min", "entry_z_min", &d.rhoMin, &d.zMin},
                       {"rho_max: ", "Z_max: ", "entry_rho_max", "entry_z_max", &d.rhoMax, &d.zMax}};
  for (guint r = 0; r < 2; ++r) {
    *rows[r].rho = gtk_entry_new();
    *rows[r].z = gtk_entry_new();
    gtk_widget_set_name(*rows[r].rho, rows[r].rhoName);
    gtk_widget_set_name(*rows[r].z, rows[r].zName);
    gtk_entry_set_width_chars(GTK_ENTRY(*rows[r].rho), 10);
    gtk_entry_set_width_chars(GTK_ENTRY(*rows[r].z), 6);
    gtk_widget_set_tooltip_text(*rows[r].rho, "Density in g/cm^3, at least 0; gives Z");
    gtk_widget_set_tooltip_text(*rows[r].z,
                                "Formula units per cell, a whole number; gives the density");
    attach(estimate, label(rows[r].rhoLabel), 0, r, false);
    attach(estimate, *rows[r].rho, 1, r, true);
    attach(estimate, label("(g/cm^3)"), 2, r, false);
    attach(estimate, label(rows[r].zLabel), 3, r, false);
    attach(estimate, *rows[r].z, 4, r, true);
  }

  GtkWidget *choice = table_in("Z: ", 1, 2);
  attach(choice, label("      Z: "), 0, 0, false);
  d.combo = gtk_combo_box_text_new();
  gtk_widget_set_name(d.combo, "combo_z");
  gtk_widget_set_size_request(d.combo, 160, -1);
  gtk_widget_set_tooltip_text(d.combo, "The values of Z in the range; Accept takes the one shown");
  attach(choice, d.combo, 1, 0, false);

  g_signal_connect(d.zMin, "changed", G_CALLBACK(editZChanged), &d);
  g_signal_connect(d.zMax, "changed", G_CALLBACK(editZChanged), &d);
  g_signal_connect(d.rhoMin, "changed", G_CALLBACK(editRhoChanged), &d);
  g_signal_connect(d.rhoMax, "changed", G_CALLBACK(editRhoChanged), &d);
  gtk_widget_show_all(box);

  if (run_dialog(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    gchar *z = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(d.combo));
    if (z) gtk_entry_set_text(GTK_ENTRY(zEntry), z);
    g_free(z);
  }
  editV = nullptr;
  gtk_widget_destroy(dialog);
}
