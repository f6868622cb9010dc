// SPDX-License-Identifier: BSD-3-Clause
// The experiment-parameters dialog (radiation, wavelengths, polarisation,
// monochromator, and a second copy of the cell) and the peak-file dialog
// (the file, its layout, the angle range and the width factor, with the
// reflections it holds), and the import of a measured pattern that makes
// the peak file by a Le Bail fit.
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "CrystalJobs.h"
#include "ModelPages.h"
#include "PageCommon.h"
#include "PatternImport.h"

PatternImportWindow patternImportWindow;

namespace {

enum SourceColumn { SRC_NAME = 0, SRC_LAMBDA1, SRC_LAMBDA2, SRC_RATIO };
enum HKLColumn { HKL_NUMBER = 0, HKL_H, HKL_K, HKL_L, HKL_D, HKL_2THETA, HKL_MULTIPLICITY,
                 HKL_FWHM, HKL_IOBS };
// The source table's row for wavelengths of the user's own.
constexpr int kOthersRow = 11;
// Values closer than this are the same setting.
constexpr double kSame = 1e-6;

bool differs(double a, double b) { return std::fabs(a - b) > kSame; }

// A number of the radiation typed into its entry: stored in its field of
// the job's configuration when it is good and differs from the stored one.
void store_radiation_value(GtkWidget *entry, const char *keyword, const char *field,
                           double Config::*stored) {
  if (!jobing) {
    clear_entry_error(entry);
    return;
  }
  double value = 0;
  if (!entry_config_value(entry, keyword, field, &value)) return;
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  if (!differs(value, job.config.*stored)) return;
  job.config.*stored = value;
  SetRadiation(&job.config, &job.radiation);
  mark_file_changed();
}

// A number of the peak-file settings typed into its entry, not yet stored:
// good, and differing from the one in its field of the job's configuration.
bool peak_value_differs(GtkWidget *entry, const char *keyword, const char *field,
                        double Config::*stored) {
  if (!jobing) {
    clear_entry_error(entry);
    return false;
  }
  double value = 0;
  if (!entry_config_value(entry, keyword, field, &value)) return false;
  JobAccess access;
  return access && differs(value, access->config.*stored);
}

void free_reflections(Job &job) {
  FreeHKLList(&job.hklList);
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    FreeHKLList(&optOutData.hklList);
  }
  obs_peak_serial->count = calc_peak_serial->count = 0;
  file_peak_file_validity = 0;
}

// The reflections as the display shows them: a copy of the job's, with the
// radiation they are for, which the display timers compute on while a
// worker holds the job.
void copy_reflections_to_display(const Job &job) {
  std::lock_guard<std::mutex> hold(*mutex_out_data);
  // Without room for the copy the display shows no peaks rather than old ones.
  if (!CloneHKLList(&job.hklList, &optOutData.hklList)) FreeHKLList(&optOutData.hklList);
  optOutData.radiation = job.config.radiation;
}

std::string real_folder(const std::string &folder) {
  char *real = realpath(folder.c_str(), nullptr);
  std::string result = real ? real : folder;
  std::free(real);
  return result;
}

void set_source_row(int index, double lambda1, double lambda2, double ratio) {
  GtkTreeIter row;
  if (gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(ls_radiation_sources), &row, nullptr, index))
    gtk_list_store_set(ls_radiation_sources, &row, SRC_LAMBDA1, lambda1, SRC_LAMBDA2, lambda2,
                       SRC_RATIO, ratio, -1);
}

// The row of the source table whose first line is the job's within 1e-4 A,
// else -1: tables of the lines differ in the last digits (1.540560 or
// 1.540598 for Cu K-alpha1), a tube's lines lie far further apart.
constexpr double kSameLine = 1e-4;
// Set while the table shows the job's tube: the row then names the source,
// the job keeps its own second line and ratio.
bool showing_job_source = false;

int matching_source_row(double lambda1) {
  GtkTreeModel *model = GTK_TREE_MODEL(ls_radiation_sources);
  GtkTreeIter row;
  int index = 0;
  for (gboolean more = gtk_tree_model_get_iter_first(model, &row); more;
       more = gtk_tree_model_iter_next(model, &row), ++index) {
    if (index == kOthersRow) continue;
    double l1 = 0;
    gtk_tree_model_get(model, &row, SRC_LAMBDA1, &l1, -1);
    if (std::fabs(l1 - lambda1) <= kSameLine) return index;
  }
  return -1;
}

void show_monochromator_sensitivity(const Job &job) {
  gtk_widget_set_sensitive(align_xray_monochromator, job.config.monochromator != 0);
}

void show_doublet_sensitivity(const Job &job) {
  const gboolean on = job.config.doublets != 0;
  gtk_widget_set_sensitive(entry_xray_lambda2, on);
  gtk_widget_set_sensitive(entry_xray_I2_I1, on);
}

// The settings of the peak-file dialog when it opened, to go back to.
struct PeakSettings {
  std::string name;
  double start = 0, end = 0, width = 0;
  int format = 0;
};

PeakSettings peak_settings(const Job &job) {
  const Config &c = job.config;
  return {c.peakFile, c.startAngle, c.endAngle, c.peakNWidth, c.peakFileFormat};
}

bool same_peak_settings(const PeakSettings &a, const PeakSettings &b) {
  return a.name == b.name && a.format == b.format && !differs(a.start, b.start) &&
         !differs(a.end, b.end) && !differs(a.width, b.width);
}

// What the Lorentz-polarisation factors depend on.
bool same_lp(const Radiation &a, const Radiation &b) {
  return a.type == b.type && a.polarization == b.polarization &&
         a.monochromator == b.monochromator && a.monoAngle == b.monoAngle;
}

// Models that carry results of a statistic test (an average apart from the
// minimum, or a spread), which a new evaluation would replace.
int tested_models(const Job &job) {
  int n = 0;
  for (const CrystalModel &m : job.models.models) n += m.Ravg != m.Rmin || m.Rsd != 0;
  return n;
}

// The experiment dialog's values as they were, in the job and the dialog.
void restore_radiation(Job &job, const Config &kept) {
  Config &c = job.config;
  c.radiation = kept.radiation;
  c.doublets = kept.doublets;
  c.lambdaXray1 = kept.lambdaXray1;
  c.lambdaXray2 = kept.lambdaXray2;
  c.i2i1 = kept.i2i1;
  c.lambdaNeutron = kept.lambdaNeutron;
  c.lambdaElectron = kept.lambdaElectron;
  c.energyElectron = kept.energyElectron;
  c.polarization = kept.polarization;
  c.monochromator = kept.monochromator;
  c.monoD = kept.monoD;
  c.monoAngle = kept.monoAngle;
  SetRadiation(&c, &job.radiation);
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    optOutData.radiation = c.radiation;
  }
  update_experiment_fields_by_config();
}

// The models' figures follow a change of what they are computed from.
void update_model_states_when_models(const Job &job) {
  if (job.models.count > 0 && file_peak_file_validity)
    gtk_action_activate(action_update_model_states);
}

// ------------------------------------------------ measured-pattern import

// Why the job cannot be fitted to a pattern yet, or "" when it can: the fit
// starts from the job's cell and space group.
std::string import_refusal(const Job &job) {
  if (!jobing) return "no job is open";
  if (!file_sg_validity || job.crystal.spaceGroup.positions.empty())
    return "the job has no space group; set it on the composition page first";
  const Config &c = job.config;
  for (double v : {c.cellA, c.cellB, c.cellC, c.cellAlpha, c.cellBeta, c.cellGamma})
    if (!(v > 0)) return "the job has no cell; give the cell on the composition page first";
  return "";
}

GtkAction *import_action() {
  for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next)
    if (GtkAction *a =
            gtk_action_group_get_action(GTK_ACTION_GROUP(g->data), "action_import_pattern"))
      return a;
  return nullptr;
}

void update_import_sensitivity() {
  GtkAction *action = import_action();
  if (!action) return;
  JobAccess access;
  if (!access) return;  // a worker runs: everything but its stop is off anyway
  set_action_sensitive(action, import_refusal(*access).empty());
}

void update_import_sensitivity_after(gpointer) { update_import_sensitivity(); }

// What sets the space group, the cell or closes the job also decides
// whether a pattern can be imported: followed once per window.
void follow_import_conditions() {
  GtkAction *action = import_action();
  if (!action || g_object_get_data(G_OBJECT(action), "pulvina-followed")) return;
  g_object_set_data(G_OBJECT(action), "pulvina-followed", GINT_TO_POINTER(1));
  for (GtkAction *a : {action_set_sg, action_file_close, action_file_new})
    g_signal_connect_object(a, "activate", G_CALLBACK(update_import_sensitivity_after), action,
                            static_cast<GConnectFlags>(G_CONNECT_AFTER | G_CONNECT_SWAPPED));
  for (GtkWidget *e :
       {entry_sg_number, entry_cell_a0, entry_cell_b0, entry_cell_c0, entry_cell_alpha0,
        entry_cell_beta0, entry_cell_gamma0, entry_cell_a, entry_cell_b, entry_cell_c,
        entry_cell_alpha, entry_cell_beta, entry_cell_gamma})
    g_signal_connect_object(e, "changed", G_CALLBACK(update_import_sensitivity_after), action,
                            static_cast<GConnectFlags>(G_CONNECT_AFTER | G_CONNECT_SWAPPED));
}

// The window of the import: the live fit, the progress and Stop, made the
// first time it is needed and kept (hidden on close) until the main window
// goes.
void show_import_window(const std::string &pattern) {
  PatternImportWindow &w = patternImportWindow;
  if (!w.window) {
    w.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(w.window), "Import Measured Pattern");
    gtk_window_set_transient_for(GTK_WINDOW(w.window), GTK_WINDOW(window_main));
    gtk_window_set_destroy_with_parent(GTK_WINDOW(w.window), TRUE);
    gtk_window_set_default_size(GTK_WINDOW(w.window), 760, 520);
    gtk_container_set_border_width(GTK_CONTAINER(w.window), 12);
    g_signal_connect(w.window, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    g_signal_connect(w.window, "destroy", G_CALLBACK(+[](GtkWidget *, gpointer) {
                       patternImportWindow = PatternImportWindow();
                     }),
                     nullptr);
    GtkWidget *box = gtk_vbox_new(FALSE, 6);
    gtk_container_add(GTK_CONTAINER(w.window), box);
    w.info = gtk_label_new("");
    gtk_misc_set_alignment(GTK_MISC(w.info), 0, 0.5);
    gtk_label_set_ellipsize(GTK_LABEL(w.info), PANGO_ELLIPSIZE_MIDDLE);
    gtk_box_pack_start(GTK_BOX(box), w.info, FALSE, FALSE, 0);
    GtkWidget *plot = gtk_plot_new();
    w.plot = GTK_PLOT(plot);
    CopyText(w.plot->bottomAxile.title, sizeof w.plot->bottomAxile.title, "Two Theta");
    CopyText(w.plot->leftAxile.title, sizeof w.plot->leftAxile.title, "Intensity");
    w.plot->topAxile.visible = w.plot->rightAxile.visible = 0;
    w.plot->legend.visible = 1;
    w.plot->legend.placement = PLOT_LEGEND_BOTTOM;
    w.plot->legend.frameWidth = 0;
    w.plot->legend.yOffset = 10;
    gtk_box_pack_start(GTK_BOX(box), plot, TRUE, TRUE, 0);
    GtkWidget *row = gtk_hbox_new(FALSE, 12);
    w.progress = gtk_progress_bar_new();
    gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(w.progress), 0.05);
    gtk_box_pack_start(GTK_BOX(row), w.progress, TRUE, TRUE, 0);
    GtkWidget *buttons = gtk_hbutton_box_new();
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(buttons), 6);
    GtkWidget *stop = gtk_button_new();
    for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next)
      if (GtkAction *a =
              gtk_action_group_get_action(GTK_ACTION_GROUP(g->data), "action_import_pattern_stop"))
        gtk_activatable_set_related_action(GTK_ACTIVATABLE(stop), a);
    gtk_widget_set_name(stop, "btn_import_pattern_stop");
    GtkWidget *close = gtk_button_new_from_stock(GTK_STOCK_CLOSE);
    g_signal_connect_swapped(close, "clicked", G_CALLBACK(gtk_widget_hide), w.window);
    gtk_container_add(GTK_CONTAINER(buttons), stop);
    gtk_container_add(GTK_CONTAINER(buttons), close);
    gtk_box_pack_start(GTK_BOX(row), buttons, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
    gtk_widget_show_all(box);
  }
  gchar *base = g_path_get_basename(pattern.c_str());
  gchar *markup = g_markup_printf_escaped("Le Bail fit of <b>%s</b>", base);
  gtk_label_set_markup(GTK_LABEL(w.info), markup);
  g_free(markup);
  g_free(base);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(w.progress), 0);
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(w.progress), "reading the pattern");
  gtk_plot_clear_serials(w.plot);
  gtk_plot_update(w.plot);
  gtk_window_present(GTK_WINDOW(w.window));
}

void add_pattern_filter(GtkFileChooser *chooser, const char *name,
                        std::initializer_list<const char *> patterns) {
  GtkFileFilter *filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, name);
  for (const char *p : patterns) {
    // Files from instruments come in capitals as often as not.
    gtk_file_filter_add_pattern(filter, p);
    gchar *upper = g_ascii_strup(p, -1);
    gtk_file_filter_add_pattern(filter, upper);
    g_free(upper);
  }
  gtk_file_chooser_add_filter(chooser, filter);
}

// The peak file's name: the job's title, without what a file name cannot hold.
std::string import_peak_file_name(const Config &c) {
  std::string name = c.title.empty() ? "pattern" : c.title;
  for (char &ch : name)
    if (ch == '/' || ch == '\\' || ch == '"' || static_cast<unsigned char>(ch) < 32) ch = '_';
  return name + ".hkl";
}

bool read_file(const std::string &path, std::string *text) {
  gchar *contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return false;
  text->assign(contents, length);
  g_free(contents);
  return true;
}

// Whether the peak file the fit makes differs from the one at path: the
// file is made in a scratch file first, so that an existing one is only
// replaced once the user agreed.
bool peak_file_differs(const std::string &path, const Job &job, const LeBailResult &result,
                       const std::string &pattern) {
  std::string existing, made;
  if (!read_file(path, &existing)) return true;
  gchar *scratch = nullptr;
  const int fd = g_file_open_tmp("pulvina-import-XXXXXX.hkl", &scratch, nullptr);
  if (fd < 0) return true;
  close(fd);
  std::string error;
  const bool written = WriteExtractedPeakFile(scratch, job, result, pattern, &error);
  const bool same = written && read_file(scratch, &made) && made == existing;
  g_remove(scratch);
  g_free(scratch);
  return !same;
}

void import_failed(const std::string &pattern, const std::string &why) {
  Message(MESSAGE_ERROR, "Pattern import: %s: %s; the job is unchanged.\n", pattern.c_str(),
          why.c_str());
  if (patternImportWindow.info)
    gtk_label_set_text(GTK_LABEL(patternImportWindow.info), ("Not imported: " + why).c_str());
  MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
             "The measured pattern was not imported.\n\nFile: %s\nReason: %s\n\nThe job is "
             "unchanged.",
             pattern.c_str(), why.c_str());
}

// The end of the import, on the main thread with the job free again: the
// fit becomes the job's peak file and cell, or nothing changes.
void finish_import(const PatternImportOutcome &o) {
  if (!o.fitted) return import_failed(o.pattern, o.error);
  if (o.result.stopped && !o.stopAsked) {
    // Stopped as the program closes: nobody is left to answer a question.
    Message(MESSAGE_PLAIN, "Pattern import of %s stopped; the job is unchanged.\n",
            o.pattern.c_str());
    return;
  }
  if (o.result.stopped) return import_failed(o.pattern, "the fit was stopped before it ended");
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  Config &c = job.config;
  const LeBailResult &r = o.result;
  const std::string name = import_peak_file_name(c);
  const std::string path = join_path(default_file_path, name);
  std::string why;
  if (!CheckConfigValue("PEAK_FILE", name.c_str(), nullptr, &why))
    return import_failed(o.pattern,
                         "the peak file " + name + " cannot be named in the job: " + why);
  if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS) && peak_file_differs(path, job, r, o.pattern) &&
      MessageBox(GTK_MESSAGE_QUESTION, GTK_BUTTONS_YES_NO,
                 "%s already exists and holds other reflections.\nReplace it with the peak file "
                 "of this fit?",
                 path.c_str()) != GTK_RESPONSE_YES)
    return import_failed(o.pattern, path + " exists and was kept");
  if (!WriteExtractedPeakFile(path, job, r, o.pattern, &why)) return import_failed(o.pattern, why);
  // The refined cell, in the job, its crystal and the cell entries.
  double *const cell[6] = {&c.cellA, &c.cellB, &c.cellC, &c.cellAlpha, &c.cellBeta, &c.cellGamma};
  for (int i = 0; i < 6; ++i) *cell[i] = r.model.cell[i];
  update_cell_contents();
  GtkWidget *const entries[2][6] = {{entry_cell_a0, entry_cell_b0, entry_cell_c0, entry_cell_alpha0,
                                     entry_cell_beta0, entry_cell_gamma0},
                                    {entry_cell_a, entry_cell_b, entry_cell_c, entry_cell_alpha,
                                     entry_cell_beta, entry_cell_gamma}};
  for (const auto &set : entries)
    for (int i = 0; i < 6; ++i) show_entry_text(set[i], "%f", *cell[i]);
  c.peakFile = name;
  c.peakFileFormat = PEAK_FILE_INTERNAL;
  // The solved models are checked on this fit's profile from now on.
  set_profile_extraction(std::make_shared<const LeBailResult>(r));
  mark_file_changed();
  set_peak_file(0);
  update_hkl_list();
  if (file_peak_file_validity)
    gdk_threads_add_timeout(0, update_peaks_plot, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
  Message(MESSAGE_PLAIN,
          "Le Bail fit of %s: Rwp %.4f, Rp %.4f, Rexp %.4f, chi2 %.3f (%zu points, %d cycles, "
          "%.1f s)\nRefined cell: %.6f %.6f %.6f %.4f %.4f %.4f\nPeak file %s written "
          "(%zu reflections read); PEAK_FILE is now \"%s\".\n",
          o.pattern.c_str(), r.Rwp, r.Rp, r.Rexp, r.chi2, r.x.size(), r.cycles, r.seconds,
          r.model.cell[0], r.model.cell[1], r.model.cell[2], r.model.cell[3], r.model.cell[4],
          r.model.cell[5], path.c_str(), job.hklList.items.size(), name.c_str());
  if (patternImportWindow.info) {
    char text[128];
    std::snprintf(text, sizeof text, "Imported: Rwp %.4f, %s", r.Rwp, name.c_str());
    gtk_label_set_text(GTK_LABEL(patternImportWindow.info), text);
  }
  update_model_states_when_models(job);
}

}  // namespace

// ---------------------------------------------------------- operations

void show_pattern_fit(GtkPlot *plot, const LeBailResult &fit) {
  gtk_plot_clear_serials(plot);
  const size_t n = std::min(fit.x.size(), std::min(fit.observed.size(), fit.calculated.size()));
  double low = 0, high = 0;
  for (size_t i = 0; i < n; ++i) {
    low = std::min({low, fit.observed[i], fit.calculated[i]});
    high = std::max({high, fit.observed[i], fit.calculated[i]});
  }
  // The difference hangs below the pattern, its zero a tenth of the
  // pattern's height under the lowest count, as powder plots show it.
  double spread = 0;
  for (size_t i = 0; i < n; ++i)
    spread = std::max(spread, std::fabs(fit.observed[i] - fit.calculated[i]));
  const double zero = low - spread - 0.05 * (high - low);
  struct Series {
    const char *name;
    guint32 colour;
    int kind;
  };
  const Series series[3] = {
      {"Observed", 0xD00000, 0}, {"Calculated", 0x0000C0, 1}, {"Difference", 0x008000, 2}};
  for (const Series &s : series) {
    GtkPlotSerial *serial = gtk_plot_serial_new();
    if (!serial) break;
    CopyText(serial->name, sizeof serial->name, s.name);
    serial->type = PLOT_SERIAL_LINE;
    serial->lineStyle.color = s.colour;
    serial->lineStyle.width = 1.0;
    try {
      serial->points.resize(n);
      for (size_t i = 0; i < n; ++i) {
        serial->points[i].x = fit.x[i];
        serial->points[i].y = s.kind == 0   ? fit.observed[i]
                              : s.kind == 1 ? fit.calculated[i]
                                            : zero + fit.observed[i] - fit.calculated[i];
      }
    } catch (const std::bad_alloc &) {
      serial->points.clear();
    }
    serial->count = static_cast<guint32>(serial->points.size());
    gtk_plot_add_serial(plot, serial);
  }
  gtk_plot_update(plot);
}

void refresh_reflection_factors() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  if (!file_peak_file_validity || job.hklList.items.empty()) return;
  // Reflections without their factors would score every model wrongly:
  // the kernel has said why, and the peak file must be read again.
  if (!PrepareJobReflections(&job)) {
    free_reflections(job);
    return;
  }
  copy_reflections_to_display(job);
}

void change_radiation_type() {
  const int index = gtk_combo_box_get_active(GTK_COMBO_BOX(comb_radiation_type));
  // The combo lists X-ray, electron, neutron; the types are 0 X-ray, 1
  // neutron, 2 electron.
  static const int kType[3] = {0, 2, 1};
  if (index < 0 || index > 2) return;
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_radiation_type), index);
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  if (job.config.radiation == kType[index]) return;
  job.config.radiation = kType[index];
  SetRadiation(&job.config, &job.radiation);
  {
    std::lock_guard<std::mutex> hold(*mutex_out_data);
    optOutData.radiation = job.config.radiation;
  }
  mark_file_changed();
}

void set_peak_file(int autoRange) {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  Config &c = job.config;
  if (c.peakFile.empty()) {
    free_reflections(job);
    return;
  }
  const double start = c.startAngle, end = c.endAngle;
  CaughtErrors errors;
  const int n = ReadJobPeakFile(&job, default_file_path, autoRange);
  // Without autoRange the range the user gave stays in the control file,
  // although the reading narrows it to the reflections found; a failed
  // reading clears it.
  if (n <= 0 || !autoRange) {
    c.startAngle = start;
    c.endAngle = end;
  }
  if (n <= 0) {
    free_reflections(job);
    // The reader's own words name the line and what is wrong with it.
    const std::string why = errors.text();
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Cannot read the peak file %s.\n%s%sChoose another peak file (Experiment > Peak "
               "File), or correct this one.",
               JobPeakFilePath(c, default_file_path).c_str(), why.c_str(),
               why.empty() ? "" : "\n");
    // A file just chosen is forgotten; the file a control file names stays
    // named, so that saving the job does not lose it while it is missing.
    if (autoRange) {
      c.peakFile.clear();
      gtk_entry_set_text(GTK_ENTRY(entry_peak_file), "");
    }
    return;
  }
  copy_reflections_to_display(job);
  try {
    obs_peak_serial->points.assign(job.hklList.items.size(), GtkPlotPoint{});
    calc_peak_serial->points.assign(job.hklList.items.size(), GtkPlotPoint{});
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "plot memory error!\n");
  }
  obs_peak_serial->count = calc_peak_serial->count = 0;
  file_peak_file_validity = 1;
}

void update_hkl_list() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const Config &c = job.config;
  gtk_entry_set_text(GTK_ENTRY(entry_peak_file), c.peakFile.c_str());
  show_entry_text(entry_peak_n_width, "%f", c.peakNWidth);
  show_entry_text(entry_start_angle, "%f", c.startAngle);
  show_entry_text(entry_end_angle, "%f", c.endAngle);
  gtk_list_store_clear(ls_hkl_list);
  GtkTreeIter row;
  int number = 0;
  for (const HKLItem &item : job.hklList.items) {
    gtk_list_store_append(ls_hkl_list, &row);
    gtk_list_store_set(ls_hkl_list, &row, HKL_NUMBER, ++number, HKL_H, item.h, HKL_K, item.k,
                       HKL_L, item.l, HKL_D, item.d, HKL_2THETA, item.twoTheta,
                       HKL_MULTIPLICITY, item.multiplicity, HKL_FWHM, item.fwhm, HKL_IOBS,
                       item.iObs, -1);
  }
  gtk_plot_clear_serials(experiment_peak_plot);
  GtkPlotSerial *serial = gtk_plot_serial_new();
  if (serial) {
    CopyText(serial->name, sizeof serial->name, "Experimental Intensity");
    serial->type = PLOT_SERIAL_BAR;
    serial->barStyle = {0, 2.0, 0xFF0000};
    try {
      serial->points.reserve(job.hklList.items.size());
      for (const HKLItem &item : job.hklList.items) {
        GtkPlotPoint point;
        point.x = item.twoTheta;
        point.y = item.iObs;
        serial->points.push_back(point);
      }
      serial->count = static_cast<guint32>(serial->points.size());
      gtk_plot_add_serial(experiment_peak_plot, serial);
    } catch (const std::bad_alloc &) {
      gtk_plot_serial_free(serial);
      Message(MESSAGE_ERROR, "plot memory error!\n");
    }
  } else {
    Message(MESSAGE_ERROR, "plot memory error!\n");
  }
  gtk_plot_update(experiment_peak_plot);
}

void open_peak_file(int format) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  Config &c = job.config;
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      "Open Peak File", GTK_WINDOW(dlg_peak_file), GTK_FILE_CHOOSER_ACTION_OPEN,
      GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  GtkFileFilter *filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "Peak Files (*.hkl)");
  gtk_file_filter_add_pattern(filter, "*hkl");
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);
  filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "All Files (*.*)");
  gtk_file_filter_add_pattern(filter, "*");
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);
  if (!c.peakFile.empty()) {
    if (!IsAbsolutePath(c.peakFile)) {
      if (default_file_path[0])
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), default_file_path);
    } else {
      gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), c.peakFile.c_str());
    }
  } else if (default_file_path[0]) {
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), default_file_path);
  }
  std::string chosen;
  const int response = run_file_dialog(GTK_FILE_CHOOSER(dialog), &chosen);
  gtk_widget_destroy(dialog);
  if (response != GTK_RESPONSE_ACCEPT) return;
  // A file in the control file's folder is named without the folder, so
  // that the job moves with its folder.
  gchar *folder = g_path_get_dirname(chosen.c_str());
  gchar *base = g_path_get_basename(chosen.c_str());
  const bool here = default_file_path[0] && real_folder(folder) == real_folder(default_file_path);
  const std::string name = here ? std::string(base) : chosen;
  g_free(folder);
  g_free(base);
  std::string why;
  if (!CheckConfigValue("PEAK_FILE", name.c_str(), nullptr, &why)) {
    Message(MESSAGE_ERROR, "Peak file (PEAK_FILE): '%s' %s\n", name.c_str(), why.c_str());
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "The peak file cannot be named in the job:\n%s\n%s",
               name.c_str(), why.c_str());
    return;
  }
  if (name == c.peakFile && format == c.peakFileFormat) return;
  c.peakFile = name;
  c.peakFileFormat = format;
  mark_file_changed();
  set_peak_file(1);
  update_hkl_list();
}

void update_experiment_fields_by_config() {
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  const Config &c = job.config;
  const int index = c.radiation == 0 ? 0 : c.radiation == 2 ? 1 : c.radiation == 1 ? 2 : 0;
  gtk_combo_box_set_active(GTK_COMBO_BOX(comb_radiation_type), index);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_radiation_type), index);
  // The tube whose first line the job holds; choosing its row here must not
  // replace the job's second line and ratio with the table's.
  int source = matching_source_row(c.lambdaXray1);
  if (source < 0) {
    set_source_row(kOthersRow, c.lambdaXray1, c.lambdaXray2, c.i2i1);
    source = kOthersRow;
  }
  showing_job_source = true;
  gtk_combo_box_set_active(GTK_COMBO_BOX(comb_xray_source), source);
  showing_job_source = false;
  show_entry_text(entry_xray_lambda1, "%f", c.lambdaXray1);
  show_entry_text(entry_xray_lambda2, "%f", c.lambdaXray2);
  show_entry_text(entry_xray_I2_I1, "%f", c.i2i1);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_xray_lambda2), c.doublets != 0);
  show_doublet_sensitivity(job);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_xray_monochromator),
                               c.monochromator != 0);
  show_monochromator_sensitivity(job);
  show_entry_text(entry_xray_polarization, "%f", c.polarization);
  show_entry_text(entry_mono_d, "%f", c.monoD);
  show_entry_text(entry_mono_angle, "%f", c.monoAngle);
  // Shown beside the wavelength; nothing stores or converts it.
  show_entry_text(entry_electron_energy, "%f", c.energyElectron);
  gtk_editable_set_editable(GTK_EDITABLE(entry_electron_energy), FALSE);
  show_entry_text(entry_electron_lambda, "%f", c.lambdaElectron);
  show_entry_text(entry_neutron_lambda, "%f", c.lambdaNeutron);
  SetRadiation(&c, &job.radiation);
  set_peak_file(0);
  update_hkl_list();
  if (file_peak_file_validity)
    gdk_threads_add_timeout(0, update_peaks_plot, GINT_TO_POINTER(DISPLAY_RECOMPUTE));
  follow_import_conditions();
  update_import_sensitivity();
}

// ---------------------------------------------------------- handlers

extern "C" {

G_MODULE_EXPORT void on_action_experiment_parameters_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  const Radiation before = job.radiation;
  const Config kept = job.config;
  const int changedBefore = file_changed_flag;
  run_dialog(GTK_DIALOG(dlg_experiment_parameters));
  gtk_widget_hide(dlg_experiment_parameters);
  // A change of what the Lorentz-polarisation factors depend on alters
  // every model's figures.
  if (same_lp(before, job.radiation)) return;
  const int tested = tested_models(job);
  if (tested > 0 && file_peak_file_validity) {
    const std::string question = "This discards the statistic results of " +
                                 std::to_string(tested) + (tested == 1 ? " model." : " models.");
    if (AskBox(GTK_MESSAGE_WARNING, question,
               "The new radiation changes every model's figures of merit; the statistic test "
               "has to be run again. Cancel keeps the radiation the results belong to.",
               {{GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL}, {"_Discard Results", GTK_RESPONSE_OK}},
               // Enter must not throw away an hour of testing.
               GTK_RESPONSE_CANCEL) != GTK_RESPONSE_OK) {
      restore_radiation(job, kept);
      file_changed_flag = changedBefore;
      update_title();
      return;
    }
    Message(MESSAGE_WARNING,
            "radiation changed: discarded the statistic results of %d model%s; run the "
            "statistic test again\n",
            tested, tested == 1 ? "" : "s");
  }
  refresh_reflection_factors();
  update_model_states_when_models(job);
}

G_MODULE_EXPORT void on_comb_radiation_type_changed(GtkComboBox *, gpointer) {
  change_radiation_type();
}

G_MODULE_EXPORT void on_comb_xray_source_changed(GtkComboBox *combo, gpointer) {
  GtkTreeIter row;
  if (showing_job_source || !gtk_combo_box_get_active_iter(combo, &row)) return;
  GtkTreeModel *model = gtk_combo_box_get_model(combo);
  double lambda1 = 0, lambda2 = 0, ratio = 0;
  gtk_tree_model_get(model, &row, SRC_LAMBDA1, &lambda1, SRC_LAMBDA2, &lambda2, SRC_RATIO, &ratio,
                     -1);
  if (!(lambda1 > 0)) {
    // "Others" before it holds anything: the job's own values.
    JobAccess access;
    if (!access) return;
    const Config &c = access->config;
    lambda1 = c.lambdaXray1;
    lambda2 = c.lambdaXray2;
    ratio = c.i2i1;
    gtk_list_store_set(GTK_LIST_STORE(model), &row, SRC_LAMBDA1, lambda1, SRC_LAMBDA2, lambda2,
                       SRC_RATIO, ratio, -1);
  }
  show_entry_text(entry_xray_lambda1, "%f", lambda1);
  show_entry_text(entry_xray_lambda2, "%f", lambda2);
  show_entry_text(entry_xray_I2_I1, "%f", ratio);
}

G_MODULE_EXPORT void on_entry_xray_lambda1_changed(GtkEditable *, gpointer) {
  store_radiation_value(entry_xray_lambda1, "LAMBDA_XRAY1", "Wavelength lambda1",
                        &Config::lambdaXray1);
}

G_MODULE_EXPORT void on_entry_xray_lambda2_changed(GtkEditable *, gpointer) {
  store_radiation_value(entry_xray_lambda2, "LAMBDA_XRAY2", "Wavelength lambda2",
                        &Config::lambdaXray2);
}

G_MODULE_EXPORT void on_entry_xray_I2_I1_changed(GtkEditable *, gpointer) {
  store_radiation_value(entry_xray_I2_I1, "I2_I1", "Ratio I2/I1", &Config::i2i1);
}

G_MODULE_EXPORT void on_entry_xray_polarization_changed(GtkEditable *, gpointer) {
  store_radiation_value(entry_xray_polarization, "POLARIZATION", "Polarisation",
                        &Config::polarization);
}

G_MODULE_EXPORT void on_entry_neutron_lambda_changed(GtkEditable *, gpointer) {
  store_radiation_value(entry_neutron_lambda, "LAMBDA_NEUTRON", "Neutron wavelength",
                        &Config::lambdaNeutron);
}

G_MODULE_EXPORT void on_entry_electron_lambda_activate(GtkEntry *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  double value = 0;
  if (!entry_config_value(entry_electron_lambda, "LAMBDA_ELECTRON", "Electron wavelength",
                          &value))
    return;
  job.config.lambdaElectron = value;
  SetRadiation(&job.config, &job.radiation);
  mark_file_changed();
}

G_MODULE_EXPORT void on_check_xray_lambda2_toggled(GtkToggleButton *check, gpointer) {
  const int32_t on = gtk_toggle_button_get_active(check) ? 1 : 0;
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  if (jobing && job.config.doublets != on) {
    job.config.doublets = on;
    SetRadiation(&job.config, &job.radiation);
    mark_file_changed();
  }
  show_doublet_sensitivity(job);
}

G_MODULE_EXPORT void on_check_xray_monochromator_toggled(GtkToggleButton *check, gpointer) {
  const bool on = gtk_toggle_button_get_active(check) != FALSE;
  JobAccess access;
  if (!access) return;
  Job &job = *access;
  // A second monochromator (2) stays what it is while the box stays ticked.
  if (jobing && (job.config.monochromator != 0) != on) {
    job.config.monochromator = on ? 1 : 0;
    SetRadiation(&job.config, &job.radiation);
    mark_file_changed();
  }
  show_monochromator_sensitivity(job);
}

G_MODULE_EXPORT void on_entry_mono_d_activate(GtkEntry *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  double d = 0;
  if (!entry_config_value(entry_mono_d, "MONO_D", "Monochromator d", &d)) return;
  const double sine = job.config.lambdaXray1 / (2 * d);
  if (!(sine <= 1)) {
    char why[256];
    std::snprintf(why, sizeof why,
                  "reflects no wavelength lambda1 = %f: lambda1 / (2 d) = %f exceeds 1, so no "
                  "Bragg angle exists; d must be at least %f",
                  job.config.lambdaXray1, sine, job.config.lambdaXray1 / 2);
    set_entry_error(entry_mono_d, "Monochromator d", "MONO_D", why);
    return;
  }
  const double angle = std::asin(sine) * 180.0 / 3.14159265358979323846;
  job.config.monoD = d;
  job.config.monoAngle = angle;
  show_entry_text(entry_mono_angle, "%f", angle);
  SetRadiation(&job.config, &job.radiation);
  mark_file_changed();
}

G_MODULE_EXPORT void on_entry_mono_angle_activate(GtkEntry *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  double angle = 0;
  if (!entry_config_value(entry_mono_angle, "MONO_ANGLE", "Monochromator angle", &angle)) return;
  const double sine = std::sin(angle * 3.14159265358979323846 / 180.0);
  if (!(sine > 0)) {
    // The d-spacing of a Bragg angle of 0 is infinite; 0 in its place would
    // make a control file the reader refuses (MONO_D must be above 0).
    set_entry_error(entry_mono_angle, "Monochromator angle", "MONO_ANGLE",
                    "has no d-spacing: a Bragg angle of 0 degrees would need an infinite d; "
                    "expected an angle above 0 and at most 90 degrees");
    return;
  }
  const double d = job.config.lambdaXray1 / (2 * sine);
  job.config.monoAngle = angle;
  job.config.monoD = d;
  show_entry_text(entry_mono_d, "%f", d);
  SetRadiation(&job.config, &job.radiation);
  mark_file_changed();
}

G_MODULE_EXPORT void on_action_peak_file_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  const PeakSettings before = peak_settings(job);
  const int changedBefore = file_changed_flag;
  const int validBefore = file_peak_file_validity;
  update_hkl_list();
  const int response = run_dialog(GTK_DIALOG(dlg_peak_file));
  gtk_widget_hide(dlg_peak_file);
  if (response == GTK_RESPONSE_OK) {
    gtk_action_activate(action_update_hkl_list);
    if (!same_peak_settings(before, peak_settings(job))) update_model_states_when_models(job);
    return;
  }
  // Cancelled: the job goes back to the file and settings it had.
  for (GtkWidget *entry : {entry_peak_n_width, entry_start_angle, entry_end_angle})
    clear_entry_error(entry);
  if (same_peak_settings(before, peak_settings(job)) && validBefore == file_peak_file_validity)
    return;
  Config &c = job.config;
  c.peakFile = before.name;
  c.startAngle = before.start;
  c.endAngle = before.end;
  c.peakFileFormat = before.format;
  c.peakNWidth = before.width;
  set_peak_file(0);
  file_changed_flag = changedBefore;
  update_title();
}

G_MODULE_EXPORT gboolean on_btn_open_peak_file_button_press_event(GtkWidget *, GdkEventButton *event,
                                                                  gpointer) {
  gtk_menu_popup(GTK_MENU(popmenu_open_peak_file), nullptr, nullptr, nullptr, nullptr,
                 event ? event->button : 0, event ? event->time : gtk_get_current_event_time());
  return TRUE;
}

// The keyboard's way to the same menu.
G_MODULE_EXPORT void on_btn_open_peak_file_clicked(GtkButton *, gpointer) {
  gtk_menu_popup(GTK_MENU(popmenu_open_peak_file), nullptr, nullptr, nullptr, nullptr, 0,
                 gtk_get_current_event_time());
}

G_MODULE_EXPORT void on_action_internal_peak_file_activate(GtkAction *, gpointer) {
  open_peak_file(PEAK_FILE_INTERNAL);
}

G_MODULE_EXPORT void on_action_pcw_peak_file_activate(GtkAction *, gpointer) {
  open_peak_file(PEAK_FILE_PCW);
}

G_MODULE_EXPORT void on_action_fullprof_peak_file_activate(GtkAction *, gpointer) {
  open_peak_file(PEAK_FILE_FULLPROF);
}

G_MODULE_EXPORT void on_entry_peak_n_width_changed(GtkEditable *, gpointer) {
  if (peak_value_differs(entry_peak_n_width, "PEAK_N_WIDTH", "Width factor",
                         &Config::peakNWidth))
    mark_file_changed();
}

G_MODULE_EXPORT void on_entry_start_angle_changed(GtkEditable *, gpointer) {
  if (peak_value_differs(entry_start_angle, "START_ANGLE", "Start angle", &Config::startAngle))
    mark_file_changed();
}

G_MODULE_EXPORT void on_entry_end_angle_changed(GtkEditable *, gpointer) {
  if (peak_value_differs(entry_end_angle, "END_ANGLE", "End angle", &Config::endAngle))
    mark_file_changed();
}

G_MODULE_EXPORT void on_entry_peak_n_width_activate(GtkEntry *, gpointer) {
  if (peak_value_differs(entry_peak_n_width, "PEAK_N_WIDTH", "Width factor",
                         &Config::peakNWidth))
    gtk_action_activate(action_update_hkl_list);
}

G_MODULE_EXPORT void on_entry_start_angle_activate(GtkEntry *, gpointer) {
  if (peak_value_differs(entry_start_angle, "START_ANGLE", "Start angle", &Config::startAngle))
    gtk_action_activate(action_update_hkl_list);
}

G_MODULE_EXPORT void on_entry_end_angle_activate(GtkEntry *, gpointer) {
  if (peak_value_differs(entry_end_angle, "END_ANGLE", "End angle", &Config::endAngle))
    gtk_action_activate(action_update_hkl_list);
}

G_MODULE_EXPORT void on_action_update_hkl_list_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  double width = 0, start = 0, end = 0;
  // Each field is checked, so that every wrong one is marked.
  const bool widthGood =
      entry_config_value(entry_peak_n_width, "PEAK_N_WIDTH", "Width factor", &width);
  const bool startGood = entry_config_value(entry_start_angle, "START_ANGLE", "Start angle", &start);
  const bool endGood = entry_config_value(entry_end_angle, "END_ANGLE", "End angle", &end);
  if (!widthGood || !startGood || !endGood) return;
  if (start > end) {
    char why[128];
    std::snprintf(why, sizeof why, "is below the start angle %f", start);
    set_entry_error(entry_end_angle, "End angle", "END_ANGLE", why);
    return;
  }
  Config &c = job.config;
  if (differs(width, c.peakNWidth) || differs(start, c.startAngle) || differs(end, c.endAngle))
    mark_file_changed();
  c.peakNWidth = width;
  c.startAngle = start;
  c.endAngle = end;
  set_peak_file(0);
  update_hkl_list();
}

G_MODULE_EXPORT void on_toggleaction_asym_search_toggled(GtkToggleAction *toggle, gpointer) {
  if (forcingAsymSearch) return;
  const int32_t on = gtk_toggle_action_get_active(toggle) ? 1 : 0;
  JobAccess access;
  if (!jobing || !access || access->config.asymSearch == on) return;
  access->config.asymSearch = on;
  mark_file_changed();
}

G_MODULE_EXPORT void on_action_import_pattern_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  const std::string refusal = import_refusal(job);
  if (!refusal.empty()) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "A measured pattern cannot be imported yet:\n%s",
               refusal.c_str());
    return;
  }
  if (!default_file_path[0]) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Save the job first: the peak file of the pattern is written beside its control "
               "file.");
    return;
  }
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      "Import Measured Pattern", GTK_WINDOW(window_main), GTK_FILE_CHOOSER_ACTION_OPEN,
      GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
  add_pattern_filter(chooser, "All Measured Patterns",
                     {"*.raw", "*.gsa", "*.gss", "*.fxye", "*.xy", "*.xye", "*.dat", "*.uxd",
                      "*.udf", "*.rd", "*.cif"});
  add_pattern_filter(chooser, "GSAS Raw Files (*.raw, *.gsa, *.gss, *.fxye)",
                     {"*.raw", "*.gsa", "*.gss", "*.fxye"});
  add_pattern_filter(chooser, "Text Columns (*.xy, *.xye, *.dat)", {"*.xy", "*.xye", "*.dat"});
  add_pattern_filter(chooser, "Bruker (*.raw, *.uxd)", {"*.raw", "*.uxd"});
  add_pattern_filter(chooser, "Philips (*.udf, *.rd)", {"*.udf", "*.rd"});
  add_pattern_filter(chooser, "Powder CIF (*.cif)", {"*.cif"});
  GtkFileFilter *all = gtk_file_filter_new();
  gtk_file_filter_set_name(all, "All Files (*.*)");
  gtk_file_filter_add_pattern(all, "*");
  gtk_file_chooser_add_filter(chooser, all);
  gtk_file_chooser_set_current_folder(chooser, default_file_path);
  std::string chosen;
  const int response = run_file_dialog(chooser, &chosen);
  gtk_widget_destroy(dialog);
  if (response != GTK_RESPONSE_ACCEPT || chosen.empty()) return;
  show_import_window(chosen);
  Message(MESSAGE_PLAIN,
          "================Pattern Import===============\n\nLe Bail fit of %s with "
          "the job's cell and space group...\n",
          chosen.c_str());
  if (!start_pattern_import(access, chosen, finish_import))
    import_failed(chosen, "the fit could not be started");
}

}  // extern "C"
