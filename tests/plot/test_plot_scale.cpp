// Plot scales at their edges: label decimals from tiny to coarse steps,
// degenerate and unbounded ranges, and the data range, without drawing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "plot_scenes.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

GtkPlotScale Nice(double min, double max) {
  GtkPlotScale s = {};
  s.min = min;
  s.max = max;
  gtk_plot_calc_scale(&s);
  return s;
}

std::string LabelFor(const GtkPlotScale &s, double value, bool minorVisible = false) {
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  axile.scale = s;
  axile.tickLabel.minorVisible = minorVisible;
  gtk_plot_auto_tick_label_format(&axile);
  return gtk_plot_format_tick_label(&axile.tickLabel, value);
}

TEST(PlotScale, LabelDecimalsFollowTheStep) {
  const struct {
    double min, max, value;
    bool minor;
    const char *label;
  } cases[] = {
      {0.0012, 0.0047, 0.0025, false, "0.0025"},
      {25, 32, 29, false, "29"},  // whole steps without a decimal
      {2.5, 3.2, 2.9, false, "2.9"},
      {0, 1.2e-5, 4e-6, false, "0.000004"},  // six decimals still tell 2e-6 apart
      {25, 32, 29.5, true, "29.5"},           // visible minor labels get their own
      // Below a millionth "%.6f" printed every tick as "0.000000".
      {1e-9, 1e-8, 4e-9, false, "4.0E-09"},
      // Close to a large value the digits that change are kept.
      {1.0000001, 1.0000009, 1.0000004, false, "1.0000004E+00"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(LabelFor(Nice(c.min, c.max), c.value, c.minor), c.label) << c.min << " " << c.max;
  // The tick at zero is computed, not typed in: it must not print as "-0.0".
  const GtkPlotScale unit = Nice(0, 1);
  EXPECT_EQ(LabelFor(unit, gtk_plot_major_ticks(&unit)[1]), "0.0");
}

TEST(PlotScale, DegenerateAndUnboundedRangesStillGiveAUsableScale) {
  // One point, or a flat series, used to divide by a zero span.
  for (double v : {0.0, -3e4}) {
    GtkPlotScale s = Nice(v, v);
    EXPECT_TRUE(std::isfinite(s.major) && s.major > 0) << v;
    EXPECT_LT(s.tickStart, v);
    EXPECT_GT(s.tickEnd, v);
  }
  GtkPlotScale inverted = Nice(47, 13), nan = Nice(kNaN, 1);
  EXPECT_DOUBLE_EQ(inverted.tickStart, 10);
  EXPECT_DOUBLE_EQ(inverted.tickEnd, 50);
  EXPECT_DOUBLE_EQ(nan.tickStart, -20);
  EXPECT_DOUBLE_EQ(nan.tickEnd, 120);
  // 1e20 + 1 == 1e20 in double: counting by adding the step would never end.
  GtkPlotScale s = {};
  s.tickStart = 1e20;
  s.tickEnd = 1e20 + 1e6;
  s.major = 1;
  EXPECT_LE(gtk_plot_major_ticks(&s).size(), 10000u);
  s.major = 0;
  EXPECT_TRUE(gtk_plot_major_ticks(&s).empty());
  // Formats stay within their field.
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  auto as = [&axile](int format, double v) {
    axile.tickLabel.format = format;
    return gtk_plot_format_tick_label(&axile.tickLabel, v);
  };
  EXPECT_EQ(as(0, 1e30), "2147483647");  // clamped, not undefined
  EXPECT_EQ(as(10, 1), " ");              // no formatter
  axile.tickLabel.formatter = [](gchar *text, gsize size, const gdouble *) {
    g_strlcpy(text, std::string(300, 'x').c_str(), size);
  };
  EXPECT_EQ(as(10, 1).size(), 127u);  // cut to the field
}

TEST(PlotAutoZoom, RangeCoversVisibleSeriesAndSkipsBadPointsAndStalePoints) {
  GtkPlotFigure f;
  AddSerial(&f, "a", PLOT_SERIAL_LINE, {{kNaN, 3}, {13, 20}, {20, 47}});
  AddSerial(&f, "b", PLOT_SERIAL_LINE, {{30, 15}, {45, 30}});
  AddSerial(&f, "hidden", PLOT_SERIAL_LINE, {{-1000, 5000}}, false);
  GtkPlotRect r = gtk_plot_auto_zoom(&f);
  EXPECT_EQ(r.xmin, 13);
  EXPECT_EQ(r.xmax, 45);
  EXPECT_EQ(r.ymin, 15);
  EXPECT_EQ(r.ymax, 47);
  EXPECT_DOUBLE_EQ(f.topAxile.scale.tickEnd, 50);  // every axis rescaled
  // An empty first series shows the default range, whatever follows.
  GtkPlotFigure empty;
  AddSerial(&empty, "", PLOT_SERIAL_LINE, {});
  AddSerial(&empty, "", PLOT_SERIAL_LINE, {{500, 500}, {900, 1200}});
  EXPECT_EQ(gtk_plot_auto_zoom(&empty).ymax, 100);
  // The application keeps count and buffer apart: only the first
  // min(count, size) points are read.
  GtkPlotFigure kept;
  GtkPlotSerial *s = AddSerial(&kept, "", PLOT_SERIAL_LINE, {{1, 1}, {2, 4}});
  s->count = 800;
  EXPECT_EQ(gtk_plot_auto_zoom(&kept).ymax, 4);
  s->count = 1;
  EXPECT_EQ(gtk_plot_auto_zoom(&kept).ymax, 1);
  // Added twice, a series would be freed twice.
  EXPECT_TRUE(gtk_plot_figure_add_serial(&kept, s));
  EXPECT_EQ(kept.serials.size(), 1u);
}

}  // namespace
