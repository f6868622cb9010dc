// SPDX-License-Identifier: BSD-3-Clause
#include "CrystalMain.h"

#include <gmodule.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "CrystalJobs.h"
#include "ModelPages.h"
#include "PageCommon.h"
#include "options.h"

// ---------------------------------------------------------------- globals

#define PULVINA_DEFINE_OBJECT(ctype, name, gtype) ctype *name = nullptr;
PULVINA_BUILDER_OBJECTS(PULVINA_DEFINE_OBJECT)
#undef PULVINA_DEFINE_OBJECT

const std::vector<BuilderObjectEntry> &BuilderObjects() {
#define PULVINA_OBJECT_SPEC(ctype, name, gtype) {#name, [] { return gtype; }},
  static const std::vector<BuilderObjectEntry> objects = {
      PULVINA_BUILDER_OBJECTS(PULVINA_OBJECT_SPEC)};
#undef PULVINA_OBJECT_SPEC
  return objects;
}

UIConfig uiConfig;
std::string uiConfigFileName;
char current_file_name[kPathSize] = "";
char default_file_path[kPathSize] = "";
char cif_output_folder[kPathSize] = "";
char hkl_output_folder[kPathSize] = "";
int jobing = 0;
int file_changed_flag = 0;
int file_title_validity = 0;
int file_formular_validity = 0;
int file_sg_validity = 0;
int file_peak_file_validity = 0;
CrystalModel *currentModel = nullptr;

GtkPlot *model_factors_plot = nullptr, *factor_plot = nullptr, *best_factor_plot = nullptr,
        *experiment_peak_plot = nullptr, *peaks_plot = nullptr;
GtkPlotSerial *model_factors_serial = nullptr, *model_factors_active_serial = nullptr,
              *factor_serial = nullptr, *best_factor_serial = nullptr,
              *obs_peak_serial = nullptr, *calc_peak_serial = nullptr;
GtkCrystal3DView *crystal_3d_view = nullptr;

ProgramOptions programOptions;
TestHooks testHooks;
bool quitRequested = false;

namespace {

GtkBuilder *builder = nullptr;
GdkPixbuf *messagePictures[3] = {nullptr, nullptr, nullptr};
GtkTextMark *logEnd = nullptr;
bool exiting = false;

const char *const kBanner = "Pulvina (kernel version %d.%d.%d)\n\n";
constexpr int kProgressBarWidth = 160;

// ------------------------------------------------------------ the GUI lock

// GDK's lock, recursive for the thread that holds it. The depth is kept per
// thread so that a wait for a worker can let go of the lock entirely.
GRecMutex guiMutex;
thread_local int guiDepth = 0;

void gui_lock_enter() {
  g_rec_mutex_lock(&guiMutex);
  ++guiDepth;
}

void gui_lock_leave() {
  --guiDepth;
  g_rec_mutex_unlock(&guiMutex);
}

}  // namespace

int gui_lock_depth() { return guiDepth; }

GuiLockReleased::GuiLockReleased() : depth_(guiDepth) {
  for (int i = 0; i < depth_; ++i) gdk_threads_leave();
}

GuiLockReleased::~GuiLockReleased() {
  for (int i = 0; i < depth_; ++i) gdk_threads_enter();
}

bool spin_main_loop_until(const std::function<bool()> &cond, double seconds) {
  GTimer *timer = g_timer_new();
  bool held = cond();
  {
    GuiLockReleased released;
    while (!held && g_timer_elapsed(timer, nullptr) < seconds) {
      if (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
      else
        g_usleep(1000);
      gdk_threads_enter();
      held = cond();
      gdk_threads_leave();
    }
  }
  g_timer_destroy(timer);
  return held;
}

std::string join_path(const char *folder, const std::string &name) {
  if (!folder || !*folder) return name;
  gchar *joined = g_build_filename(folder, name.c_str(), nullptr);
  std::string path = joined;
  g_free(joined);
  return path;
}

// -------------------------------------------------------------- messages

void AppendLog(int type, const std::string &text) {
  gdk_threads_enter();
  if (!text_buffer_output) {
    gdk_threads_leave();
    DefaultMessageSink(type, text);
    return;
  }
  GdkPixbuf *picture = type >= 0 && type < 3 ? messagePictures[type] : nullptr;
  GtkTextIter end;
  gtk_text_buffer_get_end_iter(text_buffer_output, &end);
  if (picture) {
    gtk_text_buffer_insert_pixbuf(text_buffer_output, &end, picture);
    gtk_text_buffer_insert(text_buffer_output, &end, " ", 1);
  }
  // The kernel's texts are bytes from files and users; the buffer takes
  // only UTF-8.
  if (g_utf8_validate(text.c_str(), static_cast<gssize>(text.size()), nullptr)) {
    gtk_text_buffer_insert(text_buffer_output, &end, text.c_str(), static_cast<gint>(text.size()));
  } else {
    gchar *valid = g_convert_with_fallback(text.c_str(), static_cast<gssize>(text.size()),
                                           "UTF-8", "ISO-8859-1", "?", nullptr, nullptr, nullptr);
    if (valid) {
      gtk_text_buffer_insert(text_buffer_output, &end, valid, -1);
      g_free(valid);
    }
  }
  gtk_text_view_scroll_mark_onscreen(GTK_TEXT_VIEW(text_output), logEnd);
  if (type == MESSAGE_ERROR) set_status_error(text);
  gdk_threads_leave();
}

int run_dialog(GtkDialog *dialog) {
  const int response = testHooks.dialog ? testHooks.dialog(dialog) : gtk_dialog_run(dialog);
  // However the dialog ends, its entries show what the job holds.
  if (!GTK_IS_MESSAGE_DIALOG(dialog)) revert_marked_entries(GTK_WIDGET(dialog));
  return response;
}

int run_file_dialog(GtkFileChooser *chooser, std::string *file) {
  int response;
  if (testHooks.fileDialog) {
    response = testHooks.fileDialog(chooser, file);
  } else {
    response = gtk_dialog_run(GTK_DIALOG(chooser));
    if (response == GTK_RESPONSE_ACCEPT) {
      gchar *name = gtk_file_chooser_get_filename(chooser);
      *file = name ? name : "";
      g_free(name);
    }
  }
  if (response == GTK_RESPONSE_ACCEPT && file->empty()) response = GTK_RESPONSE_CANCEL;
  return response;
}

int MessageBox(int type, int buttons, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  GtkWidget *dialog = gtk_message_dialog_new(
      GTK_WINDOW(window_main),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      static_cast<GtkMessageType>(type), static_cast<GtkButtonsType>(buttons), "%s", text);
  gtk_window_set_title(GTK_WINDOW(dialog), "Pulvina");
  const int response = run_dialog(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response;
}

int AskBox(int type, const std::string &text, const std::string &secondary,
           const std::vector<std::pair<std::string, int>> &buttons, int defaultResponse) {
  GtkWidget *dialog = gtk_message_dialog_new(
      GTK_WINDOW(window_main),
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      static_cast<GtkMessageType>(type), GTK_BUTTONS_NONE, "%s", text.c_str());
  if (!secondary.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", secondary.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "Pulvina");
  for (const auto &b : buttons)
    gtk_dialog_add_button(GTK_DIALOG(dialog), b.first.c_str(), b.second);
  if (defaultResponse == GTK_RESPONSE_NONE && !buttons.empty())
    defaultResponse = buttons.back().second;
  if (defaultResponse != GTK_RESPONSE_NONE)
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), defaultResponse);
  const int response = run_dialog(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response;
}

struct CaughtErrors::Caught {
  std::mutex lock;
  std::string text;
};

CaughtErrors::CaughtErrors() : caught_(std::make_shared<Caught>()) {
  std::shared_ptr<Caught> caught = caught_;
  auto previous = std::make_shared<MessageSink>();
  *previous = SetMessageSink([caught, previous](int type, const std::string &text) {
    if (type == MESSAGE_ERROR) {
      std::lock_guard<std::mutex> hold(caught->lock);
      caught->text += text;
    }
    if (*previous)
      (*previous)(type, text);
    else
      DefaultMessageSink(type, text);
  });
  previous_ = *previous;
}

CaughtErrors::~CaughtErrors() { SetMessageSink(previous_); }

std::string CaughtErrors::text() const {
  std::lock_guard<std::mutex> hold(caught_->lock);
  std::string text = caught_->text;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// ------------------------------------------------------ UI settings file

namespace {

struct GeometryKeys {
  const char *group;
  bool hasShow;
  gint32 UIConfig::*show;
  gint32 UIConfig::*top;
  gint32 UIConfig::*left;
  gint32 UIConfig::*width;
  gint32 UIConfig::*height;
};

// The file's groups in the order they are written and read.
const GeometryKeys kGeometryGroups[] = {
    {"main window", false, nullptr, &UIConfig::mainTop, &UIConfig::mainLeft, &UIConfig::mainWidth,
     &UIConfig::mainHeight},
    {"factor plots window", true, &UIConfig::factorShow, &UIConfig::factorTop,
     &UIConfig::factorLeft, &UIConfig::factorWidth, &UIConfig::factorHeight},
    {"peak plot window", true, &UIConfig::peakShow, &UIConfig::peakTop, &UIConfig::peakLeft,
     &UIConfig::peakWidth, &UIConfig::peakHeight},
    {"3d view window", true, &UIConfig::viewShow, &UIConfig::viewTop, &UIConfig::viewLeft,
     &UIConfig::viewWidth, &UIConfig::viewHeight},
};

}  // namespace

int ReadUIConfig(const char *fileName, UIConfig *config) {
  GKeyFile *file = g_key_file_new();
  if (!g_key_file_load_from_file(file, fileName, G_KEY_FILE_NONE, nullptr)) {
    g_key_file_free(file);
    return 0;
  }
  auto readInt = [&](const char *group, const char *key, gint32 *value) {
    GError *error = nullptr;
    const gint v = g_key_file_get_integer(file, group, key, &error);
    if (error) {
      g_error_free(error);
      return false;
    }
    *value = v;
    return true;
  };
  bool complete = true;
  for (const GeometryKeys &g : kGeometryGroups) {
    if (g.hasShow) {
      GError *error = nullptr;
      const gboolean show = g_key_file_get_boolean(file, g.group, "show", &error);
      if (error) {
        g_error_free(error);
        complete = false;
        break;
      }
      config->*g.show = show ? 1 : 0;
    }
    // A window never shown has no geometry in the file and keeps 0.
    if (!g_key_file_has_key(file, g.group, "width", nullptr)) continue;
    if (!readInt(g.group, "top", &(config->*g.top)) ||
        !readInt(g.group, "left", &(config->*g.left)) ||
        !readInt(g.group, "width", &(config->*g.width)) ||
        !readInt(g.group, "height", &(config->*g.height))) {
      complete = false;
      break;
    }
  }
  g_key_file_free(file);
  return complete ? 1 : 0;
}

int UpdateUIConfig(const char *fileName, const UIConfig *config) {
  GKeyFile *file = g_key_file_new();
  for (const GeometryKeys &g : kGeometryGroups) {
    if (g.hasShow) g_key_file_set_boolean(file, g.group, "show", config->*g.show != 0);
    if (config->*g.width <= 0 || config->*g.height <= 0) continue;
    g_key_file_set_integer(file, g.group, "top", config->*g.top);
    g_key_file_set_integer(file, g.group, "left", config->*g.left);
    g_key_file_set_integer(file, g.group, "width", config->*g.width);
    g_key_file_set_integer(file, g.group, "height", config->*g.height);
  }
  gsize length = 0;
  gchar *text = g_key_file_to_data(file, &length, nullptr);
  g_key_file_free(file);
  gchar *folder = g_path_get_dirname(fileName);
  g_mkdir_with_parents(folder, 0700);
  g_free(folder);
  // Written beside and renamed over the old file, so a full disk never
  // leaves half a file.
  const gboolean written =
      g_file_set_contents(fileName, text, static_cast<gssize>(length), nullptr);
  g_free(text);
  return written ? 1 : 0;
}

// ----------------------------------------------------- title and changes

// The document's name, then the program's, a changed one marked with a
// star: the folder is of no use in a title bar that cuts it off anyway.
void update_title() {
  gchar *name = current_file_name[0] ? g_path_get_basename(current_file_name)
                                     : g_strdup("untitled.epc");
  gchar *title = g_strdup_printf("%s%s — Pulvina", file_changed_flag ? "*" : "", name);
  gtk_window_set_title(GTK_WINDOW(window_main), title);
  g_free(title);
  g_free(name);
}

void mark_file_changed() {
  // Emptying the pages after Close runs their change handlers: only an open
  // job can be changed.
  if (!jobing) return;
  file_changed_flag = 1;
  update_title();
}

bool file_save_confirm() {
  if (!jobing || !file_changed_flag) return true;
  gchar *name = g_path_get_basename(current_file_name[0] ? current_file_name : "untitled.epc");
  const std::string question =
      std::string("Save the changes to the job \"") + name + "\" before closing?";
  g_free(name);
  const int answer =
      AskBox(GTK_MESSAGE_WARNING, question,
             "If you close without saving, the changes since the last save are lost.",
             {{"Close _without Saving", GTK_RESPONSE_NO},
              {GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL},
              {GTK_STOCK_SAVE, GTK_RESPONSE_YES}});
  // Escape and the window's close box give neither: the job stays.
  if (answer == GTK_RESPONSE_NO) return true;
  if (answer != GTK_RESPONSE_YES) return false;
  gtk_action_activate(action_file_save);
  // Saving was wanted: a cancelled dialog or a failed write keeps the job.
  return file_changed_flag == 0;
}

int new_job_confirm() {
  // A saved job goes without a word; a changed one after the save question.
  if (!jobing) return 1;
  return file_close() ? 1 : 0;
}

void reset_job_settings() {
  // A fit of another job's pattern says nothing about this one's models.
  set_profile_extraction(nullptr);
  JobAccess access;
  if (!access) return;
  access->settings = programOptions.settings;
  if (!programOptions.haveSeed) access->settings.seed = ClockSeed();
}

// ------------------------------------------------------- file commands

void update_job_readiness() {
  if (!builder || !ls_models) return;
  // The job's own commands come with the job; the statistic test and
  // solving need its models, which a changed formula or group takes away.
  const gboolean open = jobing != 0;
  const gboolean models =
      open && gtk_tree_model_iter_n_children(GTK_TREE_MODEL(ls_models), nullptr) > 0;
  for (const char *name : {"action_experiment_parameters", "action_peak_file"})
    set_action_sensitive(GTK_ACTION(gtk_builder_get_object(builder, name)), open);
  set_action_sensitive(action_generate_models, open);
  set_action_sensitive(action_statistic_test_start, models);
  set_action_sensitive(action_solve_structures, models);
}

namespace {

void set_job_actions(gboolean open) {
  gtk_widget_set_sensitive(notebook_main, open);
  set_action_sensitive(action_file_save, open);
  set_action_sensitive(action_file_save_as, open);
  set_action_sensitive(action_file_close, open);
  update_job_readiness();
  // A job's errors and stages go with it.
  set_status_error("");
  set_status_stage("");
}

void add_control_file_filters(GtkFileChooser *chooser) {
  GtkFileFilter *filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "Control Files (*.epc)");
  gtk_file_filter_add_pattern(filter, "*epc");
  gtk_file_chooser_add_filter(chooser, filter);
  filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, "All Files (*.*)");
  gtk_file_filter_add_pattern(filter, "*");
  gtk_file_chooser_add_filter(chooser, filter);
}

GtkWidget *save_dialog() {
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      "Save File", GTK_WINDOW(window_main), GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL,
      GTK_RESPONSE_CANCEL, GTK_STOCK_SAVE, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(dialog), TRUE);
  add_control_file_filters(GTK_FILE_CHOOSER(dialog));
  return dialog;
}

// The folder of the job last opened or saved: the file choosers start
// there, also once that job is closed.
std::string lastJobFolder;

const char *chooser_folder() {
  return default_file_path[0] ? default_file_path : lastJobFolder.c_str();
}

void set_current_file(const std::string &path) {
  CopyText(current_file_name, sizeof current_file_name, path.c_str());
  gchar *folder = g_path_get_dirname(path.c_str());
  CopyText(default_file_path, sizeof default_file_path, folder);
  lastJobFolder = folder;
  g_free(folder);
  show_output_folders();
}

std::string real_folder(const std::string &folder) {
  char *real = realpath(folder.c_str(), nullptr);
  std::string result = real ? real : folder;
  std::free(real);
  return result;
}

// A job saved into another folder names its peak file from there: by name
// when the file sits in that folder, else by its whole path, so that the
// saved job opens wherever it is put.
void rename_peak_file_for(Config *c, const std::string &newFile) {
  if (c->peakFile.empty()) return;
  const std::string path = JobPeakFilePath(*c, default_file_path);
  gchar *folder = g_path_get_dirname(path.c_str());
  gchar *base = g_path_get_basename(path.c_str());
  gchar *newFolder = g_path_get_dirname(newFile.c_str());
  const bool beside = real_folder(folder) == real_folder(newFolder);
  gchar *absolute = g_path_is_absolute(path.c_str())
                        ? g_strdup(path.c_str())
                        : g_build_filename(g_get_current_dir(), path.c_str(), nullptr);
  const std::string name = beside ? base : absolute;
  g_free(folder);
  g_free(base);
  g_free(newFolder);
  g_free(absolute);
  std::string why;
  if (name != c->peakFile && CheckConfigValue("PEAK_FILE", name.c_str(), nullptr, &why)) {
    Message(MESSAGE_HINT, "the job saved as %s names its peak file \"%s\"\n", newFile.c_str(),
            name.c_str());
    c->peakFile = name;
  }
}

// File > Open Recent offers the jobs opened or saved here before.
void remember_recent_file(const char *path) {
  gchar *uri = g_filename_to_uri(path, nullptr, nullptr);
  if (uri) gtk_recent_manager_add_item(gtk_recent_manager_get_default(), uri);
  g_free(uri);
}

// Writes the configuration to current_file_name.
void write_control_file() {
  // What marked entries show is not the job's: they show its values again.
  revert_all_marked_entries();
  JobAccess access;
  if (!access) return;
  if (UpdateConfigFile(current_file_name, &access->config)) {
    file_changed_flag = 0;
    update_title();
  } else {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "The job could not be saved to\n%s\n(see the message log).", current_file_name);
  }
}

bool save_as(const char *proposedName) {
  GtkWidget *dialog = save_dialog();
  if (current_file_name[0]) {
    gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), current_file_name);
  } else {
    if (chooser_folder()[0])
      gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), chooser_folder());
    if (proposedName) gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), proposedName);
  }
  std::string chosen;
  const int response = run_file_dialog(GTK_FILE_CHOOSER(dialog), &chosen);
  gtk_widget_destroy(dialog);
  if (response != GTK_RESPONSE_ACCEPT) return false;
  if (chosen.size() >= kPathSize) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "The path is too long:\n%s", chosen.c_str());
    return false;
  }
  {
    JobAccess access;
    if (!access) return false;
    rename_peak_file_for(&access->config, chosen);
  }
  set_current_file(chosen);
  write_control_file();
  if (!file_changed_flag) remember_recent_file(current_file_name);
  return true;
}

}  // namespace

bool file_close() {
  JobAccess access;
  if (!access || !file_save_confirm()) return false;
  jobing = 0;
  file_changed_flag = 0;
  init_widget_states();
  FreeJob(&*access);
  InitializeJob(&*access);
  free_opt_out_data(&optOutData);
  currentModel = nullptr;
  file_title_validity = file_formular_validity = file_sg_validity = file_peak_file_validity = 0;
  set_job_actions(FALSE);
  return true;
}

bool open_job_file(const std::string &path) {
  JobAccess access;
  if (!access) return false;
  Job &job = *access;
  if (path.size() >= kPathSize) {
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "The path is too long:\n%s", path.c_str());
    return false;
  }
  gchar *absolute = g_path_is_absolute(path.c_str())
                        ? g_strdup(path.c_str())
                        : g_build_filename(g_get_current_dir(), path.c_str(), nullptr);
  set_current_file(absolute);
  g_free(absolute);
  FreeJob(&job);
  InitializeJob(&job);
  reset_job_settings();
  init_opt_out_data(&optOutData);
  CaughtErrors errors;
  const int result = ReadConfigFile(&job.config, current_file_name);
  if (result != CONFIG_READ) {
    const char *what = result == CONFIG_WRONG_FORMAT    ? "it is no control file of Pulvina"
                       : result == CONFIG_WRONG_VERSION ? "it was written by another version"
                                                        : "it cannot be opened";
    const std::string why = errors.text();
    MessageBox(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
               "Cannot open the job %s: %s.\n%s%sChoose a control file (*.epc) that Pulvina "
               "wrote, or correct this one.",
               path.c_str(), what, why.c_str(), why.empty() ? "" : "\n");
    return false;
  }
  remember_recent_file(current_file_name);
  jobing = 1;
  update_fields_by_config();
  file_changed_flag = 0;
  update_title();
  set_job_actions(TRUE);
  return true;
}

void quit_main_loop() {
  if (gtk_main_level() > 0)
    gtk_main_quit();
  else
    quitRequested = true;
}

// ------------------------------------------------------- widget states

void init_widget_states() {
  gtk_entry_set_text(GTK_ENTRY(entry_title), "");
  gtk_entry_set_text(GTK_ENTRY(entry_formular), "");
  gtk_entry_set_text(GTK_ENTRY(entry_formular_z), "");
  gtk_list_store_clear(ls_elements);
  gtk_list_store_clear(ls_comb_elements);
  gtk_list_store_clear(ls_restraints);
  set_action_sensitive(action_epc_page, FALSE);
  set_action_sensitive(action_statistic_page, FALSE);
  set_action_sensitive(action_opt_page, FALSE);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 0);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 0);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic), 0);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 0);
  gtk_list_store_clear(ls_models);
  gtk_list_store_clear(ls_opt_models);
  gtk_list_store_clear(ls_choose_models);
  gtk_list_store_clear(ls_hkl_list);
  gtk_plot_clear_serials(experiment_peak_plot);
  gtk_plot_update(experiment_peak_plot);
  obs_peak_serial->count = 0;
  calc_peak_serial->count = 0;
  gtk_plot_update(peaks_plot);
  model_factors_serial->count = 0;
  model_factors_active_serial->count = 0;
  gtk_plot_update(model_factors_plot);
  factor_serial->count = 0;
  best_factor_serial->count = 0;
  gtk_plot_update(factor_plot);
  gtk_plot_update(best_factor_plot);
  gtk_crystal_3d_view_clear(crystal_3d_view);
  update_3d_view_legend();
  char banner[128];
  std::snprintf(banner, sizeof banner, kBanner, kKernelMajor, kKernelMinor, kKernelRelease);
  gtk_text_buffer_set_text(text_buffer_output, banner, -1);
  current_file_name[0] = '\0';
  gtk_window_set_title(GTK_WINDOW(window_main), "Pulvina");
}

// Each page fills its own widgets and sets up its part of the job.
void update_fields_by_config() {
  update_composition_fields_by_config();
  update_experiment_fields_by_config();
  update_statistic_fields_by_config();
  update_optimization_fields_by_config();
  update_model_fields_by_config();
}

// ------------------------------------------------------------ handlers

extern "C" {

G_MODULE_EXPORT gboolean on_window_main_delete_event(GtkWidget *, GdkEvent *, gpointer) {
  if (get_running_flag(&solve_running)) {
    Message(MESSAGE_WARNING,
            "structure solving is running, please stop it before exiting the program!\n");
    return TRUE;
  }
  if (get_running_flag(&statistic_running)) {
    Message(MESSAGE_WARNING,
            "the statistic test is running, please stop it before exiting the program!\n");
    return TRUE;
  }
  gtk_action_activate(action_exit);
  return TRUE;
}

G_MODULE_EXPORT void on_action_exit_activate(GtkAction *, gpointer) {
  if (exiting) return;
  exiting = true;
  // Workers write into the job: they stop at their next report and are
  // joined before the job goes.
  if (!stop_and_join_workers(30.0)) {
    std::fprintf(stderr, "pulvina: a background job did not stop within 30 s; quitting.\n");
    std::fflush(stderr);
    _exit(1);
  }
  if (!file_close()) {
    exiting = false;
    return;
  }
  quit_main_loop();
  exiting = false;
}

G_MODULE_EXPORT void on_action_file_new_activate(GtkAction *, gpointer) {
  JobAccess access;
  if (!access || !new_job_confirm()) return;
  FreeJob(&*access);
  InitializeJob(&*access);
  reset_job_settings();
  init_opt_out_data(&optOutData);
  gtk_list_store_clear(ls_models);
  gtk_list_store_clear(ls_opt_models);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 0);
  current_file_name[0] = '\0';
  default_file_path[0] = '\0';
  jobing = 1;
  update_fields_by_config();
  file_changed_flag = 0;
  update_title();
  set_job_actions(TRUE);
}

G_MODULE_EXPORT void on_action_file_open_activate(GtkAction *, gpointer) {
  if (!new_job_confirm()) return;
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      "Open File", GTK_WINDOW(window_main), GTK_FILE_CHOOSER_ACTION_OPEN, GTK_STOCK_CANCEL,
      GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  add_control_file_filters(GTK_FILE_CHOOSER(dialog));
  if (chooser_folder()[0])
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), chooser_folder());
  std::string chosen;
  const int response = run_file_dialog(GTK_FILE_CHOOSER(dialog), &chosen);
  gtk_widget_destroy(dialog);
  if (response != GTK_RESPONSE_ACCEPT) return;
  open_job_file(chosen);
}

G_MODULE_EXPORT void on_action_file_save_activate(GtkAction *, gpointer) {
  if (!jobing) return;
  if (!current_file_name[0]) {
    JobAccess access;
    if (!access) return;
    const std::string proposed = access->config.title + ".epc";
    save_as(proposed.c_str());
    return;
  }
  write_control_file();
}

G_MODULE_EXPORT void on_action_file_save_as_activate(GtkAction *, gpointer) {
  if (!jobing) return;
  save_as(nullptr);
}

G_MODULE_EXPORT void on_action_file_close_activate(GtkAction *, gpointer) {
  if (!jobing) return;
  file_close();
}

G_MODULE_EXPORT void on_action_help_manual_activate(GtkAction *, gpointer) {
  const std::string manual = find_manual();
  if (manual.empty()) {
    Message(MESSAGE_WARNING, "opening the manual, it is not installed (looked for %s)\n",
            "share/doc/pulvina/manual/index.html");
    return;
  }
  gchar *uri = g_filename_to_uri(manual.c_str(), nullptr, nullptr);
  if (!uri) return;
  bool opened = false;
  if (testHooks.openUri) {
    opened = testHooks.openUri(uri);
  } else {
    GError *error = nullptr;
    opened = gtk_show_uri(gtk_widget_get_screen(window_main), uri, GDK_CURRENT_TIME, &error);
    if (!opened) {
      g_clear_error(&error);
      gchar *argv[] = {const_cast<gchar *>("xdg-open"), uri, nullptr};
      opened = g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                             nullptr, &error);
      if (!opened) {
        Message(MESSAGE_WARNING, "opening the manual %s, %s\n", manual.c_str(),
                error ? error->message : "no program to open it");
        g_clear_error(&error);
      }
    }
  }
  g_free(uri);
  // Without a browser the user still learns where the manual is.
  if (!opened)
    MessageBox(GTK_MESSAGE_INFO, GTK_BUTTONS_OK,
               "No program here opens web pages. The manual is the file\n%s\n"
               "Open it in a web browser.",
               manual.c_str());
}

G_MODULE_EXPORT void on_action_about_activate(GtkAction *, gpointer) {
  run_dialog(GTK_DIALOG(dlg_about));
  gtk_widget_hide(dlg_about);
}

G_MODULE_EXPORT void on_action_epc_page_activate(GtkAction *, gpointer) {
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 0);
}

G_MODULE_EXPORT void on_action_statistic_page_activate(GtkAction *, gpointer) {
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 1);
}

G_MODULE_EXPORT void on_action_opt_page_activate(GtkAction *, gpointer) {
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 2);
}

G_MODULE_EXPORT void on_notebook_main_switch_page(GtkNotebook *, gpointer, guint page, gpointer) {
  if (page == 0 || page == 1) {
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_factor_plots), 0);
    set_action_sensitive(action_statistic_page, TRUE);
  } else if (page == 2) {
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_factor_plots), 1);
    set_action_sensitive(action_opt_page, TRUE);
  } else {
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_factor_plots), 0);
  }
}

}  // extern "C"

namespace {

void show_extra_window(GtkWidget *window, GtkToggleAction *toggle, gint32 *show) {
  *show = gtk_toggle_action_get_active(toggle) ? 1 : 0;
  if (*show)
    gtk_widget_show_all(window);
  else
    gtk_widget_hide(window);
  UpdateUIConfig(uiConfigFileName.c_str(), &uiConfig);
}

void remember_geometry(GtkWidget *window, gint32 *top, gint32 *left, gint32 *width,
                       gint32 *height) {
  // A hidden or unmapped window reports 0,0 and its requested size: only
  // what the user saw is worth keeping.
  if (!gtk_widget_get_visible(window) || !gtk_widget_get_mapped(window)) return;
  gint x = 0, y = 0, w = 0, h = 0;
  gtk_window_get_position(GTK_WINDOW(window), &x, &y);
  gtk_window_get_size(GTK_WINDOW(window), &w, &h);
  *top = y;
  *left = x;
  *width = w;
  *height = h;
  UpdateUIConfig(uiConfigFileName.c_str(), &uiConfig);
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void on_toggleaction_factor_plots_window_toggled(GtkToggleAction *, gpointer) {
  show_extra_window(window_factor_plots, toggleaction_factor_plots_window, &uiConfig.factorShow);
}

G_MODULE_EXPORT void on_toggleaction_peak_plots_window_toggled(GtkToggleAction *, gpointer) {
  show_extra_window(window_peak_plots, toggleaction_peak_plots_window, &uiConfig.peakShow);
}

G_MODULE_EXPORT void on_toggleaction_3d_view_window_toggled(GtkToggleAction *, gpointer) {
  show_extra_window(window_3d_view, toggleaction_3d_view_window, &uiConfig.viewShow);
}

G_MODULE_EXPORT gboolean on_window_factor_plots_delete_event(GtkWidget *, GdkEvent *, gpointer) {
  gtk_toggle_action_set_active(toggleaction_factor_plots_window, FALSE);
  return TRUE;
}

G_MODULE_EXPORT gboolean on_window_peak_plots_delete_event(GtkWidget *, GdkEvent *, gpointer) {
  gtk_toggle_action_set_active(toggleaction_peak_plots_window, FALSE);
  return TRUE;
}

G_MODULE_EXPORT gboolean on_window_3d_view_delete_event(GtkWidget *, GdkEvent *, gpointer) {
  gtk_toggle_action_set_active(toggleaction_3d_view_window, FALSE);
  return TRUE;
}

G_MODULE_EXPORT gboolean on_window_main_configure_event(GtkWidget *, GdkEventConfigure *,
                                                        gpointer) {
  remember_geometry(window_main, &uiConfig.mainTop, &uiConfig.mainLeft, &uiConfig.mainWidth,
                    &uiConfig.mainHeight);
  return FALSE;
}

G_MODULE_EXPORT gboolean on_window_factor_plots_configure_event(GtkWidget *, GdkEventConfigure *,
                                                                gpointer) {
  remember_geometry(window_factor_plots, &uiConfig.factorTop, &uiConfig.factorLeft,
                    &uiConfig.factorWidth, &uiConfig.factorHeight);
  return FALSE;
}

G_MODULE_EXPORT gboolean on_window_peak_plots_configure_event(GtkWidget *, GdkEventConfigure *,
                                                              gpointer) {
  remember_geometry(window_peak_plots, &uiConfig.peakTop, &uiConfig.peakLeft,
                    &uiConfig.peakWidth, &uiConfig.peakHeight);
  return FALSE;
}

G_MODULE_EXPORT gboolean on_window_3d_view_configure_event(GtkWidget *, GdkEventConfigure *,
                                                           gpointer) {
  remember_geometry(window_3d_view, &uiConfig.viewTop, &uiConfig.viewLeft, &uiConfig.viewWidth,
                    &uiConfig.viewHeight);
  return FALSE;
}

}  // extern "C"

// ------------------------------------------------------------ start-up

namespace {

void LinkButtonHook(GtkLinkButton *, const gchar *, gpointer) {}

// Handlers are found by name in the program itself; those of pages not
// built yet are skipped quietly (the tests list them).
std::vector<std::string> unboundHandlers;

void connect_handler(GtkBuilder *, GObject *object, const gchar *signal, const gchar *handler,
                     GObject *connectObject, GConnectFlags flags, gpointer) {
  static GModule *self = g_module_open(nullptr, G_MODULE_BIND_LAZY);
  gpointer symbol = nullptr;
  if (!self || !g_module_symbol(self, handler, &symbol) || !symbol) {
    unboundHandlers.push_back(handler);
    return;
  }
  if (connectObject)
    g_signal_connect_object(object, signal, G_CALLBACK(symbol), connectObject, flags);
  else
    g_signal_connect_data(object, signal, G_CALLBACK(symbol), nullptr, nullptr, flags);
}

GtkPlot *make_plot(GtkWidget *container, const char *xTitle, const char *yTitle,
                   bool legend) {
  GtkWidget *widget = gtk_plot_new();
  GtkPlot *plot = GTK_PLOT(widget);
  CopyText(plot->bottomAxile.title, sizeof plot->bottomAxile.title, xTitle);
  CopyText(plot->leftAxile.title, sizeof plot->leftAxile.title, yTitle);
  plot->topAxile.visible = 0;
  plot->rightAxile.visible = 0;
  plot->legend.visible = legend ? 1 : 0;
  if (legend) {
    plot->legend.placement = PLOT_LEGEND_BOTTOM;
    plot->legend.frameWidth = 0;
    plot->legend.yOffset = 10;
  }
  gtk_container_add(GTK_CONTAINER(container), widget);
  gtk_widget_show(widget);
  return plot;
}

GtkPlotSerial *make_serial(GtkPlot *plot, const char *name, int type, size_t buffer) {
  GtkPlotSerial *serial = gtk_plot_serial_new();
  if (!serial) {
    Message(MESSAGE_ERROR, "plot memory error!\n");
    return nullptr;
  }
  CopyText(serial->name, sizeof serial->name, name);
  serial->type = type;
  try {
    serial->points.assign(buffer, GtkPlotPoint{});
  } catch (const std::bad_alloc &) {
    Message(MESSAGE_ERROR, "plot memory error!\n");
  }
  serial->count = 0;
  gtk_plot_add_serial(plot, serial);
  return serial;
}

GtkPlotSerial *bar_serial(GtkPlot *plot, const char *name, guint32 colour, double width,
                          int placement) {
  GtkPlotSerial *serial = make_serial(plot, name, PLOT_SERIAL_BAR, 0);
  if (serial) serial->barStyle = {placement, width, colour};
  return serial;
}

void make_plots() {
  model_factors_plot = make_plot(align_model_factors_plot, "Model #", "FOM", false);
  model_factors_serial = bar_serial(model_factors_plot, "Model Factors", 0xFF0000, 1.0, 0);
  model_factors_active_serial = bar_serial(model_factors_plot, "Model Factors", 0x00FFFF, 1.0, 0);

  factor_plot = make_plot(align_factor_plot, "Step", "Bragg Factor", true);
  factor_serial = make_serial(factor_plot, "Bragg Factor", PLOT_SERIAL_LINE, kHistoryCapacity);
  if (factor_serial) {
    factor_serial->lineStyle.color = 0x0000FF;
    factor_serial->lineStyle.width = 2.0;
  }
  best_factor_plot = make_plot(align_best_factor_plot, "Step", "Bragg Factor", true);
  best_factor_serial =
      make_serial(best_factor_plot, "Best Bragg Factor", PLOT_SERIAL_LINE_SYMBOL, kBestChunk);
  if (best_factor_serial) {
    best_factor_serial->lineStyle.width = 2.0;
    best_factor_serial->lineStyle.color = 0xFF0000;
    best_factor_serial->symbolStyle.color = 0xFF0000;
  }
  experiment_peak_plot = make_plot(align_experiment_peak_plot, "Two Theta", "Intensity", true);
  peaks_plot = make_plot(align_peaks_plot, "Two Theta", "Intensity", true);
  obs_peak_serial = bar_serial(peaks_plot, "Observed", 0x0000FF, 2.0, 1);
  calc_peak_serial = bar_serial(peaks_plot, "Calculated", 0xFFFF00, 2.0, 3);
  make_profile_plot(make_plot(align_profile_plot, "Two Theta", "Intensity", true));

  GtkWidget *view = gtk_crystal_3d_view_new();
  crystal_3d_view = GTK_CRYSTAL_3D_VIEW(view);
  // The legend under the view names the element of each colour.
  GtkWidget *box = gtk_vbox_new(FALSE, 6);
  GtkWidget *legend = gtk_hbox_new(FALSE, 12);
  gtk_widget_set_name(legend, "legend_3d_view");
  gtk_container_set_border_width(GTK_CONTAINER(legend), 6);
  gtk_box_pack_start(GTK_BOX(box), view, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), legend, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(align_3d_view), box);
  gtk_widget_show_all(box);
}

GdkPixbuf *picture_of(GtkWidget *image) {
  gchar *stock = nullptr;
  GtkIconSize size = GTK_ICON_SIZE_MENU;
  if (gtk_image_get_storage_type(GTK_IMAGE(image)) == GTK_IMAGE_STOCK) {
    gtk_image_get_stock(GTK_IMAGE(image), &stock, &size);
    return gtk_widget_render_icon(image, stock, size, nullptr);
  }
  GdkPixbuf *pixbuf = gtk_image_get_pixbuf(GTK_IMAGE(image));
  return pixbuf ? GDK_PIXBUF(g_object_ref(pixbuf)) : nullptr;
}

}  // namespace

std::string find_manual() {
  std::vector<std::string> candidates;
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = '\0';
    gchar *bin = g_path_get_dirname(exe);
    gchar *installed =
        g_build_filename(bin, "..", "share", "doc", "pulvina", "manual", "index.html", nullptr);
    candidates.push_back(installed);
    g_free(installed);
    g_free(bin);
  }
  const std::string source = BuildTreeSource();
  if (!source.empty()) candidates.push_back(join_path(source.c_str(), "docs/manual/index.html"));
  for (const std::string &path : candidates)
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) {
      gchar *canonical = realpath(path.c_str(), nullptr);
      std::string result = canonical ? canonical : path;
      free(canonical);
      return result;
    }
  return std::string();
}

void pulvina_init_threads() {
  static bool done = false;
  if (done) return;
  done = true;
  g_rec_mutex_init(&guiMutex);
  gdk_threads_set_lock_functions(G_CALLBACK(gui_lock_enter), G_CALLBACK(gui_lock_leave));
  gdk_threads_init();
}

namespace {

// Smallest sizes a window comes back at: a plot needs room for its axes and
// legend, the 3D view for the crystal.
constexpr gint kMainMinWidth = 640, kMainMinHeight = 480;
constexpr gint kPlotMinWidth = 640, kPlotMinHeight = 400;
constexpr gint kViewMinSide = 480;

// Puts a window where the settings file had it, at least at its smallest
// size and wholly on the screen (the screen may have shrunk since). A
// window never shown keeps the size the builder file gives it.
void place_window(GtkWidget *window, gint left, gint top, gint width, gint height, gint minWidth,
                  gint minHeight) {
  GtkWindow *w = GTK_WINDOW(window);
  gint defaultWidth = 0, defaultHeight = 0;
  gtk_window_get_default_size(w, &defaultWidth, &defaultHeight);
  const bool known = width > 0 && height > 0;
  if (!known) {
    width = defaultWidth;
    height = defaultHeight;
  }
  GdkScreen *screen = gtk_window_get_screen(w);
  const gint screenWidth = gdk_screen_get_width(screen);
  const gint screenHeight = gdk_screen_get_height(screen);
  width = std::min(std::max(width, minWidth), screenWidth);
  height = std::min(std::max(height, minHeight), screenHeight);
  gtk_window_set_default_size(w, width, height);
  gtk_window_resize(w, width, height);
  if (known)
    gtk_window_move(w, std::min(std::max(left, 0), screenWidth - width),
                    std::min(std::max(top, 0), screenHeight - height));
}

// Back goes nowhere from a wizard's first step.
void follow_first_step(GtkWidget *notebook, const char *back) {
  GtkAction *action = GTK_ACTION(gtk_builder_get_object(builder, back));
  auto follow = +[](GtkNotebook *, gpointer, guint page, gpointer data) {
    gtk_action_set_sensitive(GTK_ACTION(data), page > 0);
  };
  g_signal_connect(notebook, "switch-page", G_CALLBACK(follow), action);
  gtk_action_set_sensitive(action, gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook)) > 0);
}

void on_recent_job_activated(GtkRecentChooser *chooser, gpointer) {
  gchar *uri = gtk_recent_chooser_get_current_uri(chooser);
  gchar *path = uri ? g_filename_from_uri(uri, nullptr, nullptr) : nullptr;
  g_free(uri);
  if (path && new_job_confirm()) open_job_file(path);
  g_free(path);
}

// File > Open Recent, after File > Open: the control files opened or saved
// before, newest first.
void add_open_recent() {
  GtkAction *recent = gtk_recent_action_new("action_file_open_recent", "Open _Recent",
                                            "Open a job opened before", nullptr);
  GtkRecentChooser *chooser = GTK_RECENT_CHOOSER(recent);
  GtkRecentFilter *filter = gtk_recent_filter_new();
  gtk_recent_filter_add_pattern(filter, "*.epc");
  gtk_recent_chooser_set_filter(chooser, filter);
  gtk_recent_chooser_set_local_only(chooser, TRUE);
  gtk_recent_chooser_set_show_not_found(chooser, FALSE);
  gtk_recent_chooser_set_sort_type(chooser, GTK_RECENT_SORT_MRU);
  gtk_recent_chooser_set_limit(chooser, 10);
  g_signal_connect(recent, "item-activated", G_CALLBACK(on_recent_job_activated), nullptr);
  GtkActionGroup *group = GTK_ACTION_GROUP(gtk_builder_get_object(builder, "actiongroup_main"));
  gtk_action_group_add_action(group, recent);
  g_object_unref(recent);
  gtk_ui_manager_add_ui(uimanager_main, gtk_ui_manager_new_merge_id(uimanager_main),
                        "/menubar_main/menu_file/action_file_open", "action_file_open_recent",
                        "action_file_open_recent", GTK_UI_MANAGER_MENUITEM, FALSE);
}

// Each toolbar button as wide as its own label: as wide as the widest one,
// the last buttons would fall into the overflow menu of a window of the
// default width.
void fit_toolbar_buttons() {
  GtkWidget *toolbar = gtk_ui_manager_get_widget(uimanager_main, "/toolbar_main");
  if (!toolbar) return;
  GList *items = gtk_container_get_children(GTK_CONTAINER(toolbar));
  for (GList *i = items; i; i = i->next)
    if (GTK_IS_TOOL_ITEM(i->data)) gtk_tool_item_set_homogeneous(GTK_TOOL_ITEM(i->data), FALSE);
  g_list_free(items);
}

}  // namespace

// The File and Help commands whose keys are the stock items' own.
bool owns_stock_accelerator(GtkAction *action) {
  GtkAction *const owners[] = {action_file_new,   action_file_open,  action_file_save,
                               action_file_save_as, action_file_close, action_exit};
  for (GtkAction *a : owners)
    if (a == action) return true;
  return std::strcmp(gtk_action_get_name(action), "action_help_manual") == 0;
}

bool pulvina_open_windows() {
  gtk_link_button_set_uri_hook(LinkButtonHook, nullptr, nullptr);
  // The builder file sits among the data files: one folder for all.
  programOptions.settings.data = LocateData(programOptions.dataDirectory);
  programOptions.dataDirectory = programOptions.settings.data.directory;
  uiConfigFileName = join_path(g_get_user_config_dir(), "pulvina/config");

  builder = gtk_builder_new();
  GError *error = nullptr;
  const std::string glade = join_path(programOptions.dataDirectory.c_str(), "main_window.glade");
  if (!gtk_builder_add_from_file(builder, glade.c_str(), &error)) {
    // No window to log into: the line goes to standard error.
    Message(MESSAGE_ERROR, "ERROR: %s\n", error ? error->message : glade.c_str());
    g_clear_error(&error);
    g_object_unref(builder);
    builder = nullptr;
    return false;
  }
  unboundHandlers.clear();
  gtk_builder_connect_signals_full(builder, connect_handler, nullptr);
  GSList *objects = gtk_builder_get_objects(builder);
  for (GSList *o = objects; o; o = o->next)
    if (GTK_IS_ENTRY(o->data)) watch_entry(GTK_WIDGET(o->data));
  g_slist_free(objects);

  std::string missing;
#define PULVINA_LOOK_UP(ctype, name, gtype)                                        \
  {                                                                                \
    GObject *object = gtk_builder_get_object(builder, #name);                      \
    if (!object || !g_type_is_a(G_OBJECT_TYPE(object), gtype))                     \
      missing += std::string(" ") + #name;                                         \
    name = reinterpret_cast<ctype *>(object);                                      \
  }
  PULVINA_BUILDER_OBJECTS(PULVINA_LOOK_UP)
#undef PULVINA_LOOK_UP
  if (!missing.empty()) {
    Message(MESSAGE_ERROR, "ERROR: %s lacks or mistypes:%s\n", glade.c_str(), missing.c_str());
    g_object_unref(builder);
    builder = nullptr;
    return false;
  }

  GdkPixbuf *icon = gtk_image_get_pixbuf(GTK_IMAGE(icon_application));
  if (icon) {
    gtk_window_set_icon(GTK_WINDOW(window_main), icon);
    gtk_window_set_default_icon(icon);
  }
  // A stock icon brings its item's accelerator along (gtk-save Ctrl+S,
  // gtk-find Ctrl+F): only the commands the icons are named for keep one,
  // so that each key does one thing.
  std::vector<GtkAction *> actions;
  for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next) {
    GList *list = gtk_action_group_list_actions(GTK_ACTION_GROUP(g->data));
    for (GList *a = list; a; a = a->next) actions.push_back(GTK_ACTION(a->data));
    g_list_free(list);
  }
  for (GtkAction *a : actions) {
    gchar *stock = nullptr;
    g_object_get(a, "stock-id", &stock, nullptr);
    GtkStockItem item;
    GtkAccelKey key;
    const gchar *path = gtk_action_get_accel_path(a);
    if (stock && path && gtk_stock_lookup(stock, &item) && item.keyval &&
        gtk_accel_map_lookup_entry(path, &key) && key.accel_key == item.keyval &&
        key.accel_mods == item.modifier && !owns_stock_accelerator(a))
      gtk_accel_map_change_entry(path, 0, static_cast<GdkModifierType>(0), TRUE);
    g_free(stock);
  }
  // The accelerators of the actions live in the UI manager's group.
  GtkAccelGroup *accelerators = gtk_ui_manager_get_accel_group(uimanager_main);
  if (!g_slist_find(gtk_accel_groups_from_object(G_OBJECT(window_main)), accelerators))
    gtk_window_add_accel_group(GTK_WINDOW(window_main), accelerators);
  // The statistic test's progress window takes the focus but not the
  // program: the shortcuts (Stop above all) work from it too.
  if (!g_slist_find(gtk_accel_groups_from_object(G_OBJECT(window_statistic_splash)),
                    accelerators))
    gtk_window_add_accel_group(GTK_WINDOW(window_statistic_splash), accelerators);
  g_object_set(cell_spin_oxidation, "editable", TRUE, "adjustment", adj_oxidation, nullptr);
  g_object_set(cell_spin_r_min, "editable", TRUE, "adjustment", adj_restraint, nullptr);
  g_object_set(cell_spin_r_max, "editable", TRUE, "adjustment", adj_restraint, nullptr);
  GtkTreeViewColumn *const sorted[] = {
      column_st_no, column_st_epc, column_st_para_count, column_st_rmin, column_st_ravg,
      column_st_sd, column_st_fom, column_choose_models_no, column_choose_models_epc,
      column_choose_models_para_count, column_choose_models_rmin, column_choose_models_ravg,
      column_choose_models_sd, column_choose_models_fom, column_opt_models_no,
      column_opt_models_epc, column_opt_models_para_count, column_opt_models_rbest};
  for (size_t i = 0; i < sizeof sorted / sizeof sorted[0]; ++i)
    gtk_tree_view_column_set_sort_column_id(sorted[i], static_cast<gint>(i % 7 + 1));
  show_factors_when_known();
  for (const char *signal : {"row-inserted", "row-deleted"})
    g_signal_connect(ls_models, signal, G_CALLBACK(+[] { update_job_readiness(); }), nullptr);
  gtk_tree_view_column_set_sort_column_id(column_model_info_para_count, 0);
  gtk_tree_view_column_set_sort_column_id(column_model_info_model_count, 1);
  gtk_tree_view_column_set_sort_column_id(column_model_info_percentage, 2);
  // The statistics read from the fewest free parameters up.
  gtk_tree_sortable_set_sort_column_id(GTK_TREE_SORTABLE(ls_model_info), 0, GTK_SORT_ASCENDING);
  follow_first_step(notebook_epc, "action_notebook_epc_backward");
  follow_first_step(notebook_statistic, "action_notebook_statistic_backward");
  add_open_recent();
  fit_toolbar_buttons();
  // A bar wider than its column shows only its left end, so every share and
  // every model's progress would look full: the bars keep a width that fits
  // the dialogs.
  gtk_cell_renderer_set_fixed_size(cellprogress_model_info, kProgressBarWidth, -1);
  gtk_cell_renderer_set_fixed_size(cellprogress_solve_progress, kProgressBarWidth, -1);
  g_object_set(cell_comb_fixed_coordinate_element, "model", ls_fixed_coordinate_element,
               "has-entry", FALSE, "text-column", 0, "editable", TRUE, nullptr);
  g_object_set(cell_comb_fixed_coordinate_wyckoff, "model", ls_fixed_coordinate_wyckoff,
               "has-entry", FALSE, "text-column", 0, "editable", TRUE, nullptr);
  g_object_set(cell_text_fixed_coordinate_oxidation, "editable", TRUE, nullptr);
  currentModel = nullptr;
  for (int i = 0; i < 3; ++i) {
    GtkWidget *const images[3] = {image_error, image_warning, image_hint};
    messagePictures[i] = picture_of(images[i]);
  }
  GtkTextIter end;
  gtk_text_buffer_get_end_iter(text_buffer_output, &end);
  logEnd = gtk_text_buffer_create_mark(text_buffer_output, "log-end", &end, FALSE);

  init_mutex_running_flag();
  init_mutex_out_data();
  init_opt_out_data(&optOutData);
  make_plots();
  SetMessageSink(AppendLog);
  Message(MESSAGE_PLAIN, kBanner, kKernelMajor, kKernelMinor, kKernelRelease);
  gtk_widget_show(window_main);

  uiConfig = UIConfig();
  if (ReadUIConfig(uiConfigFileName.c_str(), &uiConfig)) {
    // Each step below saves the file again through the handlers: keep the
    // values read until all are applied.
    const UIConfig saved = uiConfig;
    place_window(window_main, saved.mainLeft, saved.mainTop, saved.mainWidth, saved.mainHeight,
                 kMainMinWidth, kMainMinHeight);
    place_window(window_factor_plots, saved.factorLeft, saved.factorTop, saved.factorWidth,
                 saved.factorHeight, kPlotMinWidth, kPlotMinHeight);
    uiConfig = saved;
    gtk_toggle_action_set_active(toggleaction_factor_plots_window, saved.factorShow != 0);
    place_window(window_peak_plots, saved.peakLeft, saved.peakTop, saved.peakWidth,
                 saved.peakHeight, kPlotMinWidth, kPlotMinHeight);
    uiConfig.peakShow = saved.peakShow;
    gtk_toggle_action_set_active(toggleaction_peak_plots_window, saved.peakShow != 0);
    place_window(window_3d_view, saved.viewLeft, saved.viewTop, saved.viewWidth,
                 saved.viewHeight, kViewMinSide, kViewMinSide);
    uiConfig.viewShow = saved.viewShow;
    gtk_toggle_action_set_active(toggleaction_3d_view_window, saved.viewShow != 0);
  }
  update_job_readiness();
  update_job_sensitivity();
  set_status_stage("");
  set_status_error("");
  return true;
}

const std::vector<std::string> &unbound_handlers() { return unboundHandlers; }

void pulvina_close_windows() {
  stop_and_join_workers(30.0);
  SetMessageSink(nullptr);
  GtkWidget *const windows[] = {window_main, window_factor_plots, window_peak_plots,
                                window_3d_view, window_epc_splash, window_states_splash,
                                window_statistic_splash, window_validity_splash,
                                dlg_about, dlg_experiment_parameters, dlg_peak_file,
                                dlg_choose_models, dlg_opt, dlg_model_details, dlg_model_info,
                                dlg_bond_length_constraint, dlg_fixed_coordinates,
                                popmenu_models, popmenu_opt_models, popmenu_open_peak_file};
  for (GtkWidget *w : windows)
    if (w) gtk_widget_destroy(w);
  for (GdkPixbuf *&p : messagePictures)
    if (p) {
      g_object_unref(p);
      p = nullptr;
    }
  logEnd = nullptr;
  forget_action_sensitivity();
  if (builder) {
    g_object_unref(builder);
    builder = nullptr;
  }
#define PULVINA_FORGET(ctype, name, gtype) name = nullptr;
  PULVINA_BUILDER_OBJECTS(PULVINA_FORGET)
#undef PULVINA_FORGET
  model_factors_plot = factor_plot = best_factor_plot = experiment_peak_plot = peaks_plot =
      nullptr;
  model_factors_serial = model_factors_active_serial = factor_serial = best_factor_serial =
      obs_peak_serial = calc_peak_serial = nullptr;
  crystal_3d_view = nullptr;
  // Not while a worker that did not stop still holds the job.
  if (JobAccess access; access) {
    FreeJob(&*access);
    InitializeJob(&*access);
  }
  free_opt_out_data(&optOutData);
  free_mutexes();
  jobing = file_changed_flag = 0;
  current_file_name[0] = default_file_path[0] = '\0';
  currentModel = nullptr;
}

namespace {

void usage(std::FILE *out) {
  std::fprintf(out,
               "Usage: pulvina [options] [JOB.epc]\n"
               "The desktop program of Pulvina: solves crystal structures from indexed powder\n"
               "data, with live plots and a 3D view of the crystal.\n"
               "\n"
               "Options:\n"
               "  --seed N       seed of the random streams, for runs that repeat a batch run\n"
               "                 (pulvina-solve --seed N); without it each job draws one\n"
               "  --threads N    worker threads of the statistic test and solving (default:\n"
               "                 every online core); results do not depend on it\n"
               "  --data DIR     folder of sgt.xml, asft.dat, nslt.dat and main_window.glade\n"
               "  -h, --help     show this help\n"
               "  --version      show the version\n"
               "Toolkit options (--display, --sync, ...) are those of GTK+.\n");
}

// How reading the command line ended before its end: --help or --version
// answered, or a value refused with the reason as the message.
GQuark command_line_quark() { return g_quark_from_static_string("pulvina-command-line"); }
enum { COMMAND_LINE_ANSWERED, COMMAND_LINE_REFUSED };

gboolean answered(GError **error) {
  g_set_error_literal(error, command_line_quark(), COMMAND_LINE_ANSWERED, "");
  return FALSE;
}

// The shared options are checked by the kernel, whose reason is the whole
// message.
gboolean refused_unless(bool ok, const std::string &why, GError **error) {
  if (ok) return TRUE;
  g_set_error_literal(error, command_line_quark(), COMMAND_LINE_REFUSED, why.c_str());
  return FALSE;
}

gboolean on_help(const gchar *, const gchar *, gpointer, GError **error) {
  usage(stdout);
  return answered(error);
}

gboolean on_version(const gchar *, const gchar *, gpointer, GError **error) {
  std::printf("pulvina (kernel version %d.%d.%d)\n", kKernelMajor, kKernelMinor, kKernelRelease);
  return answered(error);
}

gboolean on_seed(const gchar *, const gchar *value, gpointer, GError **error) {
  std::string why;
  uint64_t seed = 0;
  const bool ok = CheckSeedOption(value, &seed, &why);
  if (ok) {
    programOptions.haveSeed = true;
    programOptions.settings.seed = seed;
  }
  return refused_unless(ok, why, error);
}

gboolean on_threads(const gchar *, const gchar *value, gpointer, GError **error) {
  std::string why;
  return refused_unless(CheckThreadsOption(value, &programOptions.settings.threads, &why), why,
                        error);
}

gboolean on_data(const gchar *, const gchar *value, gpointer, GError **error) {
  std::string why;
  return refused_unless(CheckDataOption(value, &programOptions.dataDirectory, &why), why, error);
}

int refuse(const std::string &reason) {
  std::fprintf(stderr, "pulvina: %s\n", reason.c_str());
  return 2;
}

// Reads the program's options and the toolkit's, without opening the
// display, so that a mistake, --help and --version need none. Each option
// is taken as it comes: the first bad one on the line is reported. Returns
// -1 to go on, otherwise the exit status.
int parse_options(int *argc, char ***argv) {
  gchar **files = nullptr;
  const GOptionEntry entries[] = {
      {"help", 'h', G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
       reinterpret_cast<gpointer>(on_help), nullptr, nullptr},
      {"version", 0, G_OPTION_FLAG_NO_ARG, G_OPTION_ARG_CALLBACK,
       reinterpret_cast<gpointer>(on_version), nullptr, nullptr},
      {"seed", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_seed), nullptr, nullptr},
      {"threads", 0, 0, G_OPTION_ARG_CALLBACK, reinterpret_cast<gpointer>(on_threads), nullptr,
       nullptr},
      {"data", 0, G_OPTION_FLAG_FILENAME, G_OPTION_ARG_CALLBACK,
       reinterpret_cast<gpointer>(on_data), nullptr, nullptr},
      {G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY, &files, nullptr, nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  std::unique_ptr<GOptionContext, decltype(&g_option_context_free)> context(
      g_option_context_new(nullptr), g_option_context_free);
  // The program's own usage text answers --help; unknown options are left
  // to be reported in the words of every Pulvina program.
  g_option_context_set_help_enabled(context.get(), FALSE);
  g_option_context_set_ignore_unknown_options(context.get(), TRUE);
  g_option_context_add_main_entries(context.get(), entries, nullptr);
  g_option_context_add_group(context.get(), gtk_get_option_group(FALSE));
  GError *error = nullptr;
  const bool parsed = g_option_context_parse(context.get(), argc, argv, &error);
  std::unique_ptr<gchar *, decltype(&g_strfreev)> arguments(files, g_strfreev);
  if (!parsed) {
    std::unique_ptr<GError, decltype(&g_error_free)> failure(error, g_error_free);
    if (error->domain == command_line_quark())
      return error->code == COMMAND_LINE_ANSWERED ? 0 : refuse(error->message);
    // GLib runs out of values only at the end of the line, so an option
    // left without one is the last argument.
    const std::string last = (*argv)[*argc - 1];
    if (g_error_matches(error, G_OPTION_ERROR, G_OPTION_ERROR_BAD_VALUE) && last[0] == '-' &&
        last.find('=') == std::string::npos)
      return refuse(MissingValueReason(last));
    return refuse(error->message);
  }
  for (int i = 1; i < *argc; ++i)
    if (std::strcmp((*argv)[i], "--") != 0) return refuse(UnknownOptionReason((*argv)[i]));
  for (gchar **f = files; f && *f; ++f) {
    if (programOptions.jobFile.empty())
      programOptions.jobFile = *f;
    else
      return refuse(std::string("only one control file, not '") + *f + "' too");
  }
  return -1;
}

}  // namespace

int pulvina_main(int argc, char **argv) {
  pulvina_init_threads();
  InitializeJob(&*JobAccess());
  // Every core unless asked otherwise; the annealing narrates to standard
  // output as it always has.
  programOptions.settings.threads = 0;
  const int status = parse_options(&argc, &argv);
  if (status >= 0) return status;
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "pulvina: cannot open the display (is DISPLAY set?)\n");
    return 1;
  }
  if (!pulvina_open_windows()) return 1;
  reset_job_settings();
  gdk_threads_enter();
  if (!programOptions.jobFile.empty()) open_job_file(programOptions.jobFile);
  if (!quitRequested) gtk_main();
  gdk_threads_leave();
  pulvina_close_windows();
  return 0;
}

void update_3d_view_legend() {
  if (!crystal_3d_view) return;
  GtkWidget *box = gtk_widget_get_parent(GTK_WIDGET(crystal_3d_view));
  GList *children = gtk_container_get_children(GTK_CONTAINER(box));
  GtkWidget *legend = g_list_length(children) > 1 ? GTK_WIDGET(g_list_nth_data(children, 1))
                                                  : nullptr;
  g_list_free(children);
  if (!legend) return;
  // Rebuilt only when the elements change: a running search redraws often.
  std::string elements;
  for (const ViewAtom &atom : crystal_3d_view->crystal.atoms) elements += std::string(atom.symbol) + ' ';
  const char *previous = static_cast<const char *>(g_object_get_data(G_OBJECT(legend), "elements"));
  if (previous && elements == previous) return;
  g_object_set_data_full(G_OBJECT(legend), "elements", g_strdup(elements.c_str()), g_free);
  GList *old = gtk_container_get_children(GTK_CONTAINER(legend));
  for (GList *o = old; o; o = o->next) gtk_widget_destroy(GTK_WIDGET(o->data));
  g_list_free(old);
  // One swatch and symbol per element, in the order the atoms come.
  std::vector<std::string> shown;
  for (const ViewAtom &atom : crystal_3d_view->crystal.atoms) {
    if (std::find(shown.begin(), shown.end(), atom.symbol) != shown.end()) continue;
    shown.push_back(atom.symbol);
    auto byte = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    gchar *markup = g_markup_printf_escaped(
        "<span background=\"#%02X%02X%02X\">\u2003\u2003</span>", byte(atom.red),
        byte(atom.green), byte(atom.blue));
    GtkWidget *swatch = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(swatch), markup);
    g_free(markup);
    GtkWidget *entry = gtk_hbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(entry), swatch, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(entry), gtk_label_new(atom.symbol), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(legend), entry, FALSE, FALSE, 0);
  }
  gtk_widget_show_all(legend);
}
