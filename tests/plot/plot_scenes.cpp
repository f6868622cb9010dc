#include "plot_scenes.h"

#include <cmath>

namespace {

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
      GtkPlotSerial *s = AddSerial(f.get(), "shape", PLOT_SERIAL_SYMBOL, {{shape * 1.0, 1.0 + fill}});
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

// All four axes with titles; the legend left, clear of the left axis.
Scene LegendLeft() {
  auto f = std::make_unique<GtkPlotFigure>();
  g_strlcpy(f->bottomAxile.title, "x", sizeof f->bottomAxile.title);
  g_strlcpy(f->leftAxile.title, "y", sizeof f->leftAxile.title);
  g_strlcpy(f->topAxile.title, "top", sizeof f->topAxile.title);
  g_strlcpy(f->rightAxile.title, "right", sizeof f->rightAxile.title);
  f->legend.placement = PLOT_LEGEND_LEFT;
  f->legend.xOffset = 4;
  Line(f.get(), "line", PLOT_SERIAL_LINE, {{0, 10}, {50, 80}, {100, 40}}, {2.0, 0x0000C0, 0, 0, 0});
  Bars(f.get(), "bars", {{25, 60}, {75, 30}}, {0, 6.0, 0xC00000});
  GtkPlotSerial *marks = AddSerial(f.get(), "symbols", PLOT_SERIAL_SYMBOL, {{40, 20}, {60, 90}});
  marks->symbolStyle.shape = 3;
  marks->symbolStyle.fill = 1;
  marks->symbolStyle.color = 0x008000;
  return {"legend-left.png", 320, 220, std::move(f)};
}

// Zoomed into the middle: the line and the steps run to the frame's edges
// and the tall bar is cut at the top.
Scene Zoomed() {
  auto f = Plain("x", "y");
  Line(f.get(), "line", PLOT_SERIAL_LINE, {{0, 0}, {50, 100}, {100, 0}}, {2.0, 0x0000C0, 0, 0, 0});
  Line(f.get(), "steps", PLOT_SERIAL_STEP, {{10, 20}, {45, 60}, {90, 30}}, {1.0, 0x008000, 0, 0, 0});
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

}  // namespace

GtkPlotSerial *AddSerial(GtkPlotFigure *figure, const char *name, int type, const Points &xy,
                         bool visible) {
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

Image Render(GtkPlotFigure *figure, int width, int height, cairo_hint_style_t hinting,
             cairo_hint_metrics_t metrics) {
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

std::vector<GtkPlotLabelBox> TickLabels(GtkPlotFigure *figure, int width, int height, int axis) {
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t *cr = cairo_create(surface);
  gtk_plot_figure_layout(figure, cr, width, height);
  std::vector<GtkPlotLabelBox> labels = gtk_plot_figure_tick_labels(figure, cr, axis);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
  return labels;
}

int RunProgram(const std::vector<std::string> &args, std::string *errors) {
  std::vector<gchar *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<gchar *>(a.c_str()));
  argv.push_back(nullptr);
  gchar *err = nullptr;
  gint status = -1;
  const int flags = G_SPAWN_STDOUT_TO_DEV_NULL | (errors ? 0 : G_SPAWN_STDERR_TO_DEV_NULL);
  if (!g_spawn_sync(nullptr, argv.data(), nullptr, static_cast<GSpawnFlags>(flags), nullptr,
                    nullptr, nullptr, errors ? &err : nullptr, &status, nullptr))
    return -1;
  if (errors) *errors = err ? err : "";
  g_free(err);
  return g_spawn_check_wait_status(status, nullptr) ? 0 : 1;
}

bool ConvertSvg(const std::string &svg, const std::string &png, std::string *why) {
  *why = "rsvg-convert was not found when the build was configured (librsvg2-bin; "
         "tools/install-deps.sh installs it)";
  if (std::string(PULVINA_RSVG_CONVERT).empty()) return false;
  std::string errors;
  const int status = RunProgram({PULVINA_RSVG_CONVERT, "-o", png, svg}, &errors);
  *why = "rsvg-convert failed (" + std::to_string(status) + "): " + errors;
  return status == 0 && errors.empty();
}

std::vector<Scene> ReferenceScenes() {
  std::vector<Scene> scenes;
  for (Scene (*make)() : {SeriesLines, SeriesSymbols, SeriesBars, LegendLeft, Zoomed, CrowdedLabels})
    scenes.push_back(make());
  return scenes;
}
