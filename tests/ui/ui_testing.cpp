#include "ui_testing.h"

#include <glib/gstdio.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string text_of(GtkDialog *dialog) {
  if (GTK_IS_MESSAGE_DIALOG(dialog)) {
    gchar *text = nullptr;
    g_object_get(dialog, "text", &text, nullptr);
    std::string s = text ? text : "";
    g_free(text);
    return s;
  }
  const gchar *title = gtk_window_get_title(GTK_WINDOW(dialog));
  return title ? title : "";
}

void remove_tree(const std::string &path) {
  GDir *dir = g_dir_open(path.c_str(), 0, nullptr);
  if (dir) {
    while (const gchar *name = g_dir_read_name(dir)) {
      const std::string child = path + "/" + name;
      if (g_file_test(child.c_str(), G_FILE_TEST_IS_DIR))
        remove_tree(child);
      else
        g_remove(child.c_str());
    }
    g_dir_close(dir);
  }
  g_rmdir(path.c_str());
}

}  // namespace

void ScriptedUser::Install() {
  testHooks.dialog = [this](GtkDialog *dialog) {
    const bool message = GTK_IS_MESSAGE_DIALOG(dialog);
    asked.push_back({message ? "message" : "dialog", text_of(dialog)});
    if (!actions.empty()) {
      const std::function<int(GtkDialog *)> act = actions.front();
      actions.pop_front();
      return act(dialog);
    }
    if (answers.empty()) {
      ADD_FAILURE() << "unexpected dialog: " << asked.back().text;
      return message ? static_cast<int>(GTK_RESPONSE_NO) : static_cast<int>(GTK_RESPONSE_CANCEL);
    }
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  };
  testHooks.fileDialog = [this](GtkFileChooser *chooser, std::string *file) {
    const gchar *title = gtk_window_get_title(GTK_WINDOW(chooser));
    chooserTitles.push_back(title ? title : "");
    if (files.empty()) {
      ADD_FAILURE() << "unexpected file dialog: " << chooserTitles.back();
      return static_cast<int>(GTK_RESPONSE_CANCEL);
    }
    *file = files.front();
    files.pop_front();
    return file->empty() ? static_cast<int>(GTK_RESPONSE_CANCEL)
                         : static_cast<int>(GTK_RESPONSE_ACCEPT);
  };
  testHooks.openUri = [this](const std::string &uri) {
    openedUris.push_back(uri);
    return true;
  };
}

size_t ScriptedUser::Count(const std::string &text) const {
  size_t n = 0;
  for (const Asked &a : asked) n += a.text == text ? 1 : 0;
  return n;
}

void AppTest::SetUp() {
  const std::string config = join_path(g_get_user_config_dir(), "pulvina/config");
  g_remove(config.c_str());
  programOptions = ProgramOptions();
  programOptions.settings.threads = 1;
  programOptions.settings.annealingLog = nullptr;
  programOptions.settings.seed = 20240607;
  programOptions.haveSeed = true;
  programOptions.dataDirectory = SourcePath("data");
  quitRequested = false;
  user.Install();
  ASSERT_TRUE(pulvina_open_windows());
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

std::string LogText() {
  GtkTextIter start, end;
  gtk_text_buffer_get_bounds(text_buffer_output, &start, &end);
  gchar *text = gtk_text_buffer_get_text(text_buffer_output, &start, &end, FALSE);
  std::string s = text ? text : "";
  g_free(text);
  return s;
}

int LogPictures() {
  GtkTextIter it;
  gtk_text_buffer_get_start_iter(text_buffer_output, &it);
  int n = 0;
  do {
    if (gtk_text_iter_get_pixbuf(&it)) ++n;
  } while (gtk_text_iter_forward_char(&it));
  return n;
}

int Rows(GtkListStore *store) {
  return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store), nullptr);
}

std::string SourcePath(const std::string &relative) {
  return std::string(PULVINA_SOURCE_DIR) + "/" + relative;
}

std::string OutputPath(const std::string &name) {
  g_mkdir_with_parents(PULVINA_TEST_OUTPUT_DIR, 0755);
  return std::string(PULVINA_TEST_OUTPUT_DIR) + "/" + name;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return "";
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ScratchDir::ScratchDir() {
  gchar *dir = g_dir_make_tmp("pulvina-ui-XXXXXX", nullptr);
  path_ = dir ? dir : "/tmp";
  g_free(dir);
}

ScratchDir::~ScratchDir() { remove_tree(path_); }

std::string Text(GtkListStore *store, int row, int column) {
  gchar *v = Cell<gchar *>(store, row, column);
  std::string s = v ? v : "";
  g_free(v);
  return s;
}

BatchBest RunBatchSolver(const std::string &arguments, const std::string &folder) {
  const std::string command = std::string(PULVINA_SOLVE) + " -q -o " + folder + " " + arguments;
  gchar *out = nullptr;
  gint status = -1;
  gboolean ran = FALSE;
  {
    GuiLockReleased released;
    ran = g_spawn_command_line_sync(command.c_str(), &out, nullptr, &status, nullptr);
  }
  g_free(out);
  if (!ran || status != 0) {
    ADD_FAILURE() << command << " ended with status " << status;
    return {};
  }
  std::istringstream summary(ReadFile(folder + "/summary.tsv"));
  std::string header, line, rank;
  std::getline(summary, header);
  std::getline(summary, line);
  std::istringstream fields(line);
  BatchBest best;
  std::getline(fields, rank, '\t');
  std::getline(fields, best.model, '\t');
  for (int skip = 0; skip < 3; ++skip) std::getline(fields, best.rmin, '\t');
  return best;
}

GdkPixbuf *Screenshot(GtkWidget *window, const std::string &name) {
  gdk_window_raise(window->window);
  SpinFor(0.3);
  const int width = window->allocation.width, height = window->allocation.height;
  GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, window->window, nullptr, 0, 0, 0, 0,
                                                 width, height);
  if (!shot) {
    ADD_FAILURE() << "cannot read the window back for " << name;
    return nullptr;
  }
  // OpenGL draws past the X server's copy of the window: paste the view's
  // own rendering where it sits.
  GtkWidget *view = GTK_WIDGET(crystal_3d_view);
  if (view && gtk_widget_get_toplevel(view) == window && gtk_widget_get_mapped(view)) {
    GdkPixbuf *scene = gtk_crystal_3d_view_get_image(crystal_3d_view);
    gint x = 0, y = 0;
    if (scene && gtk_widget_translate_coordinates(view, window, 0, 0, &x, &y)) {
      const int w = std::min(gdk_pixbuf_get_width(scene), width - x);
      const int h = std::min(gdk_pixbuf_get_height(scene), height - y);
      if (w > 0 && h > 0) gdk_pixbuf_copy_area(scene, 0, 0, w, h, shot, x, y);
    }
    if (scene) g_object_unref(scene);
  }
  GError *error = nullptr;
  if (!gdk_pixbuf_save(shot, OutputPath(name).c_str(), "png", &error, nullptr)) {
    ADD_FAILURE() << "saving " << name << ": " << (error ? error->message : "?");
    g_clear_error(&error);
  }
  return shot;
}

void OpenThroughMenu(ScriptedUser *user, const std::string &path) {
  user->files.push_back(path);
  gtk_action_activate(action_file_open);
}

namespace {

GtkWidget *find_entry(GtkWidget *widget) {
  if (GTK_IS_ENTRY(widget)) return widget;
  if (!GTK_IS_CONTAINER(widget)) return nullptr;
  GList *children = gtk_container_get_children(GTK_CONTAINER(widget));
  GtkWidget *found = nullptr;
  for (GList *c = children; c && !found; c = c->next) found = find_entry(GTK_WIDGET(c->data));
  g_list_free(children);
  return found;
}

}  // namespace

GtkAction *Action(const char *name) {
  for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next)
    if (GtkAction *a = gtk_action_group_get_action(GTK_ACTION_GROUP(g->data), name)) return a;
  ADD_FAILURE() << "no action " << name;
  return nullptr;
}

GtkWidget *Named(GtkWidget *root, const char *name) {
  const gchar *own = GTK_IS_BUILDABLE(root) ? gtk_buildable_get_name(GTK_BUILDABLE(root)) : nullptr;
  if (own && std::strcmp(own, name) == 0) return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList *children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget *found = nullptr;
  for (GList *c = children; c && !found; c = c->next) found = Named(GTK_WIDGET(c->data), name);
  g_list_free(children);
  return found;
}

GtkCellRenderer *Renderer(GtkWidget *view, const char *name) {
  GList *columns = gtk_tree_view_get_columns(GTK_TREE_VIEW(view));
  GtkCellRenderer *found = nullptr;
  for (GList *c = columns; c && !found; c = c->next) {
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(c->data));
    for (GList *r = cells; r && !found; r = r->next) {
      const gchar *own = static_cast<const gchar *>(
          g_object_get_data(G_OBJECT(r->data), "gtk-builder-name"));
      if (!own && GTK_IS_BUILDABLE(r->data)) own = gtk_buildable_get_name(GTK_BUILDABLE(r->data));
      if (own && std::strcmp(own, name) == 0) found = GTK_CELL_RENDERER(r->data);
    }
    g_list_free(cells);
  }
  g_list_free(columns);
  if (!found) ADD_FAILURE() << "no cell renderer " << name;
  return found;
}

std::string ProposedName(GtkFileChooser *chooser) {
  GtkWidget *entry = find_entry(GTK_WIDGET(chooser));
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
