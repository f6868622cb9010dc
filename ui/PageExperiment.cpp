// SPDX-License-Identifier: BSD-3-Clause
// The experiment-parameters dialog (radiation, wavelengths, polarisation,
// monochromator, and a second copy of the cell) and the peak-file dialog
// (the file, its layout, the angle range and the width factor, with the
// reflections it holds).
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "CrystalJobs.h"
#include "PageCommon.h"

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

// The models' figures follow a change of what they are computed from.
void update_model_states_when_models(const Job &job) {
  if (job.models.count > 0 && file_peak_file_validity)
    gtk_action_activate(action_update_model_states);
}

}  // namespace

// ---------------------------------------------------------- operations

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
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "Read peak file error!");
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
}

// ---------------------------------------------------------- handlers

extern "C" {

G_MODULE_EXPORT void on_action_experiment_parameters_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!jobing || !access) return;
  Job &job = *access;
  const Radiation before = job.radiation;
  run_dialog(GTK_DIALOG(dlg_experiment_parameters));
  gtk_widget_hide(dlg_experiment_parameters);
  // A change of what the Lorentz-polarisation factors depend on alters
  // every model's figures.
  if (!same_lp(before, job.radiation)) {
    refresh_reflection_factors();
    update_model_states_when_models(job);
  }
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

}  // extern "C"
