// Plot scales: round-numbered ranges, tick positions, label formats and the
// data range, without drawing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

std::string LabelFor(const GtkPlotScale &s, double value) {
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  axile.scale = s;
  gtk_plot_auto_tick_label_format(&axile);
  return gtk_plot_format_tick_label(&axile.tickLabel, value);
}

void ExpectTicks(const std::vector<double> &got, const std::vector<double> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << "tick " << i;
}

// A figure to add series to; the scale calls need no surface.
struct PlotHolder {
  GtkPlotSerial *Add(std::vector<std::pair<double, double>> xy, bool visible = true) {
    GtkPlotSerial *s = gtk_plot_serial_new();
    for (auto &p : xy) s->points.push_back({p.first, p.second, ""});
    s->count = static_cast<guint32>(s->points.size());
    s->visible = visible;
    gtk_plot_figure_add_serial(plot, s);
    return s;
  }
  GtkPlotFigure figure;
  GtkPlotFigure *plot = &figure;
};

TEST(PlotScale, RangeEndingOnTicksGetsAStepOfRoomEachSide) {
  // 0 to 100: span 100, e = 2, r = 1 -> factor 2, major 2 x 10 = 20.
  GtkPlotScale s = Nice(0, 100);
  EXPECT_DOUBLE_EQ(s.major, 20);
  EXPECT_DOUBLE_EQ(s.minor, 10);
  EXPECT_DOUBLE_EQ(s.tickStart, -20);
  EXPECT_DOUBLE_EQ(s.tickEnd, 120);
  ExpectTicks(gtk_plot_major_ticks(&s), {-20, 0, 20, 40, 60, 80, 100, 120});
  ExpectTicks(gtk_plot_minor_ticks(&s), {-10, 10, 30, 50, 70, 90, 110});
  EXPECT_EQ(LabelFor(s, 60), "60");
}

TEST(PlotScale, RangeBetweenTicksRoundsOutward) {
  // 13 to 47: span 34, e = 1, r = 3.4 -> factor 5, major 5 x 10^0.
  GtkPlotScale s = Nice(13, 47);
  EXPECT_DOUBLE_EQ(s.major, 5);
  EXPECT_DOUBLE_EQ(s.tickStart, 10);
  EXPECT_DOUBLE_EQ(s.tickEnd, 50);
  EXPECT_EQ(s.exponent, 0);
  EXPECT_EQ(LabelFor(s, 25), "25");
  // Minor ticks half-way between the majors: the first major is 10, and
  // 10 - 2.5 lies before tickStart, so they start at 12.5.
  ExpectTicks(gtk_plot_minor_ticks(&s), {12.5, 17.5, 22.5, 27.5, 32.5, 37.5, 42.5, 47.5});
}

TEST(PlotScale, UnitRangeLabelsWithOneDecimal) {
  GtkPlotScale s = Nice(0, 1);
  EXPECT_NEAR(s.major, 0.2, 1e-15);
  EXPECT_NEAR(s.tickStart, -0.2, 1e-12);
  EXPECT_NEAR(s.tickEnd, 1.2, 1e-12);
  ExpectTicks(gtk_plot_major_ticks(&s), {-0.2, 0, 0.2, 0.4, 0.6, 0.8, 1.0, 1.2});
  EXPECT_EQ(LabelFor(s, 0.6), "0.6");
  // The tick at zero is computed, not typed in: it must not print as "-0.0".
  EXPECT_EQ(LabelFor(s, gtk_plot_major_ticks(&s)[1]), "0.0");
}

TEST(PlotScale, LabelDecimalsFollowTheStep) {
  // Span 0.0035: e = -3, r = 3.5 -> major 5e-4, exponent -4 -> "%.4f".
  GtkPlotScale s = Nice(0.0012, 0.0047);
  EXPECT_EQ(s.exponent, -4);
  EXPECT_EQ(LabelFor(s, 0.0025), "0.0025");
  // Span 7: factor 10 gives a step of 1 with exponent -1; whole steps print
  // without a decimal ("29", not "29.0").
  GtkPlotScale unit = Nice(25, 32);
  EXPECT_DOUBLE_EQ(unit.major, 1);
  EXPECT_EQ(LabelFor(unit, 29), "29");
  GtkPlotScale tenth = Nice(2.5, 3.2);
  EXPECT_EQ(LabelFor(tenth, 2.9), "2.9");
  // Six decimals still tell steps of 2e-6 apart.
  GtkPlotScale micro = Nice(0, 1.2e-5);
  EXPECT_EQ(LabelFor(micro, 4e-6), "0.000004");
  // Coarse steps print whole numbers.
  GtkPlotScale coarse = Nice(0, 35000);
  EXPECT_EQ(LabelFor(coarse, 20000), "20000");
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

TEST(PlotScale, VisibleMinorLabelsGetTheirOwnDecimals) {
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  axile.scale = Nice(25, 32);  // major 1, minor 0.5
  axile.tickLabel.minorVisible = 1;
  gtk_plot_auto_tick_label_format(&axile);
  EXPECT_EQ(gtk_plot_format_tick_label(&axile.tickLabel, 29.5), "29.5");
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

TEST(PlotScale, TickLabelFormats) {
  GtkPlotTickLabel label;
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  label = axile.tickLabel;
  auto as = [&](int format, double v) {
    label.format = format;
    return gtk_plot_format_tick_label(&label, v);
  };
  EXPECT_EQ(as(0, 2.5), "3");
  EXPECT_EQ(as(0, 1e30), "2147483647");  // clamped, not undefined
  EXPECT_EQ(as(2, 1.25), "1.2");
  EXPECT_EQ(as(8, 1.5), "1.500000");
  EXPECT_EQ(as(9, 1500), "1.5E+03");
  label.precision = 3;
  EXPECT_EQ(as(PLOT_TICK_FORMAT_SCIENTIFIC, 1500), "1.500E+03");
  EXPECT_EQ(as(10, 1), " ");  // no formatter
  EXPECT_EQ(as(42, 1), " ");
  label.formatter = LongFormatter;
  EXPECT_EQ(as(10, 1).size(), 127u);  // cut to the field
}

TEST(PlotAutoZoom, EmptyFirstSeriesShowsTheDefaultRange) {
  PlotHolder h;
  h.Add({});
  h.Add({{500, 500}, {900, 1200}});
  GtkPlotRect r = gtk_plot_auto_zoom(h.plot);
  EXPECT_EQ(r.xmin, 0);
  EXPECT_EQ(r.xmax, 100);
  EXPECT_EQ(r.ymin, 0);
  EXPECT_EQ(r.ymax, 100);
  EXPECT_DOUBLE_EQ(h.plot->bottomAxile.scale.tickStart, -20);
  EXPECT_DOUBLE_EQ(h.plot->leftAxile.scale.tickEnd, 120);
}

TEST(PlotAutoZoom, RangeCoversVisibleSeriesAndSkipsBadPoints) {
  PlotHolder h;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  h.Add({{nan, 3}, {13, 20}, {20, 47}});
  h.Add({{30, 15}, {45, 30}});
  h.Add({{-1000, 5000}}, false);  // hidden: no say in the range
  GtkPlotRect r = gtk_plot_auto_zoom(h.plot);
  EXPECT_EQ(r.xmin, 13);
  EXPECT_EQ(r.xmax, 45);
  EXPECT_EQ(r.ymin, 15);
  EXPECT_EQ(r.ymax, 47);
  // Adding the series rescaled the axes: x 13..45 -> ticks 10..50.
  EXPECT_DOUBLE_EQ(h.plot->bottomAxile.scale.tickStart, 10);
  EXPECT_DOUBLE_EQ(h.plot->topAxile.scale.tickEnd, 50);
  EXPECT_DOUBLE_EQ(h.plot->rightAxile.scale.major, h.plot->leftAxile.scale.major);
}

TEST(PlotAutoZoom, CountBeyondThePointBufferReadsOnlyThePoints) {
  PlotHolder h;
  GtkPlotSerial *s = h.Add({{1, 1}, {2, 4}});
  s->count = 800;  // the application keeps count and buffer apart
  EXPECT_EQ(gtk_plot_auto_zoom(h.plot).ymax, 4);
  s->count = 1;  // points past count are stale
  EXPECT_EQ(gtk_plot_auto_zoom(h.plot).ymax, 1);
}

TEST(PlotSerial, ClearingAndOwnership) {
  GtkPlotSerial *s = gtk_plot_serial_new();
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->name, "serial");
  s->points.push_back({1, 2, "note"});
  s->count = 1;
  gtk_plot_serial_clear(s);
  EXPECT_EQ(s->count, 0u);
  EXPECT_TRUE(s->points.empty());

  PlotHolder h;
  EXPECT_TRUE(gtk_plot_figure_add_serial(h.plot, s));
  EXPECT_TRUE(gtk_plot_figure_add_serial(h.plot, s));  // twice would mean freeing it twice
  EXPECT_EQ(h.plot->serials.size(), 1u);
}

TEST(PlotBars, PlacementsOneAndThreeMeetAtX) {
  GtkPlotBarStyle style;
  gtk_plot_bar_style_set_default(&style);
  style.width = 6;
  double x0, x1;
  style.placement = 1;
  gtk_plot_bar_extent(&style, 100, &x0, &x1);
  EXPECT_EQ(x0, 94);
  EXPECT_EQ(x1, 100);
  style.placement = 3;
  gtk_plot_bar_extent(&style, 100, &x0, &x1);
  EXPECT_EQ(x0, 100);
  EXPECT_EQ(x1, 106);
  style.placement = 2;  // anything else centres
  gtk_plot_bar_extent(&style, 100, &x0, &x1);
  EXPECT_EQ(x0, 97);
  EXPECT_EQ(x1, 103);
}

}  // namespace
