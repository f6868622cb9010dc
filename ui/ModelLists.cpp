// SPDX-License-Identifier: BSD-3-Clause
// The model list and the optimisation list as the background jobs fill
// and update them, and the plots that show models.
#include <algorithm>

#include "ModelPages.h"

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
  COL_OPT_PENALTY  // the list of solved models only
};
// Only the model list has it, after its colour.
constexpr int COL_EQUIVALENTS = COL_FREE_COLOUR + 1;

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
  if (store == ls_opt_models) gtk_list_store_set(store, row, COL_OPT_PENALTY, m->bondPenalty, -1);
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
