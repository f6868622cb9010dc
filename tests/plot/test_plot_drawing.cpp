// What the figure draws where, for what the reference pictures would not
// show plainly (they show the grid behind axes and bars, bars standing on
// zero and crowded tick labels kept apart): gaps in lines, dash patterns,
// the legend clear of the axes on every side, its shadow, the title, and
// symbols of any size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

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
  GtkPlotSerial *Add(int type, const Points &xy, guint32 colour, double width) {
    GtkPlotSerial *s = AddSerial(&figure, "", type, xy);
    s->barStyle = {0, width, colour};
    s->lineStyle.color = colour;
    s->lineStyle.width = width;
    return s;
  }
  // Screen position of a plot point after the last drawing.
  int X(double x) const {
    const GtkPlotScale &s = figure.bottomAxile.scale;
    return static_cast<int>(std::floor(figure.frame.left + (x - s.tickStart) * s.pixelsPerUnit));
  }
  int Y(double y) const {
    const GtkPlotScale &s = figure.leftAxile.scale;
    return static_cast<int>(std::floor(figure.frame.bottom - (y - s.tickStart) * s.pixelsPerUnit));
  }
  // The pixels of a colour in the box round (x, y), in plot units.
  long Around(const Image &image, guint32 colour, double x, double y, int dx, int dy) const {
    return CountColour(image, colour >> 16, (colour >> 8) & 0xFF, colour & 0xFF, 60, X(x) - dx,
                       Y(y) - dy, X(x) + dx + 1, Y(y) + dy + 1);
  }
  GtkPlotFigure figure;
};

TEST(PlotDrawing, LinesBreakAtPointsThatAreNoNumbersAndDashCodesLeaveGaps) {
  Plain p;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  p.Add(PLOT_SERIAL_LINE, {{0, 0}, {nan, 50}, {100, 100}, {100, 0}}, 0x0000FF, 3);
  const Image image = Render(&p.figure, kWidth, kHeight);
  EXPECT_EQ(p.Around(image, 0x0000FF, 50, 50, 3, 3), 0);
  EXPECT_GT(p.Around(image, 0x0000FF, 100, 50, 1, 10), 0);  // the run after it is drawn
  // The share of a three-pixel line's middle row that is drawn.
  auto coverage = [](int dash) {
    Plain q;
    q.Add(PLOT_SERIAL_LINE, {{0, 50}, {100, 50}}, 0x0000FF, 3)->lineStyle.dash = dash;
    ZoomTo(&q.figure, 0, 100, 0, 100);
    const Image line = Render(&q.figure, kWidth, kHeight);
    return double(q.Around(line, 0x0000FF, 50, 50, q.X(90) - q.X(50), 0)) / (q.X(90) - q.X(10));
  };
  EXPECT_GT(coverage(7), 0.99);  // codes beyond the known ones draw solid
  double previous = 1;
  // {4, 1}, {4, 1, 1, 1}, {4, 1, 1, 1, 1, 1}, {1, 1}: ever more gap.
  for (int dash : {1, 3, 4, 2}) {
    const double c = coverage(dash);
    EXPECT_LT(c, previous - 0.02) << "dash " << dash;
    EXPECT_GT(c, 0.4) << "dash " << dash;
    previous = c;
  }
}

TEST(PlotDrawing, LegendKeepsClearOfTheAxesOnEverySideAndCastsItsShadow) {
  for (int placement : {PLOT_LEGEND_TOP, PLOT_LEGEND_LEFT, PLOT_LEGEND_BOTTOM, PLOT_LEGEND_RIGHT}) {
    SCOPED_TRACE(placement);
    GtkPlotFigure f;
    f.legend.placement = placement;
    f.legend.background = 0xFFFFFF;
    AddSerial(&f, "a longer name", PLOT_SERIAL_LINE, {{0, 0}, {1e5, 1e5}});
    AddSerial(&f, "second", PLOT_SERIAL_BAR, {{5e4, 5e4}});
    const Image image = Render(&f, 400, 300);
    const cairo_rectangle_int_t box = f.legendBox;
    const int shadow = f.legend.frameWidth;
    ASSERT_GT(box.width, 0);
    ASSERT_GT(shadow, 0);
    cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t *cr = cairo_create(s);
    auto room = [&](int axis) { return gtk_plot_figure_axile_size(&f, cr, axis); };
    const GtkPlotFrame &fr = f.frame;
    const double gap[] = {fr.top - room(PLOT_AXILE_TOP) - (box.y + box.height + shadow),
                          fr.left - room(PLOT_AXILE_LEFT) - (box.x + box.width + shadow),
                          box.y - (fr.bottom + room(PLOT_AXILE_BOTTOM)),
                          box.x - (fr.right + room(PLOT_AXILE_RIGHT))};
    const int side[] = {PLOT_LEGEND_TOP, PLOT_LEGEND_LEFT, PLOT_LEGEND_BOTTOM, PLOT_LEGEND_RIGHT};
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(side[i] != placement || gap[i] >= 3) << gap[i];
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    // The right axis's labels end within the axis's room.
    for (const auto &l : TickLabels(&f, 400, 300, PLOT_AXILE_RIGHT))
      EXPECT_TRUE(placement != PLOT_LEGEND_RIGHT || l.x + l.width < box.x - 2) << l.text;
    // The shadow lies right of the box and below it.
    EXPECT_EQ(CountColour(image, 0x10, 0x10, 0x10, 8, box.x + box.width, box.y + shadow,
                          box.x + box.width + shadow, box.y + box.height + shadow),
              shadow * box.height);
    EXPECT_EQ(CountColour(image, 0x10, 0x10, 0x10, 8, box.x + shadow, box.y + box.height,
                          box.x + box.width + shadow, box.y + box.height + shadow),
              shadow * box.width);
  }
}

TEST(PlotDrawing, TitleStandsAboveAndTakesRoomAndSymbolsStaySmall) {
  Plain p;
  p.Add(PLOT_SERIAL_LINE, {{0, 0}, {1, 1}}, 0, 1);
  Render(&p.figure, kWidth, kHeight);
  const double top = p.figure.frame.top;
  g_strlcpy(p.figure.title, "ZnO model 3", sizeof p.figure.title);
  const Image image = Render(&p.figure, kWidth, kHeight);
  EXPECT_GT(p.figure.frame.top, top + 10);
  EXPECT_GT(CountColour(image, 0, 0, 0, 100, 0, 0, kWidth, int(p.figure.frame.top) - 2), 20);
  // A symbol's image is bounded whatever size it is asked for.
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 4, 4);
  cairo_t *cr = cairo_create(surface);
  GtkPlotSymbolStyle style;
  gtk_plot_symbol_style_set_default(&style);
  style.size = 1e9;  // gigabytes
  cairo_pattern_t *symbol = gtk_plot_create_symbol(cr, &style);
  cairo_surface_t *drawn = nullptr;
  cairo_pattern_get_surface(symbol, &drawn);
  EXPECT_LE(cairo_image_surface_get_width(drawn), 1024);
  cairo_pattern_destroy(symbol);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
}

}  // namespace
