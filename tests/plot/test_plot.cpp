// SPDX-License-Identifier: BSD-3-Clause
// The plot's drawing without a display: scales at their edges, what the
// reference pictures would not show plainly (gaps and dashes in lines, the
// legend clear of the axes on every side, its shadow), the reference
// pictures themselves, pictures as files, and the batch programs' pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>

#include "image_testing.h"
#include "pictures.h"
#include "plotfigure.h"
#include "testing.h"

namespace {

using Points = std::vector<std::pair<double, double>>;

GtkPlotSerial *AddSerial(GtkPlotFigure *figure, const char *name, int type, const Points &xy,
                         bool visible = true) {
  GtkPlotSerial *s = gtk_plot_serial_new();
  s->visible = visible;
  g_strlcpy(s->name, name, sizeof s->name);
  s->type = type;
  for (auto &p : xy) s->points.push_back({p.first, p.second, ""});
  s->count = static_cast<guint32>(s->points.size());
  gtk_plot_figure_add_serial(figure, s);
  return s;
}

void ZoomTo(GtkPlotFigure *figure, double xmin, double xmax, double ymin, double ymax) {
  const GtkPlotRect r = {xmin, xmax, ymin, ymax};
  gtk_plot_set_scale(figure, &r);
}

// Draws the figure on a new image surface. Text is drawn in grey levels
// with hinted metrics whatever the machine's settings, which would move
// whole labels; the outlines are hinted in the machine's default style, or
// the one given. Vector surfaces measure text without hinting: metrics
// off and no hinting draws as they do.
Image Render(GtkPlotFigure *figure, int width, int height,
             cairo_hint_style_t hinting = CAIRO_HINT_STYLE_DEFAULT,
             cairo_hint_metrics_t metrics = CAIRO_HINT_METRICS_ON) {
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t *cr = cairo_create(surface);
  cairo_font_options_t *options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, metrics);
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, hinting);
  cairo_set_font_options(cr, options);
  cairo_font_options_destroy(options);
  gtk_plot_figure_draw(figure, cr, width, height);
  cairo_destroy(cr);
  Image image = ImageOfSurface(surface);
  cairo_surface_destroy(surface);
  return image;
}

// The tick labels of an axis as a drawing of that size places them.
std::vector<GtkPlotLabelBox> TickLabels(GtkPlotFigure *figure, int width, int height, int axis) {
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t *cr = cairo_create(surface);
  gtk_plot_figure_layout(figure, cr, width, height);
  std::vector<GtkPlotLabelBox> labels = gtk_plot_figure_tick_labels(figure, cr, axis);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
  return labels;
}

// Converts an SVG file to PNG with rsvg-convert, as a browser or a drawing
// program would read it; false, with the reason, when it does not.
bool ConvertSvg(const std::string &svg, const std::string &png, std::string *why) {
  *why = "rsvg-convert was not found when the build was configured (librsvg2-bin; "
         "tools/install-deps.sh installs it)";
  if (std::string(PULVINA_RSVG_CONVERT).empty()) return false;
  std::string out;
  const int status = RunCommand(std::string(PULVINA_RSVG_CONVERT) + " -o " + png + ' ' + svg, &out);
  *why = "rsvg-convert failed (" + std::to_string(status) + "): " + out;
  return status == 0 && out.empty();
}

// The plots that have reference pictures: each series style, the legend
// right and below, a zoomed view and crowded tick labels on all four axes.
struct Scene {
  std::string name;  // of the reference picture
  int width, height;
  std::unique_ptr<GtkPlotFigure> figure;
};

// White, with only the bottom and left axes, the titles given and, when
// asked, dashed grey grid lines.
std::unique_ptr<GtkPlotFigure> Plain(const char *x, const char *y, bool grid = false) {
  auto f = std::make_unique<GtkPlotFigure>();
  f->background = 0xFFFFFF;
  f->topAxile.visible = f->rightAxile.visible = 0;
  g_strlcpy(f->bottomAxile.title, x, sizeof f->bottomAxile.title);
  g_strlcpy(f->leftAxile.title, y, sizeof f->leftAxile.title);
  if (grid) {
    f->hGridLine.majorVisible = f->vGridLine.majorVisible = 1;
    f->hGridLine.majorStyle.color = f->vGridLine.majorStyle.color = 0xB0B0B0;
    f->hGridLine.majorStyle.dash = f->vGridLine.majorStyle.dash = 2;
  }
  return f;
}

GtkPlotSerial *Line(GtkPlotFigure *f, const char *name, int type, const Points &xy,
                    GtkPlotLineStyle style) {
  GtkPlotSerial *s = AddSerial(f, name, type, xy);
  s->lineStyle = style;
  return s;
}

GtkPlotSerial *Bars(GtkPlotFigure *f, const char *name, const Points &xy, GtkPlotBarStyle style) {
  GtkPlotSerial *s = AddSerial(f, name, PLOT_SERIAL_BAR, xy);
  s->barStyle = style;
  return s;
}

Scene SeriesLines() {
  auto f = Plain("Two Theta", "Intensity", true);
  Points sine, ramp, steps, marks;
  for (int i = 0; i <= 80; ++i) sine.push_back({i * 0.5, 50 + 40 * std::sin(i * 0.5 / 4)});
  for (int i = 0; i <= 10; ++i) {
    ramp.push_back({i * 4.0, 95 - i * 3.0});
    steps.push_back({i * 4.0, 8 + (i % 4) * 7.0});
    marks.push_back({i * 4.0 + 2, 30 + (i * 7 % 5) * 4.0});
  }
  Line(f.get(), "Line", PLOT_SERIAL_LINE, sine,
       {2.0, 0x1F4E9A, 0, CAIRO_LINE_CAP_ROUND, CAIRO_LINE_JOIN_ROUND});
  GtkPlotSerial *dashed =
      Line(f.get(), "Dashed", PLOT_SERIAL_LINE_SYMBOL, ramp, {1.0, 0x800080, 3, 0, 0});
  dashed->symbolStyle.shape = 12;
  dashed->symbolStyle.character = 'x';
  dashed->symbolStyle.color = 0x800080;
  Line(f.get(), "Steps", PLOT_SERIAL_STEP, steps, {1.0, 0x208020, 1, 0, 0});
  GtkPlotSerial *marked =
      Line(f.get(), "Marked", PLOT_SERIAL_STEP_SYMBOL, marks, {1.0, 0xC06000, 0, 0, 0});
  marked->symbolStyle.shape = 1;
  marked->symbolStyle.color = 0xC06000;
  return {"series-lines.png", 400, 260, std::move(f)};
}

Scene SeriesSymbols() {
  auto f = Plain("Shape", "Fill");
  f->legend.visible = 0;
  for (int shape = 0; shape <= 12; ++shape)
    for (int fill = 0; fill <= 1; ++fill) {
      GtkPlotSerial *s = AddSerial(f.get(), "", PLOT_SERIAL_SYMBOL, {{shape * 1.0, 1.0 + fill}});
      s->symbolStyle.shape = shape;
      s->symbolStyle.size = 14;
      s->symbolStyle.fill = fill;
      s->symbolStyle.color = 0x2040C0;
    }
  ZoomTo(f.get(), 0, 12, 1, 2);
  return {"series-symbols.png", 400, 200, std::move(f)};
}

Scene SeriesBars() {
  auto f = Plain("Two Theta", "Intensity", true);
  f->legend.placement = PLOT_LEGEND_BOTTOM;
  Points left, right, centred;
  for (int i = 0; i < 8; ++i) {
    left.push_back({10.0 + i * 10, 20.0 + (i * 37 % 70)});
    right.push_back({10.0 + i * 10, 15.0 + (i * 53 % 60)});
    centred.push_back({15.0 + i * 10, i == 3 ? 0.0 : -10.0 - (i * 29 % 30)});
  }
  Bars(f.get(), "Left of x", left, {1, 5.0, 0x0000FF});
  Bars(f.get(), "Right of x", right, {3, 5.0, 0xE0A000});
  Bars(f.get(), "Centred, below zero", centred, {0, 7.0, 0xD02020});
  return {"series-bars.png", 400, 260, std::move(f)};
}

// Zoomed into the middle: the line and the steps run to the frame's edges
// and the tall bar is cut at the top.
Scene Zoomed() {
  auto f = Plain("x", "y");
  Line(f.get(), "line", PLOT_SERIAL_LINE, {{0, 0}, {50, 100}, {100, 0}}, {2.0, 0x0000C0, 0, 0, 0});
  Line(f.get(), "steps", PLOT_SERIAL_STEP, {{10, 20}, {45, 60}, {90, 30}}, {1, 0x008000, 0, 0, 0});
  Bars(f.get(), "bars", {{40, 95}, {55, 45}}, {0, 8.0, 0xC00000});
  ZoomTo(f.get(), 30, 70, 30, 70);
  return {"zoomed.png", 320, 220, std::move(f)};
}

// Millions along x and a range of 1e-8 up the side, on a small plot.
Scene CrowdedLabels() {
  auto f = Plain("counts", "fraction");
  f->topAxile.visible = f->rightAxile.visible = 1;
  f->legend.visible = 0;
  GtkPlotSerial *s = AddSerial(f.get(), "data", PLOT_SERIAL_LINE_SYMBOL,
                               {{0, 2e-9}, {3.3e6, 7e-9}, {9.8e6, 4e-9}});
  s->lineStyle.color = s->symbolStyle.color = 0x0000C0;
  return {"labels.png", 240, 180, std::move(f)};
}

std::vector<Scene> ReferenceScenes() {
  std::vector<Scene> scenes;
  for (Scene (*make)() : {SeriesLines, SeriesSymbols, SeriesBars, Zoomed, CrowdedLabels})
    scenes.push_back(make());
  return scenes;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

GtkPlotScale Scale(double min, double max) {
  GtkPlotScale s = {};
  s.min = min;
  s.max = max;
  gtk_plot_calc_scale(&s);
  return s;
}

std::string LabelFor(double min, double max, double value, bool minorVisible = false) {
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  axile.scale.min = min;
  axile.scale.max = max;
  gtk_plot_calc_scale(&axile.scale);
  axile.tickLabel.minorVisible = minorVisible;
  gtk_plot_auto_tick_label_format(&axile);
  return gtk_plot_format_tick_label(&axile.tickLabel, value);
}

TEST(PlotScale, LabelDecimalsFollowTheStepAndEveryRangeGivesAUsableScale) {
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
    EXPECT_EQ(LabelFor(c.min, c.max, c.value, c.minor), c.label) << c.min << " " << c.max;
  // The tick at zero is computed, not typed in: it must not print as "-0.0".
  const GtkPlotScale unit = Scale(0, 1);
  EXPECT_EQ(LabelFor(0, 1, gtk_plot_major_ticks(&unit)[1]), "0.0");
  // A formatter's text is cut to the field; none gives a blank.
  GtkPlotAxile axile;
  gtk_plot_init_axile(&axile);
  axile.tickLabel.format = 10;
  EXPECT_EQ(gtk_plot_format_tick_label(&axile.tickLabel, 1), " ");
  axile.tickLabel.formatter = [](gchar *text, gsize size, const gdouble *) {
    g_strlcpy(text, std::string(300, 'x').c_str(), size);
  };
  EXPECT_EQ(gtk_plot_format_tick_label(&axile.tickLabel, 1).size(), 127u);
  // Degenerate and unbounded ranges still give a usable scale.
  for (double v : {0.0, -3e4}) {  // one point, or a flat series: no span to divide by
    const GtkPlotScale s = Scale(v, v);
    EXPECT_TRUE(s.major > 0 && s.tickStart < v && s.tickEnd > v) << v;
  }
  const GtkPlotScale inverted = Scale(47, 13), nan = Scale(kNaN, 1);
  EXPECT_EQ(std::vector<double>({inverted.tickStart, inverted.tickEnd, nan.tickStart, nan.tickEnd}),
            std::vector<double>({10, 50, -20, 120}));
  // 1e20 + 1 == 1e20 in double: counting by adding the step would never end.
  GtkPlotScale s = {};
  s.tickStart = 1e20;
  s.tickEnd = 1e20 + 1e6;
  s.major = 1;
  EXPECT_LE(gtk_plot_major_ticks(&s).size(), 10000u);
  s.major = 0;
  EXPECT_TRUE(gtk_plot_major_ticks(&s).empty());
}

TEST(PlotAutoZoom, RangeCoversVisibleSeriesAndSkipsBadAndStalePoints) {
  GtkPlotFigure f;
  AddSerial(&f, "", PLOT_SERIAL_LINE, {{kNaN, 3}, {13, 20}, {20, 47}});
  AddSerial(&f, "", PLOT_SERIAL_LINE, {{30, 15}, {45, 30}});
  AddSerial(&f, "", PLOT_SERIAL_LINE, {{-1000, 5000}}, false);
  const GtkPlotRect r = gtk_plot_auto_zoom(&f);
  EXPECT_EQ(std::vector<double>({r.xmin, r.xmax, r.ymin, r.ymax}),
            std::vector<double>({13, 45, 15, 47}));
  EXPECT_DOUBLE_EQ(f.topAxile.scale.tickEnd, 50);  // every axis rescaled
  // An empty first series shows the default range, whatever follows.
  GtkPlotFigure empty;
  AddSerial(&empty, "", PLOT_SERIAL_LINE, {});
  AddSerial(&empty, "", PLOT_SERIAL_LINE, {{500, 500}, {900, 1200}});
  EXPECT_EQ(gtk_plot_auto_zoom(&empty).ymax, 100);
  // Only the first min(count, size) points are read.
  GtkPlotFigure kept;
  GtkPlotSerial *s = AddSerial(&kept, "", PLOT_SERIAL_LINE, {{1, 1}, {2, 4}});
  s->count = 800;
  EXPECT_EQ(gtk_plot_auto_zoom(&kept).ymax, 4);
  s->count = 1;
  EXPECT_EQ(gtk_plot_auto_zoom(&kept).ymax, 1);
}

// A blue line of width 3 on a white plot of 300 x 200 with only the bottom
// and left axes; the pixels of it in a box round a point of the plot.
struct BlueLine {
  explicit BlueLine(const Points &xy, int dash = 0) {
    figure.background = 0xFFFFFF;
    figure.topAxile.visible = figure.rightAxile.visible = figure.legend.visible = 0;
    GtkPlotSerial *s = AddSerial(&figure, "", PLOT_SERIAL_LINE, xy);
    s->lineStyle = {3, 0x0000FF, dash, 0, 0};
    ZoomTo(&figure, 0, 100, 0, 100);
    image = Render(&figure, 300, 200);
  }
  long Around(double x, double y, int dx, int dy) const {
    double sx, sy;
    gtk_plot_plot_to_screen(&figure, x, y, &sx, &sy);
    return CountColour(image, 0, 0, 255, 60, int(sx) - dx, int(sy) - dy, int(sx) + dx + 1,
                       int(sy) + dy + 1);
  }
  // The share drawn of the middle row from x = 10 to 90.
  double Drawn() const {
    double x10, x90, y;
    gtk_plot_plot_to_screen(&figure, 10, 50, &x10, &y);
    gtk_plot_plot_to_screen(&figure, 90, 50, &x90, &y);
    return double(Around(50, 50, int(x90 - x10) / 2, 0)) / (int(x90 - x10) / 2 * 2 + 1);
  }
  GtkPlotFigure figure;
  Image image;
};

TEST(PlotDrawing, LinesBreakAndDashAndTheLegendKeepsClearOfTheAxesAndCastsItsShadow) {
  const BlueLine broken({{0, 0}, {kNaN, 50}, {100, 100}, {100, 0}});
  EXPECT_EQ(broken.Around(50, 50, 3, 3), 0);
  EXPECT_GT(broken.Around(99, 50, 1, 10), 0);  // the run after it is drawn
  // Dashes {4, 1}, {4, 1, 1, 1}, {4, 1, 1, 1, 1, 1}, {1, 1} leave ever more
  // gap; codes beyond them none.
  EXPECT_GT(BlueLine({{0, 50}, {100, 50}}, 7).Drawn(), 0.99);
  double previous = 1;
  for (int dash : {1, 3, 4, 2}) {
    const double drawn = BlueLine({{0, 50}, {100, 50}}, dash).Drawn();
    EXPECT_LT(drawn, previous - 0.02) << "dash " << dash;
    EXPECT_GT(drawn, 0.4) << "dash " << dash;
    previous = drawn;
  }
  // The legend keeps clear of the axes on every side and casts its shadow.
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
    ASSERT_GT(box.width * shadow, 0);
    cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t *cr = cairo_create(s);
    auto room = [&](int axis) { return gtk_plot_figure_axile_size(&f, cr, axis); };
    const GtkPlotFrame &fr = f.frame;
    const double gap = placement == PLOT_LEGEND_TOP
                           ? fr.top - room(PLOT_AXILE_TOP) - (box.y + box.height + shadow)
                       : placement == PLOT_LEGEND_LEFT
                           ? fr.left - room(PLOT_AXILE_LEFT) - (box.x + box.width + shadow)
                       : placement == PLOT_LEGEND_BOTTOM
                           ? box.y - (fr.bottom + room(PLOT_AXILE_BOTTOM))
                           : box.x - (fr.right + room(PLOT_AXILE_RIGHT));
    EXPECT_GE(gap, 3);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    // The shadow lies right of the box and below it.
    EXPECT_EQ(CountColour(image, 0x10, 0x10, 0x10, 8, box.x + box.width, box.y + shadow,
                          box.x + box.width + shadow, box.y + box.height + shadow),
              shadow * box.height);
    EXPECT_EQ(CountColour(image, 0x10, 0x10, 0x10, 8, box.x + shadow, box.y + box.height,
                          box.x + box.width + shadow, box.y + box.height + shadow),
              shadow * box.width);
  }
}

// tools/update-reference-images.sh rewrites the references when a change of
// the drawing is meant.
TEST(PlotReference, EveryScene) {
  for (Scene &scene : ReferenceScenes()) {
    SCOPED_TRACE(scene.name);
    const Image plain = Render(scene.figure.get(), scene.width, scene.height);
    EXPECT_TRUE(LooksLikeReference(plain, PULVINA_PLOT_REFERENCE_DIR, scene.name));
    // Another machine may hint its fonts otherwise; the comparison must not
    // call that a difference, or the references would only hold here.
    for (cairo_hint_style_t style : {CAIRO_HINT_STYLE_NONE, CAIRO_HINT_STYLE_FULL})
      EXPECT_TRUE(LooksLike(Render(scene.figure.get(), scene.width, scene.height, style), plain))
          << "hinted in style " << style;
  }
}

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
  for (const char *name : {"a.png", "b.SVG", "c.pdf"})
    ASSERT_TRUE(gtk_plot_figure_export(&f, dir.file(name).c_str(), 320, 200, &why)) << why;
  EXPECT_TRUE(LooksLike(ReadPng(dir.file("a.png")), Render(&f, 320, 200)));
  EXPECT_TRUE(Holds(ReadWholeFile(dir.file("b.SVG")), "width=\"320"));  // not pt
  EXPECT_EQ(ReadWholeFile(dir.file("c.pdf")).compare(0, 5, "%PDF-"), 0);
  // Another program reads the SVG as the picture it is. Its text was
  // measured and is drawn without hinting, as on an image with hinting off.
  ASSERT_TRUE(ConvertSvg(dir.file("b.SVG"), dir.file("b.png"), &why)) << why;
  EXPECT_TRUE(LooksLike(ReadPng(dir.file("b.png")),
                        Render(&f, 320, 200, CAIRO_HINT_STYLE_NONE, CAIRO_HINT_METRICS_OFF)));
  const struct {
    std::string path;
    int width, height;
    const char *reason;
  } refused[] = {
      {dir.file("picture.gif"), 100, 100, "unknown picture type 'gif'"},
      {dir.file("missing/picture.png"), 100, 100, "cannot create"},
      {dir.file("a.png"), 0, 100, "cannot be made"},  // and the picture stays
      {dir.file("picture.png"), 100, 20000, "cannot be made"},
      {"", 100, 100, "no file name"},
  };
  for (const auto &c : refused) {
    why.clear();
    EXPECT_FALSE(gtk_plot_figure_export(&f, c.path.c_str(), c.width, c.height, &why)) << c.path;
    EXPECT_TRUE(Holds(why, c.reason));
    EXPECT_TRUE(Holds(why, c.path));
  }
  EXPECT_EQ(FilesIn(dir.path()), 4u);  // no scratch files left
  EXPECT_EQ(ReadPng(dir.file("a.png")).width, 320);
}

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

// The pictures' colours: blue observed, orange calculated, vermilion the
// difference; chosen models blue, the others light grey.
constexpr guint32 kObserved = 0x0072B2, kCalculated = 0xE69F00, kDifference = 0xD55E00,
                  kChosen = 0x0072B2, kNotChosen = 0xBBBBBB;

// Pixels of a colour in rows y0 to y1.
long Pixels(const Image &i, guint32 colour, int y0, int y1) {
  return CountColour(i, colour >> 16, (colour >> 8) & 0xFF, colour & 0xFF, 30, 0, y0, i.width, y1);
}

TEST(Pictures, PeaksShowObservedAndCalculatedAboveTheirDifference) {
  TempDir dir;
  ASSERT_TRUE(WritePeaksPicture(dir.file("peaks.png"), Peaks(), "ZnO model 3"));
  const Image image = ReadPng(dir.file("peaks.png"));
  ASSERT_GT(image.height, kPeaksHeight);
  EXPECT_GT(Pixels(image, kObserved, 0, kPeaksHeight), 100);
  EXPECT_GT(Pixels(image, kCalculated, 0, kPeaksHeight), 100);
  EXPECT_EQ(Pixels(image, kDifference, 0, kPeaksHeight), 0);
  EXPECT_EQ(Pixels(image, kObserved, kPeaksHeight, image.height), 0);
  // Differences of 20, -15, -20, 0 and -5, observed minus calculated: half
  // way up one bar rises from zero, half way down two hang below it.
  int top = -1, bottom = -1;
  for (int y = kPeaksHeight; y < image.height; ++y)
    if (Pixels(image, kDifference, y, y + 1) > 0) (top < 0 ? top : bottom) = y;
  ASSERT_GT(bottom, top + 8);
  const int up = (3 * top + bottom) / 4, down = (top + 3 * bottom) / 4;
  const long above = Pixels(image, kDifference, up, up + 1);
  EXPECT_GT(above, 0);
  EXPECT_GT(Pixels(image, kDifference, down, down + 1), above * 3 / 2);
  EXPECT_GT(CountColour(image, 0, 0, 0, 60, 0, 0, image.width, 40), 50);  // the title
  // A simulated pattern: the calculated peaks alone, in one panel.
  ASSERT_TRUE(WritePeaksPicture(dir.file("pattern.png"), Peaks(), "simulated", false));
  const Image pattern = ReadPng(dir.file("pattern.png"));
  EXPECT_EQ(pattern.height, kPeaksHeight);
  EXPECT_GT(Pixels(pattern, kCalculated, 0, pattern.height), 100);
  EXPECT_EQ(Pixels(pattern, kObserved, 0, pattern.height), 0);
}

// Thirty models, every tenth from the third chosen.
std::vector<ModelPictureRow> ThirtyModels() {
  std::vector<ModelPictureRow> rows;
  for (int m = 1; m <= 30; ++m) rows.push_back({m, 0.1 + m % 7 * 0.05, 2.0 + m % 5, m % 10 == 3});
  return rows;
}

TEST(Pictures, ModelsPictureMarksTheChosenModelsAndNumbersThemWhole) {
  TempDir dir;
  std::vector<ModelPictureRow> rows = ThirtyModels();
  ASSERT_TRUE(WriteModelsPicture(dir.file("models.png"), rows, "ZnO: 30 models"));
  const Image image = ReadPng(dir.file("models.png"));
  // FOM above, Rmin below, the chosen three in blue in both.
  for (int half : {0, 1}) {
    const int y0 = half * image.height / 2, y1 = (half + 1) * image.height / 2;
    EXPECT_GT(Pixels(image, kChosen, y0, y1), 30);
    EXPECT_GT(Pixels(image, kNotChosen, y0, y1), 300);
  }
  for (size_t n : {1, 2, 4, 30}) {
    GtkPlotFigure foms, factors;
    SetUpModelsFigures({rows.begin(), rows.begin() + n}, "", &foms, &factors);
    for (const auto &l : TickLabels(&foms, 900, 280, PLOT_AXILE_BOTTOM))
      EXPECT_EQ(l.value, std::round(l.value)) << n << " models: " << l.text;
  }
  // With no model chosen there is no blue, in the bars or the legend.
  for (ModelPictureRow &r : rows) r.chosen = false;
  ASSERT_TRUE(WriteModelsPicture(dir.file("none.png"), rows, "none chosen"));
  EXPECT_EQ(CountColour(ReadPng(dir.file("none.png")), 0x00, 0x72, 0xB2, 30), 0);
  // Failures are reported as errors and leave no file.
  CapturedMessages messages;
  EXPECT_FALSE(WritePeaksPicture(dir.file("empty.svg"), HKLList(), "nothing"));
  EXPECT_FALSE(WriteModelsPicture(dir.file("empty.svg"), {}, "nothing"));
  EXPECT_FALSE(WritePeaksPicture(dir.file("peaks.jpg"), Peaks(), "t"));
  ASSERT_EQ(messages.size(), 3u);
  for (const auto &m : messages.all()) EXPECT_EQ(m.first, MESSAGE_ERROR);
  EXPECT_TRUE(Holds(messages.all()[2].second, "unknown picture type 'jpg'"));
  EXPECT_EQ(FilesIn(dir.path()), 2u);
}

// Lightness as grey-scale print renders a colour (ITU-R BT.601).
double Grey(guint32 c) {
  return 0.299 * (c >> 16) + 0.587 * ((c >> 8) & 0xFF) + 0.114 * (c & 0xFF);
}

// The pictures are printed: white paper; series that share a panel differ in
// lightness as well as in hue (no yellow, which vanishes on white and in
// grey); axes span the data; the difference panel hangs below the peaks on
// their 2θ axis.
TEST(Pictures, ArePrintableOnWhiteWithTightSharedAxes) {
  GtkPlotFigure peaks, difference;
  SetUpPeaksFigures(Peaks(), "ZnO", true, &peaks, &difference);
  ASSERT_EQ(peaks.serials.size(), 2u);
  ASSERT_EQ(difference.serials.size(), 1u);
  const guint32 obs = peaks.serials[0]->barStyle.color, calc = peaks.serials[1]->barStyle.color;
  for (const GtkPlotFigure *f : {&peaks, &difference}) EXPECT_EQ(f->background, 0xFFFFFFu);
  EXPECT_GT(std::fabs(Grey(obs) - Grey(calc)), 40);
  for (guint32 c : {obs, calc, difference.serials[0]->barStyle.color})
    EXPECT_LT(Grey(c), 200) << std::hex << c;  // seen on white
  // Peaks at 20 to 60 degrees: no more than a degree beyond; intensities
  // from zero; the upper panel's 2θ axis is the lower one's.
  const GtkPlotScale &x = peaks.bottomAxile.scale, &dx = difference.bottomAxile.scale;
  EXPECT_TRUE(x.tickStart >= 19 && x.tickStart < 20 && x.tickEnd > 60 && x.tickEnd <= 61)
      << x.tickStart << " to " << x.tickEnd;
  EXPECT_EQ(std::make_pair(x.tickStart, x.tickEnd), std::make_pair(dx.tickStart, dx.tickEnd));
  EXPECT_EQ(peaks.leftAxile.scale.tickStart, 0);
  EXPECT_FALSE(peaks.bottomAxile.tickLabel.majorVisible || peaks.bottomAxile.titleVisible);
  EXPECT_TRUE(difference.bottomAxile.tickLabel.majorVisible && difference.bottomAxile.titleVisible);
  // The differences run from -20 to 20: the lower panel holds both ends.
  EXPECT_LE(difference.leftAxile.scale.tickStart, -20);
  EXPECT_GE(difference.leftAxile.scale.tickEnd, 20);
  // Thirty models: 1 to 30, half a step either side; Rmin and FOM from 0;
  // the chosen ones darker than the rest by far.
  GtkPlotFigure foms, factors;
  SetUpModelsFigures(ThirtyModels(), "", &foms, &factors);
  for (const GtkPlotFigure *f : {&foms, &factors}) {
    EXPECT_EQ(f->background, 0xFFFFFFu);
    EXPECT_EQ(std::make_tuple(f->bottomAxile.scale.tickStart, f->bottomAxile.scale.tickEnd,
                              f->leftAxile.scale.tickStart),
              std::make_tuple(0.5, 30.5, 0.0));
    ASSERT_EQ(f->serials.size(), 2u);
    EXPECT_GT(Grey(f->serials[0]->barStyle.color) - Grey(f->serials[1]->barStyle.color), 60);
  }
}

// The batch solver draws a picture beside each model's files it writes and
// one of the models, which rsvg-convert reads; --no-plots writes none. The pattern calculator draws on request, and fails when it
// cannot.
TEST(Pictures, TheBatchProgramsDrawWhatTheyWrite) {
  TempDir dir;
  const std::string job = std::string(PULVINA_SOURCE_DIR) + "/examples/zno_wurtzite/zno.epc";
  const std::string solve = std::string(PULVINA_SOLVE) + " -q --seed 1 --best 2 ";
  ASSERT_EQ(RunCommand(solve + "-o " + dir.file("out") + " " + job), 0);
  // --best 2: two models' files, each with its picture, and the models' one.
  size_t cif = 0, svg = 0;
  for (auto &e : std::filesystem::directory_iterator(dir.file("out"))) {
    cif += e.path().extension() == ".cif";
    svg += e.path().extension() == ".svg";
  }
  EXPECT_EQ(cif, 2u);
  EXPECT_EQ(svg, 3u);
  std::string why;
  EXPECT_TRUE(ConvertSvg(dir.file("out/zno_models.svg"), dir.file("models.png"), &why)) << why;
  ASSERT_EQ(RunCommand(solve + "--no-plots -o " + dir.file("bare") + " " + job), 0);
  for (auto &e : std::filesystem::directory_iterator(dir.file("bare")))
    EXPECT_NE(e.path().extension(), ".svg") << e.path();
  auto simulate = [&](const std::string &picture) {
    return RunCommand(std::string(PULVINA_SIMULATE) + " -o " + dir.file("zno.hkl") + " --plot " +
                      picture + " " + job + " " + PULVINA_SOURCE_DIR +
                      "/examples/zno_wurtzite/solution.txt");
  };
  ASSERT_EQ(simulate(dir.file("zno.png")), 0);
  const Image image = ReadPng(dir.file("zno.png"));
  EXPECT_EQ(image.height, kPeaksHeight);
  EXPECT_GT(Pixels(image, kCalculated, 0, image.height), 100);
  EXPECT_NE(simulate(dir.file("zno.gif")), 0);  // a picture that cannot be written fails the run
  EXPECT_NE(RunCommand(std::string(PULVINA_SIMULATE) + " --plot"), 0);
}

}  // namespace

//   plot_tests [--update-references] [gtest options]
int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) updateReferences |= std::string(argv[i]) == "--update-references";
  return RUN_ALL_TESTS();
}
