// SPDX-License-Identifier: BSD-3-Clause
// The plot's scales, layout and drawing on any cairo surface.
#include "plotfigure.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "utils.h"

namespace {

// Bounds a tick loop: a nice scale never has more than about a dozen steps,
// but a caller may write any step into an axis.
constexpr long kMaxTicks = 10000;
// Symbols are rendered into an image; a runaway size must not ask for
// gigabytes.
constexpr double kMaxSymbolSize = 1024.0;
// Room between the legend box (with its shadow) and the axes' labels and
// titles, which otherwise touch it.
constexpr int kLegendGap = 6;
// Least room between neighbouring tick labels, across and along the axis.
constexpr double kLabelGapAcross = 6.0, kLabelGapAlong = 2.0;
constexpr int kTitleGap = 4;
constexpr int kMaxExportSize = 16384;

// ---------------------------------------------------------------- cairo/pango

struct CairoDeleter {
  void operator()(cairo_t *cr) const { cairo_destroy(cr); }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;

struct SurfaceDeleter {
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using LayoutPtr = std::unique_ptr<PangoLayout, GObjectDeleter>;

double Red(guint32 c) { return ((c >> 16) & 0xFF) / 255.0; }
double Green(guint32 c) { return ((c >> 8) & 0xFF) / 255.0; }
double Blue(guint32 c) { return (c & 0xFF) / 255.0; }

void SetColor(cairo_t *cr, guint32 c) { cairo_set_source_rgb(cr, Red(c), Green(c), Blue(c)); }

double LineWidth(const GtkPlotLineStyle &s) { return s.width > 0 ? s.width : 1.0; }

void ApplyLineStyle(cairo_t *cr, const GtkPlotLineStyle *s) {
  static const double dash1[] = {4, 1};
  static const double dash2[] = {1, 1};
  static const double dash3[] = {4, 1, 1, 1};
  static const double dash4[] = {4, 1, 1, 1, 1, 1};
  cairo_set_line_width(cr, LineWidth(*s));
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

double ScreenX(const GtkPlotFigure *f, double x) {
  const GtkPlotScale &s = f->bottomAxile.scale;
  return f->frame.left + (x - s.tickStart) * s.pixelsPerUnit;
}
double ScreenY(const GtkPlotFigure *f, double y) {
  const GtkPlotScale &s = f->leftAxile.scale;
  return f->frame.bottom - (y - s.tickStart) * s.pixelsPerUnit;
}

struct LegendMetrics {
  int nameWidth = 0;   // widest visible name
  int textHeight = 0;  // tallest visible name
  int items = 0;       // visible series
};

LegendMetrics MeasureLegend(const GtkPlotFigure *f, cairo_t *cr) {
  LegendMetrics m;
  for (const auto &s : f->serials) {
    if (!s->visible) continue;
    TextSize t = MeasureText(cr, f->legend.font, s->name);
    m.nameWidth = std::max(m.nameWidth, t.width);
    m.textHeight = std::max(m.textHeight, t.height);
    ++m.items;
  }
  if (m.items == 0) m.textHeight = MeasureText(cr, f->legend.font, "").height;
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

int TitleRoom(const GtkPlotFigure *f, cairo_t *cr) {
  if (!f->title[0]) return 0;
  return MeasureText(cr, f->titleFont, f->title).height + kTitleGap;
}

// Every tick label an axis could show: the major ones and, when asked for,
// the minor ones, with their texts measured but not yet placed.
struct LabelText {
  double value;
  std::string text;
  TextSize size;
  bool major;
};

std::vector<LabelText> AxisLabelTexts(cairo_t *cr, const GtkPlotAxile *a) {
  std::vector<LabelText> out;
  const GtkPlotTickLabel &tl = a->tickLabel;
  auto add = [&](const std::vector<double> &values, bool major) {
    for (double v : values) {
      std::string text = gtk_plot_format_tick_label(&tl, v);
      TextSize size = MeasureText(cr, tl.font, text.c_str());
      out.push_back({v, std::move(text), size, major});
    }
  };
  if (tl.majorVisible) add(gtk_plot_major_ticks(&a->scale), true);
  if (tl.minorVisible) add(gtk_plot_minor_ticks(&a->scale), false);
  return out;
}

// Room the tick labels take across the axis: the height of a label for the
// top and bottom axes, the width of the widest one for the left and right
// axes, so that none of them runs into the title.
int LabelExtent(cairo_t *cr, const GtkPlotAxile *a, int index) {
  const GtkPlotTickLabel &tl = a->tickLabel;
  if (!tl.majorVisible && !tl.minorVisible) return 0;
  if (IsHorizontal(index)) {
    std::string endLabel = gtk_plot_format_tick_label(&tl, a->scale.tickEnd);
    return MeasureText(cr, tl.font, (endLabel + "--").c_str()).height;
  }
  int widest = 0;
  for (const LabelText &l : AxisLabelTexts(cr, a)) widest = std::max(widest, l.size.width);
  return widest;
}

int AxileSize(GtkPlotFigure *f, cairo_t *cr, int index) {
  GtkPlotAxile *a = gtk_plot_get_axile(f, index);
  if (!a || !a->visible) return 0;
  int size = a->tickLength + LabelExtent(cr, a, index);
  if (a->titleVisible) size += MeasureText(cr, a->titleFont, a->title).height;
  return size;
}

void UpdateAllAxiles(GtkPlotFigure *f) {
  for (int i = 0; i < 4; ++i) gtk_plot_update_axile(f, nullptr, i);
}

// Where an axis line runs, and which way (-1 or 1) is out of the frame.
void AxisLine(const GtkPlotFigure *f, const GtkPlotAxile *a, int index, double *line,
              double *out) {
  const GtkPlotFrame &fr = f->frame;
  switch (index) {
    case PLOT_AXILE_TOP: *line = fr.top - a->offset; *out = -1; break;
    case PLOT_AXILE_LEFT: *line = fr.left - a->offset; *out = -1; break;
    case PLOT_AXILE_BOTTOM: *line = fr.bottom + a->offset; *out = 1; break;
    default: *line = fr.right + a->offset; *out = 1; break;
  }
}

double AxisPosition(const GtkPlotFigure *f, const GtkPlotScale &s, int index, double v) {
  return IsHorizontal(index) ? f->frame.left + (v - s.tickStart) * s.pixelsPerUnit
                             : f->frame.bottom - (v - s.tickStart) * s.pixelsPerUnit;
}

// Labels in order along the axis collide when the gap between their boxes
// is smaller than the least room.
bool Collide(const std::vector<GtkPlotLabelBox> &boxes, bool horizontal) {
  for (size_t i = 1; i < boxes.size(); ++i) {
    const GtkPlotLabelBox &a = boxes[i - 1], &b = boxes[i];
    if (horizontal) {
      double lo = std::min(a.x, b.x), hi = std::max(a.x, b.x);
      double loWidth = a.x <= b.x ? a.width : b.width;
      if (lo + loWidth + kLabelGapAcross > hi) return true;
    } else {
      double lo = std::min(a.y, b.y), hi = std::max(a.y, b.y);
      double loHeight = a.y <= b.y ? a.height : b.height;
      if (lo + loHeight + kLabelGapAlong > hi) return true;
    }
  }
  return false;
}

std::vector<GtkPlotLabelBox> PlaceLabels(GtkPlotFigure *f, cairo_t *cr, int index) {
  std::vector<GtkPlotLabelBox> all;
  GtkPlotAxile *a = gtk_plot_get_axile(f, index);
  if (!a || !a->visible) return all;
  double line = 0, out = 0;
  AxisLine(f, a, index, &line, &out);
  const GtkPlotTickLabel &tl = a->tickLabel;
  // Labels stand beyond the room of the ticks, whichever way they point.
  const double labelBase = line + out * a->tickLength;
  const bool horizontal = IsHorizontal(index);
  std::vector<LabelText> texts = AxisLabelTexts(cr, a);
  std::vector<GtkPlotLabelBox> majors, minors;
  for (LabelText &l : texts) {
    const double p = AxisPosition(f, a->scale, index, l.value);
    const double w = l.size.width, h = l.size.height;
    double x = 0, y = 0;
    switch (index) {
      case PLOT_AXILE_TOP: x = p - w / 2.0; y = labelBase - h; break;
      case PLOT_AXILE_BOTTOM: x = p - w / 2.0; y = labelBase; break;
      case PLOT_AXILE_LEFT: x = labelBase - w; y = p - h / 2.0; break;
      default: x = labelBase; y = p - h / 2.0; break;
    }
    (l.major ? majors : minors)
        .push_back({l.value, std::move(l.text), x + tl.xOffset, y + tl.yOffset, w, h});
  }
  // Every n-th major label, n = 1, 2, 5, 10, 20, ..., counted from zero so
  // that the labels kept are round numbers too.
  const double major = a->scale.major;
  std::vector<GtkPlotLabelBox> kept;
  for (int i = 0; !majors.empty(); ++i) {
    static const double kSteps[3] = {1, 2, 5};
    const double n = kSteps[i % 3] * std::pow(10.0, i / 3);
    kept.clear();
    for (const GtkPlotLabelBox &b : majors) {
      const double k = major > 0 ? std::round(b.value / major) : 0;
      if (std::fmod(k, n) == 0) kept.push_back(b);
    }
    if (kept.empty()) kept.push_back(majors[majors.size() / 2]);
    if (kept.size() == 1 || !Collide(kept, horizontal)) break;
  }
  // Minor labels only when all of them fit between the major ones.
  if (!minors.empty()) {
    std::vector<GtkPlotLabelBox> merged = kept;
    merged.insert(merged.end(), minors.begin(), minors.end());
    std::sort(merged.begin(), merged.end(),
              [](const GtkPlotLabelBox &p, const GtkPlotLabelBox &q) { return p.value < q.value; });
    if (!Collide(merged, horizontal)) kept = std::move(merged);
  }
  return kept;
}

// ---------------------------------------------------------------- drawing

void DrawAxile(GtkPlotFigure *f, cairo_t *cr, int index) {
  GtkPlotAxile *a = gtk_plot_get_axile(f, index);
  if (!a->visible) return;
  const GtkPlotFrame &fr = f->frame;
  const GtkPlotScale &s = a->scale;
  const bool horizontal = IsHorizontal(index);
  double line = 0, out = 0;
  AxisLine(f, a, index, &line, &out);
  const double width = LineWidth(a->lineStyle);
  const double crispLine = Crisp(line, width);
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
    cairo_move_to(cr, fr.left, crispLine);
    cairo_line_to(cr, fr.right, crispLine);
  } else {
    cairo_move_to(cr, crispLine, fr.top);
    cairo_line_to(cr, crispLine, fr.bottom);
  }
  cairo_stroke(cr);

  const double dir = a->tickDirection == 1 ? out : -out;
  cairo_set_dash(cr, nullptr, 0, 0);
  if (a->majorTicksVisible) {
    for (double v : gtk_plot_major_ticks(&s))
      segment(Crisp(AxisPosition(f, s, index, v), width), line, line + dir * a->tickLength);
  }
  if (a->minorTicksVisible) {
    for (double v : gtk_plot_minor_ticks(&s))
      segment(Crisp(AxisPosition(f, s, index, v), width), line,
              line + dir * (a->tickLength - 3));
  }
  cairo_stroke(cr);

  const GtkPlotTickLabel &tl = a->tickLabel;
  for (const GtkPlotLabelBox &b : PlaceLabels(f, cr, index))
    DrawText(cr, tl.font, b.text.c_str(), tl.color, b.x, b.y);

  if (!a->titleVisible) return;
  TextSize t = MeasureText(cr, a->titleFont, a->title);
  const double titleBase = line + out * (a->tickLength + LabelExtent(cr, a, index));
  const double mid = horizontal ? (fr.left + fr.right) / 2.0 : (fr.top + fr.bottom) / 2.0;
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

// Draws a symbol's figure in the square from (0, 0) to (size, size).
void DrawSymbolShape(cairo_t *c, const GtkPlotSymbolStyle *style, double size,
                     PangoLayout *character) {
  const double w = style->lineWidth, h = size / 2.0;
  // Lines through the middle sit on a pixel centre, so a thin one stays sharp.
  const double m = Crisp(h, w > 0 ? w : 1.0);
  SetColor(c, style->color);
  cairo_set_line_width(c, w > 0 ? w : 1.0);
  cairo_set_dash(c, nullptr, 0, 0);
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
        cairo_new_sub_path(c);
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
    case 12:
      if (character) {
        TextSize t = LayoutSize(character);
        cairo_move_to(c, h - t.width / 2.0, h - t.height / 2.0);
        pango_cairo_update_layout(c, character);
        pango_cairo_show_layout(c, character);
      }
      break;
    default: break;  // 7 and unknown shapes: nothing
  }
}

// Paints one series' symbol at many points, drawn as figures so that vector
// surfaces keep them sharp.
class SymbolPainter {
 public:
  SymbolPainter(cairo_t *cr, const GtkPlotSymbolStyle *style)
      : style_(style), size_(std::clamp(style->size, 0.0, kMaxSymbolSize)) {
    if (style->shape == 12) {
      const char text[2] = {style->character, '\0'};
      character_ = MakeLayout(cr, style->font, text);
    }
  }
  void Paint(cairo_t *cr, double sx, double sy) const {
    cairo_save(cr);
    // Whole-pixel placement keeps a thin symbol sharp.
    cairo_translate(cr, std::round(sx - size_ / 2.0), std::round(sy - size_ / 2.0));
    DrawSymbolShape(cr, style_, size_, character_.get());
    cairo_restore(cr);
  }

 private:
  const GtkPlotSymbolStyle *style_;
  double size_;
  LayoutPtr character_;
};

struct Point2 {
  double x, y;
};

// Cuts the segment from a to b to the rectangle; false when nothing of it
// lies inside (Liang and Barsky's parametric clipping).
bool ClipSegment(Point2 *a, Point2 *b, double left, double top, double right, double bottom) {
  const double dx = b->x - a->x, dy = b->y - a->y;
  double t0 = 0, t1 = 1;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {a->x - left, right - a->x, a->y - top, bottom - a->y};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0)
      t0 = std::max(t0, t);
    else
      t1 = std::min(t1, t);
    if (t0 > t1) return false;
  }
  const Point2 from = *a;
  *a = {from.x + t0 * dx, from.y + t0 * dy};
  *b = {from.x + t1 * dx, from.y + t1 * dy};
  return true;
}

bool Finite(const GtkPlotPoint &p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// Lines and steps run through every finite point and are cut at the frame's
// edges, so that a zoomed view shows them up to the edge. A point that is
// not a number breaks the series into runs.
void DrawSerialLine(GtkPlotFigure *f, cairo_t *cr, const GtkPlotSerial *s) {
  const size_t n = UsedPoints(s);
  const bool steps = s->type == PLOT_SERIAL_STEP || s->type == PLOT_SERIAL_STEP_SYMBOL;
  // The cut is made a little outside the frame, whose clip then trims the
  // line's width and caps exactly at the edge.
  const double pad = 2 * LineWidth(s->lineStyle) + 2;
  const GtkPlotFrame &fr = f->frame;
  ApplyLineStyle(cr, &s->lineStyle);
  bool penDown = false;
  Point2 pen = {0, 0};
  auto segment = [&](Point2 a, Point2 b) {
    if (!ClipSegment(&a, &b, fr.left - pad, fr.top - pad, fr.right + pad, fr.bottom + pad)) {
      penDown = false;
      return;
    }
    if (!penDown || a.x != pen.x || a.y != pen.y) cairo_move_to(cr, a.x, a.y);
    cairo_line_to(cr, b.x, b.y);
    pen = b;
    penDown = true;
  };
  for (size_t i = 1; i < n; ++i) {
    const GtkPlotPoint &p = s->points[i - 1], &q = s->points[i];
    if (!Finite(p) || !Finite(q)) {
      penDown = false;
      continue;
    }
    const Point2 a = {ScreenX(f, p.x), ScreenY(f, p.y)}, b = {ScreenX(f, q.x), ScreenY(f, q.y)};
    if (steps) {
      segment(a, {a.x, b.y});
      segment({a.x, b.y}, b);
    } else {
      segment(a, b);
    }
  }
  cairo_stroke(cr);
}

// Bars stand on y = 0 when 0 is shown, else on the frame edge nearest to it,
// and are cut at the frame.
void DrawSerialBars(GtkPlotFigure *f, cairo_t *cr, const GtkPlotSerial *s) {
  const GtkPlotFrame &fr = f->frame;
  const GtkPlotScale &xs = f->bottomAxile.scale, &ys = f->leftAxile.scale;
  double base = fr.bottom;
  if (0.0 >= ys.tickEnd)
    base = fr.top;
  else if (0.0 > ys.tickStart)
    base = ScreenY(f, 0.0);
  SetColor(cr, s->barStyle.color);
  for (size_t i = 0; i < UsedPoints(s); ++i) {
    const GtkPlotPoint &p = s->points[i];
    if (!Finite(p) || !(p.x > xs.tickStart && p.x < xs.tickEnd)) continue;
    const double top = std::clamp(ScreenY(f, p.y), fr.top - 1, fr.bottom + 1);
    double x0, x1;
    gtk_plot_bar_extent(&s->barStyle, ScreenX(f, p.x), &x0, &x1);
    cairo_rectangle(cr, x0, std::min(top, base), x1 - x0, std::fabs(base - top));
  }
  cairo_fill(cr);
}

void DrawSerial(GtkPlotFigure *f, cairo_t *cr, const GtkPlotSerial *s) {
  if (UsedPoints(s) == 0) return;
  const GtkPlotFrame &fr = f->frame;
  cairo_save(cr);
  cairo_rectangle(cr, fr.left, fr.top, fr.right - fr.left, fr.bottom - fr.top);
  cairo_clip(cr);
  if (HasLine(s->type)) DrawSerialLine(f, cr, s);
  if (s->type == PLOT_SERIAL_BAR) DrawSerialBars(f, cr, s);
  cairo_restore(cr);
  if (HasSymbol(s->type)) {
    SymbolPainter painter(cr, &s->symbolStyle);
    for (size_t i = 0; i < UsedPoints(s); ++i) {
      double sx, sy;
      gtk_plot_plot_to_screen(f, s->points[i].x, s->points[i].y, &sx, &sy);
      if (!(sx == -1 && sy == -1)) painter.Paint(cr, sx, sy);
    }
  }
}

void DrawGrid(GtkPlotFigure *f, cairo_t *cr) {
  const GtkPlotFrame &fr = f->frame;
  auto lines = [&](const GtkPlotAxile &a, const std::vector<double> &values,
                   const GtkPlotLineStyle &style, bool vertical) {
    if (values.empty()) return;
    ApplyLineStyle(cr, &style);
    const double width = LineWidth(style);
    for (double v : values) {
      double p = vertical ? fr.left + (v - a.scale.tickStart) * a.scale.pixelsPerUnit
                          : fr.bottom - (v - a.scale.tickStart) * a.scale.pixelsPerUnit;
      p = Crisp(p, width);
      if (vertical) {
        cairo_move_to(cr, p, fr.top);
        cairo_line_to(cr, p, fr.bottom);
      } else {
        cairo_move_to(cr, fr.left, p);
        cairo_line_to(cr, fr.right, p);
      }
    }
    cairo_stroke(cr);
  };
  const GtkPlotAxile &bottom = f->bottomAxile, &left = f->leftAxile;
  if (f->hGridLine.minorVisible)
    lines(left, gtk_plot_minor_ticks(&left.scale), f->hGridLine.minorStyle, false);
  if (f->hGridLine.majorVisible)
    lines(left, gtk_plot_major_ticks(&left.scale), f->hGridLine.majorStyle, false);
  if (f->vGridLine.minorVisible)
    lines(bottom, gtk_plot_minor_ticks(&bottom.scale), f->vGridLine.minorStyle, true);
  if (f->vGridLine.majorVisible)
    lines(bottom, gtk_plot_major_ticks(&bottom.scale), f->vGridLine.majorStyle, true);
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
  if (HasSymbol(s->type)) SymbolPainter(cr, &s->symbolStyle).Paint(cr, x + 1.5 * unit, cy);
}

void DrawLegend(GtkPlotFigure *f, cairo_t *cr, double W, double H) {
  f->legendBox = {0, 0, 0, 0};
  const GtkPlotLegend &legend = f->legend;
  if (!legend.visible) return;
  LegendMetrics m = MeasureLegend(f, cr);
  if (m.items == 0) return;
  const GtkPlotFrame &fr = f->frame;
  const int rowHeight = m.textHeight + 2;
  const int itemWidth = LegendItemWidth(legend, m);
  int columns = 1, rows = 0;
  double x = 0, y = 0;
  if (legend.placement == PLOT_LEGEND_LEFT || legend.placement == PLOT_LEGEND_RIGHT) {
    int fit = rowHeight > 0 ? static_cast<int>((fr.bottom - fr.top) / rowHeight) : 0;
    rows = std::min(m.items, std::max(fit, 0));
    if (rows == 0) return;
    double boxHeight = rows * rowHeight;
    y = (fr.top + fr.bottom) / 2.0 - boxHeight / 2.0 + legend.yOffset;
    x = legend.placement == PLOT_LEGEND_LEFT
            ? W * f->leftMargin
            : W * (1.0 - f->rightMargin) - legend.frameWidth - itemWidth;
    x += legend.xOffset;
  } else {
    columns = LegendColumns(legend, m, fr.right - fr.left);
    if (columns <= 0) return;
    columns = std::min(columns, m.items);
    rows = (m.items + columns - 1) / columns;
    double boxWidth = columns * itemWidth, boxHeight = rows * rowHeight;
    x = (fr.left + fr.right) / 2.0 - boxWidth / 2.0;
    y = legend.placement == PLOT_LEGEND_TOP
            ? H * f->topMargin + TitleRoom(f, cr)
            : H * (1.0 - f->bottomMargin) - legend.frameWidth - boxHeight;
  }
  x = std::round(x);
  y = std::round(y);
  const int boxWidth = columns * itemWidth, boxHeight = rows * rowHeight;
  f->legendBox = {static_cast<int>(x), static_cast<int>(y), boxWidth, boxHeight};

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
    double w = LineWidth(legend.borderStyle);
    cairo_rectangle(cr, x + w / 2, y + w / 2, boxWidth - w, boxHeight - w);
    cairo_stroke(cr);
  }

  int item = 0;
  for (const auto &s : f->serials) {
    if (!s->visible) continue;
    int row = item / columns, column = item % columns;
    if (row >= rows) break;
    double ix = x + column * itemWidth + 2, iy = y + row * rowHeight;
    DrawLegendSample(cr, s.get(), ix, iy, legend.sampleUnit, m.textHeight);
    DrawText(cr, legend.font, s->name, legend.textColor, ix + 3 * legend.sampleUnit, iy + 1);
    ++item;
  }
}

void DrawTitle(GtkPlotFigure *f, cairo_t *cr, double H) {
  if (!f->title[0]) return;
  TextSize t = MeasureText(cr, f->titleFont, f->title);
  const double mid = (f->frame.left + f->frame.right) / 2.0;
  DrawText(cr, f->titleFont, f->title, f->titleColor, std::round(mid - t.width / 2.0),
           std::round(H * f->topMargin));
}

cairo_status_t WriteToFile(void *closure, const unsigned char *data, unsigned int length) {
  return std::fwrite(data, 1, length, static_cast<std::FILE *>(closure)) == length
             ? CAIRO_STATUS_SUCCESS
             : CAIRO_STATUS_WRITE_ERROR;
}

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(g_ascii_tolower(c));
  return s;
}

// Ticks first + k * step for whole k up to end. Counting whole steps keeps
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

// ---------------------------------------------------------------- public

GtkPlotFigure::GtkPlotFigure()
    : topMargin(0.05),
      leftMargin(0.05),
      rightMargin(0.05),
      bottomMargin(0.05),
      background(0x8F8F8F),
      titleColor(0),
      frame{0, 0, 0, 0},
      legendBox{0, 0, 0, 0} {
  gtk_plot_init_axile(&leftAxile);
  gtk_plot_init_axile(&topAxile);
  gtk_plot_init_axile(&rightAxile);
  gtk_plot_init_axile(&bottomAxile);
  for (GtkPlotGridLine *g : {&vGridLine, &hGridLine}) {
    gtk_plot_line_style_set_default(&g->majorStyle);
    gtk_plot_line_style_set_default(&g->minorStyle);
    g->minorStyle.dash = 1;
    g->majorVisible = g->minorVisible = 0;
  }
  GtkPlotLegend &l = legend;
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
  title[0] = '\0';
  CopyText(titleFont, sizeof titleFont, "Sans Bold 12");
}

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
  t.precision = 1;
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

bool gtk_plot_figure_add_serial(GtkPlotFigure *figure, GtkPlotSerial *serial) {
  if (!serial) return true;
  for (const auto &s : figure->serials)
    if (s.get() == serial) return true;  // owning it twice would free it twice
  try {
    figure->serials.emplace_back(serial);
  } catch (const std::bad_alloc &) {
    gtk_plot_serial_free(serial);
    return false;
  }
  GtkPlotRect rect = gtk_plot_auto_zoom(figure);
  gtk_plot_set_scale(figure, &rect);
  return true;
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

// The decimals follow the step that is labelled, not the exponent alone: a
// step of 10^e (factor 10) needs one decimal fewer than 2 x 10^(e-1), and
// steps below 1e-6, which "%.6f" would print as rows of zeros, are written
// in scientific notation with as many digits as tell the ticks apart.
void gtk_plot_auto_tick_label_format(GtkPlotAxile *axile) {
  const GtkPlotScale &s = axile->scale;
  GtkPlotTickLabel &tl = axile->tickLabel;
  double step = s.major;
  if (tl.minorVisible && s.minor > 0 && s.minor < step) step = s.minor;
  const int e = step > 0 && std::isfinite(step)
                    ? static_cast<int>(std::floor(std::log10(step) + 1e-9))
                    : s.exponent;
  if (e >= 0) {
    tl.format = 1;
  } else if (e >= -6) {
    tl.format = 1 - e;  // -1 -> 2 ("%.1f") ... -6 -> 7 ("%.6f")
  } else {
    tl.format = PLOT_TICK_FORMAT_SCIENTIFIC;
    const double largest = std::max(std::fabs(s.tickStart), std::fabs(s.tickEnd));
    const int lead = largest > 0 && std::isfinite(largest)
                         ? static_cast<int>(std::floor(std::log10(largest)))
                         : e;
    tl.precision = std::clamp(lead - e, 1, 15);
  }
}

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
    case PLOT_TICK_FORMAT_FORMATTER:
      if (label->formatter) {
        label->formatter(text, sizeof text, &value);
        text[sizeof text - 1] = '\0';
      }
      break;
    case PLOT_TICK_FORMAT_SCIENTIFIC:
      std::snprintf(text, sizeof text, "%.*E", std::clamp<int>(label->precision, 0, 20), value);
      break;
    default: break;
  }
  return text;
}

GtkPlotRect gtk_plot_auto_zoom(const GtkPlotFigure *figure) {
  GtkPlotRect r = {0.0, 100.0, 0.0, 100.0};
  if (figure->serials.empty()) return r;
  const GtkPlotSerial *first = figure->serials.front().get();
  bool seeded = false;
  for (size_t i = 0; i < UsedPoints(first) && !seeded; ++i) {
    const GtkPlotPoint &p = first->points[i];
    if (Finite(p)) {
      r = {p.x, p.x, p.y, p.y};
      seeded = true;
    }
  }
  if (!seeded) return r;
  for (const auto &s : figure->serials) {
    if (!s->visible) continue;
    for (size_t i = 0; i < UsedPoints(s.get()); ++i) {
      const GtkPlotPoint &p = s->points[i];
      if (!Finite(p)) continue;
      r.xmin = std::min(r.xmin, p.x);
      r.xmax = std::max(r.xmax, p.x);
      r.ymin = std::min(r.ymin, p.y);
      r.ymax = std::max(r.ymax, p.y);
    }
  }
  return r;
}

void gtk_plot_set_scale(GtkPlotFigure *figure, const GtkPlotRect *rect) {
  GtkPlotScale x = {}, y = {};
  x.min = rect->xmin;
  x.max = rect->xmax;
  y.min = rect->ymin;
  y.max = rect->ymax;
  gtk_plot_calc_scale(&x);
  gtk_plot_calc_scale(&y);
  gtk_plot_update_axile(figure, &x, PLOT_AXILE_TOP);
  gtk_plot_update_axile(figure, &x, PLOT_AXILE_BOTTOM);
  gtk_plot_update_axile(figure, &y, PLOT_AXILE_LEFT);
  gtk_plot_update_axile(figure, &y, PLOT_AXILE_RIGHT);
}

GtkPlotAxile *gtk_plot_get_axile(GtkPlotFigure *figure, int index) {
  switch (index) {
    case PLOT_AXILE_TOP: return &figure->topAxile;
    case PLOT_AXILE_LEFT: return &figure->leftAxile;
    case PLOT_AXILE_BOTTOM: return &figure->bottomAxile;
    case PLOT_AXILE_RIGHT: return &figure->rightAxile;
    default: return nullptr;
  }
}

void gtk_plot_update_axile(GtkPlotFigure *figure, const GtkPlotScale *scale, int index) {
  GtkPlotAxile *a = gtk_plot_get_axile(figure, index);
  if (!a) return;
  if (scale) a->scale = *scale;
  const GtkPlotFrame &f = figure->frame;
  const double extent = std::round(IsHorizontal(index) ? f.right - f.left : f.bottom - f.top);
  const double range = a->scale.tickEnd - a->scale.tickStart;
  a->scale.pixelsPerUnit = range > 0.0 ? extent / range : 0.0;
  gtk_plot_auto_tick_label_format(a);
}

void gtk_plot_figure_layout(GtkPlotFigure *figure, cairo_t *cr, double W, double H) {
  GtkPlotFrame f;
  f.top = H * figure->topMargin + TitleRoom(figure, cr) +
          AxileSize(figure, cr, PLOT_AXILE_TOP);
  f.left = W * figure->leftMargin + AxileSize(figure, cr, PLOT_AXILE_LEFT);
  f.bottom = H * (1.0 - figure->bottomMargin) - AxileSize(figure, cr, PLOT_AXILE_BOTTOM);
  f.right = W * (1.0 - figure->rightMargin) - AxileSize(figure, cr, PLOT_AXILE_RIGHT);
  const GtkPlotLegend &legend = figure->legend;
  if (legend.visible && legend.reserveRoom) {
    LegendMetrics m = MeasureLegend(figure, cr);
    if (legend.placement == PLOT_LEGEND_LEFT || legend.placement == PLOT_LEGEND_RIGHT) {
      double room = LegendItemWidth(legend, m) + legend.frameWidth + kLegendGap;
      if (legend.placement == PLOT_LEGEND_LEFT)
        f.left += room;
      else
        f.right -= room;
    } else {
      int columns = LegendColumns(legend, m, f.right - f.left);
      int rows = columns > 0 ? (m.items + columns - 1) / columns : 0;
      // The shadow hangs below the box; the room holds it too.
      double room = rows > 0 ? rows * (m.textHeight + 2) + legend.frameWidth + kLegendGap : 0;
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
  figure->frame = f;
  UpdateAllAxiles(figure);
}

int gtk_plot_figure_axile_size(GtkPlotFigure *figure, cairo_t *cr, int index) {
  return AxileSize(figure, cr, index);
}

void gtk_plot_figure_draw(GtkPlotFigure *figure, cairo_t *cr, double width, double height) {
  gtk_plot_figure_layout(figure, cr, width, height);
  cairo_save(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  SetColor(cr, figure->background);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_fill(cr);
  // The grid lies behind everything: drawn later it would dot the axis
  // lines and cut the bars.
  DrawGrid(figure, cr);
  DrawAxile(figure, cr, PLOT_AXILE_TOP);
  DrawAxile(figure, cr, PLOT_AXILE_BOTTOM);
  DrawAxile(figure, cr, PLOT_AXILE_LEFT);
  DrawAxile(figure, cr, PLOT_AXILE_RIGHT);
  for (const auto &s : figure->serials)
    if (s->visible) DrawSerial(figure, cr, s.get());
  DrawLegend(figure, cr, width, height);
  DrawTitle(figure, cr, height);
  cairo_restore(cr);
}

std::vector<GtkPlotLabelBox> gtk_plot_figure_tick_labels(GtkPlotFigure *figure, cairo_t *cr,
                                                         int index) {
  return PlaceLabels(figure, cr, index);
}

bool gtk_plot_figure_export(GtkPlotFigure *figure, const char *path, int width, int height,
                            std::string *error) {
  return gtk_plot_panels_export({{figure, height}}, path, width, error);
}

bool gtk_plot_panels_export(const std::vector<GtkPlotPanel> &panels, const char *path, int width,
                            std::string *error) {
  auto fail = [&](const std::string &why) {
    if (error) *error = why;
    return false;
  };
  if (!path || !*path) return fail("no file name for the picture");
  const std::string name = path;
  long height = 0;
  for (const GtkPlotPanel &p : panels) {
    if (!p.figure || p.height < 1) return fail(name + ": a panel of the picture is empty");
    height += p.height;
  }
  if (panels.empty() || width < 1 || width > kMaxExportSize || height > kMaxExportSize)
    return fail(name + ": a picture of " + std::to_string(width) + " x " +
                std::to_string(height) + " pixels cannot be made (1 to " +
                std::to_string(kMaxExportSize) + " each way)");
  const size_t dot = name.find_last_of('.');
  const size_t slash = name.find_last_of('/');
  const std::string kind =
      dot == std::string::npos || (slash != std::string::npos && dot < slash)
          ? ""
          : Lower(name.substr(dot + 1));
  if (kind != "png" && kind != "svg" && kind != "pdf")
    return fail(name + ": unknown picture type '" + kind + "' (the name must end in .png, .svg "
                "or .pdf)");

  AtomicFile file(name, "wb");
  if (!file.get()) return fail(name + ": cannot create the file: " + std::strerror(errno));
  const int H = static_cast<int>(height);
  SurfacePtr surface;
  if (kind == "png")
    surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, H));
  else if (kind == "svg") {
    surface.reset(cairo_svg_surface_create_for_stream(WriteToFile, file.get(), width, H));
    // Pixels, as the picture was drawn, rather than points: a browser then
    // shows it at the size asked for.
    cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_PX);
  } else
    surface.reset(cairo_pdf_surface_create_for_stream(WriteToFile, file.get(), width, H));
  cairo_status_t status = cairo_surface_status(surface.get());
  if (status != CAIRO_STATUS_SUCCESS) return fail(name + ": " + cairo_status_to_string(status));

  // A picture of another size must not disturb the layout a figure was last
  // shown with (a widget converts the pointer through it), nor its margins.
  struct Saved {
    GtkPlotFrame frame;
    cairo_rectangle_int_t legendBox;
    double margins[2];
    double pixelsPerUnit[4];
  };
  std::vector<Saved> saved;
  for (const GtkPlotPanel &p : panels) {
    Saved s{p.figure->frame, p.figure->legendBox, {p.figure->leftMargin, p.figure->rightMargin},
            {}};
    for (int i = 0; i < 4; ++i) s.pixelsPerUnit[i] = gtk_plot_get_axile(p.figure, i)->scale.pixelsPerUnit;
    saved.push_back(s);
  }
  bool drawn = true;
  {
    CairoPtr cr(cairo_create(surface.get()));
    try {
      if (panels.size() > 1) {
        double left = 0, right = width;
        for (const GtkPlotPanel &p : panels) {
          gtk_plot_figure_layout(p.figure, cr.get(), width, p.height);
          left = std::max(left, p.figure->frame.left);
          right = std::min(right, p.figure->frame.right);
        }
        for (const GtkPlotPanel &p : panels) {
          p.figure->leftMargin += (left - p.figure->frame.left) / width;
          p.figure->rightMargin += (p.figure->frame.right - right) / width;
        }
      }
      double top = 0;
      for (const GtkPlotPanel &p : panels) {
        cairo_save(cr.get());
        cairo_translate(cr.get(), 0, top);
        cairo_rectangle(cr.get(), 0, 0, width, p.height);
        cairo_clip(cr.get());
        gtk_plot_figure_draw(p.figure, cr.get(), width, p.height);
        cairo_restore(cr.get());
        top += p.height;
      }
    } catch (const std::bad_alloc &) {
      drawn = false;
    }
    status = cairo_status(cr.get());
  }
  for (size_t k = 0; k < panels.size(); ++k) {
    GtkPlotFigure *f = panels[k].figure;
    f->frame = saved[k].frame;
    f->legendBox = saved[k].legendBox;
    f->leftMargin = saved[k].margins[0];
    f->rightMargin = saved[k].margins[1];
    for (int i = 0; i < 4; ++i)
      gtk_plot_get_axile(f, i)->scale.pixelsPerUnit = saved[k].pixelsPerUnit[i];
  }
  if (!drawn) return fail(name + ": not enough memory to draw the picture");
  if (status == CAIRO_STATUS_SUCCESS) {
    if (kind == "png") {
      status = cairo_surface_write_to_png_stream(surface.get(), WriteToFile, file.get());
    } else {
      cairo_surface_finish(surface.get());
      status = cairo_surface_status(surface.get());
    }
  }
  surface.reset();
  if (status != CAIRO_STATUS_SUCCESS) return fail(name + ": " + cairo_status_to_string(status));
  if (!file.commit()) return fail(name + ": cannot write the file: " + std::strerror(errno));
  return true;
}

void gtk_plot_screen_to_plot(const GtkPlotFigure *figure, gdouble sx, gdouble sy, gdouble *x,
                             gdouble *y) {
  const GtkPlotScale &bx = figure->bottomAxile.scale, &ly = figure->leftAxile.scale;
  // Before the first layout there are no pixels to convert.
  *x = bx.pixelsPerUnit > 0 ? (sx - figure->frame.left) / bx.pixelsPerUnit + bx.tickStart
                            : bx.tickStart;
  *y = ly.pixelsPerUnit > 0 ? ly.tickStart - (sy - figure->frame.bottom) / ly.pixelsPerUnit
                            : ly.tickStart;
}

void gtk_plot_plot_to_screen(const GtkPlotFigure *figure, gdouble x, gdouble y, gdouble *sx,
                             gdouble *sy) {
  const GtkPlotScale &bx = figure->bottomAxile.scale, &ly = figure->leftAxile.scale;
  // Written so that NaN, which compares false, is outside too.
  if (!(x > bx.tickStart && x < bx.tickEnd && y > ly.tickStart && y < ly.tickEnd)) {
    *sx = *sy = -1;
    return;
  }
  *sx = ScreenX(figure, x);
  *sy = ScreenY(figure, y);
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
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixels, pixels));
  {
    CairoPtr cr(cairo_create(surface.get()));
    LayoutPtr character;
    if (style->shape == 12) {
      const char text[2] = {style->character, '\0'};
      character = MakeLayout(cr.get(), style->font, text);
    }
    DrawSymbolShape(cr.get(), style, size, character.get());
  }
  return cairo_pattern_create_for_surface(surface.get());
}
