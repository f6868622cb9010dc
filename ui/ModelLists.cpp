// SPDX-License-Identifier: BSD-3-Clause
// The model list and the optimisation list as the background jobs fill
// and update them, and the plots that show models.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "ModelPages.h"
#include "profilecheck.h"

namespace {

enum ModelColumn {
  COL_MODEL = 0,
  COL_NUMBER,
  COL_EPC,
  COL_FREE,
  COL_RMIN,
  COL_RAVG,
  COL_RSD,
  COL_FOM,
  COL_STATE,
  COL_VALIDITY,
  COL_FREE_COLOUR,
  COL_OPT_PROGRESS,
  COL_OPT_COLOUR,
  COL_OPT_PENALTY,  // the list of solved models only
  COL_OPT_PROFILE   // the same: Rwp on the measured profile, or a dash
};
// Only the model list has it, after its colour.
constexpr int COL_EQUIVALENTS = COL_FREE_COLOUR + 1;

// Shown for a model without a profile check: no measured pattern, or a
// fit that failed.
constexpr const char *kNoProfile = "\xe2\x80\x94";

// The Le Bail fit of the job's measured pattern; none until one is stored.
// Read by the workers as they finish models, so shared atomically.
std::shared_ptr<const LeBailResult> profileExtraction;

// The profile plot of the current model: observed points, calculated line,
// and their difference below them.
GtkPlot *profilePlot = nullptr;
GtkPlotSerial *profileObserved = nullptr, *profileCalculated = nullptr,
              *profileDifference = nullptr;

GtkPlotSerial *profile_serial(const char *name, int type, guint32 colour) {
  GtkPlotSerial *serial = gtk_plot_serial_new();
  if (!serial) return nullptr;
  CopyText(serial->name, sizeof serial->name, name);
  serial->type = type;
  serial->lineStyle.color = colour;
  serial->lineStyle.width = 1.0;
  serial->symbolStyle.color = colour;
  serial->symbolStyle.size = 3;
  serial->symbolStyle.fill = 0;
  serial->count = 0;
  gtk_plot_add_serial(profilePlot, serial);
  return serial;
}

void forget_profile_plot(GtkWidget *, gpointer) {
  profilePlot = nullptr;
  profileObserved = profileCalculated = profileDifference = nullptr;
}

gboolean redraw_profile_plot(gpointer) {
  gdk_threads_enter();
  if (profilePlot) gtk_plot_update(profilePlot);
  gdk_threads_leave();
  return FALSE;
}

// The current model's fit into the plot's series; empty series without a
// pattern or a fit.
void update_profile_plot(const Job &job, const CrystalModel *model) {
  if (!profilePlot || !profileObserved || !profileCalculated || !profileDifference) return;
  for (GtkPlotSerial *s : {profileObserved, profileCalculated, profileDifference}) {
    s->points.clear();
    s->count = 0;
  }
  const std::shared_ptr<const LeBailResult> extraction = std::atomic_load(&profileExtraction);
  ProfileCheck check;
  std::string error;
  if (extraction && model && CheckJobModelOnProfile(job, model, *extraction, &check, &error)) {
    const LeBailResult &fit = check.fit;
    double low = 0, high = 0;
    for (size_t i = 0; i < fit.x.size(); ++i) {
      low = std::min(low, fit.observed[i]);
      high = std::max(high, fit.observed[i] - fit.calculated[i]);
    }
    // The difference hangs below the lowest count, as the pictures have it
    // in a panel of its own.
    const double offset = low - high;
    try {
      for (size_t i = 0; i < fit.x.size(); ++i) {
        profileObserved->points.push_back({fit.x[i], fit.observed[i], ""});
        profileCalculated->points.push_back({fit.x[i], fit.calculated[i], ""});
        profileDifference->points.push_back(
            {fit.x[i], fit.observed[i] - fit.calculated[i] + offset, ""});
      }
    } catch (const std::bad_alloc &) {
      Message(MESSAGE_ERROR, "plot memory error!\n");
    }
    char name[kPlotTextSize];
    std::snprintf(name, sizeof name, "Calculated, Rwp %.4f (Le Bail %.4f)", check.Rwp,
                  check.leBailRwp);
    CopyText(profileCalculated->name, sizeof profileCalculated->name, name);
    for (GtkPlotSerial *s : {profileObserved, profileCalculated, profileDifference})
      s->count = static_cast<guint32>(s->points.size());
  }
  gdk_threads_add_timeout(0, redraw_profile_plot, nullptr);
}

const char *validity_icon(const CrystalModel *m) {
  return (m->validity & VALIDITY_BOND_LENGTHS) ? GTK_STOCK_APPLY : GTK_STOCK_CANCEL;
}

const char *free_colour(const CrystalModel *m) {
  return m->freeCount == m->parameterCount ? "#000000" : "#FF0000";
}

}  // namespace

namespace {

// Rmin stays negative until the model is evaluated against reflections;
// its Ravg, spread and FOM are then placeholders too, not figures.
void factor_cell(GtkTreeViewColumn *column, GtkCellRenderer *cell, GtkTreeModel *model,
                 GtkTreeIter *row, gpointer) {
  double rmin = 0, value = 0;
  gtk_tree_model_get(model, row, COL_RMIN, &rmin,
                     gtk_tree_view_column_get_sort_column_id(column), &value, -1);
  gchar *text = rmin < 0 ? g_strdup("\u2014") : g_strdup_printf("%f", value);
  g_object_set(cell, "text", text, nullptr);
  g_free(text);
}

}  // namespace

void show_factors_when_known() {
  GtkTreeViewColumn *const columns[] = {
      column_st_rmin, column_st_ravg, column_st_sd, column_st_fom, column_choose_models_rmin,
      column_choose_models_ravg, column_choose_models_sd, column_choose_models_fom,
      column_opt_models_rbest};
  for (GtkTreeViewColumn *column : columns) {
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
    if (cells)
      gtk_tree_view_column_set_cell_data_func(column, GTK_CELL_RENDERER(cells->data), factor_cell,
                                              nullptr, nullptr);
    g_list_free(cells);
  }
}

void fill_model_row(GtkListStore *store, GtkTreeIter *row, CrystalModel *m) {
  std::string epc = EPCStr(m);
  if (epc.size() > 511) epc.resize(511);
  gtk_list_store_set(store, row, COL_MODEL, m, COL_NUMBER, m->modelNumber, COL_EPC, epc.c_str(),
                     COL_FREE, m->freeCount, COL_RMIN, m->Rmin, COL_RAVG, m->Ravg, COL_RSD,
                     m->Rsd, COL_FOM, m->FOM, COL_STATE, "", COL_VALIDITY, validity_icon(m),
                     COL_FREE_COLOUR, free_colour(m), -1);
  if (store == ls_models) gtk_list_store_set(store, row, COL_EQUIVALENTS, m->equivalents, -1);
  if (store == ls_opt_models)
    gtk_list_store_set(store, row, COL_OPT_PENALTY, m->bondPenalty, COL_OPT_PROFILE, kNoProfile,
                       -1);
}

void set_profile_extraction(std::shared_ptr<const LeBailResult> extraction) {
  std::atomic_store(&profileExtraction, std::move(extraction));
}

std::string profile_rwp_text(const Job &job, const CrystalModel *m) {
  const std::shared_ptr<const LeBailResult> extraction = std::atomic_load(&profileExtraction);
  ProfileCheck check;
  std::string error;
  if (!extraction || !m || !CheckJobModelOnProfile(job, m, *extraction, &check, &error))
    return kNoProfile;
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", check.Rwp);
  return text;
}

void make_profile_plot(GtkPlot *plot) {
  profilePlot = plot;
  g_signal_connect(plot, "destroy", G_CALLBACK(forget_profile_plot), nullptr);
  profileObserved = profile_serial("Observed", PLOT_SERIAL_SYMBOL, 0x0000FF);
  profileCalculated = profile_serial("Calculated", PLOT_SERIAL_LINE, 0xFF0000);
  profileDifference = profile_serial("Difference", PLOT_SERIAL_LINE, 0x008000);
}

const std::vector<CrystalModel *> *selection_of(const Job &job, int mode) {
  if (mode == 1) return &job.filtered;
  if (mode == 2 && !job.selection.levels.empty()) return &job.selection.levels.back().models;
  return nullptr;
}

std::vector<CrystalModel *> models_of_store(GtkListStore *store) {
  std::vector<CrystalModel *> models;
  GtkTreeIter row;
  GtkTreeModel *model = GTK_TREE_MODEL(store);
  for (gboolean more = gtk_tree_model_get_iter_first(model, &row); more;
       more = gtk_tree_model_iter_next(model, &row)) {
    gpointer m = nullptr;
    gtk_tree_model_get(model, &row, COL_MODEL, &m, -1);
    if (m) models.push_back(static_cast<CrystalModel *>(m));
  }
  return models;
}

void set_model_list() {
  JobAccess access;
  if (!access) return;
  gdk_threads_enter();
  gtk_list_store_clear(ls_models);
  gdk_threads_leave();
  for (CrystalModel &m : access->models.models) {
    gdk_threads_enter();
    GtkTreeIter row;
    gtk_list_store_append(ls_models, &row);
    fill_model_row(ls_models, &row, &m);
    gdk_threads_leave();
  }
}

void update_model_view_item(GtkTreeView *view, GtkTreeIter *row) {
  GtkListStore *store = GTK_LIST_STORE(gtk_tree_view_get_model(view));
  gpointer pointer = nullptr;
  gtk_tree_model_get(GTK_TREE_MODEL(store), row, COL_MODEL, &pointer, -1);
  const CrystalModel *m = static_cast<const CrystalModel *>(pointer);
  if (!m) return;
  gtk_list_store_set(store, row, COL_NUMBER, m->modelNumber, COL_FREE, m->freeCount, COL_RMIN,
                     m->Rmin, COL_RAVG, m->Ravg, COL_RSD, m->Rsd, COL_FOM, m->FOM, COL_VALIDITY,
                     validity_icon(m), COL_FREE_COLOUR, free_colour(m), -1);
  if (store == ls_opt_models) gtk_list_store_set(store, row, COL_OPT_PENALTY, m->bondPenalty, -1);
}

int selected_model_count(int mode) {
  JobAccess access;
  if (!access) return 0;
  const std::vector<CrystalModel *> *models = selection_of(*access, mode);
  if (!models) return 0;
  return static_cast<int>(
      std::count_if(models->begin(), models->end(), [](const CrystalModel *m) {
        return m->selected != 0;
      }));
}

void set_opt_model_list(int mode) {
  JobAccess access;
  if (!access) return;
  gtk_list_store_clear(ls_opt_models);
  const std::vector<CrystalModel *> *models = selection_of(*access, mode);
  if (!models) return;
  for (CrystalModel *m : *models) {
    if (!m->selected) continue;
    GtkTreeIter row;
    gtk_list_store_append(ls_opt_models, &row);
    fill_model_row(ls_opt_models, &row, m);
    gtk_list_store_set(ls_opt_models, &row, COL_OPT_PROGRESS, 0, COL_OPT_COLOUR, "#000000", -1);
    if (std::atomic_load(&profileExtraction))
      gtk_list_store_set(ls_opt_models, &row, COL_OPT_PROFILE,
                         profile_rwp_text(*access, m).c_str(), -1);
  }
}

void update_model_factors_serial(const std::vector<CrystalModel *> &models) {
  if (!model_factors_serial || !model_factors_active_serial) return;
  CopyText(model_factors_serial->name, sizeof model_factors_serial->name, "Model FOMs");
  model_factors_serial->points.resize(models.size());
  for (size_t i = 0; i < models.size(); ++i) {
    model_factors_serial->points[i].x = models[i]->modelNumber;
    model_factors_serial->points[i].y = models[i]->FOM;
  }
  model_factors_serial->count = static_cast<guint32>(models.size());
  model_factors_active_serial->points.resize(1);
  model_factors_active_serial->count = 0;
  if (currentModel) {
    model_factors_active_serial->points[0].x = currentModel->modelNumber;
    model_factors_active_serial->points[0].y = currentModel->FOM;
    model_factors_active_serial->count = 1;
  }
}

gboolean update_model_factors_plot(gpointer) {
  gdk_threads_enter();
  // A display queued before a job started finds the models in the worker's
  // hands (generation makes the list anew); the job's end shows them.
  JobAccess access;
  if (model_factors_plot && access) {
    update_model_factors_serial(AllModels(&*access));
    gtk_plot_update(model_factors_plot);
  }
  gdk_threads_leave();
  return FALSE;
}

void update_peaks_serials(const HKLList *list, GtkPlotSerial *observed,
                          GtkPlotSerial *calculated) {
  const size_t n = list->items.size();
  observed->points.resize(n);
  calculated->points.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const HKLItem &item = list->items[i];
    observed->points[i].x = item.twoTheta;
    observed->points[i].y = item.iObsScaled;
    calculated->points[i].x = item.twoTheta;
    calculated->points[i].y = item.iCalc;
  }
  observed->count = calculated->count = static_cast<guint32>(n);
}

void show_model(CrystalModel *model) {
  // The models are the job's: not while a worker holds it (which moves the
  // lists' cursors as it goes, calling here on its own threads).
  JobAccess access;
  if (!access) return;
  currentModel = model;
  if (!model || !mutex_out_data) return;
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    UpdateCrystalByModel(&optOutData.crystal, model, nullptr, 1);
  }
  gdk_threads_add_timeout(0, update_crystal_3d_view, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
  gdk_threads_add_timeout(0, update_peaks_plot, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
  gdk_threads_add_timeout(0, update_model_factors_plot, nullptr);
  update_profile_plot(*access, model);
}

CrystalModel *selected_model(GtkTreeView *view, GtkTreeIter *row) {
  GtkTreeSelection *selection = gtk_tree_view_get_selection(view);
  GtkTreeModel *model = nullptr;
  GtkTreeIter iter;
  if (!gtk_tree_selection_get_selected(selection, &model, &iter)) return nullptr;
  gpointer m = nullptr;
  gtk_tree_model_get(model, &iter, COL_MODEL, &m, -1);
  if (row) *row = iter;
  return static_cast<CrystalModel *>(m);
}

CrystalModel *model_at_path(GtkListStore *store, const gchar *path, GtkTreeIter *row) {
  if (!path || !gtk_tree_model_get_iter_from_string(GTK_TREE_MODEL(store), row, path))
    return nullptr;
  gpointer m = nullptr;
  gtk_tree_model_get(GTK_TREE_MODEL(store), row, COL_MODEL, &m, -1);
  return static_cast<CrystalModel *>(m);
}

std::string output_stem(const Job &job, int modelNumber) {
  std::string name = job.config.title.empty() ? "untitled" : job.config.title;
  for (char &c : name)
    if (c == '/' || c == '\\') c = '_';
  return name + "_" + std::to_string(modelNumber);
}
