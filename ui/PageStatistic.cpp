// SPDX-License-Identifier: BSD-3-Clause
// The statistic page (trial settings and its wizard) and the choose-models
// dialog: the statistic filter into the optimisation selection and the
// refinement choice onto the job's selection stack. Also the checking of
// numbers typed into entries, which every page of this file and its
// neighbours uses.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ModelPages.h"

// ------------------------------------------------------ numbers in entries

namespace {

int fillDepth = 0;

const char *const kEntryProblem = "pulvina-entry-problem";

}  // namespace

FillGuard::FillGuard() { ++fillDepth; }
FillGuard::~FillGuard() { --fillDepth; }
bool filling_fields() { return fillDepth > 0; }

void mark_entry(GtkWidget *entry, const std::string &problem) {
  const char *before = static_cast<const char *>(g_object_get_data(G_OBJECT(entry), kEntryProblem));
  const bool wasMarked = before && *before;
  if (problem.empty()) {
    if (!wasMarked) return;
    gtk_entry_set_icon_from_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, nullptr);
    g_object_set_data_full(G_OBJECT(entry), kEntryProblem, nullptr, nullptr);
    return;
  }
  if (wasMarked && problem == before) return;
  gtk_entry_set_icon_from_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY,
                                GTK_STOCK_DIALOG_ERROR);
  gtk_entry_set_icon_tooltip_text(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, problem.c_str());
  g_object_set_data_full(G_OBJECT(entry), kEntryProblem, g_strdup(problem.c_str()), g_free);
  // Once per wrong stretch of typing, not at every key.
  if (!wasMarked) Message(MESSAGE_ERROR, "%s (not taken)\n", problem.c_str());
}

bool read_entry_number(GtkWidget *entry, const char *key, double *value) {
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry));
  std::string problem;
  double v = 0;
  if (!CheckConfigValue(key, text, &v, &problem)) {
    mark_entry(entry, std::string(key) + ": '" + text + "' " + problem);
    return false;
  }
  mark_entry(entry, "");
  *value = v;
  return true;
}

bool read_entry_checked(GtkWidget *entry, const char *what, bool (*check)(double),
                        double *value) {
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry));
  double v = 0;
  std::string problem;
  if (!IsFloat(text)) {
    problem = "in a wrong format: expected a decimal number such as 1.5 (no exponent)";
  } else {
    v = std::strtod(text, nullptr);
    if (!check(v)) problem = "out of range: expected " + std::string(what);
  }
  if (!problem.empty()) {
    mark_entry(entry, "'" + std::string(text) + "' " + problem);
    return false;
  }
  mark_entry(entry, "");
  *value = v;
  return true;
}

void show_entry_integer(GtkWidget *entry, long value) {
  FillGuard guard;
  char text[32];
  std::snprintf(text, sizeof text, "%ld", value);
  gtk_entry_set_text(GTK_ENTRY(entry), text);
  mark_entry(entry, "");
}

void show_entry_real(GtkWidget *entry, double value) {
  FillGuard guard;
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  gtk_entry_set_text(GTK_ENTRY(entry), text);
  mark_entry(entry, "");
}

// --------------------------------------------------------- the statistic page

namespace {

void show_statistic_wizard_page(int page) {
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic), page);
}

}  // namespace

void update_statistic_fields_by_config() {
  JobAccess access;
  if (!access) return;
  const Config &c = access->config;
  show_entry_integer(entry_statistic_circles, c.statisticCircles);
  {
    FillGuard guard;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_statistic_auto_scale),
                                 c.autoStCircles != 0);
  }
  gtk_widget_set_sensitive(entry_statistic_circles, c.autoStCircles == 0);
  show_entry_real(entry_filter_fom, c.fomThreshold);
  show_entry_real(entry_filter_rmin, c.bestThreshold);
  show_entry_real(entry_filter_ravg, c.avgThreshold);
  show_entry_real(entry_filter_sd, c.sdThreshold);
  show_entry_integer(entry_refine_n, c.refineN);
  show_entry_real(entry_refine_threshold, c.refineThreshold);
  gtk_list_store_clear(ls_choose_models);
  gtk_label_set_text(GTK_LABEL(lbl_choose_model_count), "");
  // A new job starts at the optimisation stage.
  model_state = 1;
  statistic_finished = 0;
}

extern "C" {

G_MODULE_EXPORT void on_entry_statistic_circles_changed(GtkEditable *, gpointer) {
  store_entry_number(entry_statistic_circles, "STATISTIC_CIRCLES", &Config::statisticCircles);
}

G_MODULE_EXPORT void on_check_statistic_auto_scale_toggled(GtkToggleButton *button, gpointer) {
  const int automatic = gtk_toggle_button_get_active(button) ? 1 : 0;
  gtk_widget_set_sensitive(entry_statistic_circles, automatic == 0);
  if (filling_fields()) return;
  JobAccess access;
  if (!access || access->config.autoStCircles == automatic) return;
  access->config.autoStCircles = automatic;
  mark_file_changed();
}

G_MODULE_EXPORT void on_action_notebook_statistic_forward_activate(GtkAction *, gpointer) {
  GtkNotebook *notebook = GTK_NOTEBOOK(notebook_statistic);
  const int page = gtk_notebook_get_current_page(notebook);
  if (page == 1 && !file_peak_file_validity) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Invalid peak file!\nPlease open a valid peak file.\n");
    return;
  }
  if (page + 1 < gtk_notebook_get_n_pages(notebook)) show_statistic_wizard_page(page + 1);
}

G_MODULE_EXPORT void on_action_notebook_statistic_backward_activate(GtkAction *, gpointer) {
  const int page = gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_statistic));
  if (page > 0) show_statistic_wizard_page(page - 1);
}

G_MODULE_EXPORT void on_action_goto_statistic_test_activate(GtkAction *, gpointer) {
  show_statistic_wizard_page(1);
}

}  // extern "C"

// ------------------------------------------------------ the choice of models

namespace {

int choose_page_mode() {
  const int page = gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_choose_models));
  return page == 0 ? 1 : page == 1 ? 2 : 0;
}

void show_choose_count(int mode) {
  char text[64];
  std::snprintf(text, sizeof text, "<b>%ld</b> models", static_cast<long>(selected_model_count(mode)));
  gtk_label_set_markup(GTK_LABEL(lbl_choose_model_count), text);
}

int choose_flags() {
  return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_exclude_invalid))
             ? FILTER_VALID_ONLY
             : 0;
}

// The refresh button filters with whichever filter the dialog shows.
void bind_refresh(GtkAction *action) {
  gtk_activatable_set_use_action_appearance(GTK_ACTIVATABLE(btn_choose_model_refresh), FALSE);
  gtk_activatable_set_related_action(GTK_ACTIVATABLE(btn_choose_model_refresh), action);
}

// Sets a combo as if the user chose the entry, so that its handler filters
// at once even when the combo showed that entry already.
void choose_combo(GtkWidget *combo, int index, GCallback handler) {
  if (gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) == index)
    reinterpret_cast<void (*)(GtkComboBox *, gpointer)>(handler)(GTK_COMBO_BOX(combo), nullptr);
  else
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), index);
}

void set_filter_area(GtkWidget *area, GtkAction *action, gboolean sensitive) {
  gtk_widget_set_sensitive(area, sensitive);
  set_action_sensitive(action, sensitive);
}

void push_refinement_level(Job &job) {
  job.selection.levels.emplace_back();
  job.selection.depth = static_cast<int32_t>(job.selection.levels.size());
}

void pop_refinement_level(Job &job) {
  if (job.selection.levels.empty()) return;
  job.selection.levels.pop_back();
  job.selection.depth = static_cast<int32_t>(job.selection.levels.size());
}

}  // namespace

void set_choose_model_list(int mode) {
  JobAccess access;
  if (!access) return;
  gtk_list_store_clear(ls_choose_models);
  const std::vector<CrystalModel *> *models = selection_of(*access, mode);
  if (!models) return;
  for (CrystalModel *m : *models) {
    GtkTreeIter row;
    gtk_list_store_append(ls_choose_models, &row);
    fill_model_row(ls_choose_models, &row, m);
    gtk_list_store_set(ls_choose_models, &row, kChooseSelectedColumn, m->selected != 0, -1);
  }
}

void choose_models(int mode) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const int flags = choose_flags();
  if (mode == 1) {
    FilterJobModels(&job, flags);
    set_choose_model_list(1);
    show_choose_count(1);
    return;
  }
  if (mode != 2) return;
  std::vector<SelectionLevel> &levels = job.selection.levels;
  SelectionLevel replaced;
  try {
    if (levels.empty()) push_refinement_level(job);
    // The first level chooses from the optimisation selection, every
    // further one from the level below it.
    const std::vector<CrystalModel *> &source =
        levels.size() == 1 ? job.filtered : levels[levels.size() - 2].models;
    std::vector<CrystalModel *> candidates;
    for (CrystalModel *m : source)
      if (m->selected) candidates.push_back(m);
    replaced = std::move(levels.back());
    pop_refinement_level(job);
    try {
      ChooseRefinementModels(&job, candidates, (flags & FILTER_VALID_ONLY) != 0);
    } catch (const std::bad_alloc &) {
      levels.push_back(std::move(replaced));
      job.selection.depth = static_cast<int32_t>(levels.size());
      throw;
    }
    job.selection.depth = static_cast<int32_t>(levels.size());
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "choosing refine models, memory error!\n");
    return;
  }
  set_choose_model_list(2);
  show_choose_count(2);
}

extern "C" {

G_MODULE_EXPORT void on_comb_statistic_filter_changed(GtkComboBox *combo, gpointer) {
  const int index = gtk_combo_box_get_active(combo);
  JobAccess access;
  if (index < 0 || index > 2 || !access) return;
  static const int kTypes[3] = {2, 0, 1};
  const int type = kTypes[index];
  if (access->config.filterType != type) {
    access->config.filterType = type;
    mark_file_changed();
  }
  if (index == 0) {
    choose_models(1);
    set_filter_area(notebook_statistic_filter, action_opt_models_filter, FALSE);
    return;
  }
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic_filter), index - 1);
  set_filter_area(notebook_statistic_filter, action_opt_models_filter, TRUE);
  gtk_action_activate(action_opt_models_filter);
}

G_MODULE_EXPORT void on_entry_filter_fom_changed(GtkEditable *, gpointer) {
  store_entry_number(entry_filter_fom, "FOM_THRESHOLD", &Config::fomThreshold);
}

G_MODULE_EXPORT void on_entry_filter_rmin_changed(GtkEditable *, gpointer) {
  store_entry_number(entry_filter_rmin, "BEST_THRESHOLD", &Config::bestThreshold);
}

G_MODULE_EXPORT void on_entry_filter_ravg_changed(GtkEditable *, gpointer) {
  store_entry_number(entry_filter_ravg, "AVG_THRESHOLD", &Config::avgThreshold);
}

G_MODULE_EXPORT void on_entry_filter_sd_changed(GtkEditable *, gpointer) {
  store_entry_number(entry_filter_sd, "SD_THRESHOLD", &Config::sdThreshold);
}

G_MODULE_EXPORT void on_entry_filter_fom_activate(GtkEntry *, gpointer) {
  gtk_action_activate(action_opt_models_filter);
}

G_MODULE_EXPORT void on_entry_filter_rmin_activate(GtkEntry *, gpointer) {
  gtk_action_activate(action_opt_models_filter);
}

G_MODULE_EXPORT void on_entry_filter_ravg_activate(GtkEntry *, gpointer) {
  gtk_action_activate(action_opt_models_filter);
}

G_MODULE_EXPORT void on_entry_filter_sd_activate(GtkEntry *, gpointer) {
  gtk_action_activate(action_opt_models_filter);
}

G_MODULE_EXPORT void on_check_exclude_invalid_toggled(GtkToggleButton *, gpointer) {
  const int mode = choose_page_mode();
  if (mode) choose_models(mode);
}

G_MODULE_EXPORT void on_action_opt_models_filter_activate(GtkAction *, gpointer) {
  choose_models(1);
}

G_MODULE_EXPORT void on_action_refine_models_filter_activate(GtkAction *, gpointer) {
  choose_models(2);
}

G_MODULE_EXPORT void on_cell_toggle_select_model_toggled(GtkCellRendererToggle *, gchar *path,
                                                         gpointer) {
  GtkTreeIter row;
  CrystalModel *m = model_at_path(ls_choose_models, path, &row);
  JobAccess access;
  if (!m || !access) return;
  m->selected = m->selected ? 0 : 1;
  gtk_list_store_set(ls_choose_models, &row, kChooseSelectedColumn, m->selected != 0, -1);
  show_choose_count(choose_page_mode());
}

G_MODULE_EXPORT void on_action_choose_opt_models_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  bind_refresh(action_opt_models_filter);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_choose_models), 0);
  int index = 0;
  switch (job.config.filterType) {
    case 1: index = 2; break;
    case 0: index = 1; break;
    default: index = 0; break;
  }
  choose_combo(comb_statistic_filter, index, G_CALLBACK(on_comb_statistic_filter_changed));
  const int response = run_dialog(GTK_DIALOG(dlg_choose_models));
  gtk_widget_hide(dlg_choose_models);
  if (response != GTK_RESPONSE_ACCEPT && response != GTK_RESPONSE_OK) return;
  model_state = 1;
  set_opt_model_list(1);
  statistic_finished = 1;
  set_action_sensitive(action_statistic_page, TRUE);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 2);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 2);
}

G_MODULE_EXPORT void on_comb_refine_filter_changed(GtkComboBox *combo, gpointer) {
  const int index = gtk_combo_box_get_active(combo);
  JobAccess access;
  if (index < 0 || index > 2 || !access) return;
  if (access->config.refine != index) {
    access->config.refine = index;
    mark_file_changed();
  }
  if (index == 0) {
    choose_models(2);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_refine_filter), 0);
    set_filter_area(notebook_refine_filter, action_refine_models_filter, FALSE);
    return;
  }
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_refine_filter), index - 1);
  set_filter_area(notebook_refine_filter, action_refine_models_filter, TRUE);
  gtk_action_activate(action_refine_models_filter);
}

G_MODULE_EXPORT void on_entry_refine_n_changed(GtkEditable *, gpointer) {
  store_entry_number(entry_refine_n, "REFINE_N", &Config::refineN);
}

G_MODULE_EXPORT void on_entry_refine_threshold_changed(GtkEditable *, gpointer) {
  store_entry_number(entry_refine_threshold, "REFINE_THRESHOLD", &Config::refineThreshold);
}

G_MODULE_EXPORT void on_action_choose_refine_models_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  try {
    push_refinement_level(job);
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "choosing refine models, memory error!\n");
    return;
  }
  bind_refresh(action_refine_models_filter);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_choose_models), 1);
  const int type = job.config.refine;
  choose_combo(comb_refine_filter, type >= 0 && type <= 2 ? type : 0,
               G_CALLBACK(on_comb_refine_filter_changed));
  const int response = run_dialog(GTK_DIALOG(dlg_choose_models));
  gtk_widget_hide(dlg_choose_models);
  if (response != GTK_RESPONSE_ACCEPT && response != GTK_RESPONSE_OK) {
    // A choice not taken leaves no level behind: the next choice filters
    // the level the list shows, and solving refines what it shows.
    pop_refinement_level(job);
    return;
  }
  choose_models(2);
  set_opt_model_list(2);
  set_action_sensitive(action_opt_page, TRUE);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 5);
  model_state = 2;
}

}  // extern "C"
