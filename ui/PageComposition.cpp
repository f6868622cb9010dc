// SPDX-License-Identifier: BSD-3-Clause
// The composition page: title, formula, Z and oxidation states; space group
// and cell; the restraints on Wyckoff positions. Its three steps gate model
// generation through the validity flags.
//
// The models point into the compound and into the space group's positions,
// so neither is made anew while models of it exist unless its inputs
// changed, and then the models go first.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "CrystalJobs.h"
#include "PageCommon.h"
#include "dlgEstimateZ.h"

namespace {

enum ElementColumn { EL_SYMBOL = 0, EL_COUNT, EL_OXIDATION };
enum CombColumn { COMB_LABEL = 0, COMB_COUNT, COMB_INDEX };
enum RestraintColumn { RS_MULTIPLICITY = 0, RS_LETTER, RS_MIN, RS_MAX };

// What the compound was last made from, and whether that set-up passed its
// checks.
struct AppliedComposition {
  bool made = false;
  bool ok = false;
  std::string formula;
  int32_t z = 0;
  std::vector<Oxidation> oxidation;
  long generation = 0;  // counts compounds made anew
};
AppliedComposition applied;

// The space group loaded, and the compound its constraints were last
// checked against.
struct AppliedSpaceGroup {
  bool loaded = false;
  int32_t number = 0;
  int32_t setting = 0;
  long checkedGeneration = -1;
};
AppliedSpaceGroup appliedSg;

}  // namespace

// Set while the program switches the asymmetric search on for a group
// without centring.
bool forcingAsymSearch = false;

namespace {

bool same_oxidations(const std::vector<Oxidation> &a, const std::vector<Oxidation> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].symbol != b[i].symbol || a[i].oxidation != b[i].oxidation) return false;
  return true;
}

const char *const kCellKeys[6] = {"CELL_A",     "CELL_B",    "CELL_C",
                                  "CELL_ALPHA", "CELL_BETA", "CELL_GAMMA"};
const char *const kCellFields[6] = {"Cell a", "Cell b", "Cell c",
                                    "Cell alpha", "Cell beta", "Cell gamma"};

double *stored_cell(Job &job, int index) {
  Config &c = job.config;
  double *const cell[6] = {&c.cellA, &c.cellB, &c.cellC, &c.cellAlpha, &c.cellBeta, &c.cellGamma};
  return cell[index];
}

GtkWidget *cell_entry(int set, int index) {
  GtkWidget *const page[6] = {entry_cell_a0,     entry_cell_b0,    entry_cell_c0,
                              entry_cell_alpha0, entry_cell_beta0, entry_cell_gamma0};
  GtkWidget *const dialog[6] = {entry_cell_a,     entry_cell_b,    entry_cell_c,
                                entry_cell_alpha, entry_cell_beta, entry_cell_gamma};
  return set == 0 ? page[index] : dialog[index];
}

// How the crystal system ties the cell.
enum CellMode {
  CELL_CUBIC,
  CELL_HEXAGONAL,     // also trigonal groups on hexagonal axes
  CELL_RHOMBOHEDRAL,  // trigonal groups on rhombohedral axes
  CELL_TETRAGONAL,
  CELL_ORTHORHOMBIC,
  CELL_MONOCLINIC_B,
  CELL_MONOCLINIC_C,
  CELL_TRICLINIC,
  CELL_UNCHANGED
};

CellMode cell_mode(const Job &job) {
  const SpaceGroup &sg = job.crystal.spaceGroup;
  const std::string &system = sg.crystalSystem;
  const int setting = sg.setting;
  if (system == "Cubic") return CELL_CUBIC;
  if (system == "Hexagonal") return CELL_HEXAGONAL;
  if (system == "Trigonal")
    return setting == 1 ? CELL_HEXAGONAL : setting == 2 ? CELL_RHOMBOHEDRAL : CELL_UNCHANGED;
  if (system == "Tetragonal") return CELL_TETRAGONAL;
  if (system == "Orthorhombic") return CELL_ORTHORHOMBIC;
  if (system == "Monoclinic")
    return setting == 1 ? CELL_MONOCLINIC_B : setting == 2 ? CELL_MONOCLINIC_C : CELL_TRICLINIC;
  return CELL_TRICLINIC;
}

// Values the mode ties to the edge a and to the angle alpha.
void tie_cell(CellMode mode, Config *c) {
  switch (mode) {
    case CELL_CUBIC:
      c->cellB = c->cellC = c->cellA;
      break;
    case CELL_HEXAGONAL:
    case CELL_TETRAGONAL:
      c->cellB = c->cellA;
      break;
    case CELL_RHOMBOHEDRAL:
      c->cellB = c->cellC = c->cellA;
      c->cellBeta = c->cellGamma = c->cellAlpha;
      break;
    default:
      break;
  }
}

void show_cell(Job &job) {
  for (int set = 0; set < 2; ++set)
    for (int i = 0; i < 6; ++i) show_entry_text(cell_entry(set, i), "%f", *stored_cell(job, i));
}

// Editable cell entries, on both sets.
void set_cell_entry_states(bool a, bool b, bool c, bool alpha, bool beta, bool gamma) {
  const bool editable[6] = {a, b, c, alpha, beta, gamma};
  for (int set = 0; set < 2; ++set)
    for (int i = 0; i < 6; ++i) gtk_widget_set_sensitive(cell_entry(set, i), editable[i]);
}

bool free_cell_input() {
  return gtk_toggle_action_get_active(toggleaction_free_cell_input) != FALSE;
}

// Stores one cell value; with free input off, what the crystal system ties
// to it follows.
void set_cell_values(Job &job, bool free, int index, double value) {
  Config &c = job.config;
  *stored_cell(job, index) = value;
  if (!free) {
    const CellMode mode = cell_mode(job);
    if (index == 0 && (mode == CELL_CUBIC || mode == CELL_RHOMBOHEDRAL))
      c.cellB = c.cellC = c.cellA;
    else if (index == 0 && (mode == CELL_HEXAGONAL || mode == CELL_TETRAGONAL))
      c.cellB = c.cellA;
    else if (index == 3 && mode == CELL_RHOMBOHEDRAL)
      c.cellBeta = c.cellGamma = c.cellAlpha;
  }
  update_cell_contents();
}

void edit_cell(GtkWidget *entry, int index) {
  if (!jobing) return;
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  // Leaving a field the program filled must not round the stored value.
  if (entry_shows_number(entry, *stored_cell(job, index))) {
    clear_entry_error(entry);
    return;
  }
  double value = 0;
  if (!entry_config_value(entry, kCellKeys[index], kCellFields[index], &value)) return;
  const bool free = free_cell_input();
  // The angles, with what the crystal system ties to the edited one, must
  // span a cell, as the reader demands of a control file.
  double angles[3] = {job.config.cellAlpha, job.config.cellBeta, job.config.cellGamma};
  if (index >= 3) {
    angles[index - 3] = value;
    if (!free && index == 3 && cell_mode(job) == CELL_RHOMBOHEDRAL) angles[1] = angles[2] = value;
    if (!CellAnglesAdmitACell(angles[0], angles[1], angles[2])) {
      char why[256];
      std::snprintf(why, sizeof why,
                    "admits no cell with the other angles (%g, %g, %g): each angle must be below "
                    "the sum of the other two, and the three below 360 degrees",
                    angles[0], angles[1], angles[2]);
      set_entry_error(entry, kCellFields[index], kCellKeys[index], why);
      return;
    }
  }
  const double before[6] = {job.config.cellA,     job.config.cellB,    job.config.cellC,
                            job.config.cellAlpha, job.config.cellBeta, job.config.cellGamma};
  set_cell_values(job, free, index, value);
  show_cell(job);
  for (int i = 0; i < 6; ++i)
    if (*stored_cell(job, i) != before[i]) {
      mark_file_changed();
      break;
    }
}

// ---- the element lists ----

std::string group_label(const Element &e) {
  std::string label = "(";
  for (size_t i = 0; i < e.members.size(); ++i) {
    if (i) label += "+";
    label += e.members[i].symbol;
  }
  return label + ")";
}

void set_element_list(const Compound *compound, GtkListStore *store) {
  gtk_list_store_clear(store);
  gtk_list_store_clear(ls_comb_elements);
  // The rows of the restraint list belonged to an element row that is gone.
  gtk_list_store_clear(ls_restraints);
  GtkTreeIter row;
  int index = 0;
  long sum = 0;
  for (const Element &e : compound->entries) {
    ++index;
    sum += e.cellCount;
    if (e.atomicNumber == 0) {
      for (const Element &m : e.members) {
        gtk_list_store_append(store, &row);
        gtk_list_store_set(store, &row, EL_SYMBOL, m.symbol.c_str(), EL_COUNT, m.cellCount,
                           EL_OXIDATION, m.oxidation, -1);
      }
    } else {
      gtk_list_store_append(store, &row);
      gtk_list_store_set(store, &row, EL_SYMBOL, e.symbol.c_str(), EL_COUNT, e.cellCount,
                         EL_OXIDATION, e.oxidation, -1);
    }
    gtk_list_store_append(ls_comb_elements, &row);
    gtk_list_store_set(ls_comb_elements, &row, COMB_LABEL,
                       e.atomicNumber == 0 ? group_label(e).c_str() : e.symbol.c_str(),
                       COMB_COUNT, e.cellCount, COMB_INDEX, index, -1);
  }
  if (compound->entries.empty()) return;
  gtk_list_store_prepend(ls_comb_elements, &row);
  gtk_list_store_set(ls_comb_elements, &row, COMB_LABEL, "*", COMB_COUNT,
                     static_cast<gint>(std::min<long>(sum, G_MAXINT)), COMB_INDEX, 0, -1);
}

void remember_composition(const Job &job, bool ok) {
  applied.made = true;
  applied.ok = ok;
  applied.formula = job.config.formular;
  applied.z = job.config.formularZ;
  applied.oxidation = job.config.oxidation;
}

// ---- the space group ----

void set_sg_label_invalid() {
  gtk_label_set_markup(GTK_LABEL(lbl_sg_information),
                       "<span weight= \"bold\" fgcolor=\"red\">Invalid.</span>");
}

void set_first_comb_row() {
  GtkTreePath *first = gtk_tree_path_new_first();
  GtkTreeIter row;
  if (gtk_tree_model_get_iter(GTK_TREE_MODEL(ls_comb_elements), &row, first))
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(treeview_comb_elements), first, nullptr, FALSE);
  else
    gtk_list_store_clear(ls_restraints);
  gtk_tree_path_free(first);
}

// The element index of the cursor row of the element list; -1 without one.
int cursor_element_index(std::string *label) {
  GtkTreePath *path = nullptr;
  gtk_tree_view_get_cursor(GTK_TREE_VIEW(treeview_comb_elements), &path, nullptr);
  if (!path) return -1;
  GtkTreeIter row;
  int index = -1;
  if (gtk_tree_model_get_iter(GTK_TREE_MODEL(ls_comb_elements), &row, path)) {
    gchar *text = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(ls_comb_elements), &row, COMB_LABEL, &text, COMB_INDEX,
                       &index, -1);
    if (label) *label = text ? text : "";
    g_free(text);
  }
  gtk_tree_path_free(path);
  return index;
}

void update_constraints(Job &job, GtkTreeIter *row) {
  gint rmin = 0, rmax = 0;
  gchar *letter = nullptr;
  gtk_tree_model_get(GTK_TREE_MODEL(ls_restraints), row, RS_LETTER, &letter, RS_MIN, &rmin,
                     RS_MAX, &rmax, -1);
  std::string label;
  const int index = cursor_element_index(&label);
  if (index >= 0 && index == job.combPositions.currentSlot && letter && letter[0]) {
    UpdateConstraintList(&job.config.constraints, label.c_str(), index, letter[0], rmin, rmax);
    SetConstraints(&job.compound, &job.combPositions, job.config.constraints);
  }
  g_free(letter);
}

void edit_restraint(const gchar *pathText, const gchar *newText, int column) {
  if (!jobing) return;
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  GtkTreeIter row;
  if (!gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(ls_restraints), &row, pathText)) return;
  gint rmin = 0, rmax = 0;
  gchar *letter = nullptr;
  gtk_tree_model_get(GTK_TREE_MODEL(ls_restraints), &row, RS_LETTER, &letter, RS_MIN, &rmin,
                     RS_MAX, &rmax, -1);
  const std::string position = letter ? letter : "";
  g_free(letter);
  const char *what = column == RS_MIN ? "minimum" : "maximum";
  char *end = nullptr;
  const long v = std::strtol(newText, &end, 10);
  if (end == newText || *end || v < 0 || v > G_MAXINT32) {
    Message(MESSAGE_ERROR,
            "restraint of position %s, %s '%s': expected a whole number of sets of at least 0\n",
            position.c_str(), what, newText);
    return;
  }
  const gint value = static_cast<gint>(v);
  if ((column == RS_MIN && value > rmax) || (column == RS_MAX && value < rmin)) {
    Message(MESSAGE_ERROR,
            "restraint of position %s, %s '%s': the minimum must not exceed the maximum (%d to "
            "%d)\n",
            position.c_str(), what, newText, column == RS_MIN ? value : rmin,
            column == RS_MAX ? value : rmax);
    return;
  }
  // A row shown for an element that is no longer the cursor row's would
  // change nothing the enumeration sees: it is not changed either.
  if (cursor_element_index(nullptr) != job.combPositions.currentSlot) {
    Message(MESSAGE_WARNING,
            "restraint of position %s: choose the element in the list to the left first\n",
            position.c_str());
    return;
  }
  if (value == (column == RS_MIN ? rmin : rmax)) return;
  gtk_list_store_set(ls_restraints, &row, column, value, -1);
  update_constraints(job, &row);
  mark_file_changed();
}

}  // namespace

// ---------------------------------------------------------- operations

void update_cell_contents() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const Config &c = job.config;
  job.crystal.a = c.cellA;
  job.crystal.b = c.cellB;
  job.crystal.c = c.cellC;
  job.crystal.alpha = c.cellAlpha;
  job.crystal.beta = c.cellBeta;
  job.crystal.gamma = c.cellGamma;
  // The solving worker reads the displayed crystal.
  std::lock_guard<std::mutex> hold(*mutex_out_data);
  optOutData.crystal.a = c.cellA;
  optOutData.crystal.b = c.cellB;
  optOutData.crystal.c = c.cellC;
  optOutData.crystal.alpha = c.cellAlpha;
  optOutData.crystal.beta = c.cellBeta;
  optOutData.crystal.gamma = c.cellGamma;
}

void discard_models(const char *why) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const long count = static_cast<long>(job.models.models.size());
  gtk_list_store_clear(ls_models);
  gtk_list_store_clear(ls_opt_models);
  gtk_list_store_clear(ls_choose_models);
  currentModel = nullptr;
  job.filtered.clear();
  job.filteredCount = 0;
  FreeModelSelection(&job.selection);
  FreeCombination(&job.combination);
  InitializeCombination(&job.combination);
  FreeCrystalModel(&job.models);
  InitializeCrystalModel(&job.models);
  FreeModelInfo(&job.modelInfo);
  InitializeModelInfo(&job.modelInfo);
  job.crystal.atoms.clear();
  job.crystal.cellAtoms.clear();
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    optOutData.crystal.atoms.clear();
    optOutData.crystal.cellAtoms.clear();
  }
  gtk_crystal_3d_view_clear(crystal_3d_view);
  model_factors_serial->count = model_factors_active_serial->count = 0;
  gtk_plot_update(model_factors_plot);
  calc_peak_serial->count = 0;
  gtk_plot_update(peaks_plot);
  if (count > 0)
    Message(MESSAGE_HINT,
            "%s: the %ld models of the former one have been removed; generate the models "
            "again\n",
            why, count);
}

// A new job's table starts from each element's common oxidation state, so
// that the ionic radii and bond minima mean something before the user
// looks; states of elements the formula lost go. A job read from a file
// keeps the states the file gives. Read from the formula's symbols before
// it is set up, so that the set-up sees the table it is to use.
void offer_common_oxidations(Config *config) {
  if (current_file_name[0]) return;
  std::vector<std::string> symbols;
  const std::string &f = config->formular;
  for (size_t i = 0; i < f.size(); ++i) {
    if (!std::isupper(static_cast<unsigned char>(f[i]))) continue;
    size_t end = i + 1;
    while (end < f.size() && std::islower(static_cast<unsigned char>(f[end]))) ++end;
    const std::string symbol = f.substr(i, end - i);
    if (ElementNumber(symbol.c_str()) > 0 &&
        std::find(symbols.begin(), symbols.end(), symbol) == symbols.end())
      symbols.push_back(symbol);
  }
  std::vector<Oxidation> &table = config->oxidation;
  table.erase(std::remove_if(table.begin(), table.end(),
                             [&](const Oxidation &o) {
                               return std::find(symbols.begin(), symbols.end(), o.symbol) ==
                                      symbols.end();
                             }),
              table.end());
  std::string offered;
  for (const std::string &symbol : symbols) {
    const int state = CommonOxidationState(ElementNumber(symbol.c_str()));
    if (state == 0 || std::any_of(table.begin(), table.end(),
                                  [&](const Oxidation &o) { return o.symbol == symbol; }))
      continue;
    table.push_back(Oxidation{symbol, state});
    offered += (offered.empty() ? "" : ", ") + symbol + (state > 0 ? " +" : " ") +
               std::to_string(state);
  }
  if (!offered.empty())
    Message(MESSAGE_HINT,
            "Each element takes its common oxidation state: %s; change them in the element "
            "list where the compound differs\n",
            offered.c_str());
}

void update_element_list() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const Config &c = job.config;
  // Typed but refused: the formula or Z shown is not the one stored.
  if (entry_has_error(entry_formular) || entry_has_error(entry_formular_z)) {
    file_formular_validity = 0;
    return;
  }
  const bool sameFormula = applied.made && !job.compound.entries.empty() &&
                           applied.formula == c.formular && applied.z == c.formularZ;
  if (sameFormula && same_oxidations(applied.oxidation, c.oxidation)) {
    // Nothing changed since the last set-up (Next and Generate apply the
    // formula every time): the models and edited bond lengths stay.
    file_formular_validity = applied.ok ? 1 : 0;
    return;
  }
  bool ok;
  if (sameFormula) {
    ok = ApplyJobComposition(&job);
  } else {
    discard_models("the formula or Z has changed");
    offer_common_oxidations(&job.config);
    ok = SetupJobCompound(&job);
    ++applied.generation;
  }
  remember_composition(job, ok);
  file_formular_validity = ok ? 1 : 0;
  set_element_list(&job.compound, ls_elements);
  if (ok) refresh_reflection_factors();
}

void update_wp_list() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  gtk_list_store_clear(ls_restraints);
  const int slot = job.combPositions.currentSlot;
  GtkTreeIter row;
  for (const CombPosition &node : job.combPositions.nodes) {
    char letter[2] = {node.position->wyckoffLetter, '\0'};
    gtk_list_store_append(ls_restraints, &row);
    gtk_list_store_set(ls_restraints, &row, RS_MULTIPLICITY, node.position->multiplicity,
                       RS_LETTER, letter, RS_MIN, node.lowerBySlot[slot], RS_MAX,
                       node.upperBySlot[slot], -1);
  }
}

void update_cell_input_mode() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const CellMode mode = cell_mode(job);
  Config &c = job.config;
  bool editable[6] = {true, true, true, true, true, true};
  switch (mode) {
    case CELL_CUBIC:
      tie_cell(mode, &c);
      c.cellAlpha = c.cellBeta = c.cellGamma = 90;
      for (bool &e : editable) e = false;
      editable[0] = true;
      break;
    case CELL_HEXAGONAL:
      tie_cell(mode, &c);
      c.cellAlpha = c.cellBeta = 90;
      c.cellGamma = 120;
      editable[1] = editable[3] = editable[4] = editable[5] = false;
      break;
    case CELL_RHOMBOHEDRAL:
      // a = b = c and alpha = beta = gamma: the edge and the angle stay the
      // user's.
      tie_cell(mode, &c);
      editable[1] = editable[2] = editable[4] = editable[5] = false;
      break;
    case CELL_TETRAGONAL:
      tie_cell(mode, &c);
      c.cellAlpha = c.cellBeta = c.cellGamma = 90;
      editable[1] = editable[3] = editable[4] = editable[5] = false;
      break;
    case CELL_ORTHORHOMBIC:
      c.cellAlpha = c.cellBeta = c.cellGamma = 90;
      editable[3] = editable[4] = editable[5] = false;
      break;
    case CELL_MONOCLINIC_B:
      // The monoclinic angle is the user's; reloading the group keeps it.
      c.cellAlpha = c.cellGamma = 90;
      editable[3] = editable[5] = false;
      break;
    case CELL_MONOCLINIC_C:
      c.cellAlpha = c.cellBeta = 90;
      editable[3] = editable[4] = false;
      break;
    case CELL_TRICLINIC:
      break;
    case CELL_UNCHANGED:
      show_cell(job);
      update_cell_contents();
      return;
  }
  show_cell(job);
  update_cell_contents();
  if (free_cell_input())
    set_cell_entry_states(true, true, true, true, true, true);
  else
    set_cell_entry_states(editable[0], editable[1], editable[2], editable[3], editable[4],
                          editable[5]);
}

void update_sg() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const Config &c = job.config;
  // Typed but refused: the number shown is not the one stored.
  if (entry_has_error(entry_sg_number)) {
    file_sg_validity = 0;
    set_sg_label_invalid();
    return;
  }
  const bool same = appliedSg.loaded && appliedSg.number == c.sgNumber &&
                    appliedSg.setting == c.sgSetting &&
                    !job.crystal.spaceGroup.positions.empty();
  bool ok = same;
  if (!same) {
    discard_models("the space group has changed");
    ok = LoadJobSpaceGroup(&job);
    appliedSg.loaded = ok;
    appliedSg.number = c.sgNumber;
    appliedSg.setting = c.sgSetting;
    appliedSg.checkedGeneration = -1;
    // The displayed crystal keeps its own copy of the group.
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    optOutData.crystal.spaceGroup = job.crystal.spaceGroup;
  }
  FreeCombPositions(&job.combPositions);
  if (!ok) {
    file_sg_validity = 0;
    set_sg_label_invalid();
  } else {
    const SpaceGroup &sg = job.crystal.spaceGroup;
    file_sg_validity = 1;
    gchar *markup = g_markup_printf_escaped("<span weight=\"bold\">%s</span> %s\t%s",
                                            sg.shortSymbol.c_str(), sg.description.c_str(),
                                            sg.crystalSystem.c_str());
    gtk_label_set_markup(GTK_LABEL(lbl_sg_information), markup);
    g_free(markup);
    PrepareJobPositions(&job);
    // A constraint the formula or the group cannot take is left out of the
    // enumeration; say so once for each new pair of them.
    if (appliedSg.checkedGeneration != applied.generation && !job.compound.entries.empty()) {
      appliedSg.checkedGeneration = applied.generation;
      if (!CheckJobConstraints(job))
        Message(MESSAGE_WARNING,
                "that constraint is left out; change it on the restraints step or reset the "
                "restraints\n");
    }
  }
  set_first_comb_row();
  update_cell_input_mode();
  if (ok && job.crystal.spaceGroup.translations.empty()) {
    // Without centring no parameter is marked special, and the searches
    // stay in the asymmetric unit whatever the flag says: the switch shows
    // that, and the job keeps the flag it was given, so that opening and
    // saving a job changes nothing in its file.
    forcingAsymSearch = true;
    gtk_toggle_action_set_active(toggleaction_asym_search, TRUE);
    forcingAsymSearch = false;
    set_action_sensitive(GTK_ACTION(toggleaction_asym_search), FALSE);
  } else {
    gtk_toggle_action_set_active(toggleaction_asym_search, job.config.asymSearch != 0);
    set_action_sensitive(GTK_ACTION(toggleaction_asym_search), TRUE);
  }
}

void update_composition_fields_by_config() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const Config &c = job.config;
  applied = AppliedComposition{false, false, "", 0, {}, applied.generation + 1};
  appliedSg = AppliedSpaceGroup();
  gtk_entry_set_text(GTK_ENTRY(entry_title), c.title.c_str());
  clear_entry_error(entry_title);
  file_title_validity = c.title.empty() ? 0 : 1;
  gtk_entry_set_text(GTK_ENTRY(entry_formular), c.formular.c_str());
  clear_entry_error(entry_formular);
  file_formular_validity = c.formular.empty() ? 0 : 1;
  set_action_sensitive(action_set_formular, c.formular.empty() ? FALSE : TRUE);
  show_entry_text(entry_formular_z, "%d", c.formularZ);
  // A new job has no formula yet: nothing to set up or complain about.
  if (!c.formular.empty()) {
    update_element_list();
  } else {
    file_formular_validity = 0;
    set_element_list(&job.compound, ls_elements);
  }
  show_entry_text(entry_sg_number, "%d", c.sgNumber);
  // A setting the combo lacks shows none, and the job's own stays stored.
  gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sg_setting),
                           c.sgSetting == 1 || c.sgSetting == 2 ? c.sgSetting - 1 : -1);
  update_sg();
  gtk_toggle_action_set_active(toggleaction_all_combinations, c.allCombinations != 0);
  show_cell(job);
  update_cell_contents();
  SetRadiation(&c, &job.radiation);
}

// The space group the symbol in the number field names, else nullptr (a
// number, or no symbol of the database). The symbols are read once.
static const SpaceGroupSymbol *typed_space_group_symbol() {
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry_sg_number));
  if (!std::any_of(text, text + std::strlen(text),
                   [](char ch) { return std::isalpha(static_cast<unsigned char>(ch)) != 0; }))
    return nullptr;
  static std::vector<SpaceGroupSymbol> symbols;
  if (symbols.empty()) symbols = ReadSpaceGroupSymbols(programOptions.settings.data);
  return FindSpaceGroupSymbol(symbols, text);
}

// ---------------------------------------------------------- handlers

extern "C" {

G_MODULE_EXPORT void on_entry_title_changed(GtkEditable *, gpointer) {
  // Emptied as the job closes: nothing to check or store.
  if (!jobing) {
    clear_entry_error(entry_title);
    return;
  }
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  if (!entry_config_text(entry_title, "TITLE", "Title")) {
    file_title_validity = 0;
    return;
  }
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry_title));
  if (job.config.title != text) {
    job.config.title = text;
    mark_file_changed();
  }
  file_title_validity = text[0] ? 1 : 0;
}

G_MODULE_EXPORT void on_entry_formular_changed(GtkEditable *, gpointer) {
  // Emptied as the job closes: nothing to check or store.
  if (!jobing) {
    clear_entry_error(entry_formular);
    return;
  }
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  if (!entry_config_text(entry_formular, "FORMULAR", "Formula")) {
    file_formular_validity = 0;
    return;
  }
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry_formular));
  if (job.config.formular != text) {
    job.config.formular = text;
    mark_file_changed();
  }
  if (!text[0]) {
    file_formular_validity = 0;
    set_action_sensitive(action_set_formular, FALSE);
    // The list goes; the compound, which models may point into, stays
    // until a formula is applied.
    gtk_list_store_clear(ls_elements);
    gtk_list_store_clear(ls_comb_elements);
    gtk_list_store_clear(ls_restraints);
  } else {
    file_formular_validity = 1;
    set_action_sensitive(action_set_formular, TRUE);
  }
}

G_MODULE_EXPORT void on_entry_formular_activate(GtkEntry *, gpointer) {
  gtk_action_activate(action_set_formular);
}

G_MODULE_EXPORT void on_entry_formular_z_changed(GtkEditable *, gpointer) {
  // Emptied as the job closes: nothing to check or store.
  if (!jobing) {
    clear_entry_error(entry_formular_z);
    return;
  }
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  double z = 0;
  if (!entry_config_value(entry_formular_z, "FORMULAR_Z", "Z", &z)) {
    file_formular_validity = 0;
    return;
  }
  if (job.config.formularZ != static_cast<int32_t>(z)) {
    job.config.formularZ = static_cast<int32_t>(z);
    mark_file_changed();
  }
}

G_MODULE_EXPORT void on_entry_formular_z_activate(GtkEntry *, gpointer) {
  gtk_action_activate(action_set_formular);
}

G_MODULE_EXPORT void on_action_set_formular_activate(GtkAction *, gpointer) {
  if (!jobing) return;
  update_element_list();
}

G_MODULE_EXPORT void on_btn_estimate_z_clicked(GtkButton *, gpointer) {
  if (!jobing) return;
  // The formula as it stands in its field, applied or not.
  Compound compound;
  InitializeCompound(&compound);
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry_formular));
  if (!text[0] || !ParseFormular(text, &compound)) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Please input a valid formula!");
    return;
  }
  double M = 0;
  for (const Element &e : compound.entries) {
    if (e.atomicNumber > 0) {
      M += e.count * e.mass;
      continue;
    }
    double mass = 0, fractions = 0;
    for (const Element &m : e.members) {
      mass += m.count * m.mass * m.fraction;
      fractions += m.fraction;
    }
    if (fractions > 0) M += mass / fractions;
  }
  FreeCompound(&compound);
  // The volume and "Calculate V" start from the job's cell.
  double cell[6] = {10, 10, 10, 90, 90, 90};
  {
    JobAccess access;
    if (!access) return;
    const Config &c = access->config;
    const double stored[6] = {c.cellA, c.cellB, c.cellC, c.cellAlpha, c.cellBeta, c.cellGamma};
    std::copy(stored, stored + 6, cell);
  }
  CreateDlgEstimateZ(window_main, M, entry_formular_z, cell);
}

G_MODULE_EXPORT void on_cell_spin_oxidation_edited(GtkCellRendererText *, gchar *pathText,
                                                   gchar *newText, gpointer) {
  if (!jobing) return;
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  GtkTreeIter row;
  if (!gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(ls_elements), &row, pathText)) return;
  gchar *symbol = nullptr;
  gint old = 0;
  gtk_tree_model_get(GTK_TREE_MODEL(ls_elements), &row, EL_SYMBOL, &symbol, EL_OXIDATION, &old,
                     -1);
  const std::string element = symbol ? symbol : "";
  g_free(symbol);
  char *end = nullptr;
  const long v = std::strtol(newText, &end, 10);
  // The reader's range of an OXIDATION entry.
  if (end == newText || *end || !ConfigAdmits("OXIDATION", v)) {
    Message(MESSAGE_ERROR, "OXIDATION %s: '%s' is no oxidation state: expected a whole number "
                           "from -8 to 8\n",
            element.c_str(), newText);
    return;
  }
  if (v == old) return;
  gtk_list_store_set(ls_elements, &row, EL_OXIDATION, static_cast<gint>(v), -1);
  std::vector<Oxidation> table;
  GtkTreeModel *model = GTK_TREE_MODEL(ls_elements);
  for (gboolean more = gtk_tree_model_get_iter_first(model, &row);
       more && table.size() < static_cast<size_t>(kMaxOxidations);
       more = gtk_tree_model_iter_next(model, &row)) {
    gchar *s = nullptr;
    gint oxidation = 0;
    gtk_tree_model_get(model, &row, EL_SYMBOL, &s, EL_OXIDATION, &oxidation, -1);
    table.push_back(Oxidation{s ? s : "", oxidation});
    g_free(s);
  }
  job.config.oxidation = table;
  mark_file_changed();
  // In place: the models keep their elements.
  const bool ok = ApplyJobComposition(&job);
  remember_composition(job, ok);
  file_formular_validity = ok ? 1 : 0;
  if (ok) refresh_reflection_factors();
}

G_MODULE_EXPORT void on_entry_sg_number_changed(GtkEditable *, gpointer) {
  // Emptied as the job closes: nothing to check or store.
  if (!jobing) {
    clear_entry_error(entry_sg_number);
    return;
  }
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  double number = 0;
  const SpaceGroupSymbol *symbol = typed_space_group_symbol();
  if (symbol) {
    clear_entry_error(entry_sg_number);
    number = symbol->number;
  } else if (!entry_config_value(entry_sg_number, "SG_NUMBER", "Space group number", &number)) {
    file_sg_validity = 0;
    return;
  }
  if (job.config.sgNumber != static_cast<int32_t>(number)) {
    job.config.sgNumber = static_cast<int32_t>(number);
    mark_file_changed();
  }
}

G_MODULE_EXPORT void on_entry_sg_number_activate(GtkEntry *, gpointer) {
  on_entry_sg_number_changed(nullptr, nullptr);
  // A symbol typed becomes its group's number, the field's own value; a
  // setting's symbol chooses that setting too.
  if (const SpaceGroupSymbol *symbol = typed_space_group_symbol()) {
    const int setting = symbol->setting;
    show_entry_text(entry_sg_number, "%d", symbol->number);
    if (setting > 0) gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sg_setting), setting == 2 ? 1 : 0);
  }
  gtk_action_activate(action_set_sg);
}

G_MODULE_EXPORT void on_comb_sg_setting_changed(GtkComboBox *combo, gpointer) {
  if (!jobing) return;
  JobAccess access;
  if (!access) return;
  const int index = gtk_combo_box_get_active(combo);
  if (index < 0) return;
  const int setting = index == 1 ? 2 : 1;
  if (access->config.sgSetting != setting) {
    access->config.sgSetting = setting;
    mark_file_changed();
  }
  gtk_action_activate(action_set_sg);
}

G_MODULE_EXPORT void on_action_set_sg_activate(GtkAction *, gpointer) {
  if (!jobing) return;
  update_sg();
}

G_MODULE_EXPORT void on_toggleaction_free_cell_input_toggled(GtkToggleAction *, gpointer) {
  if (!jobing) return;
  update_cell_input_mode();
}

#define PULVINA_CELL_HANDLERS(name, index)                                              \
  G_MODULE_EXPORT void on_edit_cell_##name(GtkEntry *entry, gpointer) {                 \
    edit_cell(GTK_WIDGET(entry), index);                                                \
  }                                                                                     \
  G_MODULE_EXPORT gboolean on_edit_cell_##name##_focus(GtkWidget *entry, GdkEvent *,    \
                                                       gpointer) {                      \
    edit_cell(entry, index);                                                            \
    return FALSE;                                                                       \
  }
PULVINA_CELL_HANDLERS(a, 0)
PULVINA_CELL_HANDLERS(b, 1)
PULVINA_CELL_HANDLERS(c, 2)
PULVINA_CELL_HANDLERS(alpha, 3)
PULVINA_CELL_HANDLERS(beta, 4)
PULVINA_CELL_HANDLERS(gamma, 5)
#undef PULVINA_CELL_HANDLERS

G_MODULE_EXPORT void on_treeview_comb_elements_cursor_changed(GtkTreeView *, gpointer) {
  // Model generation reads the restraints of the selected element.
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const int index = cursor_element_index(nullptr);
  if (index < 0 || job.combPositions.nodes.empty()) return;
  SetRestraint(&job.combPositions, index);
  update_wp_list();
}

G_MODULE_EXPORT void on_cell_spin_r_min_edited(GtkCellRendererText *, gchar *pathText,
                                               gchar *newText, gpointer) {
  edit_restraint(pathText, newText, RS_MIN);
}

G_MODULE_EXPORT void on_cell_spin_r_max_edited(GtkCellRendererText *, gchar *pathText,
                                               gchar *newText, gpointer) {
  edit_restraint(pathText, newText, RS_MAX);
}

G_MODULE_EXPORT void on_btn_restraints_reset_clicked(GtkButton *, gpointer) {
  if (!jobing) return;
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const int selected = job.combPositions.currentSlot;
  ResetRestraints(&job.combPositions);
  InitializeRestraints(&job.combPositions, &job.compound);
  FreeConstraints(&job.config.constraints);
  SetRestraint(&job.combPositions, selected);
  update_wp_list();
  mark_file_changed();
}

// Read at the next generation; the models made stay as they are.
G_MODULE_EXPORT void on_toggleaction_all_combinations_toggled(GtkToggleAction *toggle, gpointer) {
  const int32_t on = gtk_toggle_action_get_active(toggle) ? 1 : 0;
  JobAccess access;
  if (!jobing || !access || access->config.allCombinations == on) return;
  access->config.allCombinations = on;
  mark_file_changed();
}

G_MODULE_EXPORT void on_action_notebook_epc_forward_activate(GtkAction *, gpointer) {
  if (!jobing) return;
  GtkNotebook *notebook = GTK_NOTEBOOK(notebook_epc);
  const int page = gtk_notebook_get_current_page(notebook);
  if (page == 0) {
    gtk_action_activate(action_set_formular);
    if (!file_title_validity) {
      MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Please input a valid title!");
      return;
    }
    if (!file_formular_validity) {
      MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Please input a valid formula!");
      return;
    }
    gtk_action_activate(action_set_sg);
  } else if (page == 1) {
    gtk_action_activate(action_set_sg);
    if (!file_sg_validity) {
      MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Invalid space group No. or setting!");
      return;
    }
  }
  gtk_notebook_next_page(notebook);
}

G_MODULE_EXPORT void on_action_notebook_epc_backward_activate(GtkAction *, gpointer) {
  gtk_notebook_prev_page(GTK_NOTEBOOK(notebook_epc));
}

}  // extern "C"
