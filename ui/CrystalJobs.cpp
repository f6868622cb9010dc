// SPDX-License-Identifier: BSD-3-Clause
#include "CrystalJobs.h"
#include "ModelPages.h"
#include "PatternImport.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <cstring>

#include <glib/gstdio.h>
#include <unistd.h>

#include "PageCommon.h"

int statistic_running = 0;
int solve_running = 0;
int bond_length_checking = 0;
int model_state = 1;
int statistic_finished = 0;
int job_end_color_count = 0;
StatisticProgress stOutData;
OptOutData optOutData;
std::mutex *mutex_running_flag = nullptr;
std::mutex *mutex_out_data = nullptr;

namespace {

// Standard mutexes rather than GLib's, whose futexes a thread sanitizer
// cannot see through.
std::optional<std::mutex> runningFlagStorage;
std::optional<std::mutex> outDataStorage;

// The open job with its lock, and whether a worker holds it (from its
// start action to its end callback; read and written under the lock).
struct SharedJob {
  std::recursive_mutex mutex;
  Job job;
  bool heldByWorker = false;
};
SharedJob shared;

// The worker of the job that runs now (main thread only), and the stop
// request of its stage, which the kernel reads at every report.
GThread *worker = nullptr;
StopFlag stopRequested{false};

// The largest best-factor buffer the plot has had so far, in blocks.
uint32_t best_factor_view_count = 1;

// What a worker works on: the job it is handed, the models of one list in
// the order of its rows, and what else it needs from the main thread's
// state, taken as the job starts.
struct StageWork {
  Job *job = nullptr;  // set by start_worker
  GThreadFunc run = nullptr;
  std::vector<CrystalModel *> models;
  GtkTreeView *view = nullptr;  // the list the rows belong to
  GtkListStore *store = nullptr;
  double tolerancePercent = 0;
  bool set = true;  // fixed coordinates: set or reset
  bool refining = false;  // solving: the refinement stage, else the optimisation
  std::string cifFolder, hklFolder;  // solving: where the files of solved models go
  // The rows of the models, followed through any sorting of the list.
  std::vector<GtkTreeRowReference *> rows;
  std::atomic<size_t> finished{0};
  std::atomic<size_t> unwritten{0};  // solving: models whose files could not be written
  bool ok = false;

  StageWork() = default;
  StageWork(const StageWork &) = delete;
  StageWork &operator=(const StageWork &) = delete;
  ~StageWork() {
    for (GtkTreeRowReference *r : rows) gtk_tree_row_reference_free(r);
  }
  // Takes the models of a list with their rows. Main thread.
  void take_rows(GtkWidget *list) {
    view = GTK_TREE_VIEW(list);
    store = GTK_LIST_STORE(gtk_tree_view_get_model(view));
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    GtkTreeIter row;
    for (gboolean more = gtk_tree_model_get_iter_first(model, &row); more;
         more = gtk_tree_model_iter_next(model, &row)) {
      gpointer m = nullptr;
      gtk_tree_model_get(model, &row, 0, &m, -1);
      if (!m) continue;
      models.push_back(static_cast<CrystalModel *>(m));
      GtkTreePath *path = gtk_tree_model_get_path(model, &row);
      rows.push_back(gtk_tree_row_reference_new(model, path));
      gtk_tree_path_free(path);
    }
  }
  // The row of the index-th model. Caller holds the GUI lock.
  bool row(size_t index, GtkTreeIter *iter) const {
    if (index >= rows.size() || !gtk_tree_row_reference_valid(rows[index])) return false;
    GtkTreePath *path = gtk_tree_row_reference_get_path(rows[index]);
    const gboolean found = gtk_tree_model_get_iter(GTK_TREE_MODEL(store), iter, path);
    gtk_tree_path_free(path);
    return found != FALSE;
  }
  // Cursor on a row, scrolled to 0.9 of the list's height. Caller holds the
  // GUI lock.
  void show(size_t index, bool cursor) const {
    if (index >= rows.size() || !gtk_tree_row_reference_valid(rows[index])) return;
    GtkTreePath *path = gtk_tree_row_reference_get_path(rows[index]);
    if (cursor) gtk_tree_view_set_cursor(view, path, nullptr, FALSE);
    gtk_tree_view_scroll_to_cell(view, path, nullptr, TRUE, 0.9f, 0.0f);
    gtk_tree_path_free(path);
  }
  void set_icon(size_t index, int column, const char *stock) const {
    gdk_threads_enter();
    GtkTreeIter iter;
    if (row(index, &iter)) gtk_list_store_set(store, &iter, column, stock, -1);
    gdk_threads_leave();
  }
};

// The work of the running worker, for the timers (main thread only).
StageWork *currentWork = nullptr;

// Rows of the statistic test under way, for showing the lowest of them in
// the splash when several models are tested at once.
std::set<size_t> statisticRunning;
long statisticShown = -1;
// The number of the model stOutData follows, for the timer: the model
// itself is the worker's.
int statisticNumber = 0;

enum { COL_MODEL = 0, COL_RMIN = 4, COL_RAVG, COL_RSD, COL_FOM, COL_STATE, COL_VALIDITY,
       COL_OPT_PROGRESS = 11, COL_OPT_COLOUR = 12, COL_OPT_PENALTY = 13, COL_OPT_PROFILE = 14 };

void set_label(GtkWidget *label, bool markup, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void set_label(GtkWidget *label, bool markup, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  gdk_threads_enter();
  if (markup)
    gtk_label_set_markup(GTK_LABEL(label), text);
  else
    gtk_label_set_text(GTK_LABEL(label), text);
  gdk_threads_leave();
}

void set_progress(GtkWidget *bar, double fraction, const char *text) {
  gdk_threads_enter();
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), std::min(1.0, std::max(0.0, fraction)));
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(bar), text);
  gdk_threads_leave();
}

// The lowest list position still running, or -1.
long lowest_running(const std::vector<RowProgress> &rows) {
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].running) return static_cast<long>(i);
  return -1;
}

}  // namespace

std::string output_folder(const char *chosen) {
  if (chosen[0]) return chosen;
  if (default_file_path[0]) return default_file_path;
  gchar *here = g_get_current_dir();
  std::string folder = here;
  g_free(here);
  return folder;
}

bool output_folder_writable(const std::string &folder, std::string *why) {
  // As the batch solver does before any work: made when missing, then a
  // file written into it and taken away again.
  if (g_mkdir_with_parents(folder.c_str(), 0755) != 0 ||
      !g_file_test(folder.c_str(), G_FILE_TEST_IS_DIR)) {
    *why = std::string("it cannot be made: ") + g_strerror(errno);
    return false;
  }
  std::string probe = join_path(folder.c_str(), ".pulvina-write-test-XXXXXX");
  const int fd = g_mkstemp(&probe[0]);
  if (fd < 0) {
    *why = std::string("no file can be written into it: ") + g_strerror(errno);
    return false;
  }
  close(fd);
  g_remove(probe.c_str());
  return true;
}

namespace {

// ------------------------------------------------------------ status bar

std::string statusStage, statusError;

}  // namespace

void update_status_bar() {
  if (!statusbar_main) return;
  std::string text = !statusStage.empty() ? statusStage : jobing ? "Ready" : "No job open";
  if (jobing) text += "   |   Output folder: " + output_folder(cif_output_folder);
  if (!statusError.empty()) text += "   |   Last error: " + statusError;
  GtkStatusbar *bar = GTK_STATUSBAR(statusbar_main);
  const guint context = gtk_statusbar_get_context_id(bar, "status");
  gtk_statusbar_pop(bar, context);
  gtk_statusbar_push(bar, context, text.c_str());
}

void set_status_stage(const std::string &stage) {
  if (stage == statusStage) return;
  statusStage = stage;
  update_status_bar();
}

void set_status_error(const std::string &message) {
  // The first line names what failed; the rest is detail for the log.
  std::string line = message.substr(0, message.find('\n'));
  if (line.rfind("ERROR: ", 0) == 0) line.erase(0, 7);
  statusError = line;
  update_status_bar();
}

namespace {

// ---------------------------------------------------- workers themselves

using EndCallback = gboolean (*)(gpointer);

// The last act of every worker: its end callback, on the main thread.
void end_worker(EndCallback callback, guint delay, gpointer data) {
  gdk_threads_enter();
  gdk_threads_add_timeout(delay, callback, data);
  gdk_threads_leave();
}

// Every action that may run while a worker does: stops, windows, the 3D
// view, help and quitting.
bool allowed_while_busy(GtkAction *action) {
  const char *name = gtk_action_get_name(action);
  static const char *const kAllowed[] = {
      "action_statistic_test_stop", "action_solve_structures_stop",
      "action_bond_length_check_stop", "toggleaction_factor_plots_window",
      "toggleaction_peak_plots_window", "toggleaction_3d_view_window", "action_help_manual",
      "action_about", "action_exit"};
  for (const char *allowed : kAllowed)
    if (std::strcmp(name, allowed) == 0) return true;
  if (std::strcmp(name, "action_import_pattern_stop") == 0) return true;
  return g_str_has_prefix(name, "menu_") || g_str_has_prefix(name, "action_3d_view_");
}

std::map<GtkAction *, gboolean> wantedSensitivity;

std::vector<GtkAction *> all_actions() {
  std::vector<GtkAction *> actions;
  if (!uimanager_main) return actions;
  for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next) {
    GList *list = gtk_action_group_list_actions(GTK_ACTION_GROUP(g->data));
    for (GList *a = list; a; a = a->next) actions.push_back(GTK_ACTION(a->data));
    g_list_free(list);
  }
  return actions;
}

// A worker's thread: it takes the job's lock before anything else, holding
// no other lock, and keeps it until it returns. Its start action may still
// hold the job as the thread begins: the worker waits for that access to
// end, so the job is never in two hands.
gpointer run_worker(gpointer data) {
  StageWork *work = static_cast<StageWork *>(data);
  std::lock_guard<std::recursive_mutex> hold(shared.mutex);
  return work->run(work);
}

// Hands the job, which the caller holds, to a new worker running function
// on work. From here until the end callback every other access is refused.
bool start_worker(JobAccess &access, const char *name, GThreadFunc function,
                  std::unique_ptr<StageWork> work) {
  g_assert(access && !worker);
  stopRequested = false;
  work->job = &*access;
  work->run = function;
  shared.heldByWorker = true;
  currentWork = work.get();
  GError *error = nullptr;
  worker = g_thread_try_new(name, run_worker, work.get(), &error);
  if (!worker) {
    shared.heldByWorker = false;
    Message(MESSAGE_ERROR, "%s\n", error ? error->message : "can not start a thread");
    g_clear_error(&error);
    currentWork = nullptr;
    return false;
  }
  // The thread owns the work now; its end callback takes it back.
  work.release();
  update_job_sensitivity();
  return true;
}

// The end callbacks' first step: the worker has returned or is about to.
// Once it is joined the job is the main thread's again.
std::unique_ptr<StageWork> finish_worker(gpointer data) {
  if (worker) {
    g_thread_join(worker);
    worker = nullptr;
    // Only tried, as everywhere but in the worker: this thread holds the GUI
    // lock, which the worker takes inside the job's. The worker is joined,
    // so the lock is free (or already this thread's).
    std::unique_lock<std::recursive_mutex> hold(shared.mutex, std::try_to_lock);
    g_assert(hold.owns_lock());
    shared.heldByWorker = false;
  }
  currentWork = nullptr;
  update_job_sensitivity();
  return std::unique_ptr<StageWork>(static_cast<StageWork *>(data));
}

void seed_hint(const Job &job) {
  if (!programOptions.haveSeed)
    Message(MESSAGE_HINT, "random seed %llu (start pulvina with --seed %llu to repeat this run)\n",
            static_cast<unsigned long long>(job.settings.seed),
            static_cast<unsigned long long>(job.settings.seed));
}

}  // namespace

// -------------------------------------------------------------- locking

JobAccess::JobAccess() {
  std::unique_lock<std::recursive_mutex> lock(shared.mutex, std::try_to_lock);
  // Not granted: a worker holds the job and its lock. Granted but flagged:
  // the worker's own thread (the toolkit runs handlers there as the worker
  // moves a list's cursor), or the main thread between the start action and
  // the end callback.
  if (!lock.owns_lock() || shared.heldByWorker) return;
  lock_ = std::move(lock);
  job_ = &shared.job;
}

Job &JobAccess::operator*() const {
  g_assert(job_ != nullptr);
  return *job_;
}

void init_mutex_running_flag() {
  g_assert(mutex_running_flag == NULL);
  runningFlagStorage.emplace();
  mutex_running_flag = &*runningFlagStorage;
}

void init_mutex_out_data() {
  g_assert(mutex_out_data == NULL);
  outDataStorage.emplace();
  mutex_out_data = &*outDataStorage;
}

void free_mutexes() {
  mutex_running_flag = mutex_out_data = nullptr;
  runningFlagStorage.reset();
  outDataStorage.reset();
}

int get_running_flag(const int *flag) {
  if (!mutex_running_flag) return 0;
  std::lock_guard<std::mutex> hold(*mutex_running_flag);
  return *flag;
}

void set_running_flag(int *flag, int value) {
  if (!mutex_running_flag) return;
  std::lock_guard<std::mutex> hold(*mutex_running_flag);
  *flag = value;
}

void init_opt_out_data(OptOutData *out) {
  bool memory = true;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    try {
      out->historyCapacity = kHistoryCapacity;
      out->historyHead = out->historyCount = 0;
      out->history.assign(kHistoryCapacity, FactorPoint{});
      out->bestChunks = 1;
      out->bestCount = 0;
      out->best.assign(kBestChunk, FactorPoint{});
    } catch (const std::bad_alloc &) {
      memory = false;
    }
    if (memory) {
      out->redrawFlags = 0;
      out->lastBestFactor = 0;
      FreeHKLList(&out->hklList);
      FreeCrystal(&out->crystal);
      InitializeCrystal(&out->crystal);
      CopyText(out->currentRowPath, sizeof out->currentRowPath, "0");
      out->progressPercent = 0;
      out->shownIndex = -1;
      out->rows.clear();
    }
  }
  // Outside the mutex: the log takes the GUI lock.
  if (!memory) Message(MESSAGE_ERROR, "plot memory error!\n");
}

void free_opt_out_data(OptOutData *out) {
  if (!mutex_out_data) return;
  std::lock_guard<std::mutex> hold(*mutex_out_data);
  std::vector<FactorPoint>().swap(out->history);
  std::vector<FactorPoint>().swap(out->best);
  out->historyCount = out->historyHead = out->bestCount = 0;
  out->bestChunks = 1;
  FreeHKLList(&out->hklList);
  FreeCrystal(&out->crystal);
  InitializeCrystal(&out->crystal);
  out->rows.clear();
  out->shownIndex = -1;
}

bool job_worker_running() { return worker != nullptr; }

void set_action_sensitive(GtkAction *action, gboolean sensitive) {
  wantedSensitivity[action] = sensitive;
  gtk_action_set_sensitive(action, sensitive && (!worker || allowed_while_busy(action)));
}

void update_job_sensitivity() {
  const bool busy = worker != nullptr;
  for (GtkAction *a : all_actions()) {
    auto found = wantedSensitivity.find(a);
    if (found == wantedSensitivity.end())
      found = wantedSensitivity.emplace(a, gtk_action_get_sensitive(a)).first;
    gtk_action_set_sensitive(a, found->second && (!busy || allowed_while_busy(a)));
  }
  if (notebook_epc) gtk_widget_set_sensitive(notebook_epc, !busy);
  if (notebook_statistic) gtk_widget_set_sensitive(notebook_statistic, !busy);
}

void forget_action_sensitivity() { wantedSensitivity.clear(); }

bool stop_and_join_workers(double timeoutSeconds) {
  if (!worker) return true;
  set_running_flag(&statistic_running, 0);
  set_running_flag(&solve_running, 0);
  set_running_flag(&bond_length_checking, 0);
  stopRequested = true;
  GTimer *timer = g_timer_new();
  {
    // The worker takes the GUI lock for its rows and its end callback runs
    // on this loop: let go of it while waiting.
    GuiLockReleased released;
    while (worker && g_timer_elapsed(timer, nullptr) < timeoutSeconds) {
      if (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
      else
        g_usleep(2000);
    }
  }
  g_timer_destroy(timer);
  return worker == nullptr;
}

// ------------------------------------------------------ model generation

namespace {

gpointer generate_models(gpointer data) {
  StageWork *work = static_cast<StageWork *>(data);
  Job &job = *work->job;
  GTimer *timer = g_timer_new();
  Message(MESSAGE_PLAIN, "================Model Generation===============\n\n");
  set_label(lbl_epc_splash_info, false, "enumerating Wyckoff-position combinations...");
  work->ok = GenerateJobModels(&job, &stopRequested, [](int phase, long count) {
    if (phase == 1) {
      set_label(lbl_epc_splash_info, true,
                "<b>%ld</b> possible epc has been found, \ncreating models for these "
                "combinations...",
                count);
    } else {
      Message(MESSAGE_PLAIN, "%ld models has been created, ", count);
      set_label(lbl_epc_splash_info, true,
                "<b>%ld</b> models has been created.\ninitializing model values...", count);
    }
  });
  if (work->ok) {
    EvaluateModels(&job, AllModels(&job), nullptr, &stopRequested);
    g_timer_stop(timer);
    Message(MESSAGE_PLAIN, "use time %fs\n", g_timer_elapsed(timer, nullptr));
    // The batch solver's road: models that cannot keep the bond minima go
    // before anything lists them (the kernel logs the counts). A model's
    // first figures do not depend on its company, so evaluating first
    // changes nothing.
    PruneJobModels(&job, &stopRequested);
  }
  g_timer_destroy(timer);
  end_worker(
      [](gpointer d) -> gboolean {
        std::unique_ptr<StageWork> w(finish_worker(d));
        gtk_label_set_markup(GTK_LABEL(lbl_epc_splash_info), "Listing models, please wait...");
        set_model_list();
        model_factors_serial->count = model_factors_active_serial->count = 0;
        try {
          const size_t count = JobAccess()->models.models.size();
          model_factors_serial->points.assign(count, GtkPlotPoint{});
          model_factors_active_serial->points.assign(count, GtkPlotPoint{});
        } catch (const std::bad_alloc &) {
          Message(MESSAGE_ERROR, "plot memory error!\n");
        }
        gdk_threads_add_timeout(0, update_model_factors_plot, nullptr);
        gtk_widget_hide(window_epc_splash);
        const gint made = gtk_tree_model_iter_n_children(GTK_TREE_MODEL(ls_models), nullptr);
        set_status_stage(w->ok ? std::to_string(made) + " models generated"
                               : "Model generation failed");
        if (w->ok)
          Message(MESSAGE_PLAIN,
                  "\n================Model Generation Finished!===============\n");
        return FALSE;
      },
      10, work);
  return nullptr;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void on_btn_generate_models_clicked(GtkButton *, gpointer) {
  JobAccess access;
  if (!access) return;
  // The models come from the job's values, which marked entries do not show.
  revert_all_marked_entries();
  gtk_action_activate(action_set_formular);
  gtk_action_activate(action_set_sg);
  if (!file_title_validity) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Wrong title.\nPlease input correct title information!");
    return;
  }
  if (!file_formular_validity) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Wrong formula.\nPlease enter a correct formula.");
    return;
  }
  if (!file_sg_validity) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Wrong space group.\nPlease input correct space group information!");
    return;
  }
  set_action_sensitive(action_epc_page, TRUE);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 1);
  // Generation frees every model: no list may keep pointing at them.
  gtk_list_store_clear(ls_models);
  gtk_list_store_clear(ls_opt_models);
  gtk_list_store_clear(ls_choose_models);
  currentModel = nullptr;
  gtk_label_set_text(GTK_LABEL(lbl_epc_splash_info), "generating models...");
  gtk_widget_show(window_epc_splash);
  if (!start_worker(access, "generate_models", generate_models, std::make_unique<StageWork>()))
    gtk_widget_hide(window_epc_splash);
}

G_MODULE_EXPORT void on_action_generate_models_activate(GtkAction *, gpointer) {
  gtk_button_clicked(GTK_BUTTON(btn_generate_models));
}

}  // extern "C"

// ---------------------------------------------------------- model states

namespace {

gpointer set_model_states(gpointer data) {
  Job &job = *static_cast<StageWork *>(data)->job;
  EvaluateModels(&job, AllModels(&job), nullptr, &stopRequested);
  end_worker(
      [](gpointer d) -> gboolean {
        std::unique_ptr<StageWork> w(finish_worker(d));
        set_model_list();
        gdk_threads_add_timeout(0, update_peaks_plot, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
        gdk_threads_add_timeout(0, update_model_factors_plot, nullptr);
        set_opt_model_list(model_state);
        gtk_label_set_markup(GTK_LABEL(lbl_states_splash_info), "Model states has been updated!");
        gtk_widget_hide(window_states_splash);
        return FALSE;
      },
      10, data);
  return nullptr;
}

}  // namespace

extern "C" G_MODULE_EXPORT void on_action_update_model_states_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  gtk_label_set_markup(GTK_LABEL(lbl_states_splash_info),
                       "Parameters has been changed!\nUpdating model states...");
  gtk_widget_show(window_states_splash);
  // The lists show models whose figures are about to change.
  if (!start_worker(access, "set_model_states", set_model_states, std::make_unique<StageWork>()))
    gtk_widget_hide(window_states_splash);
}

// ------------------------------------------------------- statistic test

namespace {

void output_statistic(StageWork *work, const ModelReport &r) {
  switch (r.event) {
    case REPORT_MODEL_STARTED: {
      gdk_threads_enter();
      work->show(r.index, true);
      gdk_threads_leave();
      work->set_icon(r.index, COL_STATE, GTK_STOCK_GO_FORWARD);
      std::lock_guard<std::mutex> hold(*mutex_out_data);
      statisticRunning.insert(r.index);
      statisticShown = static_cast<long>(*statisticRunning.begin());
      break;
    }
    case REPORT_STATISTIC_PROGRESS: {
      std::lock_guard<std::mutex> hold(*mutex_out_data);
      if (static_cast<long>(r.index) == statisticShown) {
        stOutData = *r.statistic;
        statisticNumber = r.statistic->model ? r.statistic->model->modelNumber : 0;
      }
      break;
    }
    case REPORT_OPTIMIZATION_PROGRESS:
    case REPORT_ROUND_FINISHED:
      break;
    case REPORT_MODEL_FINISHED: {
      const CrystalModel *m = r.model;
      const Config &config = work->job->config;
      const long trials = config.autoStCircles
                              ? static_cast<long>(StatisticTestAutoTrails(m))
                              : static_cast<long>(std::max(config.statisticCircles, 0));
      const size_t done = ++work->finished;
      gdk_threads_enter();
      GtkTreeIter row;
      if (work->row(r.index, &row))
        gtk_list_store_set(ls_models, &row, COL_RMIN, m->Rmin, COL_RAVG, m->Ravg, COL_RSD, m->Rsd,
                           COL_FOM, m->FOM, COL_STATE, GTK_STOCK_APPLY, -1);
      gdk_threads_leave();
      set_label(lbl_statistic_splash_info, false, "Model #%d: 100%% [::::::::::::::::::::] %ld/%ld",
                m->modelNumber, trials, trials);
      char text[32];
      const double fraction = r.total ? static_cast<double>(done) / r.total : 0.0;
      std::snprintf(text, sizeof text, "%.0f%%", fraction * 100);
      set_progress(progress_statistic, fraction, text);
      std::lock_guard<std::mutex> hold(*mutex_out_data);
      statisticRunning.erase(r.index);
      statisticShown =
          statisticRunning.empty() ? -1 : static_cast<long>(*statisticRunning.begin());
      break;
    }
  }
}

gpointer statistic_test(gpointer data) {
  StageWork *work = static_cast<StageWork *>(data);
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    stOutData = StatisticProgress();
    stOutData.total = 1;
    statisticRunning.clear();
    statisticShown = -1;
    statisticNumber = 0;
  }
  StatisticTestModels(work->job, work->models,
                      [work](const ModelReport &r) { output_statistic(work, r); },
                      &stopRequested);
  end_worker(
      [](gpointer d) -> gboolean {
        std::unique_ptr<StageWork> w(finish_worker(d));
        set_action_sensitive(action_statistic_test_stop, FALSE);
        set_status_stage(get_running_flag(&statistic_running) ? "Statistic test finished"
                                                              : "Statistic test stopped");
        if (!get_running_flag(&statistic_running)) {
          gtk_label_set_text(GTK_LABEL(lbl_statistic_splash_info), "statistic test stopped!\n");
          gtk_widget_hide(window_statistic_splash);
          Message(MESSAGE_HINT, "Statistic Analysis Stopped!\n");
        } else {
          set_running_flag(&statistic_running, 0);
          GtkTreePath *first = gtk_tree_path_new_first();
          gtk_tree_view_set_cursor(GTK_TREE_VIEW(treeview_models), first, nullptr, FALSE);
          gtk_tree_path_free(first);
          gtk_widget_hide(window_statistic_splash);
          gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic), 4);
          Message(MESSAGE_PLAIN,
                  "\n================Statistic Analysis Finished===============\n\n");
        }
        gdk_threads_add_timeout(0, update_model_factors_plot, nullptr);
        return FALSE;
      },
      100, work);
  return nullptr;
}

}  // namespace

gboolean update_statistic_progress(gpointer) {
  // Timers may outlive the windows by one tick.
  if (!mutex_out_data) return FALSE;
  StatisticProgress progress;
  int number = 0;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    progress = stOutData;
    number = statisticNumber;
  }
  const double fraction = progress.total ? static_cast<double>(progress.done) / progress.total : 0;
  char bar[21];
  const int n = std::min(20, std::max(0, static_cast<int>(fraction * 20)));
  for (int i = 0; i < 20; ++i) bar[i] = i < n ? ':' : ' ';
  bar[20] = '\0';
  if (get_running_flag(&statistic_running) && progress.model) {
    char stage[96];
    std::snprintf(stage, sizeof stage, "Statistic test: model #%d, %.0f%%", number,
                  fraction * 100);
    set_status_stage(stage);
  }
  if (!progress.model)
    gtk_label_set_markup(GTK_LABEL(lbl_statistic_splash_info), "Initializing...");
  else
    set_label(lbl_statistic_splash_info, true, "Model #%d: %3.0f%% [%s] %ld/%ld", number,
              fraction * 100, bar, static_cast<long>(progress.done),
              static_cast<long>(progress.total));
  return get_running_flag(&statistic_running) ? TRUE : FALSE;
}

extern "C" {

G_MODULE_EXPORT void on_action_statistic_test_start_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  if (!file_peak_file_validity) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Invalid peak file!\nPlease open a valid peak file!\n");
    return;
  }
  gtk_label_set_text(GTK_LABEL(lbl_statistic_splash_info), "");
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_statistic), 0);
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_statistic), "0%");
  gtk_widget_show(window_statistic_splash);
  Message(MESSAGE_PLAIN, "\n================Statistic Analysing===============\n\n");
  seed_hint(*access);
  auto work = std::make_unique<StageWork>();
  work->take_rows(treeview_models);
  // Set before the thread starts, so that the progress timer never sees a
  // run that has not begun as one that ended.
  set_running_flag(&statistic_running, 1);
  set_action_sensitive(action_statistic_test_stop, TRUE);
  if (!start_worker(access, "statistic_test", statistic_test, std::move(work))) {
    set_running_flag(&statistic_running, 0);
    set_action_sensitive(action_statistic_test_stop, FALSE);
    gtk_widget_hide(window_statistic_splash);
    return;
  }
  gdk_threads_add_timeout(100, update_statistic_progress, nullptr);
}

G_MODULE_EXPORT void on_action_statistic_test_stop_activate(GtkAction *, gpointer) {
  set_running_flag(&statistic_running, 0);
  stopRequested = true;
  gtk_label_set_text(GTK_LABEL(lbl_statistic_splash_info), "Statistic test stopping...");
}

}  // extern "C"

// ---------------------------------------------------- structure solving

namespace {

// A model of the list becomes the one the plots follow. Under
// mutex_out_data, on the thread that solves it (it reads the model).
void follow_model(size_t index, CrystalModel *model, const double *values) {
  OptOutData &o = optOutData;
  o.shownIndex = static_cast<long>(index);
  o.lastBestFactor = model->Rmin;
  o.historyCount = o.historyHead = o.bestCount = 0;
  o.redrawFlags = 0;
  UpdateCrystalByModel(&o.crystal, model, values, 1);
  std::snprintf(o.currentRowPath, sizeof o.currentRowPath, "%zu", index);
  o.progressPercent = 0;
}

// A model that has searched (its round or all of it) runs no more; the
// plots keep it until the next one reports.
void stop_showing_row(OptOutData *o, size_t i) {
  std::lock_guard<std::mutex> hold(*mutex_out_data);
  if (i < o->rows.size()) {
    o->rows[i].running = false;
    o->rows[i].changed = false;
  }
  if (static_cast<long>(i) == o->shownIndex) o->shownIndex = -1;
}

void output_opt(StageWork *work, const ModelReport &r) {
  OptOutData &o = optOutData;
  const size_t i = r.index;
  switch (r.event) {
    case REPORT_MODEL_STARTED: {
      work->set_icon(i, COL_STATE, GTK_STOCK_GO_FORWARD);
      bool followed = false;
      {
        std::lock_guard<std::mutex> hold(*mutex_out_data);
        if (i < o.rows.size()) {
          o.rows[i].running = true;
          o.rows[i].changed = true;
          o.rows[i].percent = 0;
          o.rows[i].lastBestFactor = r.model->Rmin;
        }
        if (o.shownIndex < 0 || static_cast<long>(i) < o.shownIndex) {
          follow_model(i, r.model, nullptr);
          followed = true;
        }
      }
      if (followed) {
        gdk_threads_enter();
        work->show(i, true);
        gdk_threads_add_timeout(0, update_crystal_3d_view, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
        gdk_threads_add_timeout(0, update_peaks_plot, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
        gdk_threads_leave();
      }
      break;
    }
    case REPORT_STATISTIC_PROGRESS:
      break;
    case REPORT_OPTIMIZATION_PROGRESS: {
      const OptimizationProgress &p = *r.optimization;
      const int percent =
          p.total > 0 ? std::min(99, static_cast<int>(p.count * 100.0 / p.total)) : 0;
      bool outOfMemory = false;
      {
        std::lock_guard<std::mutex> hold(*mutex_out_data);
        if (i < o.rows.size()) {
          RowProgress &row = o.rows[i];
          row.percent = percent;
          if (p.newRunBest) row.lastBestFactor = p.factor;
          row.changed = true;
        }
        // A model that takes over the plots from one that finished shows
        // itself from its next report on, read on its own thread.
        if (o.shownIndex < 0 && lowest_running(o.rows) == static_cast<long>(i))
          follow_model(i, r.model, p.values);
        if (static_cast<long>(i) == o.shownIndex) {
          if (o.historyCount == o.historyCapacity) {
            o.history[o.historyHead] = {p.count, p.factor};
            o.historyHead = (o.historyHead + 1) % o.historyCapacity;
          } else {
            o.history[o.historyCount++] = {p.count, p.factor};
          }
          o.progressPercent = percent;
          if (p.newRunBest) {
            try {
              if (o.bestCount >= o.bestChunks * kBestChunk) {
                o.best.resize(static_cast<size_t>(o.bestChunks + 1) * kBestChunk);
                ++o.bestChunks;
              }
              o.best[o.bestCount++] = {p.count, p.factor};
              o.lastBestFactor = p.factor;
            } catch (const std::bad_alloc &) {
              outOfMemory = true;
            }
          }
          if (p.newBest && !outOfMemory) {
            UpdateCrystalByModel(&o.crystal, p.model, p.values, 0);
            CalculateIntensity(&o.hklList, &o.crystal, work->job->config.radiation);
            o.redrawFlags |= REDRAW_PEAKS | REDRAW_3D_VIEW | REDRAW_BEST_FACTOR;
          }
        }
      }
      if (outOfMemory) {
        Message(MESSAGE_ERROR, "writing running results, not enough memory!\n");
        set_running_flag(&solve_running, 0);
        stopRequested = true;
      }
      break;
    }
    case REPORT_ROUND_FINISHED: {
      // A racing model has searched its round: it waits, paused, with its
      // figures so far, until the race takes it on or leaves it behind.
      gdk_threads_enter();
      GtkTreeIter row;
      if (work->row(i, &row))
        gtk_list_store_set(ls_opt_models, &row, COL_RMIN, r.model->Rmin, COL_STATE,
                           GTK_STOCK_MEDIA_PAUSE, COL_OPT_PROGRESS, 100, -1);
      gdk_threads_leave();
      stop_showing_row(&o, i);
      break;
    }
    case REPORT_MODEL_FINISHED: {
      CrystalModel *m = r.model;
      const bool finished = r.run && r.run->finished;
      if (finished) {
        gdk_threads_enter();
        const bool cif = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_auto_cif));
        const bool hkl = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_auto_hkl));
        gdk_threads_leave();
        const std::string stem = output_stem(*work->job, m->modelNumber);
        const std::string cifPath = cif ? JoinPath(work->cifFolder, stem + ".cif") : std::string();
        const std::string hklPath = hkl ? JoinPath(work->hklFolder, stem + ".hkl") : std::string();
        if ((cif || hkl) && !WriteModelOutputs(work->job, m, cifPath, hklPath)) ++work->unwritten;
        const size_t done = ++work->finished;
        const size_t total = r.total;
        char text[64];
        std::snprintf(text, sizeof text, "%.0f%% (%ld/%ld)",
                      total ? done * 100.0 / total : 0.0, static_cast<long>(done),
                      static_cast<long>(total));
        set_progress(progress_solve, total ? static_cast<double>(done) / total : 0, text);
      }
      // Before the GUI lock: a fit on a long pattern takes a moment.
      const std::string profile = finished ? profile_rwp_text(*work->job, m) : std::string();
      gdk_threads_enter();
      GtkTreeIter row;
      if (work->row(i, &row)) {
        // A model left behind in a race is greyed: it was not searched to
        // the end.
        if (finished)
          gtk_list_store_set(ls_opt_models, &row, COL_RMIN, m->Rmin, COL_STATE, GTK_STOCK_APPLY,
                             COL_OPT_PROGRESS, 100, COL_OPT_COLOUR,
                             r.run->dropped ? "#808080" : "#0000FF", COL_OPT_PENALTY,
                             m->bondPenalty, COL_OPT_PROFILE, profile.c_str(), -1);
        else
          gtk_list_store_set(ls_opt_models, &row, COL_STATE, GTK_STOCK_MEDIA_STOP, -1);
      }
      if (finished) {
        gdk_threads_add_timeout(0, update_factor_plots, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
        gdk_threads_add_timeout(0, update_crystal_3d_view, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
        gdk_threads_add_timeout(0, update_peaks_plot, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
      }
      gdk_threads_leave();
      stop_showing_row(&o, i);
      break;
    }
  }
}

gpointer solve_structures(gpointer data) {
  StageWork *work = static_cast<StageWork *>(data);
  const bool refining = work->refining;
  const StageSettings settings = refining ? RefinementSettings(work->job->config)
                                          : OptimizationSettings(work->job->config);
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    CopyText(optOutData.currentRowPath, sizeof optOutData.currentRowPath, "0");
  }
  SolveModels(work->job, work->models, settings, refining ? STAGE_REFINEMENT : STAGE_OPTIMIZATION,
              [work](const ModelReport &r) { output_opt(work, r); }, &stopRequested);
  end_worker(
      [](gpointer d) -> gboolean {
        std::unique_ptr<StageWork> w(finish_worker(d));
        set_action_sensitive(action_solve_structures_stop, FALSE);
        set_status_stage(get_running_flag(&solve_running) ? "Solving finished" : "Solving stopped");
        if (w->unwritten > 0)
          Message(MESSAGE_ERROR, "The files of %zu solved models could not be written (see above).\n",
                  w->unwritten.load());
        if (!get_running_flag(&solve_running)) {
          Message(MESSAGE_HINT, "Structure solving stopped!\n");
        } else {
          set_running_flag(&solve_running, 0);
          Message(MESSAGE_PLAIN, "Structure solving finished!\n");
          gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 4);
        }
        gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_solve_state), 0);
        job_end_color_count = 0;
        gdk_threads_add_timeout(500, show_job_end_information, nullptr);
        return FALSE;
      },
      10, work);
  return nullptr;
}

}  // namespace

gboolean update_solve_progress(gpointer) {
  // Timers may outlive the windows by one tick.
  if (!mutex_out_data) return FALSE;
  struct Change {
    size_t index;
    int percent;
    double best;
  };
  std::vector<Change> changes;
  size_t running = 0, models = 0;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    models = optOutData.rows.size();
    for (size_t i = 0; i < optOutData.rows.size(); ++i) {
      RowProgress &row = optOutData.rows[i];
      if (row.running) ++running;
      if (!row.running || !row.changed) continue;
      row.changed = false;
      changes.push_back({i, row.percent, row.lastBestFactor});
    }
  }
  for (const Change &c : changes) {
    GtkTreeIter row;
    if (currentWork && currentWork->row(c.index, &row))
      gtk_list_store_set(ls_opt_models, &row, COL_RMIN, c.best, COL_OPT_PROGRESS, c.percent,
                         COL_OPT_COLOUR, "#FF0000", -1);
  }
  if (get_running_flag(&solve_running)) {
    char stage[96];
    std::snprintf(stage, sizeof stage, "Solving: %zu of %zu models running", running, models);
    set_status_stage(stage);
  }
  return get_running_flag(&solve_running) ? TRUE : FALSE;
}

gboolean update_factor_plots(gpointer data) {
  const int mode = GPOINTER_TO_INT(data);
  if (!mutex_out_data || !factor_serial || !best_factor_serial) return FALSE;
  bool bestChanged = mode != DISPLAY_FOLLOW;
  bool memory = true;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    const OptOutData &o = optOutData;
    if (mode != DISPLAY_REDRAW) {
      factor_serial->points.resize(kHistoryCapacity);
      const uint32_t n = std::min(o.historyCount, o.historyCapacity);
      for (uint32_t k = 0; k < n; ++k) {
        const FactorPoint &p = o.history[(o.historyHead + k) % o.historyCapacity];
        factor_serial->points[k].x = p.step;
        factor_serial->points[k].y = p.factor;
      }
      factor_serial->count = n;
      if (mode == DISPLAY_FOLLOW && (o.redrawFlags & REDRAW_BEST_FACTOR)) {
        bestChanged = true;
        optOutData.redrawFlags &= ~REDRAW_BEST_FACTOR;
      }
      if (bestChanged) {
        if (o.bestChunks > best_factor_view_count ||
            best_factor_serial->points.size() < static_cast<size_t>(o.bestChunks) * kBestChunk) {
          try {
            best_factor_serial->points.resize(static_cast<size_t>(o.bestChunks) * kBestChunk);
            best_factor_view_count = std::max(best_factor_view_count, o.bestChunks);
          } catch (const std::bad_alloc &) {
            memory = false;
          }
        }
        if (memory) {
          for (uint32_t k = 0; k < o.bestCount; ++k) {
            best_factor_serial->points[k].x = o.best[k].step;
            best_factor_serial->points[k].y = o.best[k].factor;
          }
          best_factor_serial->count = o.bestCount;
        }
      }
    }
  }
  if (!memory) {
    Message(MESSAGE_ERROR, "ploting data, memory error!\n");
    return mode == DISPLAY_FOLLOW ? get_running_flag(&solve_running) : FALSE;
  }
  gtk_plot_update(factor_plot);
  if (bestChanged) gtk_plot_update(best_factor_plot);
  return mode == DISPLAY_FOLLOW ? get_running_flag(&solve_running) : FALSE;
}

gboolean update_crystal_3d_view(gpointer data) {
  const int mode = GPOINTER_TO_INT(data);
  if (!mutex_out_data || !crystal_3d_view) return FALSE;
  bool redraw = mode != DISPLAY_FOLLOW;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    if (mode == DISPLAY_FOLLOW && (optOutData.redrawFlags & REDRAW_3D_VIEW)) {
      redraw = true;
      optOutData.redrawFlags &= ~REDRAW_3D_VIEW;
    }
    if (redraw && mode != DISPLAY_REDRAW)
      gtk_crystal_3d_view_set_crystal(crystal_3d_view, &optOutData.crystal);
  }
  if (redraw) {
    gtk_crystal_3d_view_update(crystal_3d_view);
    if (mode != DISPLAY_REDRAW) update_3d_view_legend();
  }
  return mode == DISPLAY_FOLLOW ? get_running_flag(&solve_running) : FALSE;
}

gboolean update_peaks_plot(gpointer data) {
  const int mode = GPOINTER_TO_INT(data);
  if (!mutex_out_data || !peaks_plot) return FALSE;
  bool redraw = mode != DISPLAY_FOLLOW;
  {
    // The job may be a worker's now: the display keeps the radiation its
    // reflections are for.
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    if (mode == DISPLAY_FOLLOW && (optOutData.redrawFlags & REDRAW_PEAKS)) {
      redraw = true;
      optOutData.redrawFlags &= ~REDRAW_PEAKS;
    }
    if (redraw && mode == DISPLAY_RECOMPUTE && !optOutData.hklList.items.empty() &&
        !optOutData.crystal.cellAtoms.empty())
      CalculateIntensity(&optOutData.hklList, &optOutData.crystal, optOutData.radiation);
    if (redraw && mode != DISPLAY_REDRAW)
      update_peaks_serials(&optOutData.hklList, obs_peak_serial, calc_peak_serial);
  }
  if (redraw) gtk_plot_update(peaks_plot);
  return mode == DISPLAY_FOLLOW ? get_running_flag(&solve_running) : FALSE;
}

gboolean show_job_end_information(gpointer) {
  static const char *const kColours[] = {"#C8C8C8", "#FF00FF", "#00FFFF",
                                         "#FFFFFF", "#FF0000", "#C8C8C8"};
  if (!lbl_job_end_tips) return FALSE;
  if (job_end_color_count > 5) {
    gtk_label_set_markup(GTK_LABEL(lbl_job_end_tips),
                         "<span color='#c8c8c8'>The job can be stopped here, right click on the "
                         "\nmodel list to generate output files.</span>");
    job_end_color_count = 0;
    return FALSE;
  }
  set_label(lbl_job_end_tips, true,
            "<span color='%s'>The job can be stopped here, right click on the \nmodel list to "
            "generate output files.</span>",
            kColours[job_end_color_count]);
  ++job_end_color_count;
  return TRUE;
}

extern "C" {

G_MODULE_EXPORT void on_action_solve_structures_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  if (!file_peak_file_validity) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Invalid peak file!\nPlease open a valid peak file!\n");
    return;
  }
  revert_all_marked_entries();
  // An hour of solving must not end in files that cannot be written.
  const std::pair<GtkWidget *, const char *> outputs[] = {{check_auto_cif, cif_output_folder},
                                                          {check_auto_hkl, hkl_output_folder}};
  for (const auto &o : outputs) {
    if (!gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(o.first))) continue;
    const std::string folder = output_folder(o.second);
    std::string why;
    if (output_folder_writable(folder, &why)) continue;
    Message(MESSAGE_ERROR, "solving, the output folder %s: %s\n", folder.c_str(), why.c_str());
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Cannot write into the output folder %s: %s.\nChoose another folder on the Output "
               "page, or untick writing the files there.",
               folder.c_str(), why.c_str());
    return;
  }
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_solve_state), 1);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_solve), 0);
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_solve), "0%");
  Message(MESSAGE_PLAIN, "Start solving crystal structures...\n");
  seed_hint(*access);
  auto work = std::make_unique<StageWork>();
  work->take_rows(treeview_opt_models);
  work->refining = model_state == 2;
  work->cifFolder = output_folder(cif_output_folder);
  work->hklFolder = output_folder(hkl_output_folder);
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    optOutData.rows.assign(work->models.size(), RowProgress());
    optOutData.shownIndex = -1;
  }
  set_running_flag(&solve_running, 1);
  set_action_sensitive(action_solve_structures_stop, TRUE);
  if (!start_worker(access, "solve_structures", solve_structures, std::move(work))) {
    set_running_flag(&solve_running, 0);
    set_action_sensitive(action_solve_structures_stop, FALSE);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_solve_state), 0);
    return;
  }
  gdk_threads_add_timeout(100, update_factor_plots, GINT_TO_POINTER(DISPLAY_FOLLOW));
  gdk_threads_add_timeout(100, update_crystal_3d_view, GINT_TO_POINTER(DISPLAY_FOLLOW));
  gdk_threads_add_timeout(100, update_peaks_plot, GINT_TO_POINTER(DISPLAY_FOLLOW));
  gdk_threads_add_timeout(100, update_solve_progress, nullptr);
}

G_MODULE_EXPORT void on_action_solve_structures_stop_activate(GtkAction *, gpointer) {
  set_running_flag(&solve_running, 0);
  stopRequested = true;
  Message(MESSAGE_HINT, "Structure solving is stopping...\n");
}

}  // extern "C"

// ------------------------------------------------ bond-length validity

namespace {

gpointer check_bond_length_validity(gpointer data) {
  StageWork *work = static_cast<StageWork *>(data);
  gdk_threads_enter();
  gtk_label_set_text(GTK_LABEL(lbl_validity_splash_info), "Model 1");
  gtk_image_set_from_stock(GTK_IMAGE(image_validity_splash), GTK_STOCK_APPLY, GTK_ICON_SIZE_MENU);
  gtk_widget_show(image_validity_splash);
  gdk_threads_leave();
  Message(MESSAGE_PLAIN, "Bond length checking started...\n");
  CheckModelsBondLengths(
      work->job, work->models, work->tolerancePercent,
      [work](const ModelReport &r) {
        if (r.event == REPORT_MODEL_STARTED) {
          work->set_icon(r.index, COL_VALIDITY, GTK_STOCK_REFRESH);
        } else if (r.event == REPORT_MODEL_FINISHED) {
          const bool valid = (r.model->validity & VALIDITY_BOND_LENGTHS) != 0;
          const size_t done = ++work->finished;
          const double fraction = r.total ? static_cast<double>(done) / r.total : 0;
          char text[32];
          std::snprintf(text, sizeof text, "%.0f%%", fraction * 100);
          set_progress(progress_validity_splash, fraction, text);
          set_label(lbl_validity_splash_info, false, "Mode #%d\t", r.model->modelNumber);
          gdk_threads_enter();
          gtk_image_set_from_stock(GTK_IMAGE(image_validity_splash),
                                   valid ? GTK_STOCK_APPLY : GTK_STOCK_CANCEL,
                                   GTK_ICON_SIZE_MENU);
          work->show(r.index, false);
          GtkTreeIter row;
          if (work->row(r.index, &row))
            gtk_list_store_set(work->store, &row, COL_VALIDITY,
                               valid ? GTK_STOCK_APPLY : GTK_STOCK_CANCEL, -1);
          gdk_threads_leave();
        }
      },
      &stopRequested);
  end_worker(
      [](gpointer d) -> gboolean {
        std::unique_ptr<StageWork> w(finish_worker(d));
        set_action_sensitive(action_bond_length_check_stop, FALSE);
        gtk_widget_hide(image_validity_splash);
        if (!get_running_flag(&bond_length_checking)) {
          gtk_label_set_text(GTK_LABEL(lbl_validity_splash_info),
                             "Bond length checking stopped!\n");
          Message(MESSAGE_PLAIN, "Bond length checking stopped!\n");
        } else {
          set_running_flag(&bond_length_checking, 0);
          GtkTreePath *first = gtk_tree_path_new_first();
          gtk_tree_view_set_cursor(w->view, first, nullptr, FALSE);
          gtk_tree_path_free(first);
          gtk_label_set_markup(GTK_LABEL(lbl_validity_splash_info),
                               "Bond length validity checking finished!");
          Message(MESSAGE_PLAIN, "Bond length checking finished.\n");
        }
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_validity_splash), 0);
        gtk_widget_hide(window_validity_splash);
        return FALSE;
      },
      100, work);
  return nullptr;
}

void start_bond_length_check(GtkWidget *view) {
  JobAccess access;
  if (!access) return;
  auto work = std::make_unique<StageWork>();
  work->take_rows(view);
  work->tolerancePercent = bond_length_tolerance(*access);
  gtk_widget_show(window_validity_splash);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_validity_splash), 0);
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(progress_validity_splash), "0%");
  gtk_label_set_text(GTK_LABEL(lbl_validity_splash_info),
                     "Start checking models bond length validity...");
  gtk_widget_hide(image_validity_splash);
  set_running_flag(&bond_length_checking, 1);
  set_action_sensitive(action_bond_length_check_stop, TRUE);
  if (!start_worker(access, "check_bond_length_validity", check_bond_length_validity,
                    std::move(work))) {
    set_running_flag(&bond_length_checking, 0);
    set_action_sensitive(action_bond_length_check_stop, FALSE);
    gtk_widget_hide(window_validity_splash);
  }
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void on_action_check_models_bl_validity_activate(GtkAction *, gpointer) {
  start_bond_length_check(treeview_models);
}

G_MODULE_EXPORT void on_action_check_opt_models_bl_validity_activate(GtkAction *, gpointer) {
  start_bond_length_check(treeview_opt_models);
}

G_MODULE_EXPORT void on_action_bond_length_check_stop_activate(GtkAction *, gpointer) {
  Message(MESSAGE_PLAIN, "Bond length checking stopping...\n");
  set_running_flag(&bond_length_checking, 0);
  stopRequested = true;
  gtk_label_set_markup(GTK_LABEL(lbl_validity_splash_info), "Bond length checking stopping...");
  gtk_widget_hide(image_validity_splash);
}

}  // extern "C"

// ---------------------------------------------------- fixed coordinates

namespace {

gpointer fixed_coordinates(gpointer data) {
  StageWork *work = static_cast<StageWork *>(data);
  const size_t changed = SetModelsFixedCoordinates(work->job, work->models, work->set);
  gdk_threads_enter();
  GtkTreeModel *model = GTK_TREE_MODEL(work->store);
  GtkTreeIter row;
  for (gboolean more = gtk_tree_model_get_iter_first(model, &row); more;
       more = gtk_tree_model_iter_next(model, &row))
    update_model_view_item(work->view, &row);
  gdk_threads_leave();
  if (work->set)
    Message(MESSAGE_PLAIN, "\nSetting fixed coordinates finished, %ld affected models.\n",
            static_cast<long>(changed));
  else
    Message(MESSAGE_PLAIN, "\nFixed coordinates have been reset, %ld affected models.\n",
            static_cast<long>(changed));
  end_worker(
      [](gpointer d) -> gboolean {
        std::unique_ptr<StageWork> w(finish_worker(d));
        gtk_label_set_markup(GTK_LABEL(lbl_states_splash_info),
                             w->set ? "Fixed coordinates has been set!"
                                    : "Fixed coordinates has been reset!");
        gtk_widget_hide(window_states_splash);
        return FALSE;
      },
      10, work);
  return nullptr;
}

void start_fixed_coordinates(GtkWidget *view, bool set) {
  JobAccess access;
  if (!access) return;
  auto work = std::make_unique<StageWork>();
  work->take_rows(view);
  work->set = set;
  gtk_label_set_markup(GTK_LABEL(lbl_states_splash_info),
                       set ? "Setting fixed coordinates..." : "Resetting fixed coordinates...");
  gtk_widget_show(window_states_splash);
  if (!start_worker(access, set ? "set_fixed_coordinates" : "reset_fixed_coordinates",
                    fixed_coordinates, std::move(work)))
    gtk_widget_hide(window_states_splash);
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void on_action_set_models_fixed_coordinates_activate(GtkAction *, gpointer) {
  start_fixed_coordinates(treeview_models, true);
}

G_MODULE_EXPORT void on_action_set_opt_models_fixed_coordinates_activate(GtkAction *, gpointer) {
  start_fixed_coordinates(treeview_opt_models, true);
}

G_MODULE_EXPORT void on_action_reset_fixed_coordinates_models_activate(GtkAction *, gpointer) {
  start_fixed_coordinates(treeview_models, false);
}

G_MODULE_EXPORT void on_action_reset_fixed_coordinates_opt_models_activate(GtkAction *,
                                                                           gpointer) {
  start_fixed_coordinates(treeview_opt_models, false);
}

// Every model to optimisation, as the statistic page's shortcut does.
G_MODULE_EXPORT void on_action_goto_opt_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  FilterSettings keepAll;
  keepAll.filterType = 2;
  job.filtered = ModelsStatisticFilter(&job.models, keepAll, 0, &job.filteredCount);
  model_state = 1;
  set_opt_model_list(1);
  set_action_sensitive(action_statistic_page, TRUE);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 2);
}

}  // extern "C"

// ------------------------------------------------ measured-pattern import

namespace {

// The fit as the worker's last reports left it, for the timer that shows
// it. Its mutex is a leaf: taken with the GUI lock held or with no lock,
// and nothing else is taken while holding it.
struct ImportLive {
  std::mutex mutex;
  int cycle = 0;
  double Rwp = 0;
  bool fresh = false;  // a state the plot has not shown yet
  LeBailResult state;
};
ImportLive importLive;
// The import under way (main thread, and the worker between its start and
// its end callback, which the join orders).
PatternImportOutcome importOutcome;
PatternImportEnd importEnd = nullptr;
guint importTimer = 0;

GtkAction *import_stop_action() {
  for (GtkAction *a : all_actions())
    if (std::strcmp(gtk_action_get_name(a), "action_import_pattern_stop") == 0) return a;
  return nullptr;
}

// Main thread, GUI lock held: the worker's latest state into the window.
gboolean update_import_progress(gpointer) {
  LeBailResult state;
  int cycle = 0;
  double rwp = 0;
  bool fresh = false;
  {
    std::lock_guard<std::mutex> hold(importLive.mutex);
    cycle = importLive.cycle;
    rwp = importLive.Rwp;
    fresh = importLive.fresh;
    if (fresh) std::swap(state, importLive.state);
    importLive.fresh = false;
  }
  const PatternImportWindow &w = patternImportWindow;
  if (w.progress) {
    char text[64];
    std::snprintf(text, sizeof text, "cycle %d, Rwp %.4f", cycle, rwp);
    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(w.progress));
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(w.progress), text);
  }
  if (fresh && w.plot) show_pattern_fit(w.plot, state);
  return TRUE;
}

gboolean end_pattern_import(gpointer data) {
  std::unique_ptr<StageWork> work(finish_worker(data));
  if (importTimer) g_source_remove(importTimer);
  importTimer = 0;
  // The last state the worker left, then the whole fit.
  update_import_progress(nullptr);
  if (GtkAction *stop = import_stop_action()) set_action_sensitive(stop, FALSE);
  const PatternImportOutcome outcome = std::move(importOutcome);
  importOutcome = PatternImportOutcome();
  if (patternImportWindow.progress)
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(patternImportWindow.progress),
                                  outcome.fitted && !outcome.result.stopped ? 1.0 : 0.0);
  if (outcome.fitted && patternImportWindow.plot)
    show_pattern_fit(patternImportWindow.plot, outcome.result);
  if (importEnd) importEnd(outcome);
  return FALSE;
}

// The worker: it reads the job only; the end callback changes it.
gpointer import_pattern(gpointer data) {
  StageWork *work = static_cast<StageWork *>(data);
  const Job &job = *work->job;
  PatternImportOutcome &out = importOutcome;
  MeasuredPattern pattern;
  if (ReadMeasuredPattern(out.pattern, &pattern, &out.error)) {
    Message(MESSAGE_PLAIN, "%zu points read (%s), %g to %g degrees.\n", pattern.x.size(),
            pattern.format.c_str(), pattern.x.front(), pattern.x.back());
    LeBailSettings settings;
    settings.snapshot = [](const LeBailResult &state) {
      std::lock_guard<std::mutex> hold(importLive.mutex);
      importLive.state = state;
      importLive.fresh = true;
    };
    out.fitted = ExtractIntensities(
        job, pattern, settings,
        [](int cycle, double rwp) {
          std::lock_guard<std::mutex> hold(importLive.mutex);
          importLive.cycle = cycle;
          importLive.Rwp = rwp;
        },
        &stopRequested, &out.result, &out.error);
  }
  work->ok = out.fitted && !out.result.stopped;
  end_worker(end_pattern_import, 50, work);
  return nullptr;
}

}  // namespace

bool start_pattern_import(JobAccess &access, const std::string &pattern, PatternImportEnd end) {
  importOutcome = PatternImportOutcome();
  importOutcome.pattern = pattern;
  importEnd = end;
  {
    std::lock_guard<std::mutex> hold(importLive.mutex);
    importLive.cycle = 0;
    importLive.Rwp = 0;
    importLive.fresh = false;
    importLive.state = LeBailResult();
  }
  GtkAction *stop = import_stop_action();
  if (stop) set_action_sensitive(stop, TRUE);
  if (!start_worker(access, "import_pattern", import_pattern, std::make_unique<StageWork>())) {
    if (stop) set_action_sensitive(stop, FALSE);
    return false;
  }
  importTimer = gdk_threads_add_timeout(200, update_import_progress, nullptr);
  return true;
}

extern "C" G_MODULE_EXPORT void on_action_import_pattern_stop_activate(GtkAction *, gpointer) {
  if (!importTimer) return;
  Message(MESSAGE_PLAIN, "Pattern import stopping...\n");
  importOutcome.stopAsked = true;
  stopRequested = true;
  if (patternImportWindow.info)
    gtk_label_set_text(GTK_LABEL(patternImportWindow.info), "Stopping the fit...");
}
