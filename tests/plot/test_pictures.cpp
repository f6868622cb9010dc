// The batch programs' pictures: a model's peaks with their difference, a
// simulated pattern, the models with the chosen ones marked, and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

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

// The pixels of the application's colours in rows y0 to y1.
long Blue(const Image &i, int y0, int y1) { return CountColour(i, 0, 0, 255, 30, 0, y0, i.width, y1); }
long Yellow(const Image &i, int y0, int y1) { return CountColour(i, 255, 255, 0, 30, 0, y0, i.width, y1); }
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
  // Differences of 20, -15, -20, 0 and -5: bars above and below a row
  // without red.
  long above = 0, below = 0;
  for (int y = kPeaksHeight, zero = -1; y < image.height; ++y) {
    const long red = Red(image, y, y + 1);
    if (red == 0 && above > 0 && zero < 0) zero = y;
    (zero < 0 ? above : below) += red;
  }
  EXPECT_GT(above, 0);
  EXPECT_GT(below, above);  // -40 against +20
  EXPECT_GT(CountColour(image, 0, 0, 0, 60, 0, 0, image.width, 40), 50);  // the title

  // A simulated pattern: the calculated peaks alone, in one panel.
  ASSERT_TRUE(WritePeaksPicture(dir.file("pattern.png"), Peaks(), "simulated", false));
  const Image pattern = ReadPng(dir.file("pattern.png"));
  EXPECT_EQ(pattern.height, kPeaksHeight);
  EXPECT_GT(Yellow(pattern, 0, pattern.height), 100);
  EXPECT_EQ(Blue(pattern, 0, pattern.height) + Red(pattern, 0, pattern.height), 0);
}

TEST(Pictures, ModelsPictureMarksTheChosenModelsAndNumbersThemWhole) {
  TempDir dir;
  std::vector<ModelPictureRow> rows;
  for (int m = 1; m <= 30; ++m) rows.push_back({m, 0.1 + (m % 7) * 0.05, 2.0 + (m % 5), m % 10 == 3});
  ASSERT_TRUE(WriteModelsPicture(dir.file("models.png"), rows, "ZnO: 30 models"));
  const Image image = ReadPng(dir.file("models.png"));
  WritePng(image, TestOutputPath("picture-models.png"));
  // FOM above, Rmin below, the chosen three in cyan in both.
  for (int half : {0, 1}) {
    const int y0 = half * image.height / 2, y1 = (half + 1) * image.height / 2;
    EXPECT_GT(CountColour(image, 0, 255, 255, 30, 0, y0, image.width, y1), 30);
    EXPECT_GT(Red(image, y0, y1), 300);
  }
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
// the models, which rsvg-convert reads; --no-plots writes none. The pattern
// calculator draws on request, and fails when it cannot.
TEST(Pictures, TheBatchProgramsDrawWhatTheyWrite) {
  TempDir dir;
  const std::string folder = std::string(PULVINA_SOURCE_DIR) + "/examples/zno_wurtzite/";
  ASSERT_EQ(RunProgram({PULVINA_SOLVE, "-q", "--seed", "1", "--best", "2", "-o", dir.file("out"),
                        folder + "zno.epc"}), 0);
  size_t cif = 0, svg = 0;
  for (auto &e : std::filesystem::directory_iterator(dir.file("out"))) {
    std::filesystem::path picture = e.path();
    svg += picture.extension() == ".svg";
    if (picture.extension() != ".cif") continue;
    ++cif;
    EXPECT_TRUE(std::filesystem::exists(picture.replace_extension(".svg"))) << picture;
  }
  EXPECT_EQ(cif, 2u);
  EXPECT_EQ(svg, cif + 1);
  std::string why;
  EXPECT_TRUE(ConvertSvg(dir.file("out/zno_models.svg"), dir.file("models.png"), &why)) << why;
  ASSERT_EQ(RunProgram({PULVINA_SOLVE, "-q", "--seed", "1", "--no-plots", "-o", dir.file("bare"),
                        folder + "zno.epc"}), 0);
  for (auto &e : std::filesystem::directory_iterator(dir.file("bare")))
    EXPECT_NE(e.path().extension(), ".svg") << e.path();

  const std::vector<std::string> simulate = {PULVINA_SIMULATE, "-o", dir.file("zno.hkl"),
                                             folder + "zno.epc", folder + "solution.txt"};
  auto plot = [&](const std::string &picture) {
    std::vector<std::string> args = simulate;
    args.insert(args.begin() + 3, {"--plot", picture});
    return RunProgram(args);
  };
  ASSERT_EQ(plot(dir.file("zno.png")), 0);
  const Image image = ReadPng(dir.file("zno.png"));
  EXPECT_EQ(image.height, kPeaksHeight);
  EXPECT_GT(Yellow(image, 0, image.height), 100);
  EXPECT_NE(plot(dir.file("zno.gif")), 0);  // a picture that cannot be written fails the run
  EXPECT_NE(RunProgram({PULVINA_SIMULATE, "--plot"}), 0);
}

}  // namespace
