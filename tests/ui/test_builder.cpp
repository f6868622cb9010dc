// The builder file against the names the program looks up: every object the program
// takes from it, with its kind, and every signal handler bound by name.
#include <gmodule.h>

#include <cstring>
#include <map>
#include <set>

#include "ui_testing.h"

namespace {

// The handlers the program binds, by the part of the program that owns
// them. The shell's and the background jobs' must exist in the program; the
// pages' are bound now and written with the pages.
const char *const kShellHandlers[] = {
    "on_window_main_delete_event", "on_action_exit_activate", "on_action_file_new_activate",
    "on_action_file_open_activate", "on_action_file_save_activate",
    "on_action_file_save_as_activate", "on_action_file_close_activate",
    "on_action_help_manual_activate", "on_action_about_activate", "on_action_epc_page_activate",
    "on_action_statistic_page_activate", "on_action_opt_page_activate",
    "on_notebook_main_switch_page", "on_toggleaction_factor_plots_window_toggled",
    "on_toggleaction_peak_plots_window_toggled", "on_toggleaction_3d_view_window_toggled",
    "on_window_factor_plots_delete_event", "on_window_peak_plots_delete_event",
    "on_window_3d_view_delete_event", "on_window_main_configure_event",
    "on_window_factor_plots_configure_event", "on_window_peak_plots_configure_event",
    "on_window_3d_view_configure_event"};

const char *const kJobHandlers[] = {
    "on_btn_generate_models_clicked", "on_action_update_model_states_activate",
    "on_action_statistic_test_start_activate", "on_action_solve_structures_activate",
    "on_action_check_models_bl_validity_activate",
    "on_action_check_opt_models_bl_validity_activate",
    "on_action_set_models_fixed_coordinates_activate",
    "on_action_set_opt_models_fixed_coordinates_activate",
    "on_action_reset_fixed_coordinates_models_activate",
    "on_action_reset_fixed_coordinates_opt_models_activate",
    "on_action_statistic_test_stop_activate", "on_action_solve_structures_stop_activate",
    "on_action_bond_length_check_stop_activate"};

const char *const kPageHandlers[] = {
    // composition and space group
    "on_entry_title_changed", "on_entry_formular_changed", "on_entry_formular_activate",
    "on_entry_formular_z_changed", "on_entry_formular_z_activate",
    "on_action_set_formular_activate", "on_btn_estimate_z_clicked",
    "on_cell_spin_oxidation_edited", "on_entry_sg_number_changed", "on_entry_sg_number_activate",
    "on_comb_sg_setting_changed", "on_action_set_sg_activate",
    "on_toggleaction_free_cell_input_toggled", "on_edit_cell_a", "on_edit_cell_b",
    "on_edit_cell_c", "on_edit_cell_alpha", "on_edit_cell_beta", "on_edit_cell_gamma",
    "on_edit_cell_a_focus", "on_edit_cell_b_focus", "on_edit_cell_c_focus",
    "on_edit_cell_alpha_focus", "on_edit_cell_beta_focus", "on_edit_cell_gamma_focus",
    "on_treeview_comb_elements_cursor_changed", "on_cell_spin_r_min_edited",
    "on_cell_spin_r_max_edited", "on_btn_restraints_reset_clicked",
    "on_action_notebook_epc_forward_activate", "on_action_notebook_epc_backward_activate",
    // experiment and peak file
    "on_action_experiment_parameters_activate", "on_comb_radiation_type_changed",
    "on_comb_xray_source_changed", "on_entry_xray_lambda1_changed",
    "on_check_xray_lambda2_toggled", "on_entry_xray_lambda2_changed",
    "on_entry_xray_I2_I1_changed", "on_entry_xray_polarization_changed",
    "on_check_xray_monochromator_toggled", "on_entry_mono_d_activate",
    "on_entry_mono_angle_activate", "on_entry_electron_lambda_activate",
    "on_entry_neutron_lambda_changed", "on_action_peak_file_activate",
    "on_btn_open_peak_file_button_press_event", "on_action_internal_peak_file_activate",
    "on_action_pcw_peak_file_activate", "on_action_fullprof_peak_file_activate",
    "on_entry_peak_n_width_changed", "on_entry_peak_n_width_activate",
    "on_entry_start_angle_changed", "on_entry_start_angle_activate", "on_entry_end_angle_changed",
    "on_entry_end_angle_activate", "on_action_update_hkl_list_activate",
    "on_toggleaction_asym_search_toggled",
    // statistic and optimisation
    "on_entry_statistic_circles_changed", "on_check_statistic_auto_scale_toggled",
    "on_action_notebook_statistic_forward_activate",
    "on_action_notebook_statistic_backward_activate", "on_action_goto_statistic_test_activate",
    "on_action_goto_opt_activate", "on_comb_statistic_filter_changed",
    "on_entry_filter_fom_changed", "on_entry_filter_fom_activate", "on_entry_filter_rmin_changed",
    "on_entry_filter_rmin_activate", "on_entry_filter_ravg_changed",
    "on_entry_filter_ravg_activate", "on_entry_filter_sd_changed", "on_entry_filter_sd_activate",
    "on_check_exclude_invalid_toggled", "on_action_opt_models_filter_activate",
    "on_action_refine_models_filter_activate", "on_action_choose_opt_models_activate",
    "on_action_choose_refine_models_activate", "on_cell_toggle_select_model_toggled",
    "on_comb_refine_filter_changed", "on_entry_refine_n_changed",
    "on_entry_refine_threshold_changed", "on_action_notebook_opt_forward_activate",
    "on_action_notebook_opt_backward_activate", "on_action_opt_parameters_activate",
    "on_action_opt_refine_parameters_activate", "on_comb_opt_method_changed",
    "on_entry_opt_resolution_changed", "on_check_opt_auto_gs_toggled",
    "on_entry_opt_auto_dim_changed", "on_entry_sa_cycles_tradi_changed",
    "on_entry_sa_start_t_tradi_changed", "on_entry_sa_end_t_tradi_changed",
    "on_entry_sa_rate_tradi_changed", "on_entry_sa_moves_tradi_changed",
    "on_entry_sa_cycles_adapt_changed", "on_comb_sa_strategy_adapt_changed",
    "on_entry_sa_start_t_adapt_changed", "on_entry_sa_end_t_adapt_changed",
    "on_entry_sa_moves_adapt_changed", "on_check_auto_cif_toggled", "on_check_auto_hkl_toggled",
    "on_action_set_cif_output_dir_activate", "on_action_set_hkl_output_dir_activate",
    "on_treeview_opt_models_button_press_event", "on_treeview_opt_models_cursor_changed",
    "on_action_opt_model_details_activate", "on_action_models_cif_file_activate",
    "on_action_models_hkl_file_activate", "on_action_opt_models_cif_file_activate",
    "on_action_opt_models_hkl_file_activate", "on_action_opt_models_cif_files_activate",
    "on_action_opt_models_hkl_files_activate", "on_action_fixed_coordinates_opt_models_activate",
    "on_action_3d_view_rotate_activate", "on_action_3d_view_scale_activate",
    "on_action_3d_view_from_a_activate", "on_action_3d_view_from_b_activate",
    "on_action_3d_view_from_c_activate", "on_action_3d_view_from_a__activate",
    "on_action_3d_view_from_b__activate", "on_action_3d_view_from_c__activate",
    // model list and model dialogs
    "on_treeview_models_button_press_event", "on_treeview_models_cursor_changed",
    "on_action_model_details_activate", "on_cell_renderer_toggle_x_fixed_toggled",
    "on_cell_renderer_toggle_y_fixed_toggled", "on_cell_renderer_toggle_z_fixed_toggled",
    "on_cell_text_x_edited", "on_cell_text_y_edited", "on_cell_text_z_edited",
    "on_check_bond_length_hide_valid_toggled", "on_btn_expand_model_validiation_toggled",
    "on_action_check_model_bl_validity_activate", "on_action_reset_model_bl_validity_activate",
    "on_action_model_statistic_activate", "on_action_generate_model_file_activate",
    "on_action_bond_length_constraint_activate",
    "on_celltoggle_bond_length_constraint_check_toggled",
    "on_celltext_bond_length_constraint_edited", "on_btn_bond_length_constraints_reset_clicked",
    "on_action_fixed_coordinates_models_activate", "on_action_fixed_coordinate_add_activate",
    "on_action_fixed_coordinate_remove_activate", "on_cell_comb_fixed_coordinate_element_edited",
    "on_cell_text_fixed_coordinate_oxidation_edited",
    "on_cell_comb_fixed_coordinate_wyckoff_edited", "on_cell_toggle_fixed_coordinate_toggled",
    "on_cell_text_fixed_coordinate_value_edited"};

// Builder objects the program reaches only through their handlers, with kinds.
const std::map<std::string, GType> &HandlerObjects() {
  static const std::map<std::string, GType> objects = {
      {"action_set_formular", GTK_TYPE_ACTION}, {"btn_estimate_z", GTK_TYPE_BUTTON},
      {"btn_restraints_reset", GTK_TYPE_BUTTON}, {"btn_open_peak_file", GTK_TYPE_BUTTON},
      {"btn_expand_model_validiation", GTK_TYPE_TOGGLE_BUTTON},
      {"btn_bond_length_constraints_reset", GTK_TYPE_BUTTON},
      {"cell_renderer_toggle_x_fixed", GTK_TYPE_CELL_RENDERER_TOGGLE},
      {"cell_renderer_toggle_y_fixed", GTK_TYPE_CELL_RENDERER_TOGGLE},
      {"cell_renderer_toggle_z_fixed", GTK_TYPE_CELL_RENDERER_TOGGLE},
      {"cell_text_x", GTK_TYPE_CELL_RENDERER_TEXT}, {"cell_text_y", GTK_TYPE_CELL_RENDERER_TEXT},
      {"cell_text_z", GTK_TYPE_CELL_RENDERER_TEXT},
      {"celltoggle_bond_length_constraint_check", GTK_TYPE_CELL_RENDERER_TOGGLE},
      {"celltext_bond_length_constraint", GTK_TYPE_CELL_RENDERER_TEXT},
      {"cell_toggle_select_model", GTK_TYPE_CELL_RENDERER_TOGGLE},
  };
  return objects;
}

struct Binding {
  std::string object, signal, handler;
  bool signalExists;
};

struct Builder {
  GtkBuilder *builder = gtk_builder_new();
  GError *error = nullptr;
  bool loaded = false;
  std::vector<Binding> bindings;

  Builder() {
    const std::string file = SourcePath("data/main_window.glade");
    loaded = gtk_builder_add_from_file(builder, file.c_str(), &error) != 0;
    if (!loaded) return;
    gtk_builder_connect_signals_full(
        builder,
        [](GtkBuilder *, GObject *object, const gchar *signal, const gchar *handler, GObject *,
           GConnectFlags, gpointer data) {
          // Cell renderers and other plain objects carry their id as data.
          const gchar *name =
              GTK_IS_BUILDABLE(object)
                  ? gtk_buildable_get_name(GTK_BUILDABLE(object))
                  : static_cast<const gchar *>(g_object_get_data(object, "gtk-builder-name"));
          static_cast<Builder *>(data)->bindings.push_back(
              {name ? name : "", signal, handler,
               g_signal_lookup(signal, G_OBJECT_TYPE(object)) != 0});
        },
        this);
  }
  ~Builder() {
    // Toplevels are owned by the toolkit once built.
    GSList *objects = gtk_builder_get_objects(builder);
    for (GSList *o = objects; o; o = o->next)
      if (GTK_IS_WINDOW(o->data) || GTK_IS_MENU(o->data)) gtk_widget_destroy(GTK_WIDGET(o->data));
    g_slist_free(objects);
    g_object_unref(builder);
    g_clear_error(&error);
  }
  bool bound(const std::string &handler) const {
    for (const Binding &b : bindings)
      if (b.handler == handler) return true;
    return false;
  }
};

bool InProgram(const char *handler) {
  static GModule *self = g_module_open(nullptr, G_MODULE_BIND_LAZY);
  gpointer symbol = nullptr;
  return self && g_module_symbol(self, handler, &symbol) && symbol;
}

}  // namespace

TEST(BuilderFile, HoldsEveryObjectTheProgramTakesWithItsKind) {
  Builder b;
  ASSERT_TRUE(b.loaded) << (b.error ? b.error->message : "");
  for (const BuilderObjectEntry &entry : BuilderObjects()) {
    GObject *object = gtk_builder_get_object(b.builder, entry.name);
    ASSERT_NE(object, nullptr) << entry.name;
    EXPECT_TRUE(g_type_is_a(G_OBJECT_TYPE(object), entry.kind()))
        << entry.name << " is a " << G_OBJECT_TYPE_NAME(object) << ", not a "
        << g_type_name(entry.kind());
  }
  for (const auto &named : HandlerObjects()) {
    GObject *object = gtk_builder_get_object(b.builder, named.first.c_str());
    ASSERT_NE(object, nullptr) << named.first;
    EXPECT_TRUE(g_type_is_a(G_OBJECT_TYPE(object), named.second)) << named.first;
  }
}

TEST(BuilderFile, BindsEveryHandlerByNameAndTheProgramHasTheShellsAndJobs) {
  Builder b;
  ASSERT_TRUE(b.loaded);
  for (const char *h : kShellHandlers) {
    EXPECT_TRUE(b.bound(h)) << h << " is not bound";
    EXPECT_TRUE(InProgram(h)) << h << " is not in the program";
  }
  for (const char *h : kJobHandlers) {
    EXPECT_TRUE(b.bound(h)) << h << " is not bound";
    EXPECT_TRUE(InProgram(h)) << h << " is not in the program";
  }
  for (const char *h : kPageHandlers) EXPECT_TRUE(b.bound(h)) << h << " is not bound";
}

TEST(BuilderFile, EveryBindingNamesASignalOfItsObjectAndAKnownHandler) {
  Builder b;
  ASSERT_TRUE(b.loaded);
  std::set<std::string> designed(std::begin(kShellHandlers), std::end(kShellHandlers));
  designed.insert(std::begin(kJobHandlers), std::end(kJobHandlers));
  designed.insert(std::begin(kPageHandlers), std::end(kPageHandlers));
  for (const Binding &binding : b.bindings) {
    EXPECT_TRUE(binding.signalExists)
        << binding.object << " has no signal " << binding.signal << " for " << binding.handler;
    // A handler of a page or of the shell: a misspelt name
    // would never be called and only warn at run time.
    EXPECT_TRUE(designed.count(binding.handler) || InProgram(binding.handler.c_str()))
        << binding.handler << " on " << binding.object;
  }
  // Handlers named after their object and signal sit on that object.
  for (const Binding &binding : b.bindings) {
    std::string signal = binding.signal;
    for (char &c : signal)
      if (c == '-') c = '_';
    const std::string expected = "on_" + binding.object + "_" + signal;
    if (binding.handler.compare(0, 3 + binding.object.size(), "on_" + binding.object) == 0) {
      EXPECT_EQ(binding.handler, expected);
    }
  }
}

TEST(BuilderFile, NumericEntriesExplainUnitAndRange) {
  Builder b;
  ASSERT_TRUE(b.loaded);
  const std::set<std::string> words = {"entry_title", "entry_formular", "entry_peak_file",
                                       "entry_model_epc"};
  int entries = 0;
  GSList *objects = gtk_builder_get_objects(b.builder);
  for (GSList *o = objects; o; o = o->next) {
    if (!GTK_IS_ENTRY(o->data)) continue;
    const gchar *name = gtk_buildable_get_name(GTK_BUILDABLE(o->data));
    if (!name || words.count(name)) continue;
    ++entries;
    gchar *tip = gtk_widget_get_tooltip_text(GTK_WIDGET(o->data));
    EXPECT_TRUE(tip && std::strlen(tip) > 20) << name << " has no tooltip";
    g_free(tip);
  }
  g_slist_free(objects);
  EXPECT_GE(entries, 50);
}
