// SPDX-License-Identifier: BSD-3-Clause
// The experiment-parameters and peak-file dialogs as a user works them:
// the radiation and its source table, the monochromator, choosing and
// re-reading the peak file, and what cancelling gives back.
#include <glib/gstdio.h>

#include <cmath>

#include "ui_testing.h"

namespace {

double FirstLp() { return TheJob().hklList.items.empty() ? 0 : TheJob().hklList.items[0].lp; }
int Source() { return gtk_combo_box_get_active(GTK_COMBO_BOX(comb_xray_source)); }

}  // namespace

using Experiment = AppTest;

TEST_F(Experiment, TheSourceTableAndTheRadiationType) {
  // The job's first line is Cu K-alpha1 as newer tables give it (1.540598
  // against the row's 1.540560): the row names it, and nothing of the job
  // changes on opening it, not even its own second line.
  TempDir dir;
  Open(CopyZno(dir));
  EXPECT_EQ(Source(), 0);
  EXPECT_EQ(Text(entry_xray_lambda2), "1.544260");
  EXPECT_EQ(file_changed_flag, 0);
  EXPECT_FALSE(gtk_widget_get_sensitive(entry_xray_lambda2));  // no doublet
  Generate();
  const double xrayRmin = TheJob().models.models.front().Rmin;
  During([] {
    Screenshot(dlg_experiment_parameters, "experiment-parameters.png");
    // Mo K-alpha, the fifth row: its values reach the entries and the job.
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_xray_source), 4);
    EXPECT_EQ(Text(entry_xray_lambda1), "0.709300");
    EXPECT_EQ(TheJob().config.lambdaXray2, 0.71359);
    // A wavelength the reader refuses is marked and not stored.
    gtk_entry_set_text(GTK_ENTRY(entry_xray_lambda1), "-1");
    EXPECT_TRUE(entry_has_error(entry_xray_lambda1));
    EXPECT_EQ(TheJob().config.lambdaXray1, 0.7093);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_xray_lambda2), TRUE);
    EXPECT_TRUE(gtk_widget_get_sensitive(entry_xray_I2_I1));
    // Neutrons: the third entry of the combo, type 1, the third page.
    gtk_combo_box_set_active(GTK_COMBO_BOX(comb_radiation_type), 2);
    EXPECT_EQ(TheJob().config.radiation, 1);
    gtk_entry_set_text(GTK_ENTRY(entry_neutron_lambda), "1.594");
    EXPECT_EQ(TheJob().radiation.lambda, 1.594);
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_experiment_parameters"));
  // Closing the dialog after a new radiation type brings the reflections'
  // factors (Lorentz only, no polarisation) and the models' figures up to date.
  ASSERT_TRUE(SpinUntil(Idle, 60));
  const double theta = TheJob().hklList.items[0].twoTheta / 2 * M_PI / 180;
  EXPECT_NEAR(FirstLp(), 1 / (std::sin(theta) * std::sin(2 * theta)), 1e-12);
  EXPECT_NE(TheJob().models.models.front().Rmin, xrayRmin);
  // A job whose values are those of a tube's line shows that row.
  user.answers = {GTK_RESPONSE_NO};  // close the job without saving
  Open(CopyZno(dir, {{"LAMBDA_XRAY1\t1.540598", "LAMBDA_XRAY1\t1.540560"},
                    {"LAMBDA_XRAY2\t1.544260", "LAMBDA_XRAY2\t1.544390"}}));
  EXPECT_EQ(Source(), 0);
  EXPECT_EQ(file_changed_flag, 0);
  // A line no tube has: "Others" shows the job's values.
  user.answers = {GTK_RESPONSE_YES, GTK_RESPONSE_NO};
  Open(CopyZno(dir, {{"LAMBDA_XRAY1\t1.540598", "LAMBDA_XRAY1\t1.540800"}}));
  EXPECT_EQ(Source(), 11);
  EXPECT_EQ(Text(entry_xray_lambda1), "1.540800");
  EXPECT_EQ(file_changed_flag, 0);
}

TEST_F(Experiment, TheMonochromatorAngleAndSpacingFollowEachOther) {
  Open("examples/zno_wurtzite/zno.epc");
  const double lp = FirstLp();
  During([] {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_xray_monochromator), TRUE);
    EXPECT_TRUE(gtk_widget_get_sensitive(align_xray_monochromator));
    // Graphite (002), d = 3.355 A, reflects Cu K-alpha at 13.28 degrees.
    Type(entry_mono_d, "3.355");
    EXPECT_NEAR(TheJob().config.monoAngle, 13.28, 0.01);
    EXPECT_EQ(Text(entry_mono_angle).substr(0, 5), "13.27");
    // No crystal of d = 0.5 reflects it (lambda1 / 2d = 1.54 > 1), no d = 0
    // exists, nor a Bragg angle of 0.
    Type(entry_mono_d, "0.5");
    EXPECT_NE(entry_error(entry_mono_d).find("exceeds 1"), std::string::npos);
    Type(entry_mono_d, "0");
    Type(entry_mono_angle, "0");
    EXPECT_TRUE(entry_has_error(entry_mono_angle));
    EXPECT_EQ(TheJob().config.monoD, 3.355);
    // 30 degrees: d = lambda1.
    Type(entry_mono_angle, "30");
    EXPECT_EQ(Text(entry_mono_d), "1.540598");
    return GTK_RESPONSE_CLOSE;
  });
  gtk_action_activate(Action("action_experiment_parameters"));
  EXPECT_EQ(TheJob().config.monoAngle, 30);
  EXPECT_NE(FirstLp(), lp);  // the polarisation factor of every reflection
  EXPECT_TRUE(Logged("Monochromator d (MONO_D): '0.5' reflects no wavelength"));
}

TEST_F(Experiment, APeakFileIsNamedFromTheControlFilesFolderAndCancellingGivesItBack) {
  TempDir dir;
  Open(CopyZno(dir));
  g_mkdir(dir.file("elsewhere").c_str(), 0755);
  dir.write("zno2.hkl", ReadWholeFile(dir.file("zno.hkl")));
  dir.write("elsewhere/zno.hkl", ReadWholeFile(dir.file("zno.hkl")));
  dir.write("broken.hkl", "; no reflections at all\n");
  During([&] {
    // The intensities in the plot.
    EXPECT_EQ(experiment_peak_plot->serials.size(), 1u);
    for (const auto &serial : experiment_peak_plot->serials) EXPECT_EQ(serial->count, 16u);
    user.files = {dir.file("zno2.hkl"), dir.file("elsewhere/zno.hkl")};
    // Another file of the control file's folder: named without the folder;
    // one of another folder: the whole path.
    gtk_action_activate(Action("action_internal_peak_file"));
    EXPECT_EQ(Text(entry_peak_file), "zno2.hkl");
    gtk_action_activate(Action("action_internal_peak_file"));
    EXPECT_EQ(TheJob().config.peakFile, dir.file("elsewhere/zno.hkl"));
    // A file just chosen is read whole, and the range becomes that of its
    // reflections; Enter in the end angle reads it again.
    EXPECT_EQ(Text(entry_end_angle), "98.620398");
    Type(entry_end_angle, "50");
    EXPECT_EQ(Rows(ls_hkl_list), 4);
    // An end below the start is refused and changes nothing.
    gtk_entry_set_text(GTK_ENTRY(entry_start_angle), "60");
    gtk_action_activate(action_update_hkl_list);
    EXPECT_TRUE(entry_has_error(entry_end_angle));
    gtk_entry_set_text(GTK_ENTRY(entry_start_angle), "5");
    return GTK_RESPONSE_OK;
  });
  gtk_action_activate(Action("action_peak_file"));
  EXPECT_EQ(TheJob().hklList.items.size(), 4u);
  // A file that holds no reflection is said and forgotten; cancelled, the
  // dialog gives the job back as it was.
  user.files.push_back(dir.file("broken.hkl"));
  user.answers.push_back(GTK_RESPONSE_OK);
  During([&] {
    Type(entry_end_angle, "40");
    gtk_action_activate(Action("action_fullprof_peak_file"));
    EXPECT_EQ(user.asked.back().rfind("Cannot read the peak file " + dir.file("broken.hkl"), 0), 0u);
    EXPECT_EQ(file_peak_file_validity, 0);
    return GTK_RESPONSE_CANCEL;
  });
  file_changed_flag = 0;
  gtk_action_activate(Action("action_peak_file"));
  EXPECT_EQ(TheJob().config.peakFile, dir.file("elsewhere/zno.hkl"));
  EXPECT_EQ(TheJob().config.peakFileFormat + TheJob().config.endAngle, 50);
  EXPECT_EQ(TheJob().hklList.items.size(), 4u);
  EXPECT_EQ(file_peak_file_validity, 1);
  EXPECT_EQ(file_changed_flag, 0);
}

TEST_F(Experiment, AMissingPeakFileKeepsItsNameInTheJob) {
  TempDir dir;
  user.answers = {GTK_RESPONSE_OK, GTK_RESPONSE_OK};
  Open(CopyZno(dir, {{"PEAK_FILE\t\"zno.hkl\"", "PEAK_FILE\t\"missing.hkl\""}}));
  EXPECT_EQ(user.asked.at(0).rfind("Cannot read the peak file " + dir.file("missing.hkl"), 0), 0u);
  EXPECT_EQ(Rows(ls_hkl_list), 0);
  // Saving the job, for whatever else changed, keeps the file it names.
  user.files.push_back(dir.file("copy.epc"));
  gtk_action_activate(action_file_save_as);
  EXPECT_NE(ReadWholeFile(dir.file("copy.epc")).find("\"missing.hkl\""), std::string::npos);
  // The statistic test needs the reflections.
  Generate();
  gtk_action_activate(action_statistic_test_start);
  EXPECT_EQ(user.Count("Invalid peak file!\nPlease open a valid peak file!\n"), 1u);
}
