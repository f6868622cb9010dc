// SPDX-License-Identifier: BSD-3-Clause
// How the main window and its dialogs read and look at their default sizes,
// and the conveniences around a job's files: recent jobs, the choosers'
// folder, a space group by its symbol, the 3D view's legend and the manual.
#include <algorithm>
#include <cstring>

#include "ui_testing.h"

namespace {

// Every text a label, button or window title below a widget shows.
void CollectTexts(GtkWidget *widget, std::vector<std::string> *texts) {
  if (GTK_IS_WINDOW(widget) && gtk_window_get_title(GTK_WINDOW(widget)))
    texts->push_back(gtk_window_get_title(GTK_WINDOW(widget)));
  if (GTK_IS_LABEL(widget)) texts->push_back(gtk_label_get_text(GTK_LABEL(widget)));
  if (GTK_IS_BUTTON(widget) && gtk_button_get_label(GTK_BUTTON(widget)))
    texts->push_back(gtk_button_get_label(GTK_BUTTON(widget)));
  if (gchar *tip = gtk_widget_get_tooltip_text(widget)) {
    texts->push_back(tip);
    g_free(tip);
  }
  if (GTK_IS_CONTAINER(widget)) {
    GList *children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList *c = children; c; c = c->next) CollectTexts(GTK_WIDGET(c->data), texts);
    g_list_free(children);
  }
}

// Misspellings the program once showed; none may come back.
void ExpectSpelledRight(const std::vector<std::string> &texts) {
  static const char *const kMisspelt[] = {
      "Observered", "conbination", "Createing", "tradiational", "writting", "cant not",
      "Formular",   "formular",    "volumn",    "dispalcement", "Trails",   "Quendralit",
      "optimazation", "accpetance", "enumeraing", "outputing"};
  for (const std::string &text : texts)
    for (const char *word : kMisspelt)
      EXPECT_EQ(text.find(word), std::string::npos) << word << " in: " << text;
}

// The tool item an action has in the main toolbar, or nullptr.
GtkWidget *ToolItem(const char *action) {
  GSList *proxies = gtk_action_get_proxies(Action(action));
  for (GSList *p = proxies; p; p = p->next)
    if (GTK_IS_TOOL_ITEM(p->data)) return GTK_WIDGET(p->data);
  return nullptr;
}

bool Sensitive(const char *action) { return gtk_action_is_sensitive(Action(action)); }

// The folders the file choosers start in; the scripted user answers them.
struct ChooserFolders {
  std::vector<std::string> folders;
  void Install() {
    auto answer = testHooks.fileDialog;
    testHooks.fileDialog = [this, answer](GtkFileChooser *chooser, std::string *file) {
      // The chooser reads its folder once it is on the screen.
      gtk_widget_show(GTK_WIDGET(chooser));
      SpinFor(0.2);
      gchar *folder = gtk_file_chooser_get_current_folder(chooser);
      gtk_widget_hide(GTK_WIDGET(chooser));
      folders.push_back(folder ? folder : "");
      g_free(folder);
      return answer(chooser, file);
    };
  }
};

std::string Real(const std::string &path) {
  char *real = realpath(path.c_str(), nullptr);
  std::string r = real ? real : path;
  free(real);
  return r;
}

}  // namespace

using Look = AppTest;

TEST_F(Look, LabelsLegendsAndMessagesAreSpelledRight) {
  Open("examples/zno_wurtzite/zno.epc");
  Generate();
  std::vector<std::string> texts = {LogText(), obs_peak_serial->name, calc_peak_serial->name};
  GList *windows = gtk_window_list_toplevels();
  for (GList *w = windows; w; w = w->next) CollectTexts(GTK_WIDGET(w->data), &texts);
  g_list_free(windows);
  // The Estimate-Z dialog is made in code.
  user.actions.push_back([&texts](GtkDialog *d) {
    CollectTexts(GTK_WIDGET(d), &texts);
    return static_cast<int>(GTK_RESPONSE_CANCEL);
  });
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 0);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 0);
  gtk_button_clicked(GTK_BUTTON(Named(window_main, "btn_estimate_z")));
  ASSERT_TRUE(user.actions.empty());
  EXPECT_GT(texts.size(), 500u);
  ExpectSpelledRight(texts);
}

TEST_F(Look, TheMainWindowAtItsDefaultWidth) {
  Open("examples/zno_wurtzite/zno.epc");
  gtk_window_resize(GTK_WINDOW(window_main), 1000, 740);
  gtk_widget_show(window_main);
  SpinFor(0.5);
  // Every button of the toolbar is on it, none in its overflow menu.
  for (const char *action : {"toggleaction_factor_plots_window", "toggleaction_peak_plots_window",
                             "toggleaction_3d_view_window"}) {
    GtkWidget *item = ToolItem(action);
    ASSERT_NE(item, nullptr) << action;
    EXPECT_TRUE(gtk_widget_get_mapped(item) && gtk_widget_get_child_visible(item)) << action;
  }
  Screenshot(window_main, "main-window-1000.png");
  // Back goes nowhere from the first step.
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 0);
  SpinFor(0.05);
  EXPECT_FALSE(Sensitive("action_notebook_epc_backward"));
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 1);
  EXPECT_TRUE(Sensitive("action_notebook_epc_backward"));
  gtk_action_activate(Action("action_notebook_epc_backward"));
  EXPECT_EQ(Page(notebook_epc), 0);
  EXPECT_FALSE(Sensitive("action_notebook_epc_backward"));
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic), 0);
  EXPECT_FALSE(Sensitive("action_notebook_statistic_backward"));
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic), 1);
  EXPECT_TRUE(Sensitive("action_notebook_statistic_backward"));
}

TEST_F(Look, ThePeakListShowsItsIntensitiesAndTheStatisticsAreInOrder) {
  Open("examples/zno_wurtzite/zno.epc");
  During([] {
    Screenshot(dlg_peak_file, "peak-file-list.png");
    SpinFor(0.2);
    GtkWidget *view = Named(dlg_peak_file, "treeview_hkl_list");
    GtkTreeViewColumn *intensity = gtk_tree_view_get_column(GTK_TREE_VIEW(view), 8);
    EXPECT_STREQ(gtk_tree_view_column_get_title(intensity), "Intensity");
    // The last column ends inside the part of the list shown: no number is
    // cut or scrolled away.
    GdkRectangle cell, shown;
    GtkTreePath *first = gtk_tree_path_new_first();
    gtk_tree_view_get_background_area(GTK_TREE_VIEW(view), first, intensity, &cell);
    gtk_tree_path_free(first);
    gtk_tree_view_get_visible_rect(GTK_TREE_VIEW(view), &shown);
    EXPECT_GT(cell.width, 60);
    EXPECT_LE(cell.x + cell.width, shown.x + shown.width);
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_peak_file"));
  Generate();
  std::vector<int> counts;
  During([&counts] {
    for (int i = 0; i < Rows(ls_model_info); ++i) counts.push_back(Cell<int>(ls_model_info, i, 0));
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_model_statistic"));
  ASSERT_FALSE(counts.empty());
  EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
}

TEST_F(Look, RecentJobsAndChoosersStartInTheJobsFolder) {
  TempDir dir;
  const std::string job = CopyZno(dir);
  ChooserFolders choosers;
  choosers.Install();
  Open(job);
  // Opened jobs are remembered, and File > Open Recent offers them.
  gchar *uri = g_filename_to_uri(job.c_str(), nullptr, nullptr);
  EXPECT_TRUE(SpinUntil(
      [uri] { return gtk_recent_manager_has_item(gtk_recent_manager_get_default(), uri); }, 5));
  GtkAction *recent = Action("action_file_open_recent");
  ASSERT_NE(recent, nullptr);
  ASSERT_TRUE(GTK_IS_RECENT_CHOOSER(recent));
  // The choosers start where the job is, also once it is closed.
  user.files.push_back("");
  gtk_action_activate(Action("action_internal_peak_file"));
  gtk_action_activate(action_file_close);
  EXPECT_EQ(jobing, 0);
  user.files.push_back("");
  gtk_action_activate(action_file_open);
  ASSERT_GE(choosers.folders.size(), 2u);
  for (size_t i = 1; i < choosers.folders.size(); ++i)
    EXPECT_EQ(Real(choosers.folders[i]), Real(dir.path())) << i;
  // Choosing it from the menu of recent ones opens it again.
  GtkWidget *menu = nullptr;
  for (GSList *p = gtk_action_get_proxies(recent); p; p = p->next)
    if (GTK_IS_MENU_ITEM(p->data)) menu = gtk_menu_item_get_submenu(GTK_MENU_ITEM(p->data));
  ASSERT_NE(menu, nullptr);
  GtkWidget *item = nullptr;
  SpinUntil(
      [&] {
        GList *items = gtk_container_get_children(GTK_CONTAINER(menu));
        for (GList *i = items; i; i = i->next) {
          auto *info = static_cast<GtkRecentInfo *>(g_object_get_data(G_OBJECT(i->data),
                                                                      "gtk-recent-info"));
          if (info && std::strcmp(gtk_recent_info_get_uri(info), uri) == 0)
            item = GTK_WIDGET(i->data);
        }
        g_list_free(items);
        return item != nullptr;
      },
      5);
  ASSERT_NE(item, nullptr);
  gtk_menu_item_activate(GTK_MENU_ITEM(item));
  EXPECT_EQ(jobing, 1);
  EXPECT_EQ(Real(current_file_name), Real(job));
  g_free(uri);
}

TEST_F(Look, ASpaceGroupIsChosenByItsSymbolOrNumber) {
  Open("examples/zno_wurtzite/zno.epc");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 1);
  for (auto [typed, number] : {std::pair{"P 21/c", 14}, {"Pnma", 62}, {"P2_1/c", 14},
                               {"Fm-3m", 225}, {"P 63 m c", 186}, {"186", 186}}) {
    Type(entry_sg_number, typed);
    EXPECT_EQ(TheJob().config.sgNumber, number) << typed;
    EXPECT_EQ(TheJob().crystal.spaceGroup.number, number) << typed;
    EXPECT_FALSE(entry_has_error(entry_sg_number)) << typed;
  }
  Type(entry_sg_number, "Pxyz");
  EXPECT_TRUE(entry_has_error(entry_sg_number));
  EXPECT_EQ(TheJob().config.sgNumber, 186);
}

TEST_F(Look, TheThreeDViewNamesTheColoursOfItsElements) {
  Open("examples/zno_wurtzite/zno.epc");
  Generate();
  gtk_toggle_action_set_active(GTK_TOGGLE_ACTION(Action("toggleaction_3d_view_window")), TRUE);
  Select(treeview_models, 0);
  SpinFor(0.3);
  GtkWidget *legend = Named(window_3d_view, "legend_3d_view");
  ASSERT_NE(legend, nullptr);
  std::vector<std::string> texts;
  CollectTexts(legend, &texts);
  std::vector<std::string> symbols;
  for (const ViewAtom &a : crystal_3d_view->crystal.atoms)
    if (std::find(symbols.begin(), symbols.end(), a.symbol) == symbols.end())
      symbols.push_back(a.symbol);
  ASSERT_EQ(symbols.size(), 2u);  // Zn and O
  for (const std::string &s : symbols)
    EXPECT_NE(std::find(texts.begin(), texts.end(), s), texts.end()) << s;
  Screenshot(window_3d_view, "3d-view-legend.png");
}

TEST_F(Look, HelpWithoutABrowserShowsWhereTheManualIs) {
  testHooks.openUri = [](const std::string &) { return false; };
  user.answers = {GTK_RESPONSE_OK};
  gtk_action_activate(Action("action_help_manual"));
  ASSERT_EQ(user.asked.size(), 1u);
  EXPECT_TRUE(Holds(user.asked[0], "docs/manual/index.html"));
}
