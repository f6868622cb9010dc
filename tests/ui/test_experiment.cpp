// The experiment-parameters and peak-file dialogs as a user works them:
// the radiation and its source table, the monochromator, choosing and
// re-reading the peak file, and what cancelling gives back.
#include <glib/gstdio.h>

#include <cmath>
#include <fstream>
#include <functional>

#include "PageCommon.h"
#include "ui_testing.h"

namespace {

const char *const kZnoFolder = "examples/zno_wurtzite";

std::string Text(GtkWidget *entry) { return gtk_entry_get_text(GTK_ENTRY(entry)); }

class Experiment : public AppTest {
 protected:
  // A copy of the ZnO job and its peak file in a folder of its own, with
  // lines of the control file replaced.
  std::string CopyJob(const std::vector<std::pair<std::string, std::string>> &changes = {}) {
    std::string text = ReadFile(SourcePath(std::string(kZnoFolder) + "/zno.epc"));
    for (const auto &c : changes) {
      const size_t at = text.find(c.first);
      EXPECT_NE(at, std::string::npos) << c.first;
      if (at != std::string::npos) text.replace(at, c.first.size(), c.second);
    }
    std::ofstream(dir.file("zno.epc")) << text;
    std::ofstream(dir.file("zno.hkl"))
        << ReadFile(SourcePath(std::string(kZnoFolder) + "/zno.hkl"));
    return dir.file("zno.epc");
  }
  // Runs fn inside the next dialogs of that title; other dialogs go to the
  // scripted user.
  void OnDialog(const std::string &title, const std::function<int(GtkDialog *)> &fn) {
    auto previous = testHooks.dialog;
    testHooks.dialog = [=](GtkDialog *d) {
      const gchar *t = gtk_window_get_title(GTK_WINDOW(d));
      if (!GTK_IS_MESSAGE_DIALOG(d) && t && title == t) return fn(d);
      return previous(d);
    };
  }
  GtkAction *Action(const char *name) {
    for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next)
      if (GtkAction *a = gtk_action_group_get_action(GTK_ACTION_GROUP(g->data), name)) return a;
    ADD_FAILURE() << "no action " << name;
    return nullptr;
  }
  void Shoot(GtkDialog *dialog, const char *name) {
    gtk_widget_show(GTK_WIDGET(dialog));
    SpinFor(1.0);
    gdk_window_invalidate_rect(GTK_WIDGET(dialog)->window, nullptr, TRUE);
    SpinFor(0.3);
    GdkPixbuf *shot = Screenshot(GTK_WIDGET(dialog), name);
    if (shot) g_object_unref(shot);
  }
  void Type(GtkWidget *entry, const char *text) {
    gtk_entry_set_text(GTK_ENTRY(entry), text);
    gtk_widget_activate(entry);
  }
  ScratchDir dir;
};

double FirstLp() { return TheJob().hklList.items.empty() ? 0 : TheJob().hklList.items[0].lp; }

}  // namespace

TEST_F(Experiment, TheSourceTableAndTheRadiationType) {
  // The job's three X-ray values are no tube's: "Others" shows them, and
  // nothing of the job changes on opening it.
  OpenThroughMenu(&user, CopyJob());
  ASSERT_EQ(jobing, 1);
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comb_xray_source)), 11);
  EXPECT_EQ(Text(entry_xray_lambda1), "1.540598");
  EXPECT_EQ(Text(entry_xray_lambda2), "1.544260");
  EXPECT_EQ(TheJob().config.lambdaXray2, 1.54426);
  EXPECT_FALSE(gtk_widget_get_sensitive(entry_xray_lambda2));  // no doublet
  EXPECT_EQ(file_changed_flag, 0);

  gtk_button_clicked(GTK_BUTTON(btn_generate_models));
  ASSERT_TRUE(SpinUntil([] { return !job_worker_running(); }, 60));
  SpinFor(0.05);
  ASSERT_EQ(TheJob().models.count, 4);
  const double xrayLp = FirstLp();
  const double xrayRmin = TheJob().models.models.front().Rmin;
  OnDialog("Experiment Parameters", [this](GtkDialog *d) -> int {
    Shoot(d, "experiment-parameters.png");
    // Mo K-alpha, the fifth row: its three values reach the entries and the
    // job.
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_xray_source), 4);
    EXPECT_EQ(Text(entry_xray_lambda1), "0.709300");
    EXPECT_EQ(TheJob().config.lambdaXray1, 0.7093);
    EXPECT_EQ(TheJob().config.lambdaXray2, 0.71359);
    EXPECT_EQ(TheJob().radiation.lambda, 0.7093);
    // A wavelength the reader refuses is marked and not stored.
    gtk_entry_set_text(GTK_ENTRY(entry_xray_lambda1), "-1");
    EXPECT_TRUE(entry_has_error(entry_xray_lambda1));
    EXPECT_EQ(TheJob().config.lambdaXray1, 0.7093);
    gtk_entry_set_text(GTK_ENTRY(entry_xray_lambda1), "0.7093");
    EXPECT_FALSE(entry_has_error(entry_xray_lambda1));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_xray_lambda2), TRUE);
    EXPECT_EQ(TheJob().config.doublets, 1);
    EXPECT_TRUE(gtk_widget_get_sensitive(entry_xray_I2_I1));
    // Neutrons: the third entry of the combo, type 1, the third page.
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_radiation_type), 2);
    EXPECT_EQ(TheJob().config.radiation, 1);
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_radiation_type)), 2);
    gtk_entry_set_text(GTK_ENTRY(entry_neutron_lambda), "1.594");
    EXPECT_EQ(TheJob().radiation.lambda, 1.594);
    return static_cast<int>(GTK_RESPONSE_CLOSE);
  });
  gtk_action_activate(Action("action_experiment_parameters"));
  // Closing the dialog after a new radiation type brings the reflections'
  // factors and the models' figures up to date.
  ASSERT_TRUE(SpinUntil([] { return !job_worker_running(); }, 60));
  SpinFor(0.05);
  EXPECT_NE(FirstLp(), xrayLp);
  const HKLItem &first = TheJob().hklList.items[0];
  const double rad = 3.14159265358979323846 / 180;
  const double s1 = std::sin(first.twoTheta / 2 * rad), s2 = std::sin(first.twoTheta * rad);
  EXPECT_NEAR(FirstLp(), 1 / (s1 * s2), 1e-12);  // Lorentz only, no polarisation
  EXPECT_NE(TheJob().models.models.front().Rmin, xrayRmin);
  EXPECT_EQ(file_changed_flag, 1);

  // A job whose values are those of a tube's line shows that row.
  user.answers.push_back(GTK_RESPONSE_YES);  // close the open job
  user.answers.push_back(GTK_RESPONSE_NO);   // without saving its changes
  OpenThroughMenu(&user, CopyJob({{"LAMBDA_XRAY1\t1.540598", "LAMBDA_XRAY1\t1.540560"},
                                  {"LAMBDA_XRAY2\t1.544260", "LAMBDA_XRAY2\t1.544390"}}));
  ASSERT_EQ(jobing, 1);
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comb_xray_source)), 0);
  EXPECT_EQ(file_changed_flag, 0);
  // Only lambda1 a tube's: "Others", and the job's lambda2 stays its own.
  user.answers.push_back(GTK_RESPONSE_YES);
  OpenThroughMenu(&user, CopyJob({{"LAMBDA_XRAY1\t1.540598", "LAMBDA_XRAY1\t1.540560"}}));
  ASSERT_EQ(jobing, 1);
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(comb_xray_source)), 11);
  EXPECT_EQ(TheJob().config.lambdaXray2, 1.54426);
  EXPECT_EQ(file_changed_flag, 0);
}

TEST_F(Experiment, TheMonochromatorAngleAndSpacingFollowEachOther) {
  OpenThroughMenu(&user, CopyJob());
  ASSERT_EQ(jobing, 1);
  const double d0 = TheJob().config.monoD, angle0 = TheJob().config.monoAngle;
  OnDialog("Experiment Parameters", [&](GtkDialog *) -> int {
    EXPECT_FALSE(gtk_widget_get_sensitive(align_xray_monochromator));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_xray_monochromator), TRUE);
    EXPECT_TRUE(gtk_widget_get_sensitive(align_xray_monochromator));
    EXPECT_EQ(TheJob().config.monochromator, 1);
    // Graphite (002), d = 3.355 A, reflects Cu K-alpha at 13.28 degrees.
    Type(entry_mono_d, "3.355");
    EXPECT_NEAR(TheJob().config.monoAngle, 13.28, 0.01);
    EXPECT_EQ(Text(entry_mono_angle).substr(0, 5), "13.27");
    // No crystal of d = 0.5 reflects it: lambda1 / 2d = 1.54 > 1.
    Type(entry_mono_d, "0.5");
    EXPECT_TRUE(entry_has_error(entry_mono_d));
    EXPECT_NE(entry_error(entry_mono_d).find("exceeds 1"), std::string::npos);
    EXPECT_EQ(TheJob().config.monoD, 3.355);
    // Nor does d = 0 exist, nor a Bragg angle of 0.
    Type(entry_mono_d, "0");
    EXPECT_TRUE(entry_has_error(entry_mono_d));
    Type(entry_mono_angle, "0");
    EXPECT_TRUE(entry_has_error(entry_mono_angle));
    EXPECT_EQ(TheJob().config.monoD, 3.355);
    // 30 degrees: d = lambda1.
    Type(entry_mono_angle, "30");
    EXPECT_FALSE(entry_has_error(entry_mono_angle));
    EXPECT_NEAR(TheJob().config.monoD, 1.540598, 1e-9);
    EXPECT_EQ(Text(entry_mono_d), "1.540598");
    EXPECT_EQ(TheJob().radiation.monoAngle, 30);
    return static_cast<int>(GTK_RESPONSE_CLOSE);
  });
  const double lp = FirstLp();
  gtk_action_activate(Action("action_experiment_parameters"));
  EXPECT_NE(TheJob().config.monoD, d0);
  EXPECT_NE(TheJob().config.monoAngle, angle0);
  // The monochromator changes the polarisation factor of every reflection.
  EXPECT_NE(FirstLp(), lp);
  EXPECT_NE(LogText().find("Monochromator d (MONO_D): '0.5' reflects no wavelength"),
            std::string::npos);
}

TEST_F(Experiment, APeakFileIsNamedFromTheControlFilesFolder) {
  OpenThroughMenu(&user, CopyJob());
  ASSERT_EQ(file_peak_file_validity, 1);
  const int reflections = Rows(ls_hkl_list);
  EXPECT_EQ(reflections, 16);
  g_mkdir(dir.file("elsewhere").c_str(), 0755);
  std::ofstream(dir.file("zno2.hkl")) << ReadFile(dir.file("zno.hkl"));
  std::ofstream(dir.file("elsewhere/zno.hkl")) << ReadFile(dir.file("zno.hkl"));

  OnDialog("Peak File", [&](GtkDialog *d) -> int {
    EXPECT_EQ(Text(entry_peak_file), "zno.hkl");
    // The reflections, and their intensities in the plot.
    EXPECT_EQ(experiment_peak_plot->serials.size(), 1u);
    if (!experiment_peak_plot->serials.empty()) {
      EXPECT_STREQ(experiment_peak_plot->serials[0]->name, "Experimental Intensity");
      EXPECT_EQ(experiment_peak_plot->serials[0]->count, 16u);
    }
    Shoot(d, "peak-file.png");
    // The same file in the same layout: nothing is read again.
    const HKLItem *items = TheJob().hklList.items.data();
    user.files.push_back(dir.file("zno.hkl"));
    gtk_action_activate(Action("action_internal_peak_file"));
    EXPECT_EQ(TheJob().hklList.items.data(), items);
    EXPECT_EQ(file_changed_flag, 0);
    // Another file of the control file's folder: named without the folder.
    user.files.push_back(dir.file("zno2.hkl"));
    gtk_action_activate(Action("action_internal_peak_file"));
    EXPECT_EQ(TheJob().config.peakFile, "zno2.hkl");
    EXPECT_EQ(Text(entry_peak_file), "zno2.hkl");
    EXPECT_EQ(file_changed_flag, 1);
    // One of another folder: the whole path. A file just chosen is read
    // whole, and the range becomes that of its reflections.
    user.files.push_back(dir.file("elsewhere/zno.hkl"));
    gtk_action_activate(Action("action_internal_peak_file"));
    EXPECT_EQ(TheJob().config.peakFile, dir.file("elsewhere/zno.hkl"));
    EXPECT_EQ(file_peak_file_validity, 1);
    EXPECT_EQ(TheJob().config.startAngle, TheJob().hklList.items.front().twoTheta);
    EXPECT_EQ(Text(entry_end_angle), "98.620398");
    const double start = TheJob().config.startAngle;
    // Enter in the end angle reads the file again with the new range.
    Type(entry_end_angle, "50");
    EXPECT_EQ(TheJob().config.endAngle, 50);
    EXPECT_EQ(Rows(ls_hkl_list), 4);
    // An end below the start is refused and changes nothing.
    gtk_entry_set_text(GTK_ENTRY(entry_start_angle), "60");
    gtk_action_activate(action_update_hkl_list);
    EXPECT_TRUE(entry_has_error(entry_end_angle));
    EXPECT_EQ(TheJob().config.startAngle, start);
    EXPECT_EQ(Rows(ls_hkl_list), 4);
    gtk_entry_set_text(GTK_ENTRY(entry_start_angle), "5");
    return static_cast<int>(GTK_RESPONSE_OK);
  });
  gtk_action_activate(Action("action_peak_file"));
  EXPECT_EQ(TheJob().config.peakFile, dir.file("elsewhere/zno.hkl"));
  EXPECT_EQ(TheJob().hklList.items.size(), 4u);
  EXPECT_FALSE(gtk_widget_get_visible(dlg_peak_file));
}

TEST_F(Experiment, CancellingThePeakFileDialogGivesTheJobBack) {
  OpenThroughMenu(&user, CopyJob());
  ASSERT_EQ(file_peak_file_validity, 1);
  std::ofstream(dir.file("broken.hkl")) << "; no reflections at all\n";
  OnDialog("Peak File", [&](GtkDialog *) -> int {
    Type(entry_end_angle, "40");
    EXPECT_EQ(Rows(ls_hkl_list), 3);
    // A file that holds no reflection: said, and forgotten.
    user.files.push_back(dir.file("broken.hkl"));
    user.answers.push_back(GTK_RESPONSE_OK);
    gtk_action_activate(Action("action_fullprof_peak_file"));
    EXPECT_EQ(user.Count("Read peak file error!"), 1u);
    EXPECT_EQ(TheJob().config.peakFile, "");
    EXPECT_EQ(file_peak_file_validity, 0);
    EXPECT_EQ(TheJob().config.endAngle, 40);
    return static_cast<int>(GTK_RESPONSE_CANCEL);
  });
  gtk_action_activate(Action("action_peak_file"));
  EXPECT_EQ(TheJob().config.peakFile, "zno.hkl");
  EXPECT_EQ(TheJob().config.peakFileFormat, 0);
  EXPECT_EQ(TheJob().config.endAngle, 100);
  EXPECT_EQ(file_peak_file_validity, 1);
  EXPECT_EQ(TheJob().hklList.items.size(), 16u);
  EXPECT_EQ(file_changed_flag, 0);
}

TEST_F(Experiment, APeakFileNameWithABackslashIsAFileOfTheJobsFolder) {
  // On this system a backslash is part of a name, not a separator.
  std::ofstream(dir.file("data\\zno.hkl"))
      << ReadFile(SourcePath(std::string(kZnoFolder) + "/zno.hkl"));
  OpenThroughMenu(&user, CopyJob({{"PEAK_FILE\t\"zno.hkl\"", "PEAK_FILE\t\"data\\zno.hkl\""}}));
  ASSERT_EQ(jobing, 1);
  EXPECT_EQ(file_peak_file_validity, 1);
  EXPECT_EQ(TheJob().hklList.items.size(), 16u);
}

TEST_F(Experiment, AMissingPeakFileKeepsItsNameInTheJob) {
  user.answers.push_back(GTK_RESPONSE_OK);
  OpenThroughMenu(&user, CopyJob({{"PEAK_FILE\t\"zno.hkl\"", "PEAK_FILE\t\"missing.hkl\""}}));
  ASSERT_EQ(jobing, 1);
  EXPECT_EQ(user.Count("Read peak file error!"), 1u);
  EXPECT_EQ(file_peak_file_validity, 0);
  EXPECT_EQ(Rows(ls_hkl_list), 0);
  // Saving the job, for whatever else changed, keeps the file it names.
  user.files.push_back(dir.file("copy.epc"));
  gtk_action_activate(action_file_save_as);
  EXPECT_NE(ReadFile(dir.file("copy.epc")).find("PEAK_FILE\t\"missing.hkl\""), std::string::npos);
  // Solving needs the reflections.
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_action_activate(action_statistic_test_start);
  EXPECT_EQ(user.Count("Invalid peak file!\nPlease open a valid peak file!\n"), 1u);
}
