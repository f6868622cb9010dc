// GtkPlot: a drawing widget for two-dimensional data series with four axes,
// round-numbered scales, grid, hair lines, a legend and rubber-band zoom.
#include "gtkplot.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "utils.h"

namespace {

// Zoom cursors: 16 x 16 one-bit bitmaps, rows of two bytes, least
// significant bit leftmost, hot spot in the middle.
const guchar cursor_zoom_bits[32] = {
    0xff, 0xff, 0x1f, 0xff, 0x07, 0xfc, 0xf3, 0xf9, 0xfb, 0xfb, 0xf9, 0xf3, 0xf9, 0xf7, 0xf9, 0xf3,
    0xfb, 0xfb, 0xf3, 0xf9, 0x47, 0xf0, 0x1f, 0xe3, 0xff, 0xc7, 0xff, 0x8f, 0xff, 0x9f, 0xff, 0xff,
};
const guchar cursor_zoom_mask_bits[32] = {
    0xe0, 0x00, 0xf8, 0x03, 0xfc, 0x07, 0x0e, 0x0e, 0x06, 0x0c, 0x07, 0x1c, 0x07, 0x18, 0x07, 0x1c,
    0x06, 0x0c, 0x0e, 0x0e, 0xbc, 0x1f, 0xf8, 0x3f, 0xe0, 0x7c, 0x00, 0xf8, 0x00, 0xf0, 0x00, 0xe0,
};
const guchar cursor_zoom_in_bits[32] = {
    0xff, 0xff, 0x1f, 0xff, 0x07, 0xfc, 0xf3, 0xf9, 0xbb, 0xfb, 0xb9, 0xf3, 0x09, 0xf2, 0xb9, 0xf3,
    0xbb, 0xfb, 0xf3, 0xf9, 0x07, 0xf0, 0x1f, 0xe3, 0xff, 0xc7, 0xff, 0x8f, 0xff, 0x9f, 0xff, 0xff,
};
const guchar cursor_zoom_in_mask_bits[32] = {
    0xe0, 0x00, 0xf8, 0x03, 0xfc, 0x07, 0x0e, 0x0e, 0x46, 0x0c, 0x47, 0x1c, 0xf7, 0x1d, 0x47, 0x1c,
    0x46, 0x0c, 0x0e, 0x0e, 0xfc, 0x1f, 0xf8, 0x3f, 0xe0, 0x7c, 0x00, 0xf8, 0x00, 0xf0, 0x00, 0x60,
};
const guchar cursor_zoom_out_bits[32] = {
    0xff, 0xff, 0x1f, 0xff, 0x07, 0xfc, 0xf3, 0xf9, 0xfb, 0xfb, 0xf9, 0xf3, 0x09, 0xf6, 0xf9, 0xf3,
    0xfb, 0xfb, 0xf3, 0xf9, 0x47, 0xf0, 0x1f, 0xe3, 0xff, 0xc7, 0xff, 0x8f, 0xff, 0x9f, 0xff, 0xff,
};
const guchar cursor_zoom_out_mask_bits[32] = {
    0xe0, 0x00, 0xf8, 0x03, 0xfc, 0x07, 0x0e, 0x0e, 0x06, 0x0c, 0x07, 0x1c, 0xf7, 0x19, 0x07, 0x1c,
    0x06, 0x0c, 0x0e, 0x0e, 0xbc, 0x1f, 0xf8, 0x3f, 0xe0, 0x7c, 0x00, 0xf8, 0x00, 0xf0, 0x00, 0xe0,
};

constexpr gint32 kZoomStackCapacity = 20;
// Bounds a tick loop: a nice scale never has more than about a dozen steps,
// but a caller may write any step into an axis.
constexpr long kMaxTicks = 10000;
// Symbols are rendered into an image; a runaway size must not ask for
// gigabytes.
constexpr double kMaxSymbolSize = 1024.0;

enum { PROP_0, PROP_TOOL_MODE };
enum { SIGNAL_BUTTON_PRESS, SIGNAL_BUTTON_RELEASE, SIGNAL_MOTION_NOTIFY, SIGNAL_COUNT };
guint plotSignals[SIGNAL_COUNT];
gpointer parentClass = nullptr;

[[noreturn]] void Fatal(const char *text) {
  std::fputs(text, stderr);
  std::exit(-1);
}

// ---------------------------------------------------------------- cairo/pango

struct CairoDeleter {
  void operator()(cairo_t *cr) const { cairo_destroy(cr); }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using LayoutPtr = std::unique_ptr<PangoLayout, GObjectDeleter>;

struct PatternDeleter {
  void operator()(cairo_pattern_t *p) const { cairo_pattern_destroy(p); }
};
using PatternPtr = std::unique_ptr<cairo_pattern_t, PatternDeleter>;

double Red(guint32 c) { return ((c >> 16) & 0xFF) / 255.0; }
double Green(guint32 c) { return ((c >> 8) & 0xFF) / 255.0; }
double Blue(guint32 c) { return (c & 0xFF) / 255.0; }

void SetColor(cairo_t *cr, guint32 c) { cairo_set_source_rgb(cr, Red(c), Green(c), Blue(c)); }

void ApplyLineStyle(cairo_t *cr, const GtkPlotLineStyle *s) {
  static const double dash1[] = {4, 1};
  static const double dash2[] = {1, 1};
  static const double dash3[] = {4, 1, 1, 1};
  static const double dash4[] = {4, 1, 1, 1, 1, 1};
  cairo_set_line_width(cr, s->width > 0 ? s->width : 1.0);
  SetColor(cr, s->color);
  switch (s->dash) {
    case 1: cairo_set_dash(cr, dash1, 2, 0); break;
    case 2: cairo_set_dash(cr, dash2, 2, 0); break;
    case 3: cairo_set_dash(cr, dash3, 4, 0); break;
    case 4: cairo_set_dash(cr, dash4, 6, 0); break;
    default: cairo_set_dash(cr, nullptr, 0, 0); break;
  }
  // Out-of-range codes would put the context into an error state.
  cairo_set_line_cap(cr, s->cap >= CAIRO_LINE_CAP_BUTT && s->cap <= CAIRO_LINE_CAP_SQUARE
                             ? static_cast<cairo_line_cap_t>(s->cap)
                             : CAIRO_LINE_CAP_BUTT);
  cairo_set_line_join(cr, s->join >= CAIRO_LINE_JOIN_MITER && s->join <= CAIRO_LINE_JOIN_BEVEL
                              ? static_cast<cairo_line_join_t>(s->join)
                              : CAIRO_LINE_JOIN_MITER);
}

// Puts a thin line on the middle of a pixel, so that it is one pixel wide
// and not smeared over two.
double Crisp(double v, double width) {
  long w = std::lround(width);
  if (w % 2 == 1) return std::floor(v) + 0.5;
  return std::round(v);
}

LayoutPtr MakeLayout(cairo_t *cr, const char *font, const char *text) {
  LayoutPtr layout(pango_cairo_create_layout(cr));
  PangoFontDescription *desc = pango_font_description_from_string(font);
  pango_layout_set_font_description(layout.get(), desc);
  pango_font_description_free(desc);
  pango_layout_set_text(layout.get(), text, -1);
  return layout;
}

struct TextSize {
  int width = 0, height = 0;
};

// Pango units are converted by dividing by PANGO_SCALE and cutting toward
// zero, which integer division does.
TextSize LayoutSize(PangoLayout *layout) {
  int w = 0, h = 0;
  pango_layout_get_size(layout, &w, &h);
  return {w / PANGO_SCALE, h / PANGO_SCALE};
}

TextSize MeasureText(cairo_t *cr, const char *font, const char *text) {
  LayoutPtr layout = MakeLayout(cr, font, text);
  return LayoutSize(layout.get());
}

// Draws text with its top-left corner at (x, y) of a frame turned by angle.
void DrawText(cairo_t *cr, const char *font, const char *text, guint32 color, double x, double y,
              double angle = 0.0) {
  LayoutPtr layout = MakeLayout(cr, font, text);
  cairo_save(cr);
  SetColor(cr, color);
  cairo_translate(cr, x, y);
  if (angle != 0.0) cairo_rotate(cr, angle);
  pango_cairo_update_layout(cr, layout.get());
  cairo_move_to(cr, 0, 0);
  pango_cairo_show_layout(cr, layout.get());
  cairo_restore(cr);
}

// A context to measure text with when no drawing is under way: the backing
// pixmap's, so that sizes agree with the next drawing.
CairoPtr MeasureContext(GtkPlot *plot) {
  if (plot->pixmap) return CairoPtr(gdk_cairo_create(plot->pixmap));
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  CairoPtr cr(cairo_create(surface));
  cairo_surface_destroy(surface);
  return cr;
}

// ---------------------------------------------------------------- helpers

bool IsHorizontal(int index) { return index == PLOT_AXILE_TOP || index == PLOT_AXILE_BOTTOM; }

size_t UsedPoints(const GtkPlotSerial *s) {
  return std::min<size_t>(s->count, s->points.size());
}

bool HasLine(gint32 type) {
  return type == PLOT_SERIAL_LINE || type == PLOT_SERIAL_LINE_SYMBOL || type == PLOT_SERIAL_STEP ||
         type == PLOT_SERIAL_STEP_SYMBOL;
}
bool HasSymbol(gint32 type) {
  return type == PLOT_SERIAL_SYMBOL || type == PLOT_SERIAL_LINE_SYMBOL ||
         type == PLOT_SERIAL_STEP_SYMBOL;
}

struct LegendMetrics {
  int nameWidth = 0;   // widest visible name
  int textHeight = 0;  // tallest visible name
  int items = 0;       // visible series
};

LegendMetrics MeasureLegend(GtkPlot *plot, cairo_t *cr) {
  LegendMetrics m;
  for (const auto &s : plot->serials) {
    if (!s->visible) continue;
    TextSize t = MeasureText(cr, plot->legend.font, s->name);
    m.nameWidth = std::max(m.nameWidth, t.width);
    m.textHeight = std::max(m.textHeight, t.height);
    ++m.items;
  }
  if (m.items == 0) m.textHeight = MeasureText(cr, plot->legend.font, "").height;
  return m;
}

// Width of one legend item: the sample, the name and the padding round them.
int LegendItemWidth(const GtkPlotLegend &legend, const LegendMetrics &m) {
  return 3 * legend.sampleUnit + m.nameWidth + 4;
}

// Columns of a legend above or below the frame. Only whole items are
// counted, so that the box never runs past the frame's width.
int LegendColumns(const GtkPlotLegend &legend, const LegendMetrics &m, double frameWidth) {
  int item = LegendItemWidth(legend, m) + legend.frameWidth;
  if (item <= 0 || frameWidth <= 0) return 0;
  return static_cast<int>(std::floor(frameWidth / item));
}

// Room the tick labels take across the axis: the height of a label for the
// top and bottom axes, the width for the left and right ones.
int LabelExtent(cairo_t *cr, const GtkPlotAxile *a, int index) {
  const GtkPlotTickLabel &tl = a->tickLabel;
  if (!tl.majorVisible && !tl.minorVisible) return 0;
  std::string endLabel = gtk_plot_format_tick_label(&tl, a->scale.tickEnd);
  if (IsHorizontal(index)) return MeasureText(cr, tl.font, (endLabel + "--").c_str()).height;
  // The label at the start can be the wider one (a minus sign): room for
  // both keeps it off the title.
  std::string startLabel = gtk_plot_format_tick_label(&tl, a->scale.tickStart);
  return std::max(MeasureText(cr, tl.font, endLabel.c_str()).width,
                  MeasureText(cr, tl.font, startLabel.c_str()).width);
}

int AxileSize(GtkPlot *plot, cairo_t *cr, int index) {
  GtkPlotAxile *a = gtk_plot_get_axile(plot, index);
  if (!a || !a->visible) return 0;
  int size = a->tickLength + LabelExtent(cr, a, index);
  if (a->titleVisible) size += MeasureText(cr, a->titleFont, a->title).height;
  return size;
}

void UpdateFrame(GtkPlot *plot, cairo_t *cr) {
  GtkAllocation &alloc = GTK_WIDGET(plot)->allocation;
  const double W = alloc.width, H = alloc.height;
  GtkPlotFrame f;
  f.top = H * plot->topMargin + AxileSize(plot, cr, PLOT_AXILE_TOP);
  f.left = W * plot->leftMargin + AxileSize(plot, cr, PLOT_AXILE_LEFT);
  f.bottom = H * (1.0 - plot->bottomMargin) - AxileSize(plot, cr, PLOT_AXILE_BOTTOM);
  f.right = W * (1.0 - plot->rightMargin) - AxileSize(plot, cr, PLOT_AXILE_RIGHT);
  const GtkPlotLegend &legend = plot->legend;
  if (legend.visible && legend.reserveRoom) {
    LegendMetrics m = MeasureLegend(plot, cr);
    if (legend.placement == PLOT_LEGEND_LEFT || legend.placement == PLOT_LEGEND_RIGHT) {
      double room = LegendItemWidth(legend, m) + legend.frameWidth;
      if (legend.placement == PLOT_LEGEND_LEFT)
        f.left += room;
      else
        f.right -= room;
    } else {
      int columns = LegendColumns(legend, m, f.right - f.left);
      int rows = columns > 0 ? (m.items + columns - 1) / columns : 0;
      double room = rows * (m.textHeight + 2);
      if (legend.placement == PLOT_LEGEND_TOP)
        f.top += room;
      else
        f.bottom -= room;
    }
  }
  // Whole pixels, so that frame lines and ticks fall on pixel centres.
  f.top = std::round(f.top);
  f.left = std::round(f.left);
  f.bottom = std::round(f.bottom);
  f.right = std::round(f.right);
  plot->frame = f;
}

void UpdateAllAxiles(GtkPlot *plot) {
  for (int i = 0; i < 4; ++i) gtk_plot_update_axile(plot, nullptr, i);
}

// ---------------------------------------------------------------- drawing

void DrawAxile(GtkPlot *plot, cairo_t *cr, int index) {
  GtkPlotAxile *a = gtk_plot_get_axile(plot, index);
  if (!a->visible) return;
  const GtkPlotFrame &f = plot->frame;
  const GtkPlotScale &s = a->scale;
  const bool horizontal = IsHorizontal(index);
  // Where the axis line runs, and which way is "out of the frame".
  double line = 0, out = 0;
  switch (index) {
    case PLOT_AXILE_TOP: line = f.top - a->offset; out = -1; break;
    case PLOT_AXILE_LEFT: line = f.left - a->offset; out = -1; break;
    case PLOT_AXILE_BOTTOM: line = f.bottom + a->offset; out = 1; break;
    default: line = f.right + a->offset; out = 1; break;
  }
  const double width = a->lineStyle.width > 0 ? a->lineStyle.width : 1.0;
  const double crispLine = Crisp(line, width);
  auto position = [&](double v) {
    return horizontal ? f.left + (v - s.tickStart) * s.pixelsPerUnit
                      : f.bottom - (v - s.tickStart) * s.pixelsPerUnit;
  };
  auto segment = [&](double along, double from, double to) {
    if (horizontal) {
      cairo_move_to(cr, along, from);
      cairo_line_to(cr, along, to);
    } else {
      cairo_move_to(cr, from, along);
      cairo_line_to(cr, to, along);
    }
  };

  ApplyLineStyle(cr, &a->lineStyle);
  if (horizontal) {
    cairo_move_to(cr, f.left, crispLine);
    cairo_line_to(cr, f.right, crispLine);
  } else {
    cairo_move_to(cr, crispLine, f.top);
    cairo_line_to(cr, crispLine, f.bottom);
  }
  cairo_stroke(cr);

  const double dir = a->tickDirection == 1 ? out : -out;
  const std::vector<double> majors = gtk_plot_major_ticks(&s);
  const std::vector<double> minors = gtk_plot_minor_ticks(&s);
  cairo_set_dash(cr, nullptr, 0, 0);
  if (a->majorTicksVisible) {
    for (double v : majors) segment(Crisp(position(v), width), line, line + dir * a->tickLength);
  }
  if (a->minorTicksVisible) {
    for (double v : minors)
      segment(Crisp(position(v), width), line, line + dir * (a->tickLength - 3));
  }
  cairo_stroke(cr);

  // Labels stand beyond the room of the ticks, whichever way they point.
  const GtkPlotTickLabel &tl = a->tickLabel;
  const double labelBase = line + out * a->tickLength;
  auto drawLabels = [&](const std::vector<double> &values) {
    for (double v : values) {
      std::string text = gtk_plot_format_tick_label(&tl, v);
      TextSize t = MeasureText(cr, tl.font, text.c_str());
      double p = position(v), x = 0, y = 0;
      switch (index) {
        case PLOT_AXILE_TOP: x = p - t.width / 2.0; y = labelBase - t.height; break;
        case PLOT_AXILE_BOTTOM: x = p - t.width / 2.0; y = labelBase; break;
        case PLOT_AXILE_LEFT: x = labelBase - t.width; y = p - t.height / 2.0; break;
        default: x = labelBase; y = p - t.height / 2.0; break;
      }
      DrawText(cr, tl.font, text.c_str(), tl.color, x + tl.xOffset, y + tl.yOffset);
    }
  };
  if (tl.majorVisible) drawLabels(majors);
  if (tl.minorVisible) drawLabels(minors);

  if (!a->titleVisible) return;
  TextSize t = MeasureText(cr, a->titleFont, a->title);
  const double titleBase = labelBase + out * LabelExtent(cr, a, index);
  const double mid = horizontal ? (f.left + f.right) / 2.0 : (f.top + f.bottom) / 2.0;
  double x = 0, y = 0, angle = 0;
  switch (index) {
    case PLOT_AXILE_TOP: x = mid - t.width / 2.0; y = titleBase - t.height; break;
    case PLOT_AXILE_BOTTOM: x = mid - t.width / 2.0; y = titleBase; break;
    case PLOT_AXILE_LEFT:
      // Turned by -90 degrees: the text reads upwards and its top faces left.
      x = titleBase - t.height;
      y = mid + t.width / 2.0;
      angle = -G_PI / 2;
      break;
    default:
      x = titleBase + t.height;
      y = mid - t.width / 2.0;
      angle = G_PI / 2;
      break;
  }
  DrawText(cr, a->titleFont, a->title, a->titleColor, x + a->titleXOffset, y + a->titleYOffset,
           angle);
}

void PaintSymbol(cairo_t *cr, cairo_pattern_t *pattern, double size, double sx, double sy) {
  cairo_save(cr);
  // Whole-pixel placement keeps the symbol image sharp.
  cairo_translate(cr, std::round(sx - size / 2.0), std::round(sy - size / 2.0));
  cairo_set_source(cr, pattern);
  cairo_rectangle(cr, 0, 0, std::ceil(size), std::ceil(size));
  cairo_fill(cr);
  cairo_restore(cr);
}

struct ScreenPoint {
  double x, y;
  bool visible;
};

void DrawSerial(GtkPlot *plot, cairo_t *cr, const GtkPlotSerial *s) {
  const size_t n = UsedPoints(s);
  if (n == 0) return;
  std::vector<ScreenPoint> pts;
  try {
    pts.resize(n);
  } catch (const std::bad_alloc &) {
    Fatal("[fatal error]: ploting error, not enough memory!\n");
  }
  for (size_t i = 0; i < n; ++i) {
    double sx, sy;
    gtk_plot_plot_to_screen(plot, s->points[i].x, s->points[i].y, &sx, &sy);
    pts[i] = {sx, sy, !(sx == -1 && sy == -1)};
  }
  const bool steps = s->type == PLOT_SERIAL_STEP || s->type == PLOT_SERIAL_STEP_SYMBOL;
  if (HasLine(s->type)) {
    ApplyLineStyle(cr, &s->lineStyle);
    bool inRun = false;
    for (size_t i = 0; i < n; ++i) {
      if (!pts[i].visible) {
        inRun = false;
        continue;
      }
      if (!inRun) {
        cairo_move_to(cr, pts[i].x, pts[i].y);
        inRun = true;
      } else if (steps) {
        cairo_line_to(cr, pts[i - 1].x, pts[i].y);
        cairo_line_to(cr, pts[i].x, pts[i].y);
      } else {
        cairo_line_to(cr, pts[i].x, pts[i].y);
      }
    }
    cairo_stroke(cr);
  }
  if (s->type == PLOT_SERIAL_BAR) {
    SetColor(cr, s->barStyle.color);
    for (const ScreenPoint &p : pts) {
      if (!p.visible) continue;
      double x0, x1;
      gtk_plot_bar_extent(&s->barStyle, p.x, &x0, &x1);
      cairo_rectangle(cr, x0, p.y, x1 - x0, plot->frame.bottom - p.y);
    }
    cairo_fill(cr);
  }
  if (HasSymbol(s->type)) {
    PatternPtr pattern(gtk_plot_create_symbol(cr, &s->symbolStyle));
    double size = std::clamp(s->symbolStyle.size, 0.0, kMaxSymbolSize);
    for (const ScreenPoint &p : pts)
      if (p.visible) PaintSymbol(cr, pattern.get(), size, p.x, p.y);
  }
}

void DrawGrid(GtkPlot *plot, cairo_t *cr) {
  const GtkPlotFrame &f = plot->frame;
  auto lines = [&](const GtkPlotAxile &a, const std::vector<double> &values,
                   const GtkPlotLineStyle &style, bool vertical) {
    if (values.empty()) return;
    ApplyLineStyle(cr, &style);
    const double width = style.width > 0 ? style.width : 1.0;
    for (double v : values) {
      double p = vertical ? f.left + (v - a.scale.tickStart) * a.scale.pixelsPerUnit
                          : f.bottom - (v - a.scale.tickStart) * a.scale.pixelsPerUnit;
      p = Crisp(p, width);
      if (vertical) {
        cairo_move_to(cr, p, f.top);
        cairo_line_to(cr, p, f.bottom);
      } else {
        cairo_move_to(cr, f.left, p);
        cairo_line_to(cr, f.right, p);
      }
    }
    cairo_stroke(cr);
  };
  const GtkPlotAxile &bottom = plot->bottomAxile, &left = plot->leftAxile;
  if (plot->hGridLine.minorVisible)
    lines(left, gtk_plot_minor_ticks(&left.scale), plot->hGridLine.minorStyle, false);
  if (plot->hGridLine.majorVisible)
    lines(left, gtk_plot_major_ticks(&left.scale), plot->hGridLine.majorStyle, false);
  if (plot->vGridLine.minorVisible)
    lines(bottom, gtk_plot_minor_ticks(&bottom.scale), plot->vGridLine.minorStyle, true);
  if (plot->vGridLine.majorVisible)
    lines(bottom, gtk_plot_major_ticks(&bottom.scale), plot->vGridLine.majorStyle, true);
}

void DrawLegendSample(cairo_t *cr, const GtkPlotSerial *s, double x, double y, int unit,
                      int textHeight) {
  const double cy = y + (textHeight + 2) / 2.0;
  if (HasLine(s->type)) {
    ApplyLineStyle(cr, &s->lineStyle);
    cairo_move_to(cr, x + unit / 2.0, cy);
    cairo_line_to(cr, x + 2.5 * unit, cy);
    cairo_stroke(cr);
  }
  if (s->type == PLOT_SERIAL_BAR) {
    SetColor(cr, s->barStyle.color);
    double h = std::max(2.0, std::round(textHeight * 0.6));
    cairo_rectangle(cr, std::round(x + unit), std::round(cy - h / 2), unit, h);
    cairo_fill(cr);
  }
  if (HasSymbol(s->type)) {
    PatternPtr pattern(gtk_plot_create_symbol(cr, &s->symbolStyle));
    PaintSymbol(cr, pattern.get(), std::clamp(s->symbolStyle.size, 0.0, kMaxSymbolSize),
                x + 1.5 * unit, cy);
  }
}

void DrawLegend(GtkPlot *plot, cairo_t *cr) {
  plot->legendBox = {0, 0, 0, 0};
  const GtkPlotLegend &legend = plot->legend;
  if (!legend.visible) return;
  LegendMetrics m = MeasureLegend(plot, cr);
  if (m.items == 0) return;
  const GtkPlotFrame &f = plot->frame;
  const GtkAllocation &alloc = GTK_WIDGET(plot)->allocation;
  const double W = alloc.width, H = alloc.height;
  const int rowHeight = m.textHeight + 2;
  const int itemWidth = LegendItemWidth(legend, m);
  int columns = 1, rows = 0;
  double x = 0, y = 0;
  if (legend.placement == PLOT_LEGEND_LEFT || legend.placement == PLOT_LEGEND_RIGHT) {
    int fit = rowHeight > 0 ? static_cast<int>((f.bottom - f.top) / rowHeight) : 0;
    rows = std::min(m.items, std::max(fit, 0));
    if (rows == 0) return;
    double boxHeight = rows * rowHeight;
    y = (f.top + f.bottom) / 2.0 - boxHeight / 2.0 + legend.yOffset;
    x = legend.placement == PLOT_LEGEND_LEFT ? W * plot->leftMargin
                                              : W * (1.0 - plot->rightMargin) - legend.frameWidth -
                                                    itemWidth;
    x += legend.xOffset;
  } else {
    columns = LegendColumns(legend, m, f.right - f.left);
    if (columns <= 0) return;
    columns = std::min(columns, m.items);
    rows = (m.items + columns - 1) / columns;
    double boxWidth = columns * itemWidth, boxHeight = rows * rowHeight;
    x = (f.left + f.right) / 2.0 - boxWidth / 2.0;
    y = legend.placement == PLOT_LEGEND_TOP
            ? H * plot->topMargin
            : H * (1.0 - plot->bottomMargin) - legend.frameWidth - boxHeight;
  }
  x = std::round(x);
  y = std::round(y);
  const int boxWidth = columns * itemWidth, boxHeight = rows * rowHeight;
  plot->legendBox = {static_cast<gint>(x), static_cast<gint>(y), boxWidth, boxHeight};

  if (legend.frameWidth > 0) {
    SetColor(cr, legend.shadowColor);
    cairo_rectangle(cr, x + legend.frameWidth, y + legend.frameWidth, boxWidth, boxHeight);
    cairo_fill(cr);
  }
  SetColor(cr, legend.background);
  cairo_rectangle(cr, x, y, boxWidth, boxHeight);
  cairo_fill(cr);
  if (legend.borderVisible) {
    ApplyLineStyle(cr, &legend.borderStyle);
    double w = legend.borderStyle.width > 0 ? legend.borderStyle.width : 1.0;
    cairo_rectangle(cr, x + w / 2, y + w / 2, boxWidth - w, boxHeight - w);
    cairo_stroke(cr);
  }

  int item = 0;
  for (const auto &s : plot->serials) {
    if (!s->visible) continue;
    int row = item / columns, column = item % columns;
    if (row >= rows) break;
    double ix = x + column * itemWidth + 2, iy = y + row * rowHeight;
    DrawLegendSample(cr, s.get(), ix, iy, legend.sampleUnit, m.textHeight);
    DrawText(cr, legend.font, s->name, legend.textColor, ix + 3 * legend.sampleUnit, iy + 1);
    ++item;
  }
}

void Render(GtkPlot *plot, cairo_t *cr) {
  const GtkAllocation &alloc = GTK_WIDGET(plot)->allocation;
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  SetColor(cr, plot->background);
  cairo_rectangle(cr, 0, 0, alloc.width, alloc.height);
  cairo_fill(cr);
  DrawAxile(plot, cr, PLOT_AXILE_TOP);
  DrawAxile(plot, cr, PLOT_AXILE_BOTTOM);
  DrawAxile(plot, cr, PLOT_AXILE_LEFT);
  DrawAxile(plot, cr, PLOT_AXILE_RIGHT);
  for (const auto &s : plot->serials)
    if (s->visible) DrawSerial(plot, cr, s.get());
  DrawGrid(plot, cr);
  DrawLegend(plot, cr);
}

// ---------------------------------------------------------------- pointer

GdkCursor *MakeCursor(const guchar *bits, const guchar *maskBits) {
  GdkBitmap *source =
      gdk_bitmap_create_from_data(nullptr, reinterpret_cast<const gchar *>(bits), 16, 16);
  GdkBitmap *mask =
      gdk_bitmap_create_from_data(nullptr, reinterpret_cast<const gchar *>(maskBits), 16, 16);
  GdkColor black = {0, 0, 0, 0};
  GdkCursor *cursor = gdk_cursor_new_from_pixmap(source, mask, &black, &black, 8, 8);
  g_object_unref(source);
  g_object_unref(mask);
  return cursor;
}

void EnsureCursors(GtkPlot *plot) {
  if (plot->zoomCursor) return;
  plot->zoomCursor = MakeCursor(cursor_zoom_bits, cursor_zoom_mask_bits);
  plot->zoomInCursor = MakeCursor(cursor_zoom_in_bits, cursor_zoom_in_mask_bits);
  plot->zoomOutCursor = MakeCursor(cursor_zoom_out_bits, cursor_zoom_out_mask_bits);
}

void ShowCursor(GtkPlot *plot, GdkCursor *cursor) {
  plot->cursor = cursor;
  GtkWidget *widget = GTK_WIDGET(plot);
  if (GTK_WIDGET_REALIZED(widget)) gdk_window_set_cursor(widget->window, cursor);
}

GdkGC *XorGC(GtkPlot *plot, guint32 color, gint width, gint lineStyle) {
  GtkWidget *widget = GTK_WIDGET(plot);
  if (!plot->xorGC) {
    plot->xorGC = gdk_gc_new(widget->window);
    gdk_gc_set_function(plot->xorGC, GDK_XOR);
  }
  GdkColor c = {0, static_cast<guint16>(((color >> 16) & 0xFF) * 257),
                static_cast<guint16>(((color >> 8) & 0xFF) * 257),
                static_cast<guint16>((color & 0xFF) * 257)};
  gdk_gc_set_rgb_fg_color(plot->xorGC, &c);
  GdkLineStyle style = lineStyle >= GDK_LINE_SOLID && lineStyle <= GDK_LINE_DOUBLE_DASH
                           ? static_cast<GdkLineStyle>(lineStyle)
                           : GDK_LINE_SOLID;
  gdk_gc_set_line_attributes(plot->xorGC, std::max(width, 0), style, GDK_CAP_BUTT,
                             GDK_JOIN_MITER);
  return plot->xorGC;
}

// Drawn with exclusive-or: drawing the same lines again removes them.
void DrawHairLines(GtkPlot *plot, gint x, gint y) {
  GtkWidget *widget = GTK_WIDGET(plot);
  const GtkAllocation &alloc = widget->allocation;
  if (plot->vHairLine.visible) {
    GdkGC *gc = XorGC(plot, plot->background ^ plot->vHairLine.color, plot->vHairLine.width,
                      plot->vHairLine.lineStyle);
    gdk_draw_line(widget->window, gc, x, 0, x, alloc.height);
  }
  if (plot->hHairLine.visible) {
    GdkGC *gc = XorGC(plot, plot->background ^ plot->hHairLine.color, plot->hHairLine.width,
                      plot->hHairLine.lineStyle);
    gdk_draw_line(widget->window, gc, 0, y, alloc.width, y);
  }
}

void DrawRubberBand(GtkPlot *plot) {
  const GdkRectangle &r = plot->rubberBand;
  GdkGC *gc = XorGC(plot, plot->background, 1, GDK_LINE_SOLID);
  gdk_draw_rectangle(GTK_WIDGET(plot)->window, gc, FALSE, r.x, r.y, r.width, r.height);
}

void EraseRubberBand(GtkPlot *plot) {
  if (plot->rubberBandShown && GTK_WIDGET_DRAWABLE(GTK_WIDGET(plot))) DrawRubberBand(plot);
  plot->rubberBandShown = FALSE;
}

bool ZoomStackPush(GtkPlotZoomStack *stack, const GtkPlotRect &rect) {
  if (stack->capacity <= 0 || static_cast<size_t>(stack->capacity) > stack->storage.size())
    return false;
  if (stack->top < stack->capacity)
    stack->storage[static_cast<size_t>(stack->top++)] = rect;
  else
    stack->storage[static_cast<size_t>(stack->capacity - 1)] = rect;
  return true;
}

bool ZoomStackPop(GtkPlotZoomStack *stack, GtkPlotRect *rect) {
  if (stack->top <= 0) return false;
  *rect = stack->storage[static_cast<size_t>(--stack->top)];
  return true;
}

// ---------------------------------------------------------------- class

gboolean gtk_plot_configure(GtkWidget *widget, GdkEventConfigure *) {
  GtkPlot *plot = GTK_PLOT(widget);
  if (plot->pixmap) g_object_unref(plot->pixmap);
  plot->pixmap = gdk_pixmap_new(widget->window, std::max(widget->allocation.width, 1),
                                std::max(widget->allocation.height, 1), -1);
  gtk_plot_update_frame_rect(plot);
  UpdateAllAxiles(plot);
  return TRUE;
}

gboolean gtk_plot_expose(GtkWidget *widget, GdkEventExpose *event) {
  GtkPlot *plot = GTK_PLOT(widget);
  if (!plot->pixmap) return FALSE;
  {
    CairoPtr cr(gdk_cairo_create(plot->pixmap));
    UpdateFrame(plot, cr.get());
    UpdateAllAxiles(plot);
    Render(plot, cr.get());
  }
  gdk_draw_drawable(widget->window, widget->style->fg_gc[GTK_WIDGET_STATE(widget)], plot->pixmap,
                    event->area.x, event->area.y, event->area.x, event->area.y, event->area.width,
                    event->area.height);
  // The copy covered whatever exclusive-or lines were on the window.
  plot->hairLinesShown = FALSE;
  plot->rubberBandShown = FALSE;
  return FALSE;
}

gboolean gtk_plot_button_press(GtkWidget *widget, GdkEventButton *event) {
  GtkPlot *plot = GTK_PLOT(widget);
  if (event->button == 1) {
    plot->buttonDown = TRUE;
    if (plot->toolMode == PLOT_TOOL_ZOOM_IN) {
      plot->pressX = static_cast<gint>(std::lround(event->x));
      plot->pressY = static_cast<gint>(std::lround(event->y));
      plot->rubberBandShown = FALSE;
    }
  } else if (event->button == 3) {
    gtk_plot_zoom_reset(plot);
  }
  g_signal_emit(plot, plotSignals[SIGNAL_BUTTON_PRESS], 0, event);
  return TRUE;
}

gboolean gtk_plot_motion_notify(GtkWidget *widget, GdkEventMotion *event) {
  GtkPlot *plot = GTK_PLOT(widget);
  gint x = static_cast<gint>(std::lround(event->x)), y = static_cast<gint>(std::lround(event->y));
  if (event->is_hint) {
    GdkModifierType state;
    gdk_window_get_pointer(widget->window, &x, &y, &state);
  }
  if (GTK_WIDGET_DRAWABLE(widget)) {
    if (plot->vHairLine.visible || plot->hHairLine.visible) {
      if (plot->hairLinesShown) DrawHairLines(plot, plot->hairX, plot->hairY);
      DrawHairLines(plot, x, y);
      plot->hairX = x;
      plot->hairY = y;
      plot->hairLinesShown = TRUE;
    }
    if (plot->toolMode == PLOT_TOOL_ZOOM_IN && plot->buttonDown) {
      EraseRubberBand(plot);
      plot->rubberBand = {std::min(plot->pressX, x), std::min(plot->pressY, y),
                          std::abs(x - plot->pressX), std::abs(y - plot->pressY)};
      DrawRubberBand(plot);
      plot->rubberBandShown = TRUE;
    }
  }
  g_signal_emit(plot, plotSignals[SIGNAL_MOTION_NOTIFY], 0, event);
  return TRUE;
}

gboolean gtk_plot_button_release(GtkWidget *widget, GdkEventButton *event) {
  GtkPlot *plot = GTK_PLOT(widget);
  if (event->button == 1) {
    const bool wasDown = plot->buttonDown;
    plot->buttonDown = FALSE;
    if (plot->toolMode == PLOT_TOOL_ZOOM_IN && wasDown) {
      // A drag that did not zoom must not leave its rectangle behind.
      EraseRubberBand(plot);
      gint x = static_cast<gint>(std::lround(event->x));
      gint y = static_cast<gint>(std::lround(event->y));
      if (x != plot->pressX && y != plot->pressY) {
        GtkPlotRect rect;
        gtk_plot_screen_to_plot(plot, std::min(x, plot->pressX), std::max(y, plot->pressY),
                                &rect.xmin, &rect.ymin);
        gtk_plot_screen_to_plot(plot, std::max(x, plot->pressX), std::min(y, plot->pressY),
                                &rect.xmax, &rect.ymax);
        gtk_plot_zoom_in(plot, &rect);
      }
    } else if (plot->toolMode == PLOT_TOOL_ZOOM_OUT) {
      gtk_plot_zoom_out(plot);
      if (plot->zoomStack.top == 0) {
        EnsureCursors(plot);
        ShowCursor(plot, plot->zoomCursor);
      }
    }
  }
  g_signal_emit(plot, plotSignals[SIGNAL_BUTTON_RELEASE], 0, event);
  return TRUE;
}

void gtk_plot_realize(GtkWidget *widget) {
  GTK_WIDGET_CLASS(parentClass)->realize(widget);
  GtkPlot *plot = GTK_PLOT(widget);
  if (plot->cursor) gdk_window_set_cursor(widget->window, plot->cursor);
}

void gtk_plot_unrealize(GtkWidget *widget) {
  GtkPlot *plot = GTK_PLOT(widget);
  if (plot->xorGC) {
    g_object_unref(plot->xorGC);
    plot->xorGC = nullptr;
  }
  plot->hairLinesShown = plot->rubberBandShown = FALSE;
  GTK_WIDGET_CLASS(parentClass)->unrealize(widget);
}

void gtk_plot_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  GtkPlot *plot = GTK_PLOT(object);
  switch (id) {
    case PROP_TOOL_MODE: {
      EnsureCursors(plot);
      gint mode = g_value_get_enum(value);
      if (mode == PLOT_TOOL_ZOOM_IN) {
        plot->toolMode = PLOT_TOOL_ZOOM_IN;
        ShowCursor(plot, plot->zoomInCursor);
      } else if (mode == PLOT_TOOL_ZOOM_OUT) {
        plot->toolMode = PLOT_TOOL_ZOOM_OUT;
        ShowCursor(plot, plot->zoomStack.top == 0 ? plot->zoomCursor : plot->zoomOutCursor);
      } else {
        plot->toolMode = PLOT_TOOL_NONE;
        ShowCursor(plot, nullptr);
      }
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
}

void gtk_plot_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  GtkPlot *plot = GTK_PLOT(object);
  switch (id) {
    case PROP_TOOL_MODE: g_value_set_enum(value, plot->toolMode); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
  }
}

void gtk_plot_finalize(GObject *object) {
  GtkPlot *plot = GTK_PLOT(object);
  if (plot->pixmap) g_object_unref(plot->pixmap);
  if (plot->xorGC) g_object_unref(plot->xorGC);
  for (GdkCursor *c : {plot->zoomCursor, plot->zoomInCursor, plot->zoomOutCursor})
    if (c) gdk_cursor_unref(c);
  // The C++ members were constructed in place by the instance initialiser.
  using Serials = std::vector<std::unique_ptr<GtkPlotSerial>>;
  using Rects = std::vector<GtkPlotRect>;
  plot->serials.~Serials();
  plot->zoomStack.storage.~Rects();
  G_OBJECT_CLASS(parentClass)->finalize(object);
}

void gtk_plot_class_init(gpointer klass, gpointer) {
  parentClass = g_type_class_peek_parent(klass);
  GObjectClass *objectClass = G_OBJECT_CLASS(klass);
  GtkWidgetClass *widgetClass = GTK_WIDGET_CLASS(klass);
  objectClass->set_property = gtk_plot_set_property;
  objectClass->get_property = gtk_plot_get_property;
  objectClass->finalize = gtk_plot_finalize;
  widgetClass->configure_event = gtk_plot_configure;
  widgetClass->expose_event = gtk_plot_expose;
  widgetClass->button_press_event = gtk_plot_button_press;
  widgetClass->button_release_event = gtk_plot_button_release;
  widgetClass->motion_notify_event = gtk_plot_motion_notify;
  widgetClass->realize = gtk_plot_realize;
  widgetClass->unrealize = gtk_plot_unrealize;

  g_object_class_install_property(
      objectClass, PROP_TOOL_MODE,
      g_param_spec_enum("tool-mode", "Tool modes", "select tool functions",
                        GTK_TYPE_PLOT_TOOL_MODE, PLOT_TOOL_NONE, G_PARAM_READWRITE));

  const GType type = G_TYPE_FROM_CLASS(klass);
  // The event is handed over as it is, without a copy, as the toolkit's own
  // event signals do.
  const GType eventType = GDK_TYPE_EVENT | G_SIGNAL_TYPE_STATIC_SCOPE;
  plotSignals[SIGNAL_BUTTON_PRESS] = g_signal_new(
      "button-press", type, G_SIGNAL_RUN_LAST, G_STRUCT_OFFSET(GtkPlotClass, button_press),
      nullptr, nullptr, g_cclosure_marshal_VOID__BOXED, G_TYPE_NONE, 1, eventType);
  plotSignals[SIGNAL_BUTTON_RELEASE] = g_signal_new(
      "button-release", type, G_SIGNAL_RUN_LAST, G_STRUCT_OFFSET(GtkPlotClass, button_release),
      nullptr, nullptr, g_cclosure_marshal_VOID__BOXED, G_TYPE_NONE, 1, eventType);
  plotSignals[SIGNAL_MOTION_NOTIFY] = g_signal_new(
      "motion-notify", type, G_SIGNAL_RUN_LAST, G_STRUCT_OFFSET(GtkPlotClass, motion_notify),
      nullptr, nullptr, g_cclosure_marshal_VOID__BOXED, G_TYPE_NONE, 1, eventType);
}

void gtk_plot_instance_init(GTypeInstance *instance, gpointer) {
  GtkPlot *plot = reinterpret_cast<GtkPlot *>(instance);
  // The type system hands over zeroed memory; the C++ members are built in
  // place here and torn down in finalize.
  new (&plot->serials) std::vector<std::unique_ptr<GtkPlotSerial>>();
  new (&plot->zoomStack.storage) std::vector<GtkPlotRect>();
  try {
    plot->zoomStack.storage.resize(kZoomStackCapacity);
  } catch (const std::bad_alloc &) {
    Fatal("[fatal error]: gtk_plot is initializing zoom stack, not enough memory!\n");
  }
  plot->zoomStack.capacity = kZoomStackCapacity;
  plot->zoomStack.top = 0;

  plot->pixmap = nullptr;
  plot->topMargin = plot->leftMargin = plot->rightMargin = plot->bottomMargin = 0.05;
  gtk_plot_init_axile(&plot->leftAxile);
  gtk_plot_init_axile(&plot->topAxile);
  gtk_plot_init_axile(&plot->rightAxile);
  gtk_plot_init_axile(&plot->bottomAxile);
  for (GtkPlotGridLine *g : {&plot->vGridLine, &plot->hGridLine}) {
    gtk_plot_line_style_set_default(&g->majorStyle);
    gtk_plot_line_style_set_default(&g->minorStyle);
    g->minorStyle.dash = 1;
    g->majorVisible = g->minorVisible = 0;
  }
  for (GtkPlotHairLine *h : {&plot->vHairLine, &plot->hHairLine}) {
    h->visible = 0;
    h->color = 0;
    h->width = 1;
    h->lineStyle = GDK_LINE_SOLID;
  }
  GtkPlotLegend &l = plot->legend;
  l.placement = PLOT_LEGEND_RIGHT;
  l.visible = 1;
  l.reserveRoom = 1;
  l.borderVisible = 1;
  gtk_plot_line_style_set_default(&l.borderStyle);
  CopyText(l.font, sizeof l.font, "Sans Bold 10");
  l.textColor = 0;
  l.background = 0xFFFFFF;
  l.shadowColor = 0x101010;
  l.frameWidth = 2;
  l.sampleUnit = 8;
  l.xOffset = l.yOffset = 0;
  plot->background = 0x8F8F8F;
  plot->toolMode = PLOT_TOOL_ZOOM_IN;

  gtk_widget_add_events(GTK_WIDGET(plot),
                        GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_MASK |
                            GDK_POINTER_MOTION_HINT_MASK | GDK_BUTTON_MOTION_MASK |
                            GDK_BUTTON1_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                            GDK_BUTTON_RELEASE_MASK | GDK_ENTER_NOTIFY_MASK);
}

}  // namespace

// ---------------------------------------------------------------- public

GType gtk_plot_tool_mode_get_type(void) {
  static gsize typeId = 0;
  static const GEnumValue values[] = {
      {PLOT_TOOL_NONE, "PLOT_TOOL_NONE", "tool-none"},
      {PLOT_TOOL_ZOOM_IN, "PLOT_TOOL_ZOOM_IN", "zoom-in"},
      {PLOT_TOOL_ZOOM_OUT, "PLOT_TOOL_ZOOM_OUT", "zoom-out"},
      {0, nullptr, nullptr},
  };
  if (g_once_init_enter(&typeId)) {
    GType t = g_enum_register_static(g_intern_static_string("GtkPlotToolModeType"), values);
    g_once_init_leave(&typeId, t);
  }
  return typeId;
}

GType gtk_plot_get_type(void) {
  static gsize typeId = 0;
  if (g_once_init_enter(&typeId)) {
    GType t = g_type_register_static_simple(
        GTK_TYPE_DRAWING_AREA, g_intern_static_string("GTK_PLOT"), sizeof(GtkPlotClass),
        gtk_plot_class_init, sizeof(GtkPlot), gtk_plot_instance_init, static_cast<GTypeFlags>(0));
    g_once_init_leave(&typeId, t);
  }
  return typeId;
}

GtkWidget *gtk_plot_new(void) { return GTK_WIDGET(g_object_new(GTK_TYPE_PLOT, nullptr)); }

void gtk_plot_line_style_set_default(GtkPlotLineStyle *style) {
  style->width = 1.0;
  style->color = 0;
  style->dash = 0;
  style->cap = 0;
  style->join = 0;
}

void gtk_plot_symbol_style_set_default(GtkPlotSymbolStyle *style) {
  style->size = 8.0;
  style->lineWidth = 1.0;
  style->color = 0;
  style->shape = 0;
  style->fill = 0;
  style->character = 'A';
  CopyText(style->font, sizeof style->font, "Sans Normal 10");
}

void gtk_plot_bar_style_set_default(GtkPlotBarStyle *style) {
  style->placement = 0;
  style->width = 2.0;
  style->color = 0;
}

void gtk_plot_init_axile(GtkPlotAxile *a) {
  a->visible = 1;
  a->offset = 0;
  CopyText(a->title, sizeof a->title, "Axile Label");
  CopyText(a->titleFont, sizeof a->titleFont, "Sans Bold 10");
  a->titleColor = 0;
  a->titleXOffset = a->titleYOffset = 0;
  a->titleVisible = 1;
  gtk_plot_line_style_set_default(&a->lineStyle);
  a->scale.min = a->scale.tickStart = 0.0;
  a->scale.max = a->scale.tickEnd = 100.0;
  a->scale.major = 10.0;
  a->scale.minor = 2.0;
  a->scale.exponent = 0;
  a->scale.pixelsPerUnit = 0.0;
  a->tickDirection = 1;
  a->tickLength = 8;
  a->majorTicksVisible = a->minorTicksVisible = 1;
  GtkPlotTickLabel &t = a->tickLabel;
  CopyText(t.font, sizeof t.font, "Sans Normal 8");
  t.color = 0;
  t.format = 2;
  t.formatter = nullptr;
  t.xOffset = t.yOffset = 0;
  t.majorVisible = 1;
  t.minorVisible = 0;
}

GtkPlotSerial *gtk_plot_serial_new(void) {
  std::unique_ptr<GtkPlotSerial> s;
  try {
    s = std::make_unique<GtkPlotSerial>();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  s->visible = 1;
  CopyText(s->name, sizeof s->name, "serial");
  s->type = PLOT_SERIAL_LINE;
  gtk_plot_line_style_set_default(&s->lineStyle);
  gtk_plot_symbol_style_set_default(&s->symbolStyle);
  gtk_plot_bar_style_set_default(&s->barStyle);
  s->count = 0;
  // Ownership passes to the caller, and on to a plot through
  // gtk_plot_add_serial.
  return s.release();
}

void gtk_plot_serial_clear(GtkPlotSerial *serial) {
  if (!serial) return;
  std::vector<GtkPlotPoint>().swap(serial->points);
  serial->count = 0;
}

void gtk_plot_serial_free(GtkPlotSerial *serial) { std::unique_ptr<GtkPlotSerial> owned(serial); }

void gtk_plot_add_serial(GtkPlot *plot, GtkPlotSerial *serial) {
  g_return_if_fail(GTK_IS_PLOT(plot));
  if (!serial) return;
  for (const auto &s : plot->serials)
    if (s.get() == serial) return;  // owning it twice would free it twice
  try {
    plot->serials.emplace_back(serial);
  } catch (const std::bad_alloc &) {
    gtk_plot_serial_free(serial);
    Fatal("[fatal error]: ploting error, not enough memory!\n");
  }
  GtkPlotRect rect = gtk_plot_auto_zoom(plot);
  gtk_plot_set_scale(plot, &rect);
  gtk_widget_queue_draw(GTK_WIDGET(plot));
}

void gtk_plot_clear_serials(GtkPlot *plot) {
  g_return_if_fail(GTK_IS_PLOT(plot));
  plot->serials.clear();
}

void gtk_plot_calc_scale(GtkPlotScale *scale) {
  double min = scale->min, max = scale->max;
  if (!std::isfinite(min) || !std::isfinite(max)) {
    min = 0.0;
    max = 100.0;
  }
  if (min > max) std::swap(min, max);
  if (max - min <= 0.0 || !std::isfinite(max - min)) {
    // A single value (one point, a flat series) has no span to take the
    // logarithm of: open a window round it.
    double half = min != 0.0 ? std::fabs(min) * 0.1 : 1.0;
    min -= half;
    max += half;
  }
  scale->min = min;
  scale->max = max;
  const double span = max - min;
  const int e = static_cast<int>(std::floor(std::log10(span)));
  const double r = span / std::pow(10.0, e);
  const double factor = r < 2.0 ? 2.0 : (r < 5.0 ? 5.0 : 10.0);
  scale->exponent = e - 1;
  scale->major = factor * std::pow(10.0, e - 1);
  scale->minor = scale->major / 2.0;
  scale->tickStart = std::floor(min / scale->major) * scale->major;
  scale->tickEnd = std::ceil(max / scale->major) * scale->major;
  if (std::fabs(scale->tickStart - min) < 1e-06) scale->tickStart -= scale->major;
  if (std::fabs(scale->tickEnd - max) < 1e-06) scale->tickEnd += scale->major;
}

void gtk_plot_auto_tick_label_format(GtkPlotAxile *axile) {
  const int e = axile->scale.exponent;
  int format;
  if (e >= 0)
    format = 1;
  else if (e <= -6)
    format = 7;
  else
    format = 1 - e;  // -1 -> 2 ("%.1f") ... -5 -> 6 ("%.5f")
  axile->tickLabel.format = format;
}

namespace {

// Ticks k * step for whole k within [from, to]. Counting whole steps keeps
// rounding from piling up, and a step too small for the numbers involved
// cannot loop for ever.
std::vector<double> TicksFrom(double first, double step, double end) {
  std::vector<double> ticks;
  if (!(step > 0.0) || !std::isfinite(first) || !std::isfinite(end)) return ticks;
  const double slack = step * 1e-9;
  for (long k = 0; k < kMaxTicks; ++k) {
    double v = first + k * step;
    if (v > end + slack) break;
    if (std::fabs(v) < slack) v = 0.0;  // no "-0" labels
    ticks.push_back(v);
  }
  return ticks;
}

double FirstMajor(const GtkPlotScale *s) {
  return std::ceil(s->tickStart / s->major - 1e-9) * s->major;
}

}  // namespace

std::vector<double> gtk_plot_major_ticks(const GtkPlotScale *s) {
  if (!(s->major > 0.0)) return {};
  return TicksFrom(FirstMajor(s), s->major, s->tickEnd);
}

std::vector<double> gtk_plot_minor_ticks(const GtkPlotScale *s) {
  if (!(s->major > 0.0)) return {};
  const double first = FirstMajor(s);
  const double start =
      first - s->minor > s->tickStart + s->major * 1e-9 ? first - s->minor : first + s->minor;
  return TicksFrom(start, s->major, s->tickEnd);
}

std::string gtk_plot_format_tick_label(const GtkPlotTickLabel *label, double value) {
  char text[kPlotTextSize] = " ";
  value += 0.0;  // -0.0 prints as "-0"
  switch (label->format) {
    case 0: {
      double r = std::round(value);
      long v = r >= 2147483647.0 ? 2147483647L : (r <= -2147483648.0 ? -2147483648L
                                                                      : static_cast<long>(r));
      std::snprintf(text, sizeof text, "%ld", v);
      break;
    }
    case 1: std::snprintf(text, sizeof text, "%.0f", value); break;
    case 2: std::snprintf(text, sizeof text, "%.1f", value); break;
    case 3: std::snprintf(text, sizeof text, "%.2f", value); break;
    case 4: std::snprintf(text, sizeof text, "%.3f", value); break;
    case 5: std::snprintf(text, sizeof text, "%.4f", value); break;
    case 6: std::snprintf(text, sizeof text, "%.5f", value); break;
    case 7: std::snprintf(text, sizeof text, "%.6f", value); break;
    case 8: std::snprintf(text, sizeof text, "%f", value); break;
    case 9: std::snprintf(text, sizeof text, "%.1E", value); break;
    case 10:
      if (label->formatter) {
        label->formatter(text, sizeof text, &value);
        text[sizeof text - 1] = '\0';
      }
      break;
    default: break;
  }
  return text;
}

GtkPlotRect gtk_plot_auto_zoom(GtkPlot *plot) {
  GtkPlotRect r = {0.0, 100.0, 0.0, 100.0};
  if (plot->serials.empty()) return r;
  const GtkPlotSerial *first = plot->serials.front().get();
  bool seeded = false;
  for (size_t i = 0; i < UsedPoints(first) && !seeded; ++i) {
    const GtkPlotPoint &p = first->points[i];
    if (std::isfinite(p.x) && std::isfinite(p.y)) {
      r = {p.x, p.x, p.y, p.y};
      seeded = true;
    }
  }
  if (!seeded) return r;
  for (const auto &s : plot->serials) {
    if (!s->visible) continue;
    for (size_t i = 0; i < UsedPoints(s.get()); ++i) {
      const GtkPlotPoint &p = s->points[i];
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
      r.xmin = std::min(r.xmin, p.x);
      r.xmax = std::max(r.xmax, p.x);
      r.ymin = std::min(r.ymin, p.y);
      r.ymax = std::max(r.ymax, p.y);
    }
  }
  return r;
}

void gtk_plot_set_scale(GtkPlot *plot, const GtkPlotRect *rect) {
  GtkPlotScale x = {}, y = {};
  x.min = rect->xmin;
  x.max = rect->xmax;
  y.min = rect->ymin;
  y.max = rect->ymax;
  gtk_plot_calc_scale(&x);
  gtk_plot_calc_scale(&y);
  gtk_plot_update_axile(plot, &x, PLOT_AXILE_TOP);
  gtk_plot_update_axile(plot, &x, PLOT_AXILE_BOTTOM);
  gtk_plot_update_axile(plot, &y, PLOT_AXILE_LEFT);
  gtk_plot_update_axile(plot, &y, PLOT_AXILE_RIGHT);
}

GtkPlotAxile *gtk_plot_get_axile(GtkPlot *plot, int index) {
  switch (index) {
    case PLOT_AXILE_TOP: return &plot->topAxile;
    case PLOT_AXILE_LEFT: return &plot->leftAxile;
    case PLOT_AXILE_BOTTOM: return &plot->bottomAxile;
    case PLOT_AXILE_RIGHT: return &plot->rightAxile;
    default: return nullptr;
  }
}

void gtk_plot_update_axile(GtkPlot *plot, const GtkPlotScale *scale, int index) {
  GtkPlotAxile *a = gtk_plot_get_axile(plot, index);
  if (!a) return;
  if (scale) a->scale = *scale;
  const GtkPlotFrame &f = plot->frame;
  const double extent = std::round(IsHorizontal(index) ? f.right - f.left : f.bottom - f.top);
  const double range = a->scale.tickEnd - a->scale.tickStart;
  a->scale.pixelsPerUnit = range > 0.0 ? extent / range : 0.0;
  gtk_plot_auto_tick_label_format(a);
}

void gtk_plot_update_frame_rect(GtkPlot *plot) {
  CairoPtr cr = MeasureContext(plot);
  UpdateFrame(plot, cr.get());
}

int gtk_plot_get_axile_size(GtkPlot *plot, int index) {
  CairoPtr cr = MeasureContext(plot);
  return AxileSize(plot, cr.get(), index);
}

void gtk_plot_update(GtkPlot *plot) {
  g_return_if_fail(GTK_IS_PLOT(plot));
  GtkPlotRect rect = gtk_plot_auto_zoom(plot);
  gtk_plot_set_scale(plot, &rect);
  gtk_widget_queue_draw(GTK_WIDGET(plot));
}

GtkPlotRect *gtk_plot_zoom(GtkPlot *plot, const GtkPlotRect *rect) {
  if (!rect) return nullptr;
  GtkPlotRect *previous = g_try_new(GtkPlotRect, 1);
  if (!previous) Fatal("[fatal error]: plot zooming error, not enough memory!\n");
  *previous = {plot->bottomAxile.scale.min, plot->bottomAxile.scale.max,
               plot->leftAxile.scale.min, plot->leftAxile.scale.max};
  gtk_plot_set_scale(plot, rect);
  gtk_widget_queue_draw(GTK_WIDGET(plot));
  return previous;
}

void gtk_plot_zoom_in(GtkPlot *plot, const GtkPlotRect *rect) {
  GtkPlotRect *previous = gtk_plot_zoom(plot, rect);
  if (!previous) return;
  ZoomStackPush(&plot->zoomStack, *previous);
  g_free(previous);
}

void gtk_plot_zoom_out(GtkPlot *plot) {
  GtkPlotRect rect;
  if (!ZoomStackPop(&plot->zoomStack, &rect)) return;
  g_free(gtk_plot_zoom(plot, &rect));
}

void gtk_plot_zoom_reset(GtkPlot *plot) {
  if (plot->zoomStack.top <= 0) return;
  GtkPlotRect first = plot->zoomStack.storage.front();
  plot->zoomStack.top = 0;
  g_free(gtk_plot_zoom(plot, &first));
}

void gtk_plot_set_zoom_stack_size(GtkPlot *plot, gint32 capacity) {
  g_return_if_fail(GTK_IS_PLOT(plot));
  GtkPlotZoomStack &stack = plot->zoomStack;
  capacity = std::max(capacity, 0);
  try {
    stack.storage.resize(static_cast<size_t>(capacity));
  } catch (const std::bad_alloc &) {
    Fatal("[fatal error]: gtk_plot is setting zoom stack size, not enough memory!\n ");
  }
  stack.capacity = capacity;
  stack.top = std::min(stack.top, capacity);
}

void gtk_plot_screen_to_plot(GtkPlot *plot, gdouble sx, gdouble sy, gdouble *x, gdouble *y) {
  const GtkPlotScale &bx = plot->bottomAxile.scale, &ly = plot->leftAxile.scale;
  // Before the first layout there are no pixels to convert.
  *x = bx.pixelsPerUnit > 0 ? (sx - plot->frame.left) / bx.pixelsPerUnit + bx.tickStart
                            : bx.tickStart;
  *y = ly.pixelsPerUnit > 0 ? ly.tickStart - (sy - plot->frame.bottom) / ly.pixelsPerUnit
                            : ly.tickStart;
}

void gtk_plot_plot_to_screen(GtkPlot *plot, gdouble x, gdouble y, gdouble *sx, gdouble *sy) {
  const GtkPlotScale &bx = plot->bottomAxile.scale, &ly = plot->leftAxile.scale;
  // Written so that NaN, which compares false, is outside too.
  if (!(x > bx.tickStart && x < bx.tickEnd && y > ly.tickStart && y < ly.tickEnd)) {
    *sx = *sy = -1;
    return;
  }
  *sx = (x - bx.tickStart) * bx.pixelsPerUnit + plot->frame.left;
  *sy = plot->frame.bottom - (y - ly.tickStart) * ly.pixelsPerUnit;
}

void gtk_plot_bar_extent(const GtkPlotBarStyle *style, gdouble sx, gdouble *x0, gdouble *x1) {
  const double w = style->width > 0 ? style->width : 0.0;
  switch (style->placement) {
    case 1: *x0 = sx - w; *x1 = sx; break;
    case 3: *x0 = sx; *x1 = sx + w; break;
    default: *x0 = sx - w / 2.0; *x1 = sx + w / 2.0; break;
  }
}

cairo_pattern_t *gtk_plot_create_symbol(cairo_t *, const GtkPlotSymbolStyle *style) {
  const double size = std::clamp(style->size, 0.0, kMaxSymbolSize);
  const int pixels = std::max(1, static_cast<int>(std::ceil(size)));
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixels, pixels);
  CairoPtr cr(cairo_create(surface));
  const double w = style->lineWidth, h = size / 2.0;
  // Lines through the middle sit on a pixel centre, so a thin one stays sharp.
  const double m = Crisp(h, w > 0 ? w : 1.0);
  SetColor(cr.get(), style->color);
  cairo_set_line_width(cr.get(), w > 0 ? w : 1.0);
  cairo_t *c = cr.get();
  auto finish = [&]() {
    if (style->fill)
      cairo_fill(c);
    else
      cairo_stroke(c);
  };
  auto triangle = [&](double x0, double y0, double x1, double y1, double x2, double y2) {
    cairo_move_to(c, x0, y0);
    cairo_line_to(c, x1, y1);
    cairo_line_to(c, x2, y2);
    cairo_close_path(c);
    finish();
  };
  auto segment = [&](double x0, double y0, double x1, double y1) {
    cairo_move_to(c, x0, y0);
    cairo_line_to(c, x1, y1);
  };
  switch (style->shape) {
    case 0:
      if (style->fill)
        cairo_rectangle(c, 0, 0, size, size);
      else  // inset by half the line so that the whole outline shows
        cairo_rectangle(c, w / 2, w / 2, size - w, size - w);
      finish();
      break;
    case 1:
      if (h - w > 0) {
        cairo_arc(c, h, h, h - w, 0, 2 * G_PI);
        finish();
      }
      break;
    case 2:
      segment(m, 0, m, size);
      segment(0, m, size, m);
      cairo_stroke(c);
      break;
    case 3: triangle(h, 0, 0, size - w, size, size - w); break;
    case 4: triangle(0, w, size, w, h, size); break;
    case 5: triangle(0, h, size - w, 0, size - w, size); break;
    case 6: triangle(w, 0, w, size, size, h); break;
    case 8: segment(0, m, size, m); cairo_stroke(c); break;
    case 9: segment(m, 0, m, size); cairo_stroke(c); break;
    case 10:
      segment(m, 0, m, size);
      segment(0, m, size, m);
      segment(0, 0, size, size);
      segment(size, 0, 0, size);
      cairo_stroke(c);
      break;
    case 11:
      segment(0, 0, size, size);
      segment(size, 0, 0, size);
      cairo_stroke(c);
      break;
    case 12: {
      const char text[2] = {style->character, '\0'};
      LayoutPtr layout = MakeLayout(c, style->font, text);
      TextSize t = LayoutSize(layout.get());
      cairo_move_to(c, h - t.width / 2.0, h - t.height / 2.0);
      pango_cairo_show_layout(c, layout.get());
      break;
    }
    default: break;  // 7 and unknown shapes: nothing
  }
  cr.reset();
  cairo_pattern_t *pattern = cairo_pattern_create_for_surface(surface);
  cairo_surface_destroy(surface);
  return pattern;
}
