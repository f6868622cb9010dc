// SPDX-License-Identifier: BSD-3-Clause
// The extra windows and the keyboard: geometry that comes back usable,
// windows the user can put behind the main one, unique shortcuts, actions
// that wait for a job, and what the status bar and the log report.
#include <gdk/gdkkeysyms.h>

#include <map>

#include "ui_testing.h"

namespace {

struct ExtraWindow {
  const char *name;
  GtkWidget *const *window;
  GtkToggleAction *const *toggle;
  gint minWidth, minHeight;
};

const ExtraWindow kExtraWindows[] = {
    {"factor plots", &window_factor_plots, &toggleaction_factor_plots_window, 640, 400},
    {"peak plots", &window_peak_plots, &toggleaction_peak_plots_window, 640, 400},
    {"3D view", &window_3d_view, &toggleaction_3d_view_window, 480, 480},
};

std::string ConfigFile() { return join_path(g_get_user_config_dir(), "pulvina/config"); }

}  // namespace

using Windows = AppTest;

// A first run shows no extra window and quits: the next run shows each at
// a usable size on the screen, whatever the file said about unseen windows.
// They are ordinary windows: no keep-above hint, not tied above the main
// window, so the user can raise the main window.
TEST_F(Windows, ExtraWindowsComeBackAtAUsableSizeOnTheScreen) {
  pulvina_close_windows();
  UIConfig c;
  ASSERT_TRUE(ReadUIConfig(ConfigFile().c_str(), &c));
  EXPECT_EQ(c.peakWidth, 0) << "a window never shown has no geometry to keep";
  // An older file with zero sizes and a window far off the screen.
  c.viewLeft = 5000;
  c.viewTop = 4000;
  c.viewWidth = 9000;
  c.viewHeight = 30;
  ASSERT_TRUE(UpdateUIConfig(ConfigFile().c_str(), &c));
  ASSERT_TRUE(pulvina_open_windows());
  const gint screenW = gdk_screen_get_width(gdk_screen_get_default());
  const gint screenH = gdk_screen_get_height(gdk_screen_get_default());
  for (const ExtraWindow &w : kExtraWindows) {
    SCOPED_TRACE(w.name);
    gtk_toggle_action_set_active(*w.toggle, TRUE);
    SpinFor(0.2);
    gint x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(GTK_WINDOW(*w.window), &x, &y);
    gtk_window_get_size(GTK_WINDOW(*w.window), &width, &height);
    EXPECT_GE(width, w.minWidth);
    EXPECT_GE(height, w.minHeight);
    EXPECT_LE(x + width, screenW);
    EXPECT_LE(y + height, screenH);
    EXPECT_GE(x, 0);
    EXPECT_GE(y, 0);
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(*w.window)), nullptr);
    EXPECT_EQ(gtk_window_get_type_hint(GTK_WINDOW(*w.window)), GDK_WINDOW_TYPE_HINT_NORMAL);
    Screenshot(*w.window, std::string("window-") + w.name + ".png");
  }
}

namespace {

// The text a list column shows for a row, as the view draws it.
std::string Shown(GtkTreeViewColumn *column, GtkListStore *store, int row) {
  GtkTreeIter it;
  if (!gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(store), &it, nullptr, row)) return "?";
  gtk_tree_view_column_cell_set_cell_data(column, GTK_TREE_MODEL(store), &it, FALSE, FALSE);
  GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
  gchar *text = nullptr;
  g_object_get(cells->data, "text", &text, nullptr);
  g_list_free(cells);
  std::string result = text ? text : "";
  g_free(text);
  return result;
}

}  // namespace

// Models made without reflections have no factors yet: the lists say so
// instead of showing the placeholders as figures; evaluated ones show them.
TEST_F(Windows, FactorsNotYetComputedShowADash) {
  TempDir dir;
  user.answers = {GTK_RESPONSE_OK, GTK_RESPONSE_OK};
  Open(CopyZno(dir, {{"PEAK_FILE\t\"zno.hkl\"", "PEAK_FILE\t\"missing.hkl\""}}));
  Generate();
  ASSERT_GT(Rows(ls_models), 0);
  GtkTreeViewColumn *const factors[] = {column_st_rmin, column_st_ravg, column_st_sd,
                                        column_st_fom};
  for (GtkTreeViewColumn *c : factors)
    EXPECT_EQ(Shown(c, ls_models, 0), "\xe2\x80\x94") << gtk_tree_view_column_get_title(c);
  EXPECT_EQ(Shown(column_st_para_count, ls_models, 0), std::to_string(Cell<int>(ls_models, 0, 3)));
  Screenshot(window_main, "models-without-factors.png");
}

// Models solved side by side: the time the log reports is the time the
// user waited, not the models' times added up; the CPU time is labelled.
TEST_F(Windows, SolvingReportsTheWallTimeItTook) {
  TempDir dir;
  programOptions.settings.threads = 2;
  Open(CopyZno(dir));
  Generate();
  gtk_action_activate(action_goto_opt);
  GTimer *timer = g_timer_new();
  Run(action_solve_structures);
  const double waited = g_timer_elapsed(timer, nullptr);
  g_timer_destroy(timer);
  const std::string log = LogText();
  const size_t at = log.find("Total time used: ");
  ASSERT_NE(at, std::string::npos);
  const std::string line = log.substr(at, log.find('\n', at) - at);
  double wall = -1, cpu = -1;
  ASSERT_EQ(std::sscanf(line.c_str(), "Total time used: %lfs (wall clock), %lfs CPU", &wall, &cpu),
            2)
      << line;
  EXPECT_LE(wall, waited);
  EXPECT_GE(cpu, 0.0);
  // Each model's lines come as one block under its number, unmixed.
  int blocks = 0;
  for (size_t head = log.find("Solving model "); head != std::string::npos;
       head = log.find("Solving model ", head + 1), ++blocks) {
    const int number = std::atoi(log.c_str() + head + 14);
    const size_t next = log.find("Solving model ", head + 1);
    const size_t tail = log.find("Model " + std::to_string(number) + " has been solved", head);
    EXPECT_LT(tail, next) << "model " << number;
  }
  EXPECT_EQ(blocks, Rows(ls_opt_models));
}

// A new job's elements start at their common oxidation states, and the log
// says so; a mixed site's members each get theirs, an element without one
// stays at 0. A formula typed over it drops the states of elements it lost.
TEST_F(Windows, ANewJobOffersTheCommonOxidationStates) {
  struct Case {
    const char *formula;
    std::vector<std::pair<std::string, int>> states;
  };
  const Case cases[] = {
      {"ZnO", {{"Zn", 2}, {"O", -2}}},
      {"CaWO4", {{"Ca", 2}, {"W", 6}, {"O", -2}}},
      {"(Fe0.5Mn0.5)2SiO4", {{"Fe", 3}, {"Mn", 2}, {"Si", 4}, {"O", -2}}},
      {"XeF2", {{"Xe", 0}, {"F", -1}}},
  };
  gtk_action_activate(action_file_new);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.formula);
    gtk_entry_set_text(GTK_ENTRY(entry_formular), c.formula);
    gtk_action_activate(action_set_formular);
    ASSERT_EQ(Rows(ls_elements), static_cast<int>(c.states.size()));
    for (size_t i = 0; i < c.states.size(); ++i) {
      EXPECT_EQ(Text(ls_elements, static_cast<int>(i), 0), c.states[i].first);
      EXPECT_EQ(Cell<int>(ls_elements, static_cast<int>(i), 2), c.states[i].second);
    }
    EXPECT_EQ(TheJob().config.oxidation.size(), c.states.size() - (c.states[0].second == 0));
  }
  EXPECT_TRUE(Logged("common oxidation state"));
  EXPECT_FALSE(Logged("is not in the formula"));
}

// Actions that need a job wait for one: with none open they are off, the
// job's own commands come with it, and the statistic test and solving
// with its models; closing the job turns them off again.
TEST_F(Windows, JobActionsWaitForAJobThatIsReadyForThem) {
  GtkAction *const jobActions[] = {Action("action_experiment_parameters"),
                                   Action("action_peak_file"), action_generate_models};
  GtkAction *const modelActions[] = {action_statistic_test_start, action_solve_structures};
  struct Stage {
    const char *name;
    std::function<void()> reach;
    bool job, models;
  };
  TempDir dir;
  const Stage stages[] = {
      {"no job", [] {}, false, false},
      {"opened", [&] { Open(CopyZno(dir)); }, true, false},
      {"generated", [&] { Generate(); }, true, true},
      {"formula changed",
       [&] {
         gtk_entry_set_text(GTK_ENTRY(entry_formular), "Zn2O2");
         gtk_action_activate(action_set_formular);
       },
       true, false},
      {"closed",
       [&] {
         user.answers.push_back(GTK_RESPONSE_NO);
         gtk_action_activate(action_file_close);
       },
       false, false},
  };
  for (const Stage &s : stages) {
    SCOPED_TRACE(s.name);
    s.reach();
    for (GtkAction *a : jobActions)
      EXPECT_EQ(gtk_action_get_sensitive(a), s.job) << gtk_action_get_name(a);
    for (GtkAction *a : modelActions)
      EXPECT_EQ(gtk_action_get_sensitive(a), s.models) << gtk_action_get_name(a);
  }
  // Ctrl+G with no job does nothing and says nothing.
  EXPECT_FALSE(gtk_accel_groups_activate(G_OBJECT(window_main), GDK_g, GDK_CONTROL_MASK));
  EXPECT_TRUE(user.asked.size() <= 1u);
}

namespace {

// The mnemonics a user can reach at once below a widget: its labels, with
// each notebook page checked on its own (the other pages are not shown) and
// each menu separately. Clashes go to the list as "key: label, label".
struct MnemonicScope {
  std::map<guint, std::vector<std::string>> keys;
  void Add(GtkLabel *label) {
    const guint key = gtk_label_get_mnemonic_keyval(label);
    if (key != GDK_VoidSymbol) keys[gdk_keyval_to_lower(key)].push_back(gtk_label_get_label(label));
  }
  void Clashes(const std::string &where, std::vector<std::string> *out) const {
    for (const auto &k : keys)
      if (k.second.size() > 1) {
        std::string line = where + ": Alt+" + gdk_keyval_name(k.first) + ":";
        for (const std::string &l : k.second) line += " '" + l + "'";
        out->push_back(line);
      }
  }
};

void CheckMnemonics(GtkWidget *root, MnemonicScope scope, const std::string &where,
                    std::vector<std::string> *clashes);

void Walk(GtkWidget *w, MnemonicScope *scope,
          std::vector<std::pair<GtkWidget *, std::string>> *later, const std::string &where) {
  if (!gtk_widget_get_visible(w) && !GTK_IS_MENU_ITEM(w)) return;
  if (GTK_IS_LABEL(w)) scope->Add(GTK_LABEL(w));
  if (GTK_IS_MENU_ITEM(w) && gtk_menu_item_get_submenu(GTK_MENU_ITEM(w)))
    later->push_back({gtk_menu_item_get_submenu(GTK_MENU_ITEM(w)), where + " > menu"});
  if (GTK_IS_NOTEBOOK(w)) {
    GtkNotebook *book = GTK_NOTEBOOK(w);
    for (int p = 0; p < gtk_notebook_get_n_pages(book); ++p) {
      GtkWidget *page = gtk_notebook_get_nth_page(book, p);
      GtkWidget *tab = gtk_notebook_get_tab_label(book, page);
      if (tab && GTK_IS_LABEL(tab)) scope->Add(GTK_LABEL(tab));
      later->push_back({page, where + " > page " + std::to_string(p + 1)});
    }
    return;
  }
  if (GTK_IS_CONTAINER(w)) {
    GList *children = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList *c = children; c; c = c->next) Walk(GTK_WIDGET(c->data), scope, later, where);
    g_list_free(children);
  }
}

void CheckMnemonics(GtkWidget *root, MnemonicScope scope, const std::string &where,
                    std::vector<std::string> *clashes) {
  std::vector<std::pair<GtkWidget *, std::string>> later;
  const bool menu = GTK_IS_MENU(root);
  if (menu) scope = MnemonicScope();  // a menu shown has its own keys
  Walk(root, &scope, &later, where);
  // Pages of a notebook share the keys of what is around them.
  bool anyPage = false;
  for (const auto &l : later)
    if (!GTK_IS_MENU(l.first)) {
      anyPage = true;
      CheckMnemonics(l.first, scope, l.second, clashes);
    }
  if (!anyPage) scope.Clashes(where, clashes);
  for (const auto &l : later)
    if (GTK_IS_MENU(l.first)) CheckMnemonics(l.first, MnemonicScope(), l.second, clashes);
}

}  // namespace

// Every accelerator of the program is bound once, and every mnemonic once
// in what the user sees at a time: a window with one page of each notebook,
// a menu. The builder file is walked as it is loaded.
TEST_F(Windows, EveryShortcutIsUniqueWhereItActs) {
  std::map<std::pair<guint, guint>, std::vector<std::string>> accelerators;
  for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next) {
    GList *actions = gtk_action_group_list_actions(GTK_ACTION_GROUP(g->data));
    for (GList *a = actions; a; a = a->next) {
      GtkAccelKey key;
      const gchar *path = gtk_action_get_accel_path(GTK_ACTION(a->data));
      if (path && gtk_accel_map_lookup_entry(path, &key) && key.accel_key)
        accelerators[{gdk_keyval_to_lower(key.accel_key), key.accel_mods}].push_back(
            gtk_action_get_name(GTK_ACTION(a->data)));
    }
    g_list_free(actions);
  }
  std::vector<std::string> clashes;
  for (const auto &a : accelerators)
    if (a.second.size() > 1) {
      gchar *name =
          gtk_accelerator_name(a.first.first, static_cast<GdkModifierType>(a.first.second));
      std::string line = std::string(name) + ":";
      for (const std::string &n : a.second) line += " " + n;
      g_free(name);
      clashes.push_back(line);
    }
  GtkWidget *const windows[] = {window_main,
                                dlg_experiment_parameters,
                                dlg_peak_file,
                                dlg_choose_models,
                                dlg_opt,
                                dlg_model_details,
                                dlg_model_info,
                                dlg_bond_length_constraint,
                                dlg_fixed_coordinates,
                                popmenu_models,
                                popmenu_opt_models,
                                popmenu_open_peak_file};
  for (GtkWidget *w : windows) {
    GtkWidget *shown = GTK_IS_WINDOW(w) ? gtk_bin_get_child(GTK_BIN(w)) : w;
    if (GTK_IS_WIDGET(shown))
      CheckMnemonics(shown, MnemonicScope(), gtk_buildable_get_name(GTK_BUILDABLE(w)), &clashes);
  }
  for (const std::string &c : clashes) ADD_FAILURE() << c;
  gtk_action_activate(action_file_new);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 1);
  Screenshot(window_main, "step-2-shortcuts.png");
}

// The statistic test's progress leaves the program usable: no modal grab,
// the Stop shortcut works from the progress window as from the main one,
// and closing the main window is refused with the reason, as while solving.
TEST_F(Windows, TheStatisticTestLeavesTheProgramUsable) {
  Open("examples/cawo4_scheelite/cawo4.epc");
  Generate();
  TheJob().config.statisticCircles = 2000000000;
  TheJob().config.autoStCircles = 0;
  const guint stop = GDK_t;
  const auto mods = static_cast<GdkModifierType>(GDK_SHIFT_MASK | GDK_CONTROL_MASK);
  for (GtkWidget *focused : {window_main, window_statistic_splash}) {
    SCOPED_TRACE(gtk_buildable_get_name(GTK_BUILDABLE(focused)));
    gtk_action_activate(action_statistic_test_start);
    ASSERT_TRUE(job_worker_running());
    SpinFor(0.2);
    EXPECT_TRUE(gtk_widget_get_visible(window_statistic_splash));
    EXPECT_FALSE(gtk_window_get_modal(GTK_WINDOW(window_statistic_splash)));
    Delete(window_main);
    EXPECT_TRUE(gtk_widget_get_visible(window_main));
    EXPECT_TRUE(
        Logged("the statistic test is running, please stop it before exiting the program!"));
    EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(focused), stop, mods));
    EXPECT_TRUE(SpinUntil(Idle, 5));
    SpinFor(0.1);
    EXPECT_FALSE(gtk_widget_get_visible(window_statistic_splash));
  }
  EXPECT_TRUE(Logged("Statistic Analysis Stopped!\n"));
}

namespace {

std::string Status() {
  GtkWidget *area = gtk_statusbar_get_message_area(GTK_STATUSBAR(statusbar_main));
  GList *children = gtk_container_get_children(GTK_CONTAINER(area));
  std::string text =
      children && GTK_IS_LABEL(children->data) ? gtk_label_get_text(GTK_LABEL(children->data)) : "";
  g_list_free(children);
  return text;
}

}  // namespace

// The status bar says what runs and how far it is, where the files will
// go, and the last error, until the job closes.
TEST_F(Windows, TheStatusBarShowsTheStageTheOutputFolderAndTheLastError) {
  EXPECT_TRUE(Holds(Status(), "No job"));
  cif_output_folder[0] = '\0';  // none chosen: beside the control file
  TempDir dir;
  Open(CopyZno(dir));
  EXPECT_TRUE(Holds(Status(), "Output folder: " + dir.path()));
  CopyText(cif_output_folder, sizeof cif_output_folder, "/somewhere/else");
  Generate();
  EXPECT_TRUE(Holds(Status(), "Output folder: /somewhere/else"));
  Message(MESSAGE_ERROR, "reading the peak file, line 3 is no reflection\nsecond line\n");
  EXPECT_TRUE(Holds(Status(), "Last error: reading the peak file, line 3 is no reflection"));
  EXPECT_FALSE(Holds(Status(), "second line"));
  TheJob().config.statisticCircles = 2000000000;
  TheJob().config.autoStCircles = 0;
  gtk_action_activate(action_statistic_test_start);
  EXPECT_TRUE(SpinUntil([] { return bool(Holds(Status(), "Statistic test: model #1, ")); }, 3))
      << Status();
  EXPECT_TRUE(Holds(Status(), "Last error: "));
  gtk_action_activate(action_statistic_test_stop);
  ASSERT_TRUE(SpinUntil(Idle, 5));
  SpinFor(0.1);
  EXPECT_TRUE(Holds(Status(), "Statistic test stopped"));
  Screenshot(window_main, "status-bar.png");
  user.answers.push_back(GTK_RESPONSE_NO);
  gtk_action_activate(action_file_close);
  EXPECT_FALSE(Holds(Status(), "Last error"));
  cif_output_folder[0] = '\0';
}
