// SPDX-License-Identifier: BSD-3-Clause
// Background jobs: model generation, model states, the statistic test,
// structure solving, bond lengths and fixed coordinates run on a worker
// thread while the window stays live; timers on the main thread show their
// progress.
//
// One worker runs at a time, and it holds the job (JobAccess, CrystalMain.h)
// from its start action to its end callback: every other access to the job
// is refused meanwhile, so no handler and no second worker can race it on
// the job. Every start action, the file commands and the page actions are
// insensitive meanwhile too, so that the user sees what is refused. Workers
// are joinable; the end callback of each joins it, and quitting stops and
// joins a running one.
#ifndef PULVINA_CRYSTALJOBS_H
#define PULVINA_CRYSTALJOBS_H

#include <gtk/gtk.h>

#include <mutex>
#include <string>
#include <vector>

#include "CrystalMain.h"

struct FactorPoint {
  uint32_t step = 0;
  double factor = 0;
};

constexpr uint32_t kHistoryCapacity = 800;
constexpr uint32_t kBestChunk = 800;

// Progress of one row of the optimisation list, for solving with several
// threads where more than one row runs at a time.
struct RowProgress {
  bool running = false;
  bool changed = false;
  int32_t percent = 0;
  double lastBestFactor = 0;
};

struct OptOutData {
  uint32_t historyCapacity = kHistoryCapacity;
  uint32_t historyHead = 0;   // the oldest entry once the ring is full
  uint32_t historyCount = 0;  // entries in use
  std::vector<FactorPoint> history;
  uint32_t bestChunks = 1;  // blocks of kBestChunk entries allocated for best
  uint32_t bestCount = 0;
  std::vector<FactorPoint> best;
  uint32_t redrawFlags = 0;  // REDRAW_*
  double lastBestFactor = 0;
  HKLList hklList;  // the job's reflections with the intensities of the shown structure
  int32_t radiation = 0;  // the job's radiation type, which those intensities are for
  Crystal crystal;  // the shown structure
  char currentRowPath[256] = "0";
  int32_t progressPercent = 0;
  // The list position whose search the factor plots and the display follow:
  // the lowest one still running; -1 while none runs.
  long shownIndex = -1;
  std::vector<RowProgress> rows;
};

enum RedrawFlags { REDRAW_PEAKS = 1, REDRAW_3D_VIEW = 2, REDRAW_BEST_FACTOR = 4 };

// Modes of the display timers.
enum DisplayMode { DISPLAY_RECOMPUTE = 0, DISPLAY_REDRAW = 1, DISPLAY_FOLLOW = 2 };

extern int statistic_running;
extern int solve_running;
extern int bond_length_checking;
extern int model_state;
extern int statistic_finished;
extern int job_end_color_count;
extern StatisticProgress stOutData;
extern OptOutData optOutData;
extern std::mutex *mutex_running_flag;
extern std::mutex *mutex_out_data;

void init_mutex_running_flag();
void init_mutex_out_data();
void free_mutexes();
void init_opt_out_data(OptOutData *out);
void free_opt_out_data(OptOutData *out);

// Reads and writes a running flag under mutex_running_flag.
int get_running_flag(const int *flag);
void set_running_flag(int *flag, int value);

// A worker is running (between its start action and its end callback) and
// holds the job. Main thread.
bool job_worker_running();
// Asks every running job to stop, waits for the worker and its end
// callback (at most timeoutSeconds, spinning the main loop with the GUI
// lock released) and joins it. True when no worker is left.
bool stop_and_join_workers(double timeoutSeconds);
// Sensitivity of everything that must not start or change work on the job
// while a worker runs.
void update_job_sensitivity();
// The folder files written while solving go to: the one chosen, else the
// control file's, else the working folder.
std::string output_folder(const char *chosen);
// True when the folder exists or can be made and a file written into it;
// else false with the reason.
bool output_folder_writable(const std::string &folder, std::string *why);
// The status bar: the stage that runs and how far it is ("" when none),
// the folder the files go to, the first line of the last error.
void update_status_bar();
void set_status_stage(const std::string &stage);
void set_status_error(const std::string &message);
// Every change of an action's sensitivity goes through here: the action
// takes it once no worker runs (stop actions, windows and help at once).
void set_action_sensitive(GtkAction *action, gboolean sensitive);
// The actions went with their windows.
void forget_action_sensitivity();

// The workers' shares of the lists (the model list and the optimisation
// list with their rows).
void set_model_list();
// The factor columns of the model lists show a dash until a model has them
// (columns bound by their sort column to the list's factor).
void show_factors_when_known();
void update_model_view_item(GtkTreeView *view, GtkTreeIter *row);
void set_opt_model_list(int mode);
int selected_model_count(int mode);
void update_model_factors_serial(const std::vector<CrystalModel *> &models);
gboolean update_model_factors_plot(gpointer data);
void update_peaks_serials(const HKLList *list, GtkPlotSerial *observed,
                          GtkPlotSerial *calculated);
// The models of a list store, in the order of its rows.
std::vector<CrystalModel *> models_of_store(GtkListStore *store);
// Shows a model in the 3D view and the peaks plot (and marks it current).
void show_model(CrystalModel *model);

// Display timers; data is the mode (GINT_TO_POINTER).
gboolean update_factor_plots(gpointer data);
gboolean update_crystal_3d_view(gpointer data);
gboolean update_peaks_plot(gpointer data);
gboolean update_solve_progress(gpointer data);
gboolean update_statistic_progress(gpointer data);
gboolean show_job_end_information(gpointer data);

extern "C" {
G_MODULE_EXPORT void on_btn_generate_models_clicked(GtkButton *button, gpointer data);
G_MODULE_EXPORT void on_action_generate_models_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_update_model_states_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_statistic_test_start_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_statistic_test_stop_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_solve_structures_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_solve_structures_stop_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_check_models_bl_validity_activate(GtkAction *action,
                                                                 gpointer data);
G_MODULE_EXPORT void on_action_check_opt_models_bl_validity_activate(GtkAction *action,
                                                                     gpointer data);
G_MODULE_EXPORT void on_action_bond_length_check_stop_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_set_models_fixed_coordinates_activate(GtkAction *action,
                                                                     gpointer data);
G_MODULE_EXPORT void on_action_set_opt_models_fixed_coordinates_activate(GtkAction *action,
                                                                         gpointer data);
G_MODULE_EXPORT void on_action_reset_fixed_coordinates_models_activate(GtkAction *action,
                                                                       gpointer data);
G_MODULE_EXPORT void on_action_reset_fixed_coordinates_opt_models_activate(GtkAction *action,
                                                                           gpointer data);
G_MODULE_EXPORT void on_action_goto_opt_activate(GtkAction *action, gpointer data);
}

#endif
