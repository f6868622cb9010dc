// What the figure draws where, for what the reference pictures would not
// show plainly: the grid behind axes and bars, bars standing on zero, gaps
// in lines, tick labels that keep apart, the legend clear of the axes, its
// shadow, and the title.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "image_testing.h"
#include "plot_scenes.h"

namespace {

constexpr int kWidth = 300, kHeight = 200;

// White, with only the bottom and left axes and no legend: room for data.
struct Plain {
  Plain() {
    figure.background = 0xFFFFFF;
    figure.topAxile.visible = figure.rightAxile.visible = 0;
    figure.legend.visible = 0;
  }
  GtkPlotSerial *Bars(const Points &xy, guint32 colour, double width) {
    GtkPlotSerial *s = AddSerial(&figure, "bars", PLOT_SERIAL_BAR, xy);
    s->barStyle = {0, width, colour};
    return s;
  }
  GtkPlotSerial *Line(const Points &xy, guint32 colour, int type = PLOT_SERIAL_LINE) {
    GtkPlotSerial *s = AddSerial(&figure, "line", type, xy);
    s->lineStyle.color = colour;
    return s;
  }
  // Screen position of a plot point after the last drawing.
  int X(double x) const {
    return static_cast<int>(std::floor(figure.frame.left + (x - figure.bottomAxile.scale.tickStart) *
                                                               figure.bottomAxile.scale.pixelsPerUnit));
  }
  int Y(double y) const {
    return static_cast<int>(std::floor(figure.frame.bottom - (y - figure.leftAxile.scale.tickStart) *
                                                                 figure.leftAxile.scale.pixelsPerUnit));
  }
  GtkPlotFigure figure;
};

bool IsColour(Image::Pixel p, int r, int g, int b, int tolerance = 40) {
  return std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance &&
         std::abs(p.b - b) <= tolerance;
}

TEST(PlotDrawing, GridLiesBehindTheAxesAndTheBars) {
  Plain p;
  GtkPlotFigure &f = p.figure;
  for (GtkPlotGridLine *g : {&f.hGridLine, &f.vGridLine}) {
    g->majorVisible = g->minorVisible = 1;
    g->majorStyle.color = g->minorStyle.color = 0xA0A0A0;
  }
  p.Bars({{50, 80}}, 0xFF0000, 30);
  ZoomTo(&f, 0, 100, 0, 100);
  const Image image = Render(&f, kWidth, kHeight);
  // Grid lines end on the axis lines: drawn over them they would break the
  // axes into dots of grey.
  const int bottom = static_cast<int>(f.frame.bottom), left = static_cast<int>(f.frame.left);
  for (int x = left; x < static_cast<int>(f.frame.right); ++x)
    ASSERT_TRUE(IsColour(image.At(x, bottom), 0, 0, 0)) << "bottom axis at x " << x;
  for (int y = static_cast<int>(f.frame.top); y < bottom; ++y)
    ASSERT_TRUE(IsColour(image.At(left, y), 0, 0, 0)) << "left axis at y " << y;
  // The bar is whole where horizontal grid lines cross it (ticks every 20).
  for (double v : {20.0, 40.0, 60.0})
    EXPECT_TRUE(IsColour(image.At(p.X(50), p.Y(v)), 255, 0, 0)) << "bar at " << v;
  // And the grid is there, beside the bar.
  EXPECT_TRUE(IsColour(image.At(p.X(20), p.Y(40)), 0xA0, 0xA0, 0xA0));
}

TEST(PlotDrawing, BarsStandOnZero) {
  Plain p;
  p.Bars({{20, 100}, {50, -50}, {80, 0}}, 0xFF0000, 10);
  ZoomTo(&p.figure, 0, 100, -50, 100);
  const Image image = Render(&p.figure, kWidth, kHeight);
  const int zero = p.Y(0);
  // Up from zero, not up from the frame's bottom edge.
  EXPECT_TRUE(IsColour(image.At(p.X(20), p.Y(50)), 255, 0, 0));
  EXPECT_FALSE(IsColour(image.At(p.X(20), zero + 3), 255, 0, 0));
  // Down from zero for a negative value.
  EXPECT_TRUE(IsColour(image.At(p.X(50), p.Y(-25)), 255, 0, 0));
  EXPECT_FALSE(IsColour(image.At(p.X(50), zero - 3), 255, 0, 0));
  // A value of zero draws no bar, though the axis has a step below zero.
  ASSERT_LT(p.figure.leftAxile.scale.tickStart, -50);
  EXPECT_EQ(CountColour(image, 255, 0, 0, 40, p.X(80) - 6, 0, p.X(80) + 6, kHeight), 0);
}

TEST(PlotDrawing, APointThatIsNotANumberBreaksTheLine) {
  Plain p;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  p.Line({{0, 0}, {nan, 50}, {100, 100}, {100, 0}}, 0x0000FF)->lineStyle.width = 3;
  const Image image = Render(&p.figure, kWidth, kHeight);
  EXPECT_EQ(CountColour(image, 0, 0, 255, 90, p.X(50) - 3, p.Y(50) - 3, p.X(50) + 3, p.Y(50) + 3), 0);
  // The run after it is drawn.
  EXPECT_GT(CountColour(image, 0, 0, 255, 90, p.X(100) - 1, p.Y(60), p.X(100) + 2, p.Y(40)), 0);
}

// Each dash code leaves gaps in a line; codes beyond them draw it solid.
TEST(PlotDrawing, DashCodesLeaveGaps) {
  auto coverage = [](int dash) {
    Plain p;
    GtkPlotSerial *s = p.Line({{0, 50}, {100, 50}}, 0x0000FF);
    s->lineStyle.dash = dash;
    s->lineStyle.width = 3;  // a whole row covered, whatever the fraction of its place
    ZoomTo(&p.figure, 0, 100, 0, 100);
    const Image image = Render(&p.figure, kWidth, kHeight);
    const int y = p.Y(50), x0 = p.X(10), x1 = p.X(90);
    return double(CountColour(image, 0, 0, 255, 60, x0, y, x1, y + 1)) / (x1 - x0);
  };
  EXPECT_GT(coverage(0), 0.99);
  EXPECT_GT(coverage(7), 0.99);
  double previous = 1;
  // {4, 1}, {4, 1, 1, 1}, {4, 1, 1, 1, 1, 1}, {1, 1}: ever more gap.
  for (int dash : {1, 3, 4, 2}) {
    const double c = coverage(dash);
    EXPECT_LT(c, previous - 0.02) << "dash " << dash;
    EXPECT_GT(c, 0.4) << "dash " << dash;
    previous = c;
  }
}

void ExpectApart(const std::vector<GtkPlotLabelBox> &labels, bool horizontal) {
  for (size_t i = 1; i < labels.size(); ++i) {
    const GtkPlotLabelBox &a = labels[i - 1], &b = labels[i];
    if (horizontal)
      EXPECT_LT(a.x + a.width + 2, b.x) << a.text << " touches " << b.text;
    else  // upwards: the later label stands higher
      EXPECT_LT(b.y + b.height + 1, a.y) << a.text << " touches " << b.text;
  }
}

TEST(PlotDrawing, TickLabelsKeepApartAndStayRound) {
  // Millions along a narrow axis ran together.
  Plain wide;
  wide.Line({{0, 0}, {9.9e6, 1}}, 0);
  const auto x = TickLabels(&wide.figure, 240, 160, PLOT_AXILE_BOTTOM);
  ASSERT_GE(x.size(), 2u);
  ExpectApart(x, true);
  // Every n-th tick is kept, n a round number, counting from zero.
  const double steps = (x[1].value - x[0].value) / wide.figure.bottomAxile.scale.major;
  EXPECT_TRUE(steps == 2 || steps == 5 || steps == 10) << steps;
  EXPECT_EQ(std::fmod(x[0].value, x[1].value - x[0].value), 0);

  // A short plot's labels up the side touched.
  Plain short_;
  short_.Line({{0, 0}, {1, 100}}, 0);
  const auto y = TickLabels(&short_.figure, 300, 110, PLOT_AXILE_LEFT);
  ASSERT_GE(y.size(), 2u);
  ExpectApart(y, false);

  // With room to spare every tick keeps its label.
  Plain roomy;
  roomy.Line({{0, 0}, {100, 100}}, 0);
  EXPECT_EQ(TickLabels(&roomy.figure, 600, 400, PLOT_AXILE_BOTTOM).size(),
            gtk_plot_major_ticks(&roomy.figure.bottomAxile.scale).size());
  EXPECT_EQ(TickLabels(&roomy.figure, 600, 400, PLOT_AXILE_LEFT).size(),
            gtk_plot_major_ticks(&roomy.figure.leftAxile.scale).size());
}

TEST(PlotDrawing, LegendKeepsClearOfTheAxesOnEverySide) {
  for (int placement : {PLOT_LEGEND_TOP, PLOT_LEGEND_LEFT, PLOT_LEGEND_BOTTOM, PLOT_LEGEND_RIGHT}) {
    SCOPED_TRACE(placement);
    GtkPlotFigure f;
    f.legend.placement = placement;
    AddSerial(&f, "a longer name", PLOT_SERIAL_LINE, {{0, 0}, {1e5, 1e5}});
    AddSerial(&f, "second", PLOT_SERIAL_BAR, {{5e4, 5e4}});
    Render(&f, 400, 300);
    const cairo_rectangle_int_t box = f.legendBox;
    ASSERT_GT(box.width, 0);
    const int shadow = f.legend.frameWidth;
    cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t *cr = cairo_create(s);
    auto room = [&](int axis) { return gtk_plot_figure_axile_size(&f, cr, axis); };
    const GtkPlotFrame &fr = f.frame;
    switch (placement) {
      case PLOT_LEGEND_RIGHT: EXPECT_GE(box.x - (fr.right + room(PLOT_AXILE_RIGHT)), 3); break;
      case PLOT_LEGEND_LEFT:
        EXPECT_GE(fr.left - room(PLOT_AXILE_LEFT) - (box.x + box.width + shadow), 3);
        break;
      case PLOT_LEGEND_BOTTOM: EXPECT_GE(box.y - (fr.bottom + room(PLOT_AXILE_BOTTOM)), 3); break;
      default: EXPECT_GE(fr.top - room(PLOT_AXILE_TOP) - (box.y + box.height + shadow), 3); break;
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    // The right axis's labels end within the axis's room.
    if (placement == PLOT_LEGEND_RIGHT) {
      for (const auto &l : TickLabels(&f, 400, 300, PLOT_AXILE_RIGHT))
        EXPECT_LT(l.x + l.width, box.x - 2) << l.text;
    }
  }
}

TEST(PlotDrawing, LegendCastsItsShadowRightOfItAndBelow) {
  GtkPlotFigure f;
  f.legend.background = 0xFFFFFF;
  AddSerial(&f, "line", PLOT_SERIAL_LINE, {{0, 0}, {10, 10}});
  AddSerial(&f, "bars", PLOT_SERIAL_BAR, {{5, 5}});
  const Image image = Render(&f, 400, 300);
  const cairo_rectangle_int_t box = f.legendBox;
  const int shadow = f.legend.frameWidth;
  ASSERT_GT(shadow, 0);
  EXPECT_EQ(CountColour(image, 0x10, 0x10, 0x10, 8, box.x + box.width, box.y + shadow,
                        box.x + box.width + shadow, box.y + box.height + shadow),
            shadow * box.height);
  EXPECT_EQ(CountColour(image, 0x10, 0x10, 0x10, 8, box.x + shadow, box.y + box.height,
                        box.x + box.width + shadow, box.y + box.height + shadow),
            shadow * box.width);
}

TEST(PlotDrawing, TitleStandsAboveAndTakesRoom) {
  Plain p;
  p.Line({{0, 0}, {1, 1}}, 0);
  Render(&p.figure, kWidth, kHeight);
  const double top = p.figure.frame.top;
  g_strlcpy(p.figure.title, "ZnO model 3", sizeof p.figure.title);
  const Image image = Render(&p.figure, kWidth, kHeight);
  EXPECT_GT(p.figure.frame.top, top + 10);
  EXPECT_GT(CountColour(image, 0, 0, 0, 100, 0, 0, kWidth, int(p.figure.frame.top) - 2), 20);
}

}  // namespace
