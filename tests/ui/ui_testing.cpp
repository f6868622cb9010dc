// SPDX-License-Identifier: BSD-3-Clause
#include "ui_testing.h"

#include <glib/gstdio.h>

#include <cstring>
#include <sstream>

namespace {

// The first widget below root, itself included, that passes the test.
GtkWidget *find(GtkWidget *root, const std::function<bool(GtkWidget *)> &test) {
  if (test(root)) return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList *children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget *found = nullptr;
  for (GList *c = children; c && !found; c = c->next) found = find(GTK_WIDGET(c->data), test);
  g_list_free(children);
  return found;
}

std::string take(gchar *text) {
  std::string s = text ? text : "";
  g_free(text);
  return s;
}

}  // namespace

void ScriptedUser::Install() {
  testHooks.dialog = [this](GtkDialog *dialog) {
    const bool message = GTK_IS_MESSAGE_DIALOG(dialog);
    gchar *text = nullptr;
    if (message) g_object_get(dialog, "text", &text, nullptr);
    asked.push_back(message ? take(text) : gtk_window_get_title(GTK_WINDOW(dialog)));
    std::function<int(GtkDialog *)> act = [](GtkDialog *) { return 0; };
    if (!actions.empty()) {
      act = actions.front();
      actions.pop_front();
    } else if (!answers.empty()) {
      act = [answer = answers.front()](GtkDialog *) { return answer; };
      answers.pop_front();
    } else {
      ADD_FAILURE() << "unexpected dialog: " << asked.back();
      return message ? static_cast<int>(GTK_RESPONSE_NO) : static_cast<int>(GTK_RESPONSE_CANCEL);
    }
    return act(dialog);
  };
  testHooks.fileDialog = [this](GtkFileChooser *chooser, std::string *file) {
    chooserTitles.push_back(gtk_window_get_title(GTK_WINDOW(chooser)));
    if (files.empty()) ADD_FAILURE() << "unexpected file dialog: " << chooserTitles.back();
    *file = files.empty() ? "" : files.front();
    if (!files.empty()) files.pop_front();
    return file->empty() ? static_cast<int>(GTK_RESPONSE_CANCEL)
                         : static_cast<int>(GTK_RESPONSE_ACCEPT);
  };
  testHooks.openUri = [this](const std::string &uri) {
    openedUris.push_back(uri);
    return true;
  };
}

size_t ScriptedUser::Count(const std::string &text) const {
  return std::count(asked.begin(), asked.end(), text);
}

void AppTest::SetUp() {
  g_remove(join_path(g_get_user_config_dir(), "pulvina/config").c_str());
  programOptions = ProgramOptions();
  programOptions.settings.threads = 1;
  programOptions.settings.annealingLog = nullptr;
  programOptions.settings.seed = 20240607;
  programOptions.haveSeed = true;
  programOptions.dataDirectory = SourcePath("data");
  quitRequested = false;
  user.Install();
  // Every handler the builder file names is in the program, and every
  // signal it binds one to is a signal of its object: a misspelt name would
  // only warn at run time, and the handler never be called.
  const guint warnings = g_log_set_handler(
      "GLib-GObject", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
      [](const gchar *, GLogLevelFlags, const gchar *text, gpointer) { ADD_FAILURE() << text; },
      nullptr);
  ASSERT_TRUE(pulvina_open_windows());
  g_log_remove_handler("GLib-GObject", warnings);
  EXPECT_EQ(unbound_handlers(), std::vector<std::string>());
  reset_job_settings();
  SpinFor(0.05);
}

void AppTest::TearDown() {
  // A changed job asks once more when the windows go; the answer is no.
  testHooks.dialog = [](GtkDialog *) { return static_cast<int>(GTK_RESPONSE_NO); };
  pulvina_close_windows();
  testHooks = TestHooks();
  SpinFor(0.02);
}

void AppTest::Open(const std::string &file) {
  user.files.push_back(file[0] == '/' ? file : SourcePath(file));
  gtk_action_activate(action_file_open);
  EXPECT_EQ(jobing, 1) << file;
}

void AppTest::Generate() {
  gtk_button_clicked(GTK_BUTTON(btn_generate_models));
  EXPECT_TRUE(SpinUntil(Idle, 60)) << "generation did not end";
  SpinFor(0.05);
}

void AppTest::Run(GtkAction *action) {
  gtk_action_activate(action);
  EXPECT_TRUE(SpinUntil(Idle, 300)) << gtk_action_get_name(action) << " did not end";
  SpinFor(0.15);
}

void AppTest::During(const std::function<int()> &act) {
  user.actions.push_back([act](GtkDialog *) { return act(); });
}

Job &TheJob() {
  // Let go at once: a test that held it across a wait would keep a worker
  // it started from the job.
  JobAccess access;
  if (access) return *access;
  ADD_FAILURE() << "the job is held by a worker";
  static Job none;
  return none;
}

bool SpinUntil(const std::function<bool()> &cond, double seconds) {
  return spin_main_loop_until(cond, seconds);
}

void SpinFor(double seconds) {
  SpinUntil([] { return false; }, seconds);
  gdk_threads_enter();
  gdk_window_process_all_updates();
  gdk_threads_leave();
}

bool Idle() { return !job_worker_running(); }

std::string LogText() {
  GtkTextIter start, end;
  gtk_text_buffer_get_bounds(text_buffer_output, &start, &end);
  return take(gtk_text_buffer_get_text(text_buffer_output, &start, &end, FALSE));
}

bool Logged(const std::string &text) { return LogText().find(text) != std::string::npos; }

int LogPictures() {
  GtkTextIter it;
  gtk_text_buffer_get_start_iter(text_buffer_output, &it);
  int n = 0;
  do n += gtk_text_iter_get_pixbuf(&it) != nullptr;
  while (gtk_text_iter_forward_char(&it));
  return n;
}

int Rows(GtkListStore *store) {
  return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store), nullptr);
}

std::string Text(GtkListStore *store, int row, int column) {
  return take(Cell<gchar *>(store, row, column));
}

std::string Text(GtkWidget *widget) {
  return GTK_IS_LABEL(widget) ? gtk_label_get_label(GTK_LABEL(widget))
                              : gtk_entry_get_text(GTK_ENTRY(widget));
}

std::string Mark(GtkWidget *entry) {
  if (!gtk_entry_get_icon_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY)) return "";
  return take(gtk_entry_get_icon_tooltip_text(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY));
}

void Type(GtkWidget *entry, const char *text) {
  gtk_entry_set_text(GTK_ENTRY(entry), text);
  gtk_widget_activate(entry);
}

int Page(GtkWidget *notebook) { return gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook)); }

void Select(GtkWidget *view, int row) {
  GtkTreePath *path = gtk_tree_path_new_from_indices(row, -1);
  gtk_tree_view_set_cursor(GTK_TREE_VIEW(view), path, nullptr, FALSE);
  gtk_tree_path_free(path);
}

std::string SourcePath(const std::string &relative) {
  return std::string(PULVINA_SOURCE_DIR) + "/" + relative;
}

std::string CopyZno(const TempDir &dir,
                    const std::vector<std::pair<std::string, std::string>> &changes) {
  std::string text = ReadWholeFile(SourcePath("examples/zno_wurtzite/zno.epc"));
  for (const auto &c : changes) {
    const size_t at = text.find(c.first);
    EXPECT_NE(at, std::string::npos) << c.first;
    if (at != std::string::npos) text.replace(at, c.first.size(), c.second);
  }
  dir.write("zno.hkl", ReadWholeFile(SourcePath("examples/zno_wurtzite/zno.hkl")));
  return dir.write("zno.epc", text);
}

void Screenshot(GtkWidget *window, const std::string &name) {
  gtk_widget_show(window);
  gdk_window_raise(window->window);
  SpinFor(0.8);
  GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, window->window, nullptr, 0, 0, 0, 0,
                                                 window->allocation.width,
                                                 window->allocation.height);
  ASSERT_NE(shot, nullptr) << "cannot read the window back for " << name;
  g_mkdir_with_parents(PULVINA_TEST_OUTPUT_DIR, 0755);
  const std::string path = std::string(PULVINA_TEST_OUTPUT_DIR) + "/" + name;
  EXPECT_TRUE(gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr)) << path;
  g_object_unref(shot);
}

GtkAction *Action(const char *name) {
  for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next)
    if (GtkAction *a = gtk_action_group_get_action(GTK_ACTION_GROUP(g->data), name)) return a;
  ADD_FAILURE() << "no action " << name;
  return nullptr;
}

GtkWidget *Named(GtkWidget *root, const char *name) {
  GtkWidget *found = find(root, [name](GtkWidget *w) {
    const gchar *id = GTK_IS_BUILDABLE(w) ? gtk_buildable_get_name(GTK_BUILDABLE(w)) : nullptr;
    return (id && std::strcmp(id, name) == 0) || std::strcmp(gtk_widget_get_name(w), name) == 0;
  });
  if (!found) ADD_FAILURE() << "no widget " << name;
  return found;
}

GtkCellRenderer *Renderer(GtkWidget *view, const char *name) {
  GList *columns = gtk_tree_view_get_columns(GTK_TREE_VIEW(view));
  GtkCellRenderer *found = nullptr;
  for (GList *c = columns; c && !found; c = c->next) {
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c->data));
    for (GList *r = cells; r && !found; r = r->next) {
      // Cell renderers carry their builder id as data.
      const gchar *own = static_cast<const gchar *>(
          g_object_get_data(G_OBJECT(r->data), "gtk-builder-name"));
      if (own && std::strcmp(own, name) == 0) found = GTK_CELL_RENDERER(r->data);
    }
    g_list_free(cells);
  }
  g_list_free(columns);
  if (!found) ADD_FAILURE() << "no cell renderer " << name;
  return found;
}

void Emit(GtkCellRenderer *renderer, int row, const char *text) {
  const std::string path = std::to_string(row);
  if (text)
    g_signal_emit_by_name(renderer, "edited", path.c_str(), text);
  else
    g_signal_emit_by_name(renderer, "toggled", path.c_str());
}

std::string ProposedName(GtkFileChooser *chooser) {
  GtkWidget *entry = find(GTK_WIDGET(chooser), [](GtkWidget *w) { return GTK_IS_ENTRY(w); });
  return entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "";
}

gboolean PressOnRow(GtkWidget *view, int row, guint button) {
  gtk_widget_realize(view);
  GtkTreePath *path = gtk_tree_path_new_from_indices(row, -1);
  GdkRectangle cell;
  gtk_tree_view_get_cell_area(GTK_TREE_VIEW(view), path, nullptr, &cell);
  gtk_tree_path_free(path);
  GdkEvent *event = gdk_event_new(GDK_BUTTON_PRESS);
  event->button.window =
      GDK_WINDOW(g_object_ref(gtk_tree_view_get_bin_window(GTK_TREE_VIEW(view))));
  event->button.button = button;
  event->button.x = cell.x + 2;
  event->button.y = cell.y + cell.height / 2.0;
  event->button.time = GDK_CURRENT_TIME;
  gboolean handled = FALSE;
  g_signal_emit_by_name(view, "button-press-event", event, &handled);
  gdk_event_free(event);
  return handled;
}

void Delete(GtkWidget *window) {
  GdkEvent *event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(window->window));
  gtk_main_do_event(event);
  gdk_event_free(event);
}

void ExpectBatchSolverGives(const CrystalModel *best, const std::string &title,
                            const std::string &arguments, const std::string &folder,
                            const std::string &guiFolder) {
  const std::string command = std::string(PULVINA_SOLVE) + " -q -o " + folder + " " + arguments;
  int status = -1;
  {
    GuiLockReleased released;
    status = RunCommand(command);
  }
  ASSERT_EQ(status, 0) << command;
  // summary.tsv: a header, then rank, model, three columns, factor; best first.
  std::istringstream summary(ReadWholeFile(folder + "/summary.tsv"));
  std::string line, model, factor;
  std::getline(summary, line);
  std::getline(summary, line);
  std::istringstream fields(line);
  for (int column = 0; column < 5; ++column) getline(fields, column == 1 ? model : factor, '\t');
  EXPECT_EQ(std::to_string(best->modelNumber), model);
  char shown[32];
  std::snprintf(shown, sizeof shown, "%.6f", best->Rmin);
  EXPECT_EQ(shown, factor);
  const std::string cif = "/" + title + "_" + std::to_string(best->modelNumber) + ".cif";
  const std::string written = ReadWholeFile(guiFolder + cif);
  EXPECT_FALSE(written.empty());
  EXPECT_EQ(written, ReadWholeFile(folder + cif));
}
