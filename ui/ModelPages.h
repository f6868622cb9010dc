// SPDX-License-Identifier: BSD-3-Clause
// What the statistic and optimisation pages and the model dialogs share:
// numbers typed into entries, the rows of the model lists, the choice of
// models and the dialogs both model lists open.
#ifndef PULVINA_MODELPAGES_H
#define PULVINA_MODELPAGES_H

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "CrystalJobs.h"
#include "CrystalMain.h"
#include "lebail.h"

// ---- numbers in entries ----

// While the program itself writes the entries of a page or dialog, their
// change handlers store nothing: a value shown with fewer digits than it has
// must not replace the one stored.
class FillGuard {
 public:
  FillGuard();
  ~FillGuard();
  FillGuard(const FillGuard &) = delete;
  FillGuard &operator=(const FillGuard &) = delete;
};
bool filling_fields();

// Reads the number typed into an entry for a control-file key, checked as
// the control-file reader checks the key. A good value clears the entry's
// error mark; a bad one marks the entry with an error icon that says what is
// wrong, writes that once to the log ("KEY: 'TEXT' ...") and returns false:
// the caller stores nothing.
bool read_entry_number(GtkWidget *entry, const char *key, double *value);
// The same for a number no key holds, checked by the caller's rule.
bool read_entry_checked(GtkWidget *entry, const char *what, bool (*check)(double), double *value);
// Marks an entry as wrong (problem non-empty) or clears the mark; a new
// mark is logged.
void mark_entry(GtkWidget *entry, const std::string &problem);
// Stores a number typed for a key of the job in its field of the job's
// configuration, marking the job changed when it differs from what is
// stored. Nothing is stored while the program fills the entry or while a
// worker holds the job.
template <typename T>
void store_entry_number(GtkWidget *entry, const char *key, T Config::*field) {
  double v = 0;
  if (!read_entry_number(entry, key, &v) || filling_fields()) return;
  JobAccess access;
  if (!access) return;
  T &stored = access->config.*field;
  const T value = static_cast<T>(v);
  if (stored == value) return;
  stored = value;
  mark_file_changed();
}
// Writes a number into an entry without storing it again, and clears any
// error mark.
void show_entry_integer(GtkWidget *entry, long value);
void show_entry_real(GtkWidget *entry, double value);

// ---- rows and models ----

// The model of the selected row of a model list (and the row), or null.
CrystalModel *selected_model(GtkTreeView *view, GtkTreeIter *row);
// The model of a row given as a path text, or null.
CrystalModel *model_at_path(GtkListStore *store, const gchar *path, GtkTreeIter *row);
// The columns the model lists share (the choose list adds the selected
// flag, the optimisation list progress and colour).
constexpr int kChooseSelectedColumn = 11;
// Writes a model into a row of a model list's store.
void fill_model_row(GtkListStore *store, GtkTreeIter *row, CrystalModel *m);
// The Le Bail fit of the job's measured pattern that the list of solved
// models and the profile plot put the models on; null for none (the list
// then shows a dash). Set it while no worker runs.
void set_profile_extraction(std::shared_ptr<const LeBailResult> extraction);
// A model's Rwp on that profile as the list shows it, or a dash.
std::string profile_rwp_text(const Job &job, const CrystalModel *m);
// The plot of the current model on the profile; made once at start-up.
void make_profile_plot(GtkPlot *plot);
// The models a list shows for a mode: the optimisation selection (1) or the
// newest refinement level (2); null for other modes or no level.
const std::vector<CrystalModel *> *selection_of(const Job &job, int mode);
// A file name's stem from the job title, safe as one name.
std::string output_stem(const Job &job, int modelNumber);

// ---- the choice of models ----

void choose_models(int mode);
void set_choose_model_list(int mode);

// ---- dialogs both model lists open ----

void edit_model_details(GtkWidget *view);
void edit_fixed_coordinates(GtkWidget *view);
void generate_cif_file_for_model(GtkWidget *view);
void generate_hkl_file_for_model(GtkWidget *view);
void generate_cif_files(GtkWidget *view);
void generate_hkl_files(GtkWidget *view);
void set_output_dir(char *folder);
// A file name chosen in a save dialog, with the extension added when the
// name has no "." (a replaced file is asked about first); empty when the
// user declined.
std::string with_extension(const std::string &path, const char *extension);
// Pops a model list's menu up for the row under the pointer.
void popup_model_menu(GtkWidget *view, GdkEventButton *event, GtkWidget *menu);

// The bond-length tolerance typed in the minimum-distance dialog, in
// percent; the job's default (marked as an error) when it is no number from
// 0 to below 100.
double bond_length_tolerance(const Job &job);

#endif
