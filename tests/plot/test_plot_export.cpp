// Pictures of a figure as files: the format by the extension, what cannot
// be written, panels lined up, and SVG that another program reads.
#include <gtest/gtest.h>

#include <filesystem>

#include "plot_scenes.h"
#include "testing.h"

namespace {

size_t FilesIn(const std::string &folder) {
  size_t n = 0;
  for (auto &entry : std::filesystem::directory_iterator(folder)) n += entry.is_regular_file();
  return n;
}

TEST(PlotExport, FormatFollowsTheExtensionAndWhatCannotBeWrittenLeavesNothing) {
  TempDir dir;
  GtkPlotFigure f;
  f.background = 0xFFFFFF;
  AddSerial(&f, "line", PLOT_SERIAL_LINE_SYMBOL, {{0, 1}, {10, 40}, {20, 25}, {30, 80}});
  AddSerial(&f, "bars", PLOT_SERIAL_BAR, {{5, 60}, {25, 30}})->barStyle = {0, 8, 0xFF0000};
  std::string why;
  ASSERT_TRUE(gtk_plot_figure_export(&f, dir.file("a.png").c_str(), 320, 200, &why)) << why;
  EXPECT_TRUE(LooksLike(ReadPng(dir.file("a.png")), Render(&f, 320, 200)));
  ASSERT_TRUE(gtk_plot_figure_export(&f, dir.file("b.SVG").c_str(), 320, 200, &why)) << why;
  EXPECT_NE(ReadWholeFile(dir.file("b.SVG")).find("width=\"320"), std::string::npos);  // not pt
  ASSERT_TRUE(gtk_plot_figure_export(&f, dir.file("c.pdf").c_str(), 320, 200, &why)) << why;
  EXPECT_EQ(ReadWholeFile(dir.file("c.pdf")).compare(0, 5, "%PDF-"), 0);
  // Another program reads the SVG as the picture it is. Its text was
  // measured and is drawn without hinting, as on an image with hinting off.
  ASSERT_TRUE(ConvertSvg(dir.file("b.SVG"), dir.file("b.png"), &why)) << why;
  EXPECT_TRUE(LooksLike(ReadPng(dir.file("b.png")),
                        Render(&f, 320, 200, CAIRO_HINT_STYLE_NONE, CAIRO_HINT_METRICS_OFF)));
  EXPECT_EQ(FilesIn(dir.path()), 4u);  // no scratch files left

  const struct {
    std::string path;
    int width, height;
    const char *reason;
  } refused[] = {
      {dir.file("picture.gif"), 100, 100, "unknown picture type 'gif'"},
      {dir.file("picture"), 100, 100, "unknown picture type ''"},
      {dir.file("missing/picture.png"), 100, 100, "cannot create"},
      {dir.file("a.png"), 0, 100, "cannot be made"},  // and the picture stays
      {dir.file("picture.png"), 100, 20000, "cannot be made"},
      {"", 100, 100, "no file name"},
  };
  for (const auto &c : refused) {
    why.clear();
    EXPECT_FALSE(gtk_plot_figure_export(&f, c.path.c_str(), c.width, c.height, &why)) << c.path;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    EXPECT_NE(why.find(c.path), std::string::npos) << why;
  }
  EXPECT_EQ(FilesIn(dir.path()), 4u);
  EXPECT_EQ(ReadPng(dir.file("a.png")).width, 320);
}

// Panels one above the other share their x axis: the frames line up though
// the labels up the side differ in width.
TEST(PlotExport, PanelsLineUpTheirFrames) {
  TempDir dir;
  GtkPlotFigure narrow, wide;
  for (GtkPlotFigure *f : {&narrow, &wide}) {
    f->background = 0xFFFFFF;
    f->legend.visible = 0;
    f->topAxile.visible = f->rightAxile.visible = 0;
  }
  AddSerial(&narrow, "a", PLOT_SERIAL_LINE, {{0, 0}, {10, 5}});
  AddSerial(&wide, "b", PLOT_SERIAL_LINE, {{0, -123456}, {10, 987654}});
  const double leftMargin = wide.leftMargin;
  std::string why;
  ASSERT_TRUE(gtk_plot_panels_export({{&narrow, 150}, {&wide, 150}},
                                     dir.file("panels.png").c_str(), 400, &why))
      << why;
  EXPECT_EQ(wide.leftMargin, leftMargin);
  const Image image = ReadPng(dir.file("panels.png"));
  ASSERT_EQ(image.height, 300);
  // The left axis is the darkest column of each panel.
  auto axisColumn = [&](int y0, int y1) {
    int best = -1;
    long most = -1;
    for (int x = 0; x < image.width; ++x) {
      const long n = CountColour(image, 0, 0, 0, 40, x, y0, x + 1, y1);
      if (n > most) most = n, best = x;
    }
    return best;
  };
  EXPECT_EQ(axisColumn(0, 150), axisColumn(150, 300));
}

}  // namespace
