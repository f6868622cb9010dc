// SPDX-License-Identifier: BSD-3-Clause
// What the user typed or saved is what the job holds: entries marked wrong,
// a job saved into another folder, the question before a changed job goes,
// results a new radiation would discard, an output folder that cannot be
// written, and error dialogs that say which file and why.
#include <glib/gstdio.h>

#include <algorithm>

#include "ui_testing.h"

namespace {

void LeaveEntry(GtkWidget *entry) {
  gtk_widget_realize(entry);
  GdkEvent *event = gdk_event_new(GDK_FOCUS_CHANGE);
  event->focus_change.window = GDK_WINDOW(g_object_ref(entry->window));
  event->focus_change.in = FALSE;
  gtk_widget_send_focus_change(entry, event);
  gdk_event_free(event);
}

std::string Line(const std::string &text, const std::string &key) {
  const size_t at = text.find("\n" + key);
  if (at == std::string::npos) return "";
  return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

// The labels of a dialog's buttons, left to right (the box holds them the
// other way round: they are packed at its end).
std::vector<std::string> Buttons(GtkDialog *dialog) {
  std::vector<std::string> labels;
  GList *children = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(dialog)));
  for (GList *c = children; c; c = c->next)
    if (GTK_IS_BUTTON(c->data)) labels.push_back(gtk_button_get_label(GTK_BUTTON(c->data)));
  g_list_free(children);
  std::reverse(labels.begin(), labels.end());
  return labels;
}

}  // namespace

using Safe = AppTest;

TEST_F(Safe, AnEntryMarkedWrongGoesBackToTheValueTheJobKeeps) {
  TempDir dir;
  Open(CopyZno(dir));
  // The experiment dialog stores as the user types: "1.5" was a value, the
  // "x" after it was not. On leaving the entry, or when the dialog closes,
  // the entry shows the value kept.
  During([] {
    for (const char *typed : {"1", "1.", "1.5", "1.5x"})
      gtk_entry_set_text(GTK_ENTRY(entry_xray_lambda1), typed);
    EXPECT_TRUE(entry_has_error(entry_xray_lambda1));
    LeaveEntry(entry_xray_lambda1);
    EXPECT_FALSE(entry_has_error(entry_xray_lambda1));
    EXPECT_EQ(std::stod(Text(entry_xray_lambda1)), 1.5);
    // An entry emptied on the way to a new value is not an error to log.
    gtk_entry_set_text(GTK_ENTRY(entry_xray_lambda1), "");
    EXPECT_FALSE(Logged("(LAMBDA_XRAY1): ''"));
    gtk_entry_set_text(GTK_ENTRY(entry_xray_lambda1), "-2");
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_experiment_parameters"));
  EXPECT_EQ(TheJob().config.lambdaXray1, 1.5);
  EXPECT_EQ(std::stod(Text(entry_xray_lambda1)), 1.5);
  // The cell page stores on Enter and on leaving; a wrong value typed goes
  // back to the stored one, and Save As never writes anything else.
  struct Case {
    GtkWidget *entry;
    const char *typed;
    bool leave;
  };
  for (const Case &c : {Case{entry_cell_c0, "5.2066q", true}, Case{entry_cell_a0, "-3", false}}) {
    gtk_entry_set_text(GTK_ENTRY(c.entry), c.typed);
    gtk_widget_activate(c.entry);
    EXPECT_TRUE(entry_has_error(c.entry)) << c.typed;
    if (c.leave) LeaveEntry(c.entry);
    user.files.push_back(dir.file("saved.epc"));
    gtk_action_activate(action_file_save_as);
    EXPECT_FALSE(entry_has_error(c.entry)) << c.typed;
    const std::string saved = ReadWholeFile(dir.file("saved.epc"));
    EXPECT_EQ(Line(saved, c.entry == entry_cell_c0 ? "CELL_C" : "CELL_A"),
              std::string(c.entry == entry_cell_c0 ? "CELL_C" : "CELL_A") + "\t" + Text(c.entry))
        << c.typed;
  }
  EXPECT_EQ(Line(ReadWholeFile(dir.file("saved.epc")), "LAMBDA_XRAY1"), "LAMBDA_XRAY1\t1.500000");
  // Generating models from a page that shows a wrong cell uses the job's
  // cell and shows it again.
  gtk_entry_set_text(GTK_ENTRY(entry_cell_b0), "3.2x");
  gtk_widget_activate(entry_cell_b0);
  Generate();
  EXPECT_EQ(Text(entry_cell_b0), "3.249800");
  EXPECT_TRUE(Logged("Cell b (CELL_B): '3.2x' was not taken; the job keeps 3.249800"));
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 0);
  Screenshot(window_main, "entry-back-to-the-job.png");
}

TEST_F(Safe, SaveAsNamesThePeakFileFromTheNewFolder) {
  TempDir dir;
  Open(CopyZno(dir));
  g_mkdir(dir.file("job2").c_str(), 0755);
  // Saved elsewhere, the file is named by its whole path; saved beside it,
  // by its name alone. Either way the job opens with its reflections.
  const std::pair<std::string, std::string> cases[] = {
      {"job2/zno.epc", "PEAK_FILE\t\"" + dir.file("zno.hkl") + "\""},
      {"again.epc", "PEAK_FILE\t\"zno.hkl\""},
  };
  for (const auto &c : cases) {
    user.files.push_back(dir.file(c.first));
    gtk_action_activate(action_file_save_as);
    EXPECT_EQ(Line(ReadWholeFile(dir.file(c.first)), "PEAK_FILE"), c.second) << c.first;
    Open(dir.file(c.first));
    EXPECT_TRUE(user.asked.empty()) << c.first;
    EXPECT_EQ(Rows(ls_hkl_list), 16) << c.first;
  }
}

TEST_F(Safe, AChangedJobGoesOnlyWhenTheUserSaysSo) {
  TempDir dir;
  const std::string file = CopyZno(dir);
  // Open over a saved job that is idle asks nothing.
  Open(file);
  Open(file);
  EXPECT_TRUE(user.asked.empty());
  // Escape and the close box are Cancel; so is Cancel.
  struct Case {
    const char *command;
    int answer;
    bool gone;
  };
  const Case cases[] = {
      {"quit", GTK_RESPONSE_DELETE_EVENT, false}, {"close", GTK_RESPONSE_CANCEL, false},
      {"open", GTK_RESPONSE_DELETE_EVENT, false}, {"box", GTK_RESPONSE_DELETE_EVENT, false},
      {"close", GTK_RESPONSE_NO, true},
  };
  for (const Case &c : cases) {
    if (!jobing) Open(file);
    mark_file_changed();
    std::vector<std::string> buttons;
    user.actions.push_back([&](GtkDialog *d) {
      buttons = Buttons(d);
      if (&c == cases) Screenshot(GTK_WIDGET(d), "save-changes.png");
      return c.answer;
    });
    const std::string command = c.command;
    if (command == "quit") gtk_action_activate(action_exit);
    if (command == "close") gtk_action_activate(action_file_close);
    if (command == "open") gtk_action_activate(action_file_open);
    if (command == "box") Delete(window_main);
    EXPECT_EQ(buttons, (std::vector<std::string>{"Close _without Saving", GTK_STOCK_CANCEL,
                                                 GTK_STOCK_SAVE}))
        << c.command;
    EXPECT_EQ(jobing, c.gone ? 0 : 1) << c.command;
    EXPECT_EQ(file_changed_flag, c.gone ? 0 : 1) << c.command;
    EXPECT_FALSE(quitRequested) << c.command;
  }
  EXPECT_EQ(user.asked.size(), 5u);
  EXPECT_EQ(user.asked.back(), "Save the changes to the job \"zno.epc\" before closing?");
  user.files.clear();
}

TEST_F(Safe, ANewRadiationAsksBeforeItDiscardsStatisticResults) {
  Open("examples/zno_wurtzite/zno.epc");
  Generate();
  Run(action_statistic_test_start);
  // The models the test gave a spread of factors.
  int models = 0;
  for (const CrystalModel &m : TheJob().models.models) models += m.Rsd > 0;
  ASSERT_GT(models, 1);
  const double ravg = TheJob().models.models.front().Ravg;
  const std::string question =
      "This discards the statistic results of " + std::to_string(models) + " models.";
  // Cancel: the radiation goes back and the results stay; then yes.
  for (int answer : {+GTK_RESPONSE_CANCEL, +GTK_RESPONSE_OK}) {
    During([] {
      gtk_combo_box_set_active(GTK_COMBO_BOX(comb_radiation_type), 2);
      return GTK_RESPONSE_CLOSE;
    });
    user.actions.push_back([answer](GtkDialog *d) {
      if (answer == GTK_RESPONSE_OK) Screenshot(GTK_WIDGET(d), "discard-statistic-results.png");
      return answer;
    });
    gtk_action_activate(Action("action_experiment_parameters"));
    ASSERT_TRUE(SpinUntil(Idle, 60));
    EXPECT_EQ(user.asked.back(), question);
    EXPECT_EQ(TheJob().config.radiation, answer == GTK_RESPONSE_OK ? 1 : 0);
    EXPECT_EQ(TheJob().models.models.front().Ravg == ravg, answer != GTK_RESPONSE_OK);
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comb_radiation_type)),
              answer == GTK_RESPONSE_OK ? 2 : 0);
  }
  EXPECT_TRUE(Logged("discarded the statistic results of " + std::to_string(models) + " models"));
}

TEST_F(Safe, SolvingStartsOnlyWithAnOutputFolderItCanWrite) {
  TempDir dir;
  cif_output_folder[0] = '\0';  // none chosen (the program keeps one for the session)
  Open(CopyZno(dir));
  Generate();
  // The Output page names the folder the files will go to.
  EXPECT_EQ(Text(Named(window_main, "lbl_cif_output_folder")), dir.path());
  dir.write("plain-file", "");
  const std::string folder = dir.file("plain-file/out");
  CopyText(cif_output_folder, kPathSize, folder.c_str());
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), TRUE);
  update_optimization_fields_by_config();
  EXPECT_EQ(Text(Named(window_main, "lbl_cif_output_folder")), folder);
  GtkWidget *page = check_auto_cif;
  while (gtk_widget_get_parent(page) != notebook_opt) page = gtk_widget_get_parent(page);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_main), 2);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt),
                                gtk_notebook_page_num(GTK_NOTEBOOK(notebook_opt), page));
  Screenshot(window_main, "output-folder.png");
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_action_activate(action_solve_structures);
  EXPECT_TRUE(Idle());
  ASSERT_EQ(user.asked.size(), 1u);
  EXPECT_EQ(user.asked[0].rfind("Cannot write into the output folder " + folder, 0), 0u)
      << user.asked[0];
  EXPECT_FALSE(Logged("Start solving"));
  cif_output_folder[0] = '\0';
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_auto_cif), FALSE);
}

TEST_F(Safe, ErrorDialogsNameTheFileTheReasonAndWhatToDo) {
  TempDir dir;
  struct Case {
    const char *file, *text;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"bad.epc", "this is no control file\n",
       {"Cannot open the job " , "bad.epc", "Choose a control file"}},
      {"peaks.epc", nullptr,
       {"Cannot read the peak file ", "far.hkl:1: 2theta: '190' out of range", "Choose"}},
  };
  for (const Case &c : cases) {
    std::string file;
    if (c.text) {
      file = dir.write(c.file, c.text);
    } else {
      file = CopyZno(dir, {{"PEAK_FILE\t\"zno.hkl\"", "PEAK_FILE\t\"far.hkl\""}});
      dir.write("far.hkl",
                "   1    0    0    6    2.814409  190.000000  0.100000      53.623802\n");
    }
    user.actions.push_back([&c](GtkDialog *d) {
      Screenshot(GTK_WIDGET(d), std::string("error-") + c.file + ".png");
      return static_cast<int>(GTK_RESPONSE_OK);
    });
    user.files.push_back(file);
    gtk_action_activate(action_file_open);
    ASSERT_FALSE(user.asked.empty()) << c.file;
    for (const std::string &words : c.said) EXPECT_TRUE(Holds(user.asked.back(), words));
  }
}
