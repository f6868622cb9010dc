// Plot scales at their edges: label decimals from tiny to coarse steps,
// degenerate and unbounded ranges, and the data range, without drawing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "plotfigure.h"

namespace {

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
  EXPECT_EQ(LabelFor(Nice(0.0012, 0.0047), 0.0025), "0.0025");
  // Whole steps print without a decimal ("29", not "29.0").
  EXPECT_EQ(LabelFor(Nice(25, 32), 29), "29");
  EXPECT_EQ(LabelFor(Nice(2.5, 3.2), 2.9), "2.9");
  // Six decimals still tell steps of 2e-6 apart.
  EXPECT_EQ(LabelFor(Nice(0, 1.2e-5), 4e-6), "0.000004");
  EXPECT_EQ(LabelFor(Nice(0, 35000), 20000), "20000");
  // Visible minor labels get their own decimals.
  EXPECT_EQ(LabelFor(Nice(25, 32), 29.5, true), "29.5");
  // The tick at zero is computed, not typed in: it must not print as "-0.0".
  const GtkPlotScale unit = Nice(0, 1);
  EXPECT_EQ(LabelFor(unit, gtk_plot_major_ticks(&unit)[1]), "0.0");
}

TEST(PlotScale, StepsBelowAMillionthAreLabelledInScientificNotation) {
  // "%.6f" printed every tick of this range as "0.000000".
  GtkPlotScale fine = Nice(1e-9, 1e-8);
  std::vector<std::string> labels;
  for (double v : gtk_plot_major_ticks(&fine)) labels.push_back(LabelFor(fine, v));
  ASSERT_GE(labels.size(), 4u);
  for (size_t i = 1; i < labels.size(); ++i) EXPECT_NE(labels[i], labels[i - 1]);
  EXPECT_EQ(LabelFor(fine, 4e-9), "4.0E-09");
  // Close to a large value the digits that change are kept.
  GtkPlotScale offset = Nice(1.0000001, 1.0000009);
  EXPECT_EQ(LabelFor(offset, 1.0000004), "1.0000004E+00");
  EXPECT_NE(LabelFor(offset, 1.0000004), LabelFor(offset, 1.0000006));
}

TEST(PlotScale, DegenerateRangesStillGiveAUsableScale) {
  // One point, or a flat series, used to divide by a zero span.
  for (double v : {0.0, 5.0, -3e4}) {
    GtkPlotScale s = Nice(v, v);
    EXPECT_TRUE(std::isfinite(s.major) && s.major > 0) << v;
    EXPECT_LT(s.tickStart, v);
    EXPECT_GT(s.tickEnd, v);
  }
  GtkPlotScale inverted = Nice(47, 13);
  EXPECT_DOUBLE_EQ(inverted.tickStart, 10);
  EXPECT_DOUBLE_EQ(inverted.tickEnd, 50);
  GtkPlotScale nan = Nice(std::numeric_limits<double>::quiet_NaN(), 1);
  EXPECT_DOUBLE_EQ(nan.tickStart, -20);
  EXPECT_DOUBLE_EQ(nan.tickEnd, 120);
}

TEST(PlotScale, TickListsStayBoundedForAStepBelowTheNumbersResolution) {
  // 1e20 + 1 == 1e20 in double: counting by adding the step would never end.
  GtkPlotScale s = {};
  s.tickStart = 1e20;
  s.tickEnd = 1e20 + 1e6;
  s.major = 1;
  s.minor = 0.5;
  EXPECT_LE(gtk_plot_major_ticks(&s).size(), 10000u);
  s.major = 0;
  EXPECT_TRUE(gtk_plot_major_ticks(&s).empty());
}

void LongFormatter(gchar *text, gsize size, const gdouble *value) {
  std::string t(300, 'x');
  g_snprintf(text, size, "%s%g", t.c_str(), *value);
}

TEST(PlotScale, TickLabelFormatsStayWithinTheirField) {
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  GtkPlotTickLabel label = axile.tickLabel;
  auto as = [&](int format, double v) {
    label.format = format;
    return gtk_plot_format_tick_label(&label, v);
  };
  EXPECT_EQ(as(0, 1e30), "2147483647");  // clamped, not undefined
  EXPECT_EQ(as(10, 1), " ");              // no formatter
  EXPECT_EQ(as(42, 1), " ");
  label.formatter = LongFormatter;
  EXPECT_EQ(as(10, 1).size(), 127u);  // cut to the field
}

GtkPlotSerial *Add(GtkPlotFigure *f, std::vector<std::pair<double, double>> xy,
                   bool visible = true) {
  GtkPlotSerial *s = gtk_plot_serial_new();
  for (auto &p : xy) s->points.push_back({p.first, p.second, ""});
  s->count = static_cast<guint32>(s->points.size());
  s->visible = visible;
  gtk_plot_figure_add_serial(f, s);
  return s;
}

TEST(PlotAutoZoom, RangeCoversVisibleSeriesAndSkipsBadPoints) {
  GtkPlotFigure f;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Add(&f, {{nan, 3}, {13, 20}, {20, 47}});
  Add(&f, {{30, 15}, {45, 30}});
  Add(&f, {{-1000, 5000}}, false);  // hidden: no say in the range
  GtkPlotRect r = gtk_plot_auto_zoom(&f);
  EXPECT_EQ(r.xmin, 13);
  EXPECT_EQ(r.xmax, 45);
  EXPECT_EQ(r.ymin, 15);
  EXPECT_EQ(r.ymax, 47);
  EXPECT_DOUBLE_EQ(f.topAxile.scale.tickEnd, 50);  // every axis rescaled
  // An empty first series shows the default range, whatever follows.
  GtkPlotFigure empty;
  Add(&empty, {});
  Add(&empty, {{500, 500}, {900, 1200}});
  r = gtk_plot_auto_zoom(&empty);
  EXPECT_EQ(r.xmax, 100);
  EXPECT_EQ(r.ymax, 100);
}

TEST(PlotAutoZoom, CountBeyondThePointBufferReadsOnlyThePoints) {
  GtkPlotFigure f;
  GtkPlotSerial *s = Add(&f, {{1, 1}, {2, 4}});
  s->count = 800;  // the application keeps count and buffer apart
  EXPECT_EQ(gtk_plot_auto_zoom(&f).ymax, 4);
  s->count = 1;  // points past count are stale
  EXPECT_EQ(gtk_plot_auto_zoom(&f).ymax, 1);
  // Added twice, a series would be freed twice.
  EXPECT_TRUE(gtk_plot_figure_add_serial(&f, s));
  EXPECT_EQ(f.serials.size(), 1u);
}

}  // namespace
