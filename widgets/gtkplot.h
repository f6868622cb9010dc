// GtkPlot: a drawing widget for two-dimensional data series with four axes,
// round-numbered scales, grid, hair lines, a legend and rubber-band zoom.
#ifndef PULVINA_GTKPLOT_H
#define PULVINA_GTKPLOT_H

#include <cairo.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#define GTK_TYPE_PLOT (gtk_plot_get_type())
#define GTK_PLOT(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GTK_TYPE_PLOT, GtkPlot))
#define GTK_PLOT_CLASS(klass) (G_TYPE_CHECK_CLASS_CAST((klass), GTK_TYPE_PLOT, GtkPlotClass))
#define GTK_IS_PLOT(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), GTK_TYPE_PLOT))
#define GTK_IS_PLOT_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), GTK_TYPE_PLOT))
#define GTK_PLOT_GET_CLASS(obj) (G_TYPE_INSTANCE_GET_CLASS((obj), GTK_TYPE_PLOT, GtkPlotClass))
#define GTK_TYPE_PLOT_TOOL_MODE (gtk_plot_tool_mode_get_type())

constexpr size_t kPlotTextSize = 128;  // every font, title and name field

typedef enum {
  PLOT_TOOL_NONE = 0,
  PLOT_TOOL_ZOOM_IN = 1,
  PLOT_TOOL_ZOOM_OUT = 2
} GtkPlotToolModeType;

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
  gint32 format;  // 0 "%d" ... 9 "%.1E", 10 the formatter
  GtkPlotTickFormatter formatter;
  gint32 xOffset, yOffset;
  gint32 majorVisible, minorVisible;
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

struct GtkPlotHairLine {
  gint32 visible;
  guint32 color;
  gint32 width;
  gint32 lineStyle;  // GdkLineStyle
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

struct GtkPlotZoomStack {
  gint32 capacity;
  std::vector<GtkPlotRect> storage;  // capacity entries
  gint32 top;                        // entries in use
};

// Pixel edges of the data frame of the last layout.
struct GtkPlotFrame {
  gdouble top, left, right, bottom;
};

typedef struct _GtkPlot GtkPlot;
typedef struct _GtkPlotClass GtkPlotClass;

struct _GtkPlot {
  GtkDrawingArea parent;

  GdkPixmap *pixmap;  // backing store, made at the first configure
  gdouble topMargin, leftMargin, rightMargin, bottomMargin;  // fractions of the size
  GtkPlotAxile leftAxile, topAxile, rightAxile, bottomAxile;
  GtkPlotGridLine vGridLine;  // vertical lines at the bottom axis's ticks
  GtkPlotGridLine hGridLine;  // horizontal lines at the left axis's ticks
  GtkPlotHairLine vHairLine;  // follows the pointer's x
  GtkPlotHairLine hHairLine;  // follows the pointer's y
  GtkPlotLegend legend;
  std::vector<std::unique_ptr<GtkPlotSerial>> serials;  // owned, in insertion order
  GtkPlotZoomStack zoomStack;
  guint32 background;
  gint32 toolMode;  // GtkPlotToolModeType

  // Layout of the last drawing.
  GtkPlotFrame frame;
  GdkRectangle legendBox;  // without the shadow; zero size when none was drawn

  // Pointer state.
  gboolean buttonDown;
  gint pressX, pressY;
  GdkRectangle rubberBand;
  gint hairX, hairY;
  gboolean rubberBandShown, hairLinesShown;

  GdkGC *xorGC;
  GdkCursor *zoomCursor, *zoomInCursor, *zoomOutCursor;
  GdkCursor *cursor;  // the one to show, kept for a window that is not yet realised
};

struct _GtkPlotClass {
  GtkDrawingAreaClass parent_class;

  void (*button_press)(GtkPlot *plot, GdkEvent *event);
  void (*button_release)(GtkPlot *plot, GdkEvent *event);
  void (*motion_notify)(GtkPlot *plot, GdkEvent *event);
};

GType gtk_plot_get_type(void);
GType gtk_plot_tool_mode_get_type(void);
GtkWidget *gtk_plot_new(void);

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
// The plot takes the series over; it stays valid until the plot clears its
// series or is finalised.
void gtk_plot_add_serial(GtkPlot *plot, GtkPlotSerial *serial);
void gtk_plot_clear_serials(GtkPlot *plot);

// Scales.
void gtk_plot_calc_scale(GtkPlotScale *scale);
void gtk_plot_auto_tick_label_format(GtkPlotAxile *axile);
// The tick values from tickStart to tickEnd, in increasing order.
std::vector<double> gtk_plot_major_ticks(const GtkPlotScale *scale);
std::vector<double> gtk_plot_minor_ticks(const GtkPlotScale *scale);
// Formats value as the axis's tick labels show it.
std::string gtk_plot_format_tick_label(const GtkPlotTickLabel *label, double value);
GtkPlotRect gtk_plot_auto_zoom(GtkPlot *plot);
void gtk_plot_set_scale(GtkPlot *plot, const GtkPlotRect *rect);
GtkPlotAxile *gtk_plot_get_axile(GtkPlot *plot, int index);
void gtk_plot_update_axile(GtkPlot *plot, const GtkPlotScale *scale, int index);
void gtk_plot_update_frame_rect(GtkPlot *plot);
int gtk_plot_get_axile_size(GtkPlot *plot, int index);

// View.
void gtk_plot_update(GtkPlot *plot);
// Returns the view before the zoom (free it with g_free), or nullptr when
// rect is nullptr.
GtkPlotRect *gtk_plot_zoom(GtkPlot *plot, const GtkPlotRect *rect);
void gtk_plot_zoom_in(GtkPlot *plot, const GtkPlotRect *rect);
void gtk_plot_zoom_out(GtkPlot *plot);
void gtk_plot_zoom_reset(GtkPlot *plot);
// Room for capacity views; the oldest views are kept when it shrinks.
void gtk_plot_set_zoom_stack_size(GtkPlot *plot, gint32 capacity);

// Coordinates.
void gtk_plot_screen_to_plot(GtkPlot *plot, gdouble sx, gdouble sy, gdouble *x, gdouble *y);
// (-1, -1) for a point on or outside the shown range.
void gtk_plot_plot_to_screen(GtkPlot *plot, gdouble x, gdouble y, gdouble *sx, gdouble *sy);
// Left and right pixel edges of a bar standing at sx.
void gtk_plot_bar_extent(const GtkPlotBarStyle *style, gdouble sx, gdouble *x0, gdouble *x1);

// A pattern holding the symbol image in a size x size square (caller
// destroys it).
cairo_pattern_t *gtk_plot_create_symbol(cairo_t *cr, const GtkPlotSymbolStyle *style);

#endif
