// SPDX-License-Identifier: BSD-3-Clause
// The optimisation page: its wizard, the parameter dialog of both stages,
// the output options, the optimisation list's menu, the files of one model
// or of a whole list, and the 3D view's commands.
#include <glib/gstdio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "ModelPages.h"

namespace {

// The settings of one solving stage, as fields of the job's configuration:
// the optimisation's (1) or the refinement's (2), with the prefix of their
// keys.
struct ParameterSet {
  const char *prefix;
  int32_t Config::*method, Config::*autoGridSearch, Config::*autoDimension;
  double Config::*resolution;
  int32_t Config::*tradiCycles;
  double Config::*tradiStart, Config::*tradiEnd, Config::*tradiRate;
  int32_t Config::*tradiMoves;
  int32_t Config::*adaptCycles, Config::*adaptStrategy;
  double Config::*adaptStart, Config::*adaptEnd;
  int32_t Config::*adaptMoves;
};

ParameterSet parameter_set(int which) {
  using C = Config;
  if (which == 2)
    return {"REFINE_",
            &C::refineOptimizationMethod,
            &C::refineAutoGridSearch,
            &C::refineAutoDimension,
            &C::refineSearchResolution,
            &C::refineTradiSaCycles,
            &C::refineTradiSaStartT,
            &C::refineTradiSaEndT,
            &C::refineTradiSaRate,
            &C::refineTradiSaMoves,
            &C::refineAdaptSaCycles,
            &C::refineAdaptSaStrategy,
            &C::refineAdaptSaStartT,
            &C::refineAdaptSaEndT,
            &C::refineAdaptSaMoves};
  return {"",
          &C::optimizationMethod,
          &C::autoGridSearch,
          &C::autoDimension,
          &C::searchResolution,
          &C::tradiSaCycles,
          &C::tradiSaStartT,
          &C::tradiSaEndT,
          &C::tradiSaRate,
          &C::tradiSaMoves,
          &C::adaptSaCycles,
          &C::adaptSaStrategy,
          &C::adaptSaStartT,
          &C::adaptSaEndT,
          &C::adaptSaMoves};
}

// The set the parameter dialog shows, and so the one its entries write.
int shownSet = 1;

template <typename T>
void store_parameter(GtkWidget *entry, const char *key, T Config::*ParameterSet::*field) {
  const ParameterSet set = parameter_set(shownSet);
  const std::string name = std::string(set.prefix) + key;
  store_entry_number(entry, name.c_str(), set.*field);
}

template <typename T>
void store_choice(T Config::*field, T value) {
  if (filling_fields()) return;
  JobAccess access;
  if (!access || access->config.*field == value) return;
  access->config.*field = value;
  mark_file_changed();
}

// The parts of the dialog that follow the method, the automatic grid
// search and the schedule.
void show_method_states() {
  const int method = std::max(0, gtk_combo_box_get_active(GTK_COMBO_BOX(comb_opt_method)));
  // Parallel tempering has no page of its own: its settings live in the
  // control file.
  if (method <= METHOD_ADAPTIVE)
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt_paras), method);
  gtk_widget_set_visible(notebook_opt_paras, method <= METHOD_ADAPTIVE);
  gtk_widget_set_sensitive(container_opt_auto_gs, method != 0);
  gtk_widget_set_sensitive(align_opt_auto_gs,
                           gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_opt_auto_gs)));
  gtk_widget_set_sensitive(align_sa_strategy_adapt,
                           gtk_combo_box_get_active(GTK_COMBO_BOX(comb_sa_strategy_adapt)) <= 0);
}

void fill_parameter_dialog(const Config &c, int which) {
  shownSet = which;
  const ParameterSet s = parameter_set(which);
  {
    FillGuard guard;
    show_entry_real(entry_opt_resolution, c.*s.resolution);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_opt_auto_gs), c.*s.autoGridSearch != 0);
    show_entry_integer(entry_opt_auto_dim, c.*s.autoDimension);
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_opt_method),
                             c.*s.method >= 0 && c.*s.method <= METHOD_TEMPERING ? c.*s.method : 0);
    show_entry_integer(entry_sa_cycles_tradi, c.*s.tradiCycles);
    show_entry_real(entry_sa_start_t_tradi, c.*s.tradiStart);
    show_entry_real(entry_sa_end_t_tradi, c.*s.tradiEnd);
    show_entry_real(entry_sa_rate_tradi, c.*s.tradiRate);
    show_entry_integer(entry_sa_moves_tradi, c.*s.tradiMoves);
    show_entry_integer(entry_sa_cycles_adapt, c.*s.adaptCycles);
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_sa_strategy_adapt),
                             c.*s.adaptStrategy == 1 ? 1 : 0);
    show_entry_real(entry_sa_start_t_adapt, c.*s.adaptStart);
    show_entry_real(entry_sa_end_t_adapt, c.*s.adaptEnd);
    show_entry_integer(entry_sa_moves_adapt, c.*s.adaptMoves);
  }
  show_method_states();
}

void run_parameter_dialog(int which) {
  JobAccess access;
  if (!access) return;
  fill_parameter_dialog(access->config, which);
  gtk_window_set_title(GTK_WINDOW(dlg_opt), which == 2 ? "Refinement Parameters"
                                                       : "Optimisation Parameters");
  run_dialog(GTK_DIALOG(dlg_opt));
  gtk_widget_hide(dlg_opt);
}

// Commands on the lists and their files wait while a worker holds the job
// (the caller's access is empty); solving says so.
bool refuse_while_busy(const JobAccess &access) {
  if (get_running_flag(&solve_running)) {
    Message(MESSAGE_WARNING, "structure solve is running!\n");
    return true;
  }
  return !access;
}

void add_filter(GtkFileChooser *chooser, const char *name, const char *pattern) {
  GtkFileFilter *filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, name);
  gtk_file_filter_add_pattern(filter, pattern);
  gtk_file_chooser_add_filter(chooser, filter);
}

// A save dialog in the control file's folder; the chosen path, with the
// extension added when the name has none, or empty when the user declined.
std::string choose_save_file(const char *title, const std::string &proposed, const char *filterName,
                             const char *pattern, const char *extension) {
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      title, GTK_WINDOW(window_main), GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
      GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE, GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
  add_filter(chooser, filterName, pattern);
  add_filter(chooser, "All Files (*.*)", "*");
  if (default_file_path[0]) gtk_file_chooser_set_current_folder(chooser, default_file_path);
  gtk_file_chooser_set_current_name(chooser, proposed.c_str());
  std::string path;
  const int response = run_file_dialog(chooser, &path);
  gtk_widget_destroy(dialog);
  if (response != GTK_RESPONSE_ACCEPT) return std::string();
  return with_extension(path, extension);
}

std::string choose_folder(const char *accept) {
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      "Choose Output Directory", GTK_WINDOW(window_main), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
      GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, accept, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  if (default_file_path[0])
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), default_file_path);
  std::string folder;
  const int response = run_file_dialog(GTK_FILE_CHOOSER(dialog), &folder);
  gtk_widget_destroy(dialog);
  return response == GTK_RESPONSE_ACCEPT ? folder : std::string();
}

bool have_reflections() {
  if (file_peak_file_validity) return true;
  MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
             "Invalid peak file!\nPlease open a valid peak file.\n");
  return false;
}

void generate_file_for_model(GtkWidget *view, bool cif) {
  JobAccess access;
  if (refuse_while_busy(access)) return;
  Job &job = *access;
  CrystalModel *m = selected_model(GTK_TREE_VIEW(view), nullptr);
  if (!m) return;
  if (!cif && !have_reflections()) return;
  std::string title = job.config.title;
  for (char &c : title)
    if (c == '/' || c == '\\') c = '_';
  char proposed[kPathSize];
  std::snprintf(proposed, sizeof proposed, cif ? "%s_model_%d.cif" : "%s_model_%d.hkl",
                title.c_str(), m->modelNumber);
  const std::string path =
      cif ? choose_save_file("Save CIF file...", proposed, "CIF Files (*.cif)", "*cif", ".cif")
          : choose_save_file("Save HKL file...", proposed, "HKL Files (*.hkl)", "*hkl", ".hkl");
  if (path.empty()) return;
  show_model(m);
  if (!WriteModelOutputs(&job, m, cif ? path : std::string(), cif ? std::string() : path))
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Cannot write %s (the log says why).", path.c_str());
}

void generate_files(GtkWidget *view, bool cif) {
  JobAccess access;
  if (refuse_while_busy(access)) return;
  Job &job = *access;
  if (!cif && !have_reflections()) return;
  const std::vector<CrystalModel *> models =
      models_of_store(GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(view))));
  const std::string folder = choose_folder(GTK_STOCK_SAVE);
  if (folder.empty()) return;
  for (const CrystalModel *m : models) {
    const std::string path =
        JoinPath(folder, output_stem(job, m->modelNumber) + (cif ? ".cif" : ".hkl"));
    // The models share the folder: when one file cannot be written, the
    // next would fail alike.
    if (!WriteModelOutputs(&job, m, cif ? path : std::string(), cif ? std::string() : path)) {
      MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Cannot write %s (the log says why).", path.c_str());
      return;
    }
  }
}

void show_opt_page(int page) { gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), page); }

}  // namespace

std::string with_extension(const std::string &path, const char *extension) {
  gchar *base = g_path_get_basename(path.c_str());
  const bool dotted = std::strchr(base, '.') != nullptr;
  g_free(base);
  if (dotted) return path;
  const std::string extended = path + extension;
  // The dialog asked about the name typed, not about this one.
  if (g_file_test(extended.c_str(), G_FILE_TEST_EXISTS) &&
      MessageBox(GTK_MESSAGE_WARNING, GTK_BUTTONS_YES_NO,
                 "A file named \"%s\" already exists.\nDo you want to replace it?",
                 extended.c_str()) != GTK_RESPONSE_YES)
    return std::string();
  return extended;
}

void generate_cif_file_for_model(GtkWidget *view) { generate_file_for_model(view, true); }
void generate_hkl_file_for_model(GtkWidget *view) { generate_file_for_model(view, false); }
void generate_cif_files(GtkWidget *view) { generate_files(view, true); }
void generate_hkl_files(GtkWidget *view) { generate_files(view, false); }

void set_output_dir(char *folder) {
  // Solving takes the folders as it starts; they are not changed meanwhile.
  if (refuse_while_busy(JobAccess())) return;
  const std::string chosen = choose_folder(GTK_STOCK_OK);
  if (chosen.empty()) return;
  if (chosen.size() >= kPathSize) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "The path is too long:\n%s", chosen.c_str());
    return;
  }
  CopyText(folder, kPathSize, chosen.c_str());
  update_status_bar();
  show_output_folders();
}

void show_output_folders() {
  const std::pair<GtkWidget *, const char *> rows[] = {{lbl_cif_output_folder, cif_output_folder},
                                                       {lbl_hkl_output_folder, hkl_output_folder}};
  for (const auto &r : rows)
    gtk_label_set_text(GTK_LABEL(r.first), output_folder(r.second).c_str());
  gtk_widget_set_sensitive(lbl_cif_output_folder,
                           gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_auto_cif)));
  gtk_widget_set_sensitive(lbl_hkl_output_folder,
                           gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_auto_hkl)));
}

void update_optimization_fields_by_config() {
  set_action_sensitive(action_set_cif_output_dir,
                       gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_auto_cif)));
  set_action_sensitive(action_set_hkl_output_dir,
                       gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_auto_hkl)));
  show_output_folders();
  shownSet = 1;
}

extern "C" {

// ---- the wizard ----

G_MODULE_EXPORT void on_action_notebook_opt_forward_activate(GtkAction *, gpointer) {
  GtkNotebook *notebook = GTK_NOTEBOOK(notebook_opt);
  const int page = gtk_notebook_get_current_page(notebook);
  if (page == 0 && !file_peak_file_validity) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Invalid peak file!\nPlease open a valid peak file.\n");
    return;
  }
  if (page == 5) {
    model_state = 2;
    show_opt_page(3);
    return;
  }
  if (page + 1 < gtk_notebook_get_n_pages(notebook)) show_opt_page(page + 1);
}

G_MODULE_EXPORT void on_action_notebook_opt_backward_activate(GtkAction *, gpointer) {
  const int page = gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_opt));
  switch (page) {
    case 0:
      gtk_action_activate(action_statistic_page);
      break;
    case 2:
      if (statistic_finished) {
        statistic_finished = 0;
        gtk_action_activate(action_statistic_page);
      } else {
        show_opt_page(1);
      }
      break;
    case 3:
      show_opt_page(model_state == 2 ? 5 : 2);
      break;
    default:
      if (page > 0) show_opt_page(page - 1);
      break;
  }
}

// ---- the parameter dialog ----

G_MODULE_EXPORT void on_action_opt_parameters_activate(GtkAction *, gpointer) {
  run_parameter_dialog(1);
}

G_MODULE_EXPORT void on_action_opt_refine_parameters_activate(GtkAction *, gpointer) {
  run_parameter_dialog(2);
}

G_MODULE_EXPORT void on_comb_opt_method_changed(GtkComboBox *combo, gpointer) {
  const int method = gtk_combo_box_get_active(combo);
  if (method < 0) return;
  if (method == 0)
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_opt_auto_gs), FALSE);
  show_method_states();
  store_choice(parameter_set(shownSet).method, static_cast<int32_t>(method));
}

G_MODULE_EXPORT void on_check_opt_auto_gs_toggled(GtkToggleButton *button, gpointer) {
  show_method_states();
  store_choice(parameter_set(shownSet).autoGridSearch,
               static_cast<int32_t>(gtk_toggle_button_get_active(button) ? 1 : 0));
}

G_MODULE_EXPORT void on_comb_sa_strategy_adapt_changed(GtkComboBox *combo, gpointer) {
  const int strategy = gtk_combo_box_get_active(combo);
  if (strategy < 0) return;
  show_method_states();
  store_choice(parameter_set(shownSet).adaptStrategy, static_cast<int32_t>(strategy));
}

G_MODULE_EXPORT void on_entry_opt_resolution_changed(GtkEditable *, gpointer) {
  store_parameter(entry_opt_resolution, "SEARCH_RESOLUTION", &ParameterSet::resolution);
}

G_MODULE_EXPORT void on_entry_opt_auto_dim_changed(GtkEditable *, gpointer) {
  store_parameter(entry_opt_auto_dim, "AUTO_DIMENSION", &ParameterSet::autoDimension);
}

G_MODULE_EXPORT void on_entry_sa_cycles_tradi_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_cycles_tradi, "TRADI_SA_CYCLES", &ParameterSet::tradiCycles);
}

G_MODULE_EXPORT void on_entry_sa_start_t_tradi_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_start_t_tradi, "TRADI_SA_START_T", &ParameterSet::tradiStart);
}

G_MODULE_EXPORT void on_entry_sa_end_t_tradi_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_end_t_tradi, "TRADI_SA_END_T", &ParameterSet::tradiEnd);
}

G_MODULE_EXPORT void on_entry_sa_rate_tradi_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_rate_tradi, "TRADI_SA_RATE", &ParameterSet::tradiRate);
}

G_MODULE_EXPORT void on_entry_sa_moves_tradi_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_moves_tradi, "TRADI_SA_MOVES", &ParameterSet::tradiMoves);
}

G_MODULE_EXPORT void on_entry_sa_cycles_adapt_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_cycles_adapt, "ADAPT_SA_CYCLES", &ParameterSet::adaptCycles);
}

G_MODULE_EXPORT void on_entry_sa_start_t_adapt_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_start_t_adapt, "ADAPT_SA_START_T", &ParameterSet::adaptStart);
}

G_MODULE_EXPORT void on_entry_sa_end_t_adapt_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_end_t_adapt, "ADAPT_SA_END_T", &ParameterSet::adaptEnd);
}

G_MODULE_EXPORT void on_entry_sa_moves_adapt_changed(GtkEditable *, gpointer) {
  store_parameter(entry_sa_moves_adapt, "ADAPT_SA_MOVES", &ParameterSet::adaptMoves);
}

// ---- output ----

G_MODULE_EXPORT void on_check_auto_cif_toggled(GtkToggleButton *button, gpointer) {
  set_action_sensitive(action_set_cif_output_dir, gtk_toggle_button_get_active(button));
  show_output_folders();
}

G_MODULE_EXPORT void on_check_auto_hkl_toggled(GtkToggleButton *button, gpointer) {
  set_action_sensitive(action_set_hkl_output_dir, gtk_toggle_button_get_active(button));
  show_output_folders();
}

G_MODULE_EXPORT void on_action_set_cif_output_dir_activate(GtkAction *, gpointer) {
  set_output_dir(cif_output_folder);
}

G_MODULE_EXPORT void on_action_set_hkl_output_dir_activate(GtkAction *, gpointer) {
  set_output_dir(hkl_output_folder);
}

// ---- the optimisation list ----

G_MODULE_EXPORT gboolean on_treeview_opt_models_button_press_event(GtkWidget *view,
                                                                  GdkEventButton *event,
                                                                  gpointer) {
  if (event->type != GDK_BUTTON_PRESS || event->button != 3) return FALSE;
  if (get_running_flag(&solve_running)) {
    Message(MESSAGE_WARNING, "structure solve is running!\n");
    return FALSE;
  }
  popup_model_menu(view, event, popmenu_opt_models);
  return TRUE;
}

G_MODULE_EXPORT void on_treeview_opt_models_cursor_changed(GtkTreeView *view, gpointer) {
  // While a job runs, its worker moves the cursor and holds the models,
  // which show_model refuses.
  if (get_running_flag(&solve_running)) return;
  CrystalModel *m = selected_model(view, nullptr);
  if (m) show_model(m);
}

G_MODULE_EXPORT void on_action_opt_model_details_activate(GtkAction *, gpointer) {
  if (!refuse_while_busy(JobAccess())) edit_model_details(treeview_opt_models);
}

G_MODULE_EXPORT void on_action_fixed_coordinates_opt_models_activate(GtkAction *, gpointer) {
  if (!refuse_while_busy(JobAccess())) edit_fixed_coordinates(treeview_opt_models);
}

G_MODULE_EXPORT void on_action_models_cif_file_activate(GtkAction *, gpointer) {
  generate_cif_file_for_model(treeview_models);
}

G_MODULE_EXPORT void on_action_models_hkl_file_activate(GtkAction *, gpointer) {
  generate_hkl_file_for_model(treeview_models);
}

G_MODULE_EXPORT void on_action_opt_models_cif_file_activate(GtkAction *, gpointer) {
  generate_cif_file_for_model(treeview_opt_models);
}

G_MODULE_EXPORT void on_action_opt_models_hkl_file_activate(GtkAction *, gpointer) {
  generate_hkl_file_for_model(treeview_opt_models);
}

G_MODULE_EXPORT void on_action_opt_models_cif_files_activate(GtkAction *, gpointer) {
  generate_cif_files(treeview_opt_models);
}

G_MODULE_EXPORT void on_action_opt_models_hkl_files_activate(GtkAction *, gpointer) {
  generate_hkl_files(treeview_opt_models);
}

// ---- the 3D view ----

G_MODULE_EXPORT void on_action_3d_view_rotate_activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_set_view_mode(crystal_3d_view, 0);
}

G_MODULE_EXPORT void on_action_3d_view_scale_activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_set_view_mode(crystal_3d_view, 1);
}

G_MODULE_EXPORT void on_action_3d_view_from_a_activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_view_from(crystal_3d_view, 0);
}

G_MODULE_EXPORT void on_action_3d_view_from_b_activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_view_from(crystal_3d_view, 1);
}

G_MODULE_EXPORT void on_action_3d_view_from_c_activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_view_from(crystal_3d_view, 2);
}

G_MODULE_EXPORT void on_action_3d_view_from_a__activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_view_from(crystal_3d_view, 3);
}

G_MODULE_EXPORT void on_action_3d_view_from_b__activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_view_from(crystal_3d_view, 4);
}

G_MODULE_EXPORT void on_action_3d_view_from_c__activate(GtkAction *, gpointer) {
  gtk_crystal_3d_view_view_from(crystal_3d_view, 5);
}

}  // extern "C"
