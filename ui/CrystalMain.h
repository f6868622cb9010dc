// SPDX-License-Identifier: BSD-3-Clause
// The desktop program's hub: start-up, the message log, the file commands,
// the window geometry and the widgets every part of the program shares.
//
// Threads and locks. The main thread runs the main loop, every handler and
// every timer. Long work runs on one worker thread at a time (CrystalJobs);
// the kernel may share a stage out to more threads of its own, whose reports
// arrive on those threads. The job has a lock of its own (JobAccess), which
// stands outside the others: a worker takes it first thing, holding
// nothing, and keeps it for its whole run; every other taker only tries it
// and never waits for it. The GUI lock is GDK's, made recursive here so
// that a timer (which runs with it held) may call Message (which takes it
// again). Lock order, fixed for the whole program: the GUI lock first, then
// at most one of mutex_running_flag or mutex_out_data; never the two
// mutexes together; never the GUI lock while holding one of them. Workers
// let go of the GUI lock around kernel work (only the display timers
// compute the shown structure's intensities under it, which is quick).
#ifndef PULVINA_CRYSTALMAIN_H
#define PULVINA_CRYSTALMAIN_H

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gtkcrystal3dview.h"
#include "gtkplot.h"
#include "stages.h"

// Every object the program takes from the builder file: C type, name (the
// global and the builder id are the same) and the kind it must have.
#define PULVINA_BUILDER_OBJECTS(X)                                             \
  /* the shell */                                                              \
  X(GtkWidget, window_main, GTK_TYPE_WINDOW)                                   \
  X(GtkWidget, icon_application, GTK_TYPE_IMAGE)                               \
  X(GtkWidget, window_factor_plots, GTK_TYPE_WINDOW)                           \
  X(GtkWidget, window_peak_plots, GTK_TYPE_WINDOW)                             \
  X(GtkWidget, window_3d_view, GTK_TYPE_WINDOW)                                \
  X(GtkToggleAction, toggleaction_factor_plots_window, GTK_TYPE_TOGGLE_ACTION) \
  X(GtkToggleAction, toggleaction_peak_plots_window, GTK_TYPE_TOGGLE_ACTION)   \
  X(GtkToggleAction, toggleaction_3d_view_window, GTK_TYPE_TOGGLE_ACTION)      \
  X(GtkWidget, dlg_about, GTK_TYPE_ABOUT_DIALOG)                               \
  X(GtkAction, action_file_new, GTK_TYPE_ACTION)                               \
  X(GtkAction, action_file_open, GTK_TYPE_ACTION)                              \
  X(GtkAction, action_file_save, GTK_TYPE_ACTION)                              \
  X(GtkAction, action_file_save_as, GTK_TYPE_ACTION)                           \
  X(GtkAction, action_file_close, GTK_TYPE_ACTION)                             \
  X(GtkAction, action_exit, GTK_TYPE_ACTION)                                   \
  X(GtkAction, action_help_manual, GTK_TYPE_ACTION)                            \
  X(GtkAction, action_about, GTK_TYPE_ACTION)                                  \
  X(GtkAction, action_epc_page, GTK_TYPE_ACTION)                               \
  X(GtkAction, action_statistic_page, GTK_TYPE_ACTION)                         \
  X(GtkAction, action_opt_page, GTK_TYPE_ACTION)                               \
  X(GtkWidget, notebook_main, GTK_TYPE_NOTEBOOK)                               \
  X(GtkWidget, notebook_factor_plots, GTK_TYPE_NOTEBOOK)                       \
  X(GtkWidget, text_output, GTK_TYPE_TEXT_VIEW)                                \
  X(GtkTextBuffer, text_buffer_output, GTK_TYPE_TEXT_BUFFER)                   \
  X(GtkWidget, image_error, GTK_TYPE_IMAGE)                                    \
  X(GtkWidget, image_warning, GTK_TYPE_IMAGE)                                  \
  X(GtkWidget, image_hint, GTK_TYPE_IMAGE)                                     \
  X(GtkWidget, align_model_factors_plot, GTK_TYPE_CONTAINER)                   \
  X(GtkWidget, align_factor_plot, GTK_TYPE_CONTAINER)                          \
  X(GtkWidget, align_best_factor_plot, GTK_TYPE_CONTAINER)                     \
  X(GtkWidget, align_experiment_peak_plot, GTK_TYPE_CONTAINER)                 \
  X(GtkWidget, align_peaks_plot, GTK_TYPE_CONTAINER)                           \
  X(GtkWidget, align_profile_plot, GTK_TYPE_CONTAINER)                         \
  X(GtkWidget, align_3d_view, GTK_TYPE_CONTAINER)                              \
  X(GtkUIManager, uimanager_main, GTK_TYPE_UI_MANAGER)                         \
  X(GtkWidget, statusbar_main, GTK_TYPE_STATUSBAR)                             \
  /* background jobs */                                                        \
  X(GtkAction, action_update_model_states, GTK_TYPE_ACTION)                    \
  X(GtkAction, action_statistic_test_start, GTK_TYPE_ACTION)                   \
  X(GtkAction, action_statistic_test_stop, GTK_TYPE_ACTION)                    \
  X(GtkAction, action_solve_structures, GTK_TYPE_ACTION)                       \
  X(GtkAction, action_solve_structures_stop, GTK_TYPE_ACTION)                  \
  X(GtkAction, action_check_models_bl_validity, GTK_TYPE_ACTION)               \
  X(GtkAction, action_check_opt_models_bl_validity, GTK_TYPE_ACTION)           \
  X(GtkAction, action_bond_length_check_stop, GTK_TYPE_ACTION)                 \
  X(GtkAction, action_set_models_fixed_coordinates, GTK_TYPE_ACTION)           \
  X(GtkAction, action_set_opt_models_fixed_coordinates, GTK_TYPE_ACTION)       \
  X(GtkAction, action_reset_fixed_coordinates_models, GTK_TYPE_ACTION)         \
  X(GtkAction, action_reset_fixed_coordinates_opt_models, GTK_TYPE_ACTION)     \
  X(GtkAction, action_generate_models, GTK_TYPE_ACTION)                        \
  X(GtkAction, action_goto_opt, GTK_TYPE_ACTION)                               \
  X(GtkWidget, window_epc_splash, GTK_TYPE_WINDOW)                             \
  X(GtkWidget, lbl_epc_splash_info, GTK_TYPE_LABEL)                            \
  X(GtkWidget, window_states_splash, GTK_TYPE_WINDOW)                          \
  X(GtkWidget, lbl_states_splash_info, GTK_TYPE_LABEL)                         \
  X(GtkWidget, window_validity_splash, GTK_TYPE_WINDOW)                        \
  X(GtkWidget, progress_validity_splash, GTK_TYPE_PROGRESS_BAR)                \
  X(GtkWidget, lbl_validity_splash_info, GTK_TYPE_LABEL)                       \
  X(GtkWidget, image_validity_splash, GTK_TYPE_IMAGE)                          \
  /* composition and space group */                                            \
  X(GtkWidget, notebook_epc, GTK_TYPE_NOTEBOOK)                                \
  X(GtkWidget, entry_title, GTK_TYPE_ENTRY)                                    \
  X(GtkWidget, entry_formular, GTK_TYPE_ENTRY)                                 \
  X(GtkWidget, entry_formular_z, GTK_TYPE_ENTRY)                               \
  X(GtkAction, action_set_formular, GTK_TYPE_ACTION)                           \
  X(GtkCellRenderer, cell_spin_oxidation, GTK_TYPE_CELL_RENDERER_SPIN)         \
  X(GtkAdjustment, adj_oxidation, GTK_TYPE_ADJUSTMENT)                         \
  X(GtkWidget, entry_sg_number, GTK_TYPE_ENTRY)                                \
  X(GtkWidget, comb_sg_setting, GTK_TYPE_COMBO_BOX)                            \
  X(GtkAction, action_set_sg, GTK_TYPE_ACTION)                                 \
  X(GtkWidget, lbl_sg_information, GTK_TYPE_LABEL)                             \
  X(GtkWidget, entry_cell_a0, GTK_TYPE_ENTRY)                                  \
  X(GtkWidget, entry_cell_b0, GTK_TYPE_ENTRY)                                  \
  X(GtkWidget, entry_cell_c0, GTK_TYPE_ENTRY)                                  \
  X(GtkWidget, entry_cell_alpha0, GTK_TYPE_ENTRY)                              \
  X(GtkWidget, entry_cell_beta0, GTK_TYPE_ENTRY)                               \
  X(GtkWidget, entry_cell_gamma0, GTK_TYPE_ENTRY)                              \
  X(GtkToggleAction, toggleaction_free_cell_input, GTK_TYPE_TOGGLE_ACTION)     \
  X(GtkWidget, treeview_comb_elements, GTK_TYPE_TREE_VIEW)                     \
  X(GtkCellRenderer, cell_spin_r_min, GTK_TYPE_CELL_RENDERER_SPIN)             \
  X(GtkCellRenderer, cell_spin_r_max, GTK_TYPE_CELL_RENDERER_SPIN)             \
  X(GtkAdjustment, adj_restraint, GTK_TYPE_ADJUSTMENT)                         \
  X(GtkToggleAction, toggleaction_asym_search, GTK_TYPE_TOGGLE_ACTION)         \
  X(GtkToggleAction, toggleaction_all_combinations, GTK_TYPE_TOGGLE_ACTION)    \
  X(GtkWidget, btn_generate_models, GTK_TYPE_BUTTON)                           \
  X(GtkListStore, ls_elements, GTK_TYPE_LIST_STORE)                            \
  X(GtkListStore, ls_comb_elements, GTK_TYPE_LIST_STORE)                       \
  X(GtkListStore, ls_restraints, GTK_TYPE_LIST_STORE)                          \
  /* experiment and peak file */                                               \
  X(GtkWidget, dlg_experiment_parameters, GTK_TYPE_DIALOG)                     \
  X(GtkWidget, comb_radiation_type, GTK_TYPE_COMBO_BOX)                        \
  X(GtkWidget, notebook_radiation_type, GTK_TYPE_NOTEBOOK)                     \
  X(GtkWidget, align_radiation_xray, GTK_TYPE_CONTAINER)                       \
  X(GtkWidget, align_radiation_electron, GTK_TYPE_CONTAINER)                   \
  X(GtkWidget, align_radiation_neutron, GTK_TYPE_CONTAINER)                    \
  X(GtkWidget, comb_xray_source, GTK_TYPE_COMBO_BOX)                           \
  X(GtkWidget, entry_xray_lambda1, GTK_TYPE_ENTRY)                             \
  X(GtkWidget, check_xray_lambda2, GTK_TYPE_CHECK_BUTTON)                      \
  X(GtkWidget, entry_xray_lambda2, GTK_TYPE_ENTRY)                             \
  X(GtkWidget, entry_xray_I2_I1, GTK_TYPE_ENTRY)                               \
  X(GtkWidget, entry_xray_polarization, GTK_TYPE_ENTRY)                        \
  X(GtkWidget, check_xray_monochromator, GTK_TYPE_CHECK_BUTTON)                \
  X(GtkWidget, align_xray_monochromator, GTK_TYPE_CONTAINER)                   \
  X(GtkWidget, entry_mono_d, GTK_TYPE_ENTRY)                                   \
  X(GtkWidget, entry_mono_angle, GTK_TYPE_ENTRY)                               \
  X(GtkWidget, entry_electron_energy, GTK_TYPE_ENTRY)                          \
  X(GtkWidget, entry_electron_lambda, GTK_TYPE_ENTRY)                          \
  X(GtkWidget, entry_neutron_lambda, GTK_TYPE_ENTRY)                           \
  X(GtkWidget, entry_cell_a, GTK_TYPE_ENTRY)                                   \
  X(GtkWidget, entry_cell_b, GTK_TYPE_ENTRY)                                   \
  X(GtkWidget, entry_cell_c, GTK_TYPE_ENTRY)                                   \
  X(GtkWidget, entry_cell_alpha, GTK_TYPE_ENTRY)                               \
  X(GtkWidget, entry_cell_beta, GTK_TYPE_ENTRY)                                \
  X(GtkWidget, entry_cell_gamma, GTK_TYPE_ENTRY)                               \
  X(GtkWidget, dlg_peak_file, GTK_TYPE_DIALOG)                                 \
  X(GtkWidget, entry_peak_file, GTK_TYPE_ENTRY)                                \
  X(GtkWidget, entry_peak_n_width, GTK_TYPE_ENTRY)                             \
  X(GtkWidget, entry_start_angle, GTK_TYPE_ENTRY)                              \
  X(GtkWidget, entry_end_angle, GTK_TYPE_ENTRY)                                \
  X(GtkWidget, popmenu_open_peak_file, GTK_TYPE_MENU)                          \
  X(GtkAction, action_update_hkl_list, GTK_TYPE_ACTION)                        \
  X(GtkListStore, ls_radiation_sources, GTK_TYPE_LIST_STORE)                   \
  X(GtkListStore, ls_hkl_list, GTK_TYPE_LIST_STORE)                            \
  /* statistic and optimisation */                                             \
  X(GtkWidget, notebook_statistic, GTK_TYPE_NOTEBOOK)                          \
  X(GtkWidget, entry_statistic_circles, GTK_TYPE_ENTRY)                        \
  X(GtkWidget, check_statistic_auto_scale, GTK_TYPE_CHECK_BUTTON)              \
  X(GtkWidget, btn_statistic_execute, GTK_TYPE_BUTTON)                         \
  X(GtkWidget, progress_statistic, GTK_TYPE_PROGRESS_BAR)                      \
  X(GtkWidget, window_statistic_splash, GTK_TYPE_WINDOW)                       \
  X(GtkWidget, lbl_statistic_splash_info, GTK_TYPE_LABEL)                      \
  X(GtkWidget, dlg_choose_models, GTK_TYPE_DIALOG)                             \
  X(GtkWidget, notebook_choose_models, GTK_TYPE_NOTEBOOK)                      \
  X(GtkWidget, comb_statistic_filter, GTK_TYPE_COMBO_BOX)                      \
  X(GtkWidget, notebook_statistic_filter, GTK_TYPE_NOTEBOOK)                   \
  X(GtkWidget, entry_filter_fom, GTK_TYPE_ENTRY)                               \
  X(GtkWidget, entry_filter_rmin, GTK_TYPE_ENTRY)                              \
  X(GtkWidget, entry_filter_ravg, GTK_TYPE_ENTRY)                              \
  X(GtkWidget, entry_filter_sd, GTK_TYPE_ENTRY)                                \
  X(GtkWidget, comb_refine_filter, GTK_TYPE_COMBO_BOX)                         \
  X(GtkWidget, notebook_refine_filter, GTK_TYPE_NOTEBOOK)                      \
  X(GtkWidget, entry_refine_n, GTK_TYPE_ENTRY)                                 \
  X(GtkWidget, entry_refine_threshold, GTK_TYPE_ENTRY)                         \
  X(GtkWidget, check_exclude_invalid, GTK_TYPE_CHECK_BUTTON)                   \
  X(GtkWidget, btn_choose_model_refresh, GTK_TYPE_BUTTON)                      \
  X(GtkAction, action_opt_models_filter, GTK_TYPE_ACTION)                      \
  X(GtkAction, action_refine_models_filter, GTK_TYPE_ACTION)                   \
  X(GtkWidget, lbl_choose_model_count, GTK_TYPE_LABEL)                         \
  X(GtkWidget, treeview_choose_models, GTK_TYPE_TREE_VIEW)                     \
  X(GtkWidget, notebook_opt, GTK_TYPE_NOTEBOOK)                                \
  X(GtkWidget, treeview_opt_models, GTK_TYPE_TREE_VIEW)                        \
  X(GtkWidget, popmenu_opt_models, GTK_TYPE_MENU)                              \
  X(GtkWidget, notebook_solve_state, GTK_TYPE_NOTEBOOK)                        \
  X(GtkWidget, progress_solve, GTK_TYPE_PROGRESS_BAR)                          \
  X(GtkWidget, lbl_job_end_tips, GTK_TYPE_LABEL)                               \
  X(GtkWidget, dlg_opt, GTK_TYPE_DIALOG)                                       \
  X(GtkWidget, comb_opt_method, GTK_TYPE_COMBO_BOX)                            \
  X(GtkWidget, entry_opt_resolution, GTK_TYPE_ENTRY)                           \
  X(GtkWidget, container_opt_auto_gs, GTK_TYPE_CONTAINER)                      \
  X(GtkWidget, check_opt_auto_gs, GTK_TYPE_CHECK_BUTTON)                       \
  X(GtkWidget, align_opt_auto_gs, GTK_TYPE_CONTAINER)                          \
  X(GtkWidget, entry_opt_auto_dim, GTK_TYPE_ENTRY)                             \
  X(GtkWidget, notebook_opt_paras, GTK_TYPE_NOTEBOOK)                          \
  X(GtkWidget, entry_sa_cycles_tradi, GTK_TYPE_ENTRY)                          \
  X(GtkWidget, entry_sa_start_t_tradi, GTK_TYPE_ENTRY)                         \
  X(GtkWidget, entry_sa_end_t_tradi, GTK_TYPE_ENTRY)                           \
  X(GtkWidget, entry_sa_rate_tradi, GTK_TYPE_ENTRY)                            \
  X(GtkWidget, entry_sa_moves_tradi, GTK_TYPE_ENTRY)                           \
  X(GtkWidget, entry_sa_cycles_adapt, GTK_TYPE_ENTRY)                          \
  X(GtkWidget, comb_sa_strategy_adapt, GTK_TYPE_COMBO_BOX)                     \
  X(GtkWidget, align_sa_strategy_adapt, GTK_TYPE_CONTAINER)                    \
  X(GtkWidget, entry_sa_start_t_adapt, GTK_TYPE_ENTRY)                         \
  X(GtkWidget, entry_sa_end_t_adapt, GTK_TYPE_ENTRY)                           \
  X(GtkWidget, entry_sa_moves_adapt, GTK_TYPE_ENTRY)                           \
  X(GtkWidget, check_auto_cif, GTK_TYPE_CHECK_BUTTON)                          \
  X(GtkWidget, check_auto_hkl, GTK_TYPE_CHECK_BUTTON)                          \
  X(GtkWidget, lbl_cif_output_folder, GTK_TYPE_LABEL)                          \
  X(GtkWidget, lbl_hkl_output_folder, GTK_TYPE_LABEL)                          \
  X(GtkAction, action_set_cif_output_dir, GTK_TYPE_ACTION)                     \
  X(GtkAction, action_set_hkl_output_dir, GTK_TYPE_ACTION)                     \
  X(GtkListStore, ls_choose_models, GTK_TYPE_LIST_STORE)                       \
  X(GtkListStore, ls_opt_models, GTK_TYPE_LIST_STORE)                          \
  X(GtkTreeViewColumn, column_choose_models_no, GTK_TYPE_TREE_VIEW_COLUMN)     \
  X(GtkTreeViewColumn, column_choose_models_epc, GTK_TYPE_TREE_VIEW_COLUMN)    \
  X(GtkTreeViewColumn, column_choose_models_para_count,                        \
    GTK_TYPE_TREE_VIEW_COLUMN)                                                 \
  X(GtkTreeViewColumn, column_choose_models_rmin, GTK_TYPE_TREE_VIEW_COLUMN)   \
  X(GtkTreeViewColumn, column_choose_models_ravg, GTK_TYPE_TREE_VIEW_COLUMN)   \
  X(GtkTreeViewColumn, column_choose_models_sd, GTK_TYPE_TREE_VIEW_COLUMN)     \
  X(GtkTreeViewColumn, column_choose_models_fom, GTK_TYPE_TREE_VIEW_COLUMN)    \
  X(GtkTreeViewColumn, column_opt_models_no, GTK_TYPE_TREE_VIEW_COLUMN)        \
  X(GtkTreeViewColumn, column_opt_models_epc, GTK_TYPE_TREE_VIEW_COLUMN)       \
  X(GtkTreeViewColumn, column_opt_models_para_count, GTK_TYPE_TREE_VIEW_COLUMN) \
  X(GtkTreeViewColumn, column_opt_models_rbest, GTK_TYPE_TREE_VIEW_COLUMN)     \
  X(GtkTreeViewColumn, column_opt_solve_progress, GTK_TYPE_TREE_VIEW_COLUMN)   \
  X(GtkCellRenderer, cellprogress_solve_progress, GTK_TYPE_CELL_RENDERER_PROGRESS) \
  X(GtkCellRenderer, cell_text_solve_best_factor, GTK_TYPE_CELL_RENDERER_TEXT) \
  /* model list and model dialogs */                                           \
  X(GtkWidget, treeview_models, GTK_TYPE_TREE_VIEW)                            \
  X(GtkWidget, popmenu_models, GTK_TYPE_MENU)                                  \
  X(GtkWidget, dlg_model_details, GTK_TYPE_DIALOG)                             \
  X(GtkWidget, entry_model_number, GTK_TYPE_ENTRY)                             \
  X(GtkWidget, entry_model_epc, GTK_TYPE_ENTRY)                                \
  X(GtkWidget, entry_model_para_count, GTK_TYPE_ENTRY)                         \
  X(GtkWidget, image_bond_length_validity, GTK_TYPE_IMAGE)                     \
  X(GtkWidget, check_bond_length_hide_valid, GTK_TYPE_CHECK_BUTTON)            \
  X(GtkWidget, align_model_validation, GTK_TYPE_CONTAINER)                     \
  X(GtkWidget, arrow_model_validation, GTK_TYPE_ARROW)                         \
  X(GtkAction, action_check_model_bl_validity, GTK_TYPE_ACTION)                \
  X(GtkAction, action_reset_model_bl_validity, GTK_TYPE_ACTION)                \
  X(GtkWidget, dlg_model_info, GTK_TYPE_DIALOG)                                \
  X(GtkWidget, entry_model_info_model_count, GTK_TYPE_ENTRY)                   \
  X(GtkWidget, entry_model_info_min_para_count, GTK_TYPE_ENTRY)                \
  X(GtkWidget, entry_model_info_max_para_count, GTK_TYPE_ENTRY)                \
  X(GtkTreeViewColumn, column_model_info_para_count, GTK_TYPE_TREE_VIEW_COLUMN) \
  X(GtkTreeViewColumn, column_model_info_model_count, GTK_TYPE_TREE_VIEW_COLUMN) \
  X(GtkTreeViewColumn, column_model_info_percentage, GTK_TYPE_TREE_VIEW_COLUMN) \
  X(GtkCellRenderer, cellprogress_model_info, GTK_TYPE_CELL_RENDERER_PROGRESS) \
  X(GtkWidget, dlg_bond_length_constraint, GTK_TYPE_DIALOG)                    \
  X(GtkWidget, entry_bond_length_tolerance, GTK_TYPE_ENTRY)                    \
  X(GtkWidget, dlg_fixed_coordinates, GTK_TYPE_DIALOG)                         \
  X(GtkWidget, treeview_fixed_coordinates, GTK_TYPE_TREE_VIEW)                 \
  X(GtkCellRenderer, cell_comb_fixed_coordinate_element, GTK_TYPE_CELL_RENDERER_COMBO) \
  X(GtkCellRenderer, cell_text_fixed_coordinate_oxidation, GTK_TYPE_CELL_RENDERER_TEXT) \
  X(GtkCellRenderer, cell_comb_fixed_coordinate_wyckoff, GTK_TYPE_CELL_RENDERER_COMBO) \
  X(GtkCellRenderer, cell_toggle_fixed_coordinate_fix_x, GTK_TYPE_CELL_RENDERER_TOGGLE) \
  X(GtkCellRenderer, cell_toggle_fixed_coordinate_fix_y, GTK_TYPE_CELL_RENDERER_TOGGLE) \
  X(GtkCellRenderer, cell_toggle_fixed_coordinate_fix_z, GTK_TYPE_CELL_RENDERER_TOGGLE) \
  X(GtkCellRenderer, cell_text_fixed_coordinate_x_value, GTK_TYPE_CELL_RENDERER_TEXT) \
  X(GtkCellRenderer, cell_text_fixed_coordinate_y_value, GTK_TYPE_CELL_RENDERER_TEXT) \
  X(GtkCellRenderer, cell_text_fixed_coordinate_z_value, GTK_TYPE_CELL_RENDERER_TEXT) \
  X(GtkTreeViewColumn, column_st_no, GTK_TYPE_TREE_VIEW_COLUMN)                \
  X(GtkTreeViewColumn, column_st_epc, GTK_TYPE_TREE_VIEW_COLUMN)               \
  X(GtkTreeViewColumn, column_st_para_count, GTK_TYPE_TREE_VIEW_COLUMN)        \
  X(GtkTreeViewColumn, column_st_rmin, GTK_TYPE_TREE_VIEW_COLUMN)              \
  X(GtkTreeViewColumn, column_st_ravg, GTK_TYPE_TREE_VIEW_COLUMN)              \
  X(GtkTreeViewColumn, column_st_sd, GTK_TYPE_TREE_VIEW_COLUMN)                \
  X(GtkTreeViewColumn, column_st_fom, GTK_TYPE_TREE_VIEW_COLUMN)               \
  X(GtkListStore, ls_models, GTK_TYPE_LIST_STORE)                              \
  X(GtkListStore, ls_model_atoms, GTK_TYPE_LIST_STORE)                         \
  X(GtkListStore, ls_bond_lengths, GTK_TYPE_LIST_STORE)                        \
  X(GtkListStore, ls_bond_length_constraint, GTK_TYPE_LIST_STORE)              \
  X(GtkListStore, ls_fixed_coordinates, GTK_TYPE_LIST_STORE)                   \
  X(GtkListStore, ls_fixed_coordinate_element, GTK_TYPE_LIST_STORE)            \
  X(GtkListStore, ls_fixed_coordinate_wyckoff, GTK_TYPE_LIST_STORE)            \
  X(GtkListStore, ls_model_info, GTK_TYPE_LIST_STORE)

#define PULVINA_DECLARE_OBJECT(ctype, name, gtype) extern ctype *name;
PULVINA_BUILDER_OBJECTS(PULVINA_DECLARE_OBJECT)
#undef PULVINA_DECLARE_OBJECT

// One builder object the program looks up, for the tests.
struct BuilderObjectEntry {
  const char *name;
  GType (*kind)();
};
const std::vector<BuilderObjectEntry> &BuilderObjects();

// Window geometry and visibility, mirrored to the UI settings file.
struct UIConfig {
  gint32 mainTop = 0, mainLeft = 0, mainWidth = 0, mainHeight = 0;
  gint32 factorTop = 0, factorLeft = 0, factorWidth = 0, factorHeight = 0, factorShow = 0;
  gint32 viewTop = 0, viewLeft = 0, viewWidth = 0, viewHeight = 0, viewShow = 0;
  gint32 peakTop = 0, peakLeft = 0, peakWidth = 0, peakHeight = 0, peakShow = 0;
};
// 1 when all nineteen values were read; the values read before a missing
// key stay in config.
int ReadUIConfig(const char *fileName, UIConfig *config);
// 1 when the whole file was written (it is replaced at once, never left
// half-written); 0 otherwise.
int UpdateUIConfig(const char *fileName, const UIConfig *config);

constexpr size_t kPathSize = 512;

// The open job, shared by the main thread and the worker of a background
// job, which never use it at once. Its lock guards it: a worker is handed
// the job as it starts (start_worker, CrystalJobs) and holds the lock until
// its end callback has joined it; everything else reaches the job only
// through a JobAccess. Taking one never waits: while a worker holds the job
// the access is empty and the handler that asked does nothing, as handlers
// have always refused edits while a job runs. So the window stays live, no
// handler rewrites a job a worker reads, and no worker reads one a handler
// is rewriting. Accesses nest on one thread. A worker started while its
// start action holds an access waits for that access to end: none is held
// across a wait for a worker.
class JobAccess {
 public:
  JobAccess();
  JobAccess(const JobAccess &) = delete;
  JobAccess &operator=(const JobAccess &) = delete;
  explicit operator bool() const { return job_ != nullptr; }
  Job &operator*() const;
  Job *operator->() const { return &**this; }

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  Job *job_ = nullptr;
};

extern UIConfig uiConfig;
extern std::string uiConfigFileName;
extern char current_file_name[kPathSize];
extern char default_file_path[kPathSize];
extern char cif_output_folder[kPathSize];
extern char hkl_output_folder[kPathSize];
extern int jobing;
extern int file_changed_flag;
extern int file_title_validity;
extern int file_formular_validity;
extern int file_sg_validity;
extern int file_peak_file_validity;
extern CrystalModel *currentModel;

// The plots and the 3D view, made at start-up.
extern GtkPlot *model_factors_plot, *factor_plot, *best_factor_plot, *experiment_peak_plot,
    *peaks_plot;
extern GtkPlotSerial *model_factors_serial, *model_factors_active_serial, *factor_serial,
    *best_factor_serial, *obs_peak_serial, *calc_peak_serial;
extern GtkCrystal3DView *crystal_3d_view;

// How the program was started: settings every job takes over, and the
// folder of the data files and the builder file.
struct ProgramOptions {
  JobSettings settings;
  bool haveSeed = false;  // else each job draws a seed from the clock
  std::string dataDirectory;
  std::string jobFile;  // opened at start when given
};
extern ProgramOptions programOptions;

// ---- the shell ----

// The kernel's messages go to the log of the main window. From any thread.
// Returns the number of characters formatted.
void AppendLog(int type, const std::string &text);
int MessageBox(int type, int buttons, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// A question with its own buttons (label or stock id, response), the
// affirmative one last; secondary text below the question. Enter gives the
// default response, the last button's unless one is named.
int AskBox(int type, const std::string &text, const std::string &secondary,
           const std::vector<std::pair<std::string, int>> &buttons,
           int defaultResponse = GTK_RESPONSE_NONE);
// Collects the error messages reported while it lives (they reach the log
// as well), so that a dialog can say why something failed.
class CaughtErrors {
 public:
  CaughtErrors();
  ~CaughtErrors();
  CaughtErrors(const CaughtErrors &) = delete;
  CaughtErrors &operator=(const CaughtErrors &) = delete;
  std::string text() const;  // one reason a line, without the last line end

 private:
  struct Caught;
  std::shared_ptr<Caught> caught_;
  MessageSink previous_;
};
void mark_file_changed();
// The actions that need an open job, or its models, follow them.
void update_job_readiness();
// Asks to save a changed job: Save, Close without Saving or Cancel (also
// Escape and the close box). False when the job stays: cancelled, or the
// save wanted did not happen.
bool file_save_confirm();
int new_job_confirm();
void init_widget_states();
// Closes the open job after the save question; false when the user kept it.
bool file_close();
// Opens a control file as File Open does after its dialog.
bool open_job_file(const std::string &path);
void update_title();
// The 3D view's legend: the colour of each element the view shows.
void update_3d_view_legend();
void quit_main_loop();
// Sets the job's seed for a new job: the one given on the command line, or
// one from the clock.
void reset_job_settings();

// ---- the pages' shares of filling from the configuration ----
void update_fields_by_config();
void update_statistic_fields_by_config();
void update_optimization_fields_by_config();
// The Output page names the folders solved models' files will go to.
void show_output_folders();
void update_model_fields_by_config();

// Start-up and shut-down. The toolkit (with the GUI lock) is initialised
// once per process; the windows may be opened and closed more than once (the
// tests do).
void pulvina_init_threads();
bool pulvina_open_windows();
void pulvina_close_windows();
int pulvina_main(int argc, char **argv);

// A scope in which this thread holds no GUI lock, whatever its depth was:
// for waiting on workers that need the lock to finish.
class GuiLockReleased {
 public:
  GuiLockReleased();
  ~GuiLockReleased();
  GuiLockReleased(const GuiLockReleased &) = delete;
  GuiLockReleased &operator=(const GuiLockReleased &) = delete;

 private:
  int depth_;
};
// How often this thread holds the GUI lock now.
int gui_lock_depth();
// Turns the main loop as gtk_main does (without the caller's GUI lock) until
// cond, tested under the lock, holds or the time is up; true when it held.
// For what drives the program from outside: its tests and its picture tool.
bool spin_main_loop_until(const std::function<bool()> &cond, double seconds);

// Runs a modal dialog (or hands it to the test hook) and returns its
// response.
int run_dialog(GtkDialog *dialog);
// Runs a file chooser; on an accepting response *file is the chosen path.
int run_file_dialog(GtkFileChooser *chooser, std::string *file);

// Tests answer the program's modal dialogs here instead of a user; empty in
// a normal run.
struct TestHooks {
  std::function<int(GtkDialog *dialog)> dialog;
  std::function<int(GtkFileChooser *chooser, std::string *file)> fileDialog;
  std::function<bool(const std::string &uri)> openUri;
};
extern TestHooks testHooks;

// Set when the program was asked to quit outside its main loop.
extern bool quitRequested;

// Joins a folder and a name with this platform's separator.
std::string join_path(const char *folder, const std::string &name);

// The installed HTML manual, or empty when none is found.
std::string find_manual();

#endif
