// SPDX-License-Identifier: BSD-3-Clause
// Importing a measured pattern as a user does it: the action, the file
// chooser, the fit drawn while it runs, its Stop, and the peak file, cell
// and log it leaves; a stop or a bad pattern leaves the job as it was.
#include "PatternImport.h"
#include "ui_testing.h"

namespace {

// A pattern's job and its points copied into the folder; the job opened.
std::string CopyPattern(const TempDir &dir, const std::string &name, const std::string &data) {
  const std::string from = SourcePath("tests/data/patterns/" + name + "/");
  dir.write("job.epc", ReadWholeFile(from + "job.epc"));
  dir.write("reference-peaks.hkl", ReadWholeFile(from + "reference-peaks.hkl"));
  return dir.write(data, ReadWholeFile(from + data));
}

// Points in the live plot: observed, calculated, difference.
std::vector<guint32> PlotCounts() {
  std::vector<guint32> counts;
  if (patternImportWindow.plot)
    for (const auto &s : patternImportWindow.plot->serials) counts.push_back(s->count);
  return counts;
}

bool PlotFilled() {
  const std::vector<guint32> counts = PlotCounts();
  return counts.size() == 3 && counts[0] > 1000 && counts[1] == counts[0] && counts[2] == counts[0];
}

bool Exists(const std::string &path) { return g_file_test(path.c_str(), G_FILE_TEST_EXISTS); }

}  // namespace

using Import = AppTest;

TEST_F(Import, APatternBecomesThePeakFileWithTheRefinedCell) {
  TempDir dir;
  const std::string pattern = CopyPattern(dir, "beta_si3n4_xray_cu", "pattern.xye");
  Open(dir.file("job.epc"));
  GtkAction *import = Action("action_import_pattern");
  // Only a job with a space group can be fitted.
  gtk_entry_set_text(GTK_ENTRY(entry_sg_number), "0");
  EXPECT_FALSE(gtk_action_get_sensitive(import));
  Type(entry_sg_number, "176");
  ASSERT_TRUE(gtk_action_get_sensitive(import));
  const double a = TheJob().config.cellA;
  user.files.push_back(pattern);
  gtk_action_activate(import);
  EXPECT_EQ(user.chooserTitles.back(), "Import Measured Pattern");
  // The fit is drawn while it runs, and only Stop may be used meanwhile.
  ASSERT_TRUE(SpinUntil([] { return PlotFilled() || Idle(); }, 60));
  EXPECT_FALSE(Idle()) << "the fit ended before it was drawn";
  EXPECT_TRUE(gtk_action_get_sensitive(Action("action_import_pattern_stop")));
  EXPECT_FALSE(gtk_action_get_sensitive(import));
  Screenshot(patternImportWindow.window, "import-pattern-live.png");
  ASSERT_TRUE(SpinUntil(Idle, 120));
  SpinFor(0.1);
  Screenshot(patternImportWindow.window, "import-pattern-result.png");
  EXPECT_TRUE(PlotFilled());
  EXPECT_FALSE(gtk_action_get_sensitive(Action("action_import_pattern_stop")));
  // The peak file beside the control file, named in the job, read, shown.
  const Job &job = TheJob();
  EXPECT_EQ(job.config.peakFile, "beta_si3n4_xray_cu.hkl");
  EXPECT_EQ(job.config.peakFileFormat, 0);
  ASSERT_TRUE(Exists(dir.file("beta_si3n4_xray_cu.hkl")));
  EXPECT_EQ(file_peak_file_validity, 1);
  EXPECT_GT(job.hklList.items.size(), 50u);
  EXPECT_EQ(file_changed_flag, 1);
  // The refined cell: moved from the start, within 0.002 A of the published one.
  EXPECT_NE(job.config.cellA, a);
  EXPECT_NEAR(job.config.cellA, 7.6044, 0.002);
  EXPECT_NEAR(job.config.cellC, 2.9075, 0.002);
  EXPECT_EQ(job.crystal.a, job.config.cellA);
  EXPECT_EQ(Text(entry_cell_a0), Text(entry_cell_a));
  EXPECT_NEAR(std::stod(Text(entry_cell_a0)), job.config.cellA, 1e-6);
  EXPECT_TRUE(Logged("Rwp 0."));
  EXPECT_TRUE(Logged("Peak file " + dir.file("beta_si3n4_xray_cu.hkl") + " written"));
  const size_t reflections = job.hklList.items.size();
  During([&] {
    EXPECT_EQ(Text(entry_peak_file), "beta_si3n4_xray_cu.hkl");
    EXPECT_EQ(static_cast<size_t>(Rows(ls_hkl_list)), reflections);
    Screenshot(dlg_peak_file, "import-pattern-peak-file.png");
    return GTK_RESPONSE_OK;
  });
  gtk_action_activate(Action("action_peak_file"));
  // A different file of that name is replaced only when the user agrees.
  const std::string written = ReadWholeFile(dir.file("beta_si3n4_xray_cu.hkl"));
  dir.write("beta_si3n4_xray_cu.hkl", "; kept\n");
  user.files.push_back(pattern);
  user.answers = {GTK_RESPONSE_NO, GTK_RESPONSE_OK};
  user.asked.clear();
  Run(import);
  EXPECT_EQ(ReadWholeFile(dir.file("beta_si3n4_xray_cu.hkl")), "; kept\n");
  ASSERT_EQ(user.asked.size(), 2u);
  EXPECT_TRUE(Holds(user.asked[0], "already exists"));
  EXPECT_TRUE(Holds(user.asked[1], "exists and was kept"));
  EXPECT_EQ(TheJob().hklList.items.size(), reflections);
}

TEST_F(Import, AStopOrABadPatternLeavesTheJobAsItWas) {
  TempDir dir;
  const std::string pattern = CopyPattern(dir, "garnet_yfeal_neutron_d1a", "garnet.raw");
  Open(dir.file("job.epc"));
  const double a = TheJob().config.cellA;
  const size_t reflections = TheJob().hklList.items.size();
  auto unchanged = [&] {
    EXPECT_EQ(TheJob().config.cellA, a);
    EXPECT_EQ(TheJob().config.peakFile, "reference-peaks.hkl");
    EXPECT_EQ(TheJob().hklList.items.size(), reflections);
    EXPECT_EQ(file_changed_flag, 0);
    EXPECT_FALSE(Exists(dir.file("garnet_yfeal_neutron_d1a.hkl")));
  };
  // Stopped once the fit shows: said in an error dialog naming the file.
  user.files.push_back(pattern);
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_action_activate(Action("action_import_pattern"));
  ASSERT_TRUE(SpinUntil([] { return PlotFilled() || Idle(); }, 60));
  ASSERT_FALSE(Idle()) << "the fit ended before it could be stopped";
  gtk_action_activate(Action("action_import_pattern_stop"));
  ASSERT_TRUE(SpinUntil(Idle, 30));
  SpinFor(0.1);
  ASSERT_EQ(user.asked.size(), 1u);
  EXPECT_TRUE(Holds(user.asked[0], "File: " + pattern));
  EXPECT_TRUE(Holds(user.asked[0], "stopped"));
  unchanged();
  // A pattern whose angles go back: the file, the line and the reason.
  std::string text;
  for (int i = 0; i < 60; ++i) text += std::to_string(20 + 0.05 * (i == 40 ? 30 : i)) + " 100\n";
  user.files.push_back(dir.write("bad.xye", text));
  user.answers.push_back(GTK_RESPONSE_OK);
  Run(Action("action_import_pattern"));
  ASSERT_EQ(user.asked.size(), 2u);
  EXPECT_TRUE(Holds(user.asked[1], dir.file("bad.xye") + ":41: 2theta 21.5 after 21.95"));
  unchanged();
  // Without a job there is nothing to fit.
  gtk_action_activate(action_file_close);
  EXPECT_FALSE(gtk_action_get_sensitive(Action("action_import_pattern")));
}
