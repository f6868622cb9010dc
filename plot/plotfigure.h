// SPDX-License-Identifier: BSD-3-Clause
// The plot's records and its drawing, with cairo and pango only: no window,
// no toolkit and no display. GtkPlot draws its pixmap with this code, and
// the batch programs draw their pictures with it.
#ifndef PULVINA_PLOTFIGURE_H
#define PULVINA_PLOTFIGURE_H

#include <cairo.h>
#include <glib.h>

#include <memory>
#include <string>
#include <vector>

constexpr size_t kPlotTextSize = 128;  // every font, title and name field

// Values of GtkPlotSerial::type; 3 and 5 draw nothing.
enum {
  PLOT_SERIAL_LINE = 0,
  PLOT_SERIAL_SYMBOL = 1,
  PLOT_SERIAL_LINE_SYMBOL = 2,
  PLOT_SERIAL_BAR = 4,
  PLOT_SERIAL_STEP = 6,
  PLOT_SERIAL_STEP_SYMBOL = 7
};

// Axis indices of the scale operations.
enum { PLOT_AXILE_TOP = 0, PLOT_AXILE_LEFT = 1, PLOT_AXILE_BOTTOM = 2, PLOT_AXILE_RIGHT = 3 };

// Legend placements.
enum { PLOT_LEGEND_TOP = 0, PLOT_LEGEND_LEFT = 1, PLOT_LEGEND_BOTTOM = 2, PLOT_LEGEND_RIGHT = 3 };

// Tick-label formats beyond the printf ones: the formatter, and scientific
// notation with GtkPlotTickLabel::precision digits after the point.
enum { PLOT_TICK_FORMAT_FORMATTER = 10, PLOT_TICK_FORMAT_SCIENTIFIC = 11 };

// Colours are 0xRRGGBB; lengths on screen are pixels.
struct GtkPlotLineStyle {
  gdouble width;
  guint32 color;
  gint32 dash;  // 0 solid, 1 {4, 1}, 2 {1, 1}, 3 {4, 1, 1, 1}, 4 {4, 1, 1, 1, 1, 1}
  gint32 cap;   // cairo_line_cap_t
  gint32 join;  // cairo_line_join_t
};

struct GtkPlotSymbolStyle {
  gdouble size;  // the symbol fills a size x size square
  gdouble lineWidth;
  guint32 color;
  gint32 shape;  // 0 square ... 12 the character
  gint32 fill;   // 0 outline, 1 filled
  gchar character;
  gchar font[kPlotTextSize];
};

struct GtkPlotBarStyle {
  gint32 placement;  // 1 left of x, 3 right of x, otherwise centred on x
  gdouble width;
  guint32 color;
};

struct GtkPlotPoint {
  gdouble x;
  gdouble y;
  std::string text;  // carried with the point, never drawn
};

struct GtkPlotSerial {
  gint32 visible;  // 0: left out of drawing, legend and automatic scaling
  gchar name[kPlotTextSize];
  gint32 type;
  GtkPlotLineStyle lineStyle;
  GtkPlotSymbolStyle symbolStyle;
  GtkPlotBarStyle barStyle;
  // Points in use. The owner may keep a larger buffer in points and fill it
  // step by step; only the first min(count, points.size()) are read.
  guint32 count;
  std::vector<GtkPlotPoint> points;
};

struct GtkPlotScale {
  gdouble min, max;              // the range asked for
  gdouble tickStart, tickEnd;    // the range shown
  gdouble major, minor;          // tick steps
  gint32 exponent;               // decimal exponent of the step
  gdouble pixelsPerUnit;
};

// Writes the label of *value into text, which holds size characters.
typedef void (*GtkPlotTickFormatter)(gchar *text, gsize size, const gdouble *value);

struct GtkPlotTickLabel {
  gchar font[kPlotTextSize];
  guint32 color;
  gint32 format;  // 0 "%d" ... 9 "%.1E", 10 the formatter, 11 scientific
  GtkPlotTickFormatter formatter;
  gint32 xOffset, yOffset;
  gint32 majorVisible, minorVisible;
  gint32 precision;  // digits after the point of format 11
};

struct GtkPlotAxile {
  gint32 visible;
  gint32 offset;  // distance of the axis line from the frame edge
  gchar title[kPlotTextSize];
  gchar titleFont[kPlotTextSize];
  guint32 titleColor;
  gint32 titleXOffset, titleYOffset;
  gint32 titleVisible;
  GtkPlotLineStyle lineStyle;
  GtkPlotScale scale;
  gint32 tickDirection;  // 1 out of the frame, 0 into it
  gint32 tickLength;     // minor ticks are 3 shorter
  gint32 majorTicksVisible, minorTicksVisible;
  GtkPlotTickLabel tickLabel;
};

struct GtkPlotGridLine {
  GtkPlotLineStyle majorStyle, minorStyle;
  gint32 majorVisible, minorVisible;
};

struct GtkPlotLegend {
  gint32 placement;  // PLOT_LEGEND_*
  gint32 visible;
  gint32 reserveRoom;  // 1: the frame shrinks to leave room for the legend
  gint32 borderVisible;
  GtkPlotLineStyle borderStyle;
  gchar font[kPlotTextSize];
  guint32 textColor;
  guint32 background;
  guint32 shadowColor;
  gint32 frameWidth;  // shadow offset right and down; 0 = no shadow
  gint32 sampleUnit;  // the sample before each name is 3 x sampleUnit wide
  gint32 xOffset, yOffset;  // applied to left and right placements only
};

struct GtkPlotRect {
  gdouble xmin, xmax, ymin, ymax;
};

// Pixel edges of the data frame of the last layout.
struct GtkPlotFrame {
  gdouble top, left, right, bottom;
};

// A tick label as it is drawn: its value, text and box on the surface.
struct GtkPlotLabelBox {
  double value;
  std::string text;
  double x, y, width, height;
};

// Everything a plot shows. Its defaults are those of a new plot widget.
struct GtkPlotFigure {
  GtkPlotFigure();

  gdouble topMargin, leftMargin, rightMargin, bottomMargin;  // fractions of the size
  GtkPlotAxile leftAxile, topAxile, rightAxile, bottomAxile;
  GtkPlotGridLine vGridLine;  // vertical lines at the bottom axis's ticks
  GtkPlotGridLine hGridLine;  // horizontal lines at the left axis's ticks
  GtkPlotLegend legend;
  std::vector<std::unique_ptr<GtkPlotSerial>> serials;  // owned, in insertion order
  guint32 background;
  // A heading centred above everything else; empty: none, and no room.
  gchar title[kPlotTextSize];
  gchar titleFont[kPlotTextSize];
  guint32 titleColor;

  // Layout of the last drawing.
  GtkPlotFrame frame;
  cairo_rectangle_int_t legendBox;  // without the shadow; zero size when none was drawn
};

// Styles and series.
void gtk_plot_line_style_set_default(GtkPlotLineStyle *style);
void gtk_plot_symbol_style_set_default(GtkPlotSymbolStyle *style);
void gtk_plot_bar_style_set_default(GtkPlotBarStyle *style);
void gtk_plot_init_axile(GtkPlotAxile *axile);
// nullptr when memory runs out.
GtkPlotSerial *gtk_plot_serial_new(void);
void gtk_plot_serial_clear(GtkPlotSerial *serial);
// For a series that was never added to a plot; the plot frees its own.
void gtk_plot_serial_free(GtkPlotSerial *serial);
// The figure takes the series over and rescales to the data; false (and
// the series freed) when memory ran out. Adding a series twice does nothing.
bool gtk_plot_figure_add_serial(GtkPlotFigure *figure, GtkPlotSerial *serial);

// Scales.
void gtk_plot_calc_scale(GtkPlotScale *scale);
void gtk_plot_auto_tick_label_format(GtkPlotAxile *axile);
// The tick values from tickStart to tickEnd, in increasing order.
std::vector<double> gtk_plot_major_ticks(const GtkPlotScale *scale);
std::vector<double> gtk_plot_minor_ticks(const GtkPlotScale *scale);
// Formats value as the axis's tick labels show it.
std::string gtk_plot_format_tick_label(const GtkPlotTickLabel *label, double value);
GtkPlotRect gtk_plot_auto_zoom(const GtkPlotFigure *figure);
void gtk_plot_set_scale(GtkPlotFigure *figure, const GtkPlotRect *rect);
GtkPlotAxile *gtk_plot_get_axile(GtkPlotFigure *figure, int index);
void gtk_plot_update_axile(GtkPlotFigure *figure, const GtkPlotScale *scale, int index);

// Layout and drawing on a surface of width x height pixels. cr is used to
// measure text, so it should be a context of the surface drawn on.
void gtk_plot_figure_layout(GtkPlotFigure *figure, cairo_t *cr, double width, double height);
int gtk_plot_figure_axile_size(GtkPlotFigure *figure, cairo_t *cr, int index);
// Lays out and draws the whole plot. Throws std::bad_alloc when memory runs
// out.
void gtk_plot_figure_draw(GtkPlotFigure *figure, cairo_t *cr, double width, double height);
// The tick labels of an axis as the last layout places them: labels that
// would collide with their neighbours are left out, every n-th being kept.
std::vector<GtkPlotLabelBox> gtk_plot_figure_tick_labels(GtkPlotFigure *figure, cairo_t *cr,
                                                         int index);
// Writes the figure as a PNG, SVG or PDF file chosen by the extension of
// path, width x height pixels (1 to 16384). The file appears whole or not at
// all; on failure error says why.
bool gtk_plot_figure_export(GtkPlotFigure *figure, const char *path, int width, int height,
                            std::string *error);

// Several figures in one picture, one above the other, each height pixels
// tall and the whole picture width pixels wide; the frames are lined up
// so that their x axes match.
struct GtkPlotPanel {
  GtkPlotFigure *figure;
  int height;
};
bool gtk_plot_panels_export(const std::vector<GtkPlotPanel> &panels, const char *path, int width,
                            std::string *error);

// Coordinates, in the frame of the last layout.
void gtk_plot_screen_to_plot(const GtkPlotFigure *figure, gdouble sx, gdouble sy, gdouble *x,
                             gdouble *y);
// (-1, -1) for a point on or outside the shown range.
void gtk_plot_plot_to_screen(const GtkPlotFigure *figure, gdouble x, gdouble y, gdouble *sx,
                             gdouble *sy);
// Left and right pixel edges of a bar standing at sx.
void gtk_plot_bar_extent(const GtkPlotBarStyle *style, gdouble sx, gdouble *x0, gdouble *x1);

// A pattern holding the symbol image in a size x size square (caller
// destroys it).
cairo_pattern_t *gtk_plot_create_symbol(cairo_t *cr, const GtkPlotSymbolStyle *style);

#endif
