// SPDX-License-Identifier: BSD-3-Clause
// GtkPlot: a drawing widget for two-dimensional data series with four axes,
// round-numbered scales, grid, hair lines, a legend and rubber-band zoom.
// What it shows is a GtkPlotFigure, drawn by the toolkit-free code of
// plotfigure.h; the figure's records and calls apply to the plot as they
// stand (plot->leftAxile, gtk_plot_set_scale (plot, ...)).
#ifndef PULVINA_GTKPLOT_H
#define PULVINA_GTKPLOT_H

#include <cairo.h>
#include <gtk/gtk.h>

#include <vector>

#include "plotfigure.h"

#define GTK_TYPE_PLOT (gtk_plot_get_type())
#define GTK_PLOT(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GTK_TYPE_PLOT, GtkPlot))
#define GTK_PLOT_CLASS(klass) (G_TYPE_CHECK_CLASS_CAST((klass), GTK_TYPE_PLOT, GtkPlotClass))
#define GTK_IS_PLOT(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), GTK_TYPE_PLOT))
#define GTK_IS_PLOT_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), GTK_TYPE_PLOT))
#define GTK_PLOT_GET_CLASS(obj) (G_TYPE_INSTANCE_GET_CLASS((obj), GTK_TYPE_PLOT, GtkPlotClass))
#define GTK_TYPE_PLOT_TOOL_MODE (gtk_plot_tool_mode_get_type())
#define GTK_PLOT_ERROR (gtk_plot_error_quark())

typedef enum {
  PLOT_TOOL_NONE = 0,
  PLOT_TOOL_ZOOM_IN = 1,
  PLOT_TOOL_ZOOM_OUT = 2
} GtkPlotToolModeType;

struct GtkPlotHairLine {
  gint32 visible;
  guint32 color;
  gint32 width;
  gint32 lineStyle;  // GdkLineStyle
};

struct GtkPlotZoomStack {
  gint32 capacity;
  std::vector<GtkPlotRect> storage;  // capacity entries
  gint32 top;                        // entries in use
};

typedef struct _GtkPlot GtkPlot;
typedef struct _GtkPlotClass GtkPlotClass;

// The toolkit's part comes first, as the type system expects of an
// instance; the figure holds the margins, axes, grid, legend, series,
// background and the layout of the last drawing.
struct _GtkPlot : GtkDrawingArea, GtkPlotFigure {
  GdkPixmap *pixmap;          // backing store, made at the first configure
  GtkPlotHairLine vHairLine;  // follows the pointer's x
  GtkPlotHairLine hHairLine;  // follows the pointer's y
  GtkPlotZoomStack zoomStack;
  gint32 toolMode;  // GtkPlotToolModeType

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
GQuark gtk_plot_error_quark(void);
GtkWidget *gtk_plot_new(void);

// The plot takes the series over; it stays valid until the plot clears its
// series or is finalised.
void gtk_plot_add_serial(GtkPlot *plot, GtkPlotSerial *serial);
void gtk_plot_clear_serials(GtkPlot *plot);

// Layout at the widget's size.
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

// Writes what the plot shows as a PNG, SVG or PDF file, chosen by the
// extension of path, width x height pixels; a size of 0 or less takes the
// widget's own. On failure error (domain GTK_PLOT_ERROR) says why.
gboolean gtk_plot_export(GtkPlot *plot, const gchar *path, gint width, gint height,
                         GError **error);

#endif
