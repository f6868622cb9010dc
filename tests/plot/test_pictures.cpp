// The batch programs' pictures: a model's peaks with their difference, a
// simulated pattern, the models with the chosen ones marked, and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "image_testing.h"
#include "pictures.h"
#include "plot_scenes.h"
#include "testing.h"

namespace {

constexpr int kPeaksHeight = 380;  // the upper panel; the difference below

HKLList Peaks() {
  HKLList list;
  const double obs[] = {100, 40, 0, 60, 25}, calc[] = {80, 55, 20, 60, 30};
  for (int i = 0; i < 5; ++i) {
    HKLItem item;
    item.twoTheta = 20 + 10 * i;
    item.iObsScaled = obs[i];
    item.iCalc = calc[i];
    list.items.push_back(item);
  }
  return list;
}

// The colours of the application's peaks plot and of the difference.
long Blue(const Image &i, int y0, int y1) { return CountColour(i, 0, 0, 255, 30, 0, y0, i.width, y1); }
long Yellow(const Image &i, int y0, int y1) {
  return CountColour(i, 255, 255, 0, 30, 0, y0, i.width, y1);
}
long Red(const Image &i, int y0, int y1) { return CountColour(i, 255, 0, 0, 30, 0, y0, i.width, y1); }

TEST(Pictures, PeaksShowObservedAndCalculatedAboveTheirDifference) {
  TempDir dir;
  ASSERT_TRUE(WritePeaksPicture(dir.file("peaks.png"), Peaks(), "ZnO model 3"));
  const Image image = ReadPng(dir.file("peaks.png"));
  ASSERT_GT(image.height, kPeaksHeight);
  WritePng(image, TestOutputPath("picture-peaks.png"));
  EXPECT_GT(Blue(image, 0, kPeaksHeight), 100);
  EXPECT_GT(Yellow(image, 0, kPeaksHeight), 100);
  EXPECT_EQ(Red(image, 0, kPeaksHeight), 0);
  EXPECT_EQ(Blue(image, kPeaksHeight, image.height) + Yellow(image, kPeaksHeight, image.height), 0);
  // Differences of 20, -15, -20, 0 and -5: bars above and below zero.
  long above = 0, below = 0;
  int zero = -1;  // the row between them: no red there
  for (int y = kPeaksHeight; y < image.height; ++y) {
    const long red = CountColour(image, 255, 0, 0, 30, 0, y, image.width, y + 1);
    if (red == 0 && above > 0 && zero < 0) zero = y;
    (zero < 0 ? above : below) += red;
  }
  EXPECT_GT(above, 0);
  EXPECT_GT(below, above);  // -40 against +20
  // The title names the model.
  EXPECT_GT(CountColour(image, 0, 0, 0, 60, 0, 0, image.width, 40), 50);

  // A simulated pattern: the calculated peaks alone, in one panel.
  ASSERT_TRUE(WritePeaksPicture(dir.file("pattern.png"), Peaks(), "simulated", false));
  const Image pattern = ReadPng(dir.file("pattern.png"));
  EXPECT_EQ(pattern.height, kPeaksHeight);
  EXPECT_GT(Yellow(pattern, 0, pattern.height), 100);
  EXPECT_EQ(Blue(pattern, 0, pattern.height) + Red(pattern, 0, pattern.height), 0);
}

TEST(Pictures, ModelsPictureMarksTheChosenModels) {
  TempDir dir;
  std::vector<ModelPictureRow> rows;
  for (int m = 1; m <= 30; ++m) rows.push_back({m, 0.1 + (m % 7) * 0.05, 2.0 + (m % 5), m % 10 == 3});
  ASSERT_TRUE(WriteModelsPicture(dir.file("models.png"), rows, "ZnO: 30 models"));
  const Image image = ReadPng(dir.file("models.png"));
  ASSERT_GT(image.height, 0);
  WritePng(image, TestOutputPath("picture-models.png"));
  const int half = image.height / 2;
  // FOM above, Rmin below, the chosen three in cyan in both.
  for (auto [y0, y1] : {std::pair<int, int>{0, half}, {half, image.height}}) {
    EXPECT_GT(CountColour(image, 0, 255, 255, 30, 0, y0, image.width, y1), 30);
    EXPECT_GT(CountColour(image, 255, 0, 0, 30, 0, y0, image.width, y1), 300);
  }
  // Model numbers are whole, and so are the numbers along x, for a few
  // models too.
  for (size_t n : {1, 2, 4, 30}) {
    GtkPlotFigure foms, factors;
    SetUpModelsFigures({rows.begin(), rows.begin() + n}, "", &foms, &factors);
    for (const auto &l : TickLabels(&foms, 900, 280, PLOT_AXILE_BOTTOM))
      EXPECT_EQ(l.value, std::round(l.value)) << n << " models: " << l.text;
  }
  // With no model chosen there is no cyan, in the bars or the legend.
  for (ModelPictureRow &r : rows) r.chosen = false;
  ASSERT_TRUE(WriteModelsPicture(dir.file("none.png"), rows, "none chosen"));
  EXPECT_EQ(CountColour(ReadPng(dir.file("none.png")), 0, 255, 255, 30), 0);
}

TEST(Pictures, FailuresAreReportedAndLeaveNoFile) {
  TempDir dir;
  CapturedMessages messages;
  EXPECT_FALSE(WritePeaksPicture(dir.file("empty.svg"), HKLList(), "nothing"));
  EXPECT_FALSE(WriteModelsPicture(dir.file("none.svg"), {}, "nothing"));
  EXPECT_FALSE(WritePeaksPicture(dir.file("missing/peaks.svg"), Peaks(), "t"));
  EXPECT_FALSE(WritePeaksPicture(dir.file("peaks.jpg"), Peaks(), "t"));
  ASSERT_EQ(messages.size(), 4u);
  for (const auto &m : messages.all()) EXPECT_EQ(m.first, MESSAGE_ERROR);
  EXPECT_NE(messages.all()[0].second.find("empty.svg"), std::string::npos);
  EXPECT_NE(messages.all()[2].second.find("missing/peaks.svg"), std::string::npos);
  EXPECT_NE(messages.all()[3].second.find("unknown picture type 'jpg'"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// The example run writes a picture beside each model's files and one of all
// the models; --no-plots writes none.
TEST(Pictures, BatchSolverDrawsEveryModelItWrites) {
  TempDir dir;
  const std::string job = std::string(PULVINA_SOURCE_DIR) + "/examples/zno_wurtzite/zno.epc";
  ASSERT_EQ(RunProgram({PULVINA_SOLVE, "-q", "--seed", "1", "--best", "2", "-o", dir.file("out"), job}),
            0);
  size_t cif = 0, svg = 0;
  for (auto &e : std::filesystem::directory_iterator(dir.file("out"))) {
    const auto extension = e.path().extension();
    svg += extension == ".svg";
    if (extension != ".cif") continue;
    ++cif;
    std::filesystem::path picture = e.path();
    EXPECT_TRUE(std::filesystem::exists(picture.replace_extension(".svg"))) << picture;
  }
  EXPECT_EQ(cif, 2u);
  EXPECT_EQ(svg, cif + 1);
  // What a browser or a drawing program gets: rsvg-convert reads it.
  std::string why;
  EXPECT_TRUE(ConvertSvg(dir.file("out/zno_models.svg"), dir.file("models.png"), &why)) << why;

  ASSERT_EQ(RunProgram({PULVINA_SOLVE, "-q", "--seed", "1", "--no-plots", "-o", dir.file("bare"), job}),
            0);
  for (auto &e : std::filesystem::directory_iterator(dir.file("bare")))
    EXPECT_NE(e.path().extension(), ".svg") << e.path();
}

TEST(Pictures, PatternCalculatorDrawsOnRequest) {
  TempDir dir;
  const std::string folder = std::string(PULVINA_SOURCE_DIR) + "/examples/zno_wurtzite/";
  ASSERT_EQ(RunProgram({PULVINA_SIMULATE, "-o", dir.file("zno.hkl"), "--plot", dir.file("zno.png"),
                 folder + "zno.epc", folder + "solution.txt"}),
            0);
  const Image image = ReadPng(dir.file("zno.png"));
  EXPECT_EQ(image.height, kPeaksHeight);
  EXPECT_GT(Yellow(image, 0, image.height), 100);
  // A picture that cannot be written fails the run.
  EXPECT_NE(RunProgram({PULVINA_SIMULATE, "-o", dir.file("b.hkl"), "--plot", dir.file("zno.gif"),
                 folder + "zno.epc", folder + "solution.txt"}),
            0);
  EXPECT_NE(RunProgram({PULVINA_SIMULATE, "--plot"}), 0);
}

}  // namespace
