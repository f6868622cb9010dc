// SPDX-License-Identifier: BSD-3-Clause
// GtkPlot: a drawing widget for two-dimensional data series with four axes,
// round-numbered scales, grid, hair lines, a legend and rubber-band zoom.
#include "gtkplot.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

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
// One notch of the wheel zooms to this fraction of the view, about the
// pointer. Half the span still shrinks the view after the scale is rounded
// out to whole ticks.
constexpr double kWheelZoom = 0.5;

enum { PROP_0, PROP_TOOL_MODE };
enum { SIGNAL_BUTTON_PRESS, SIGNAL_BUTTON_RELEASE, SIGNAL_MOTION_NOTIFY, SIGNAL_COUNT };
guint plotSignals[SIGNAL_COUNT];
gpointer parentClass = nullptr;

[[noreturn]] void Fatal(const char *text) {
  std::fputs(text, stderr);
  std::exit(-1);
}

struct CairoDeleter {
  void operator()(cairo_t *cr) const { cairo_destroy(cr); }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;

// A context to measure text with when no drawing is under way: the backing
// pixmap's, so that sizes agree with the next drawing.
CairoPtr MeasureContext(GtkPlot *plot) {
  if (plot->pixmap) return CairoPtr(gdk_cairo_create(plot->pixmap));
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  CairoPtr cr(cairo_create(surface));
  cairo_surface_destroy(surface);
  return cr;
}

void Layout(GtkPlot *plot, cairo_t *cr) {
  const GtkAllocation &alloc = GTK_WIDGET(plot)->allocation;
  gtk_plot_figure_layout(plot, cr, alloc.width, alloc.height);
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

void EraseHairLines(GtkPlot *plot) {
  if (plot->hairLinesShown && GTK_WIDGET_DRAWABLE(GTK_WIDGET(plot)))
    DrawHairLines(plot, plot->hairX, plot->hairY);
  plot->hairLinesShown = FALSE;
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
  return TRUE;
}

gboolean gtk_plot_expose(GtkWidget *widget, GdkEventExpose *event) {
  GtkPlot *plot = GTK_PLOT(widget);
  if (!plot->pixmap) return FALSE;
  {
    CairoPtr cr(gdk_cairo_create(plot->pixmap));
    const GtkAllocation &alloc = widget->allocation;
    try {
      gtk_plot_figure_draw(plot, cr.get(), alloc.width, alloc.height);
    } catch (const std::bad_alloc &) {
      Fatal("[fatal error]: ploting error, not enough memory!\n");
    }
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

// Hair lines left on the window when the pointer has gone would pretend to
// mark a place it no longer points at.
gboolean gtk_plot_leave_notify(GtkWidget *widget, GdkEventCrossing *) {
  EraseHairLines(GTK_PLOT(widget));
  return FALSE;
}

// The wheel zooms in about the pointer onto the zoom stack, and back out
// through it: the same views the rubber band and zoom-out clicks give.
gboolean gtk_plot_scroll(GtkWidget *widget, GdkEventScroll *event) {
  GtkPlot *plot = GTK_PLOT(widget);
  if (event->direction == GDK_SCROLL_UP) {
    const GtkPlotScale &xs = plot->bottomAxile.scale, &ys = plot->leftAxile.scale;
    double px, py;
    gtk_plot_screen_to_plot(plot, event->x, event->y, &px, &py);
    // Outside the frame the nearest edge stays put.
    px = std::clamp(px, xs.tickStart, xs.tickEnd);
    py = std::clamp(py, ys.tickStart, ys.tickEnd);
    const GtkPlotRect rect = {px - (px - xs.tickStart) * kWheelZoom,
                              px + (xs.tickEnd - px) * kWheelZoom,
                              py - (py - ys.tickStart) * kWheelZoom,
                              py + (ys.tickEnd - py) * kWheelZoom};
    EraseRubberBand(plot);
    gtk_plot_zoom_in(plot, &rect);
  } else if (event->direction == GDK_SCROLL_DOWN) {
    gtk_plot_zoom_out(plot);
  }
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
  // The figure and the zoom stack's storage were constructed in place by
  // the instance initialiser.
  using Rects = std::vector<GtkPlotRect>;
  static_cast<GtkPlotFigure *>(plot)->~GtkPlotFigure();
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
  widgetClass->leave_notify_event = gtk_plot_leave_notify;
  widgetClass->scroll_event = gtk_plot_scroll;
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
  // The type system hands over zeroed memory with the toolkit's part at its
  // start; the figure (with the plot's defaults) and the zoom stack are
  // built in place here and torn down in finalize.
  g_assert(static_cast<void *>(static_cast<GtkDrawingArea *>(plot)) == static_cast<void *>(plot));
  new (static_cast<GtkPlotFigure *>(plot)) GtkPlotFigure();
  new (&plot->zoomStack.storage) std::vector<GtkPlotRect>();
  try {
    plot->zoomStack.storage.resize(kZoomStackCapacity);
  } catch (const std::bad_alloc &) {
    Fatal("[fatal error]: gtk_plot is initializing zoom stack, not enough memory!\n");
  }
  plot->zoomStack.capacity = kZoomStackCapacity;
  plot->zoomStack.top = 0;

  plot->pixmap = nullptr;
  for (GtkPlotHairLine *h : {&plot->vHairLine, &plot->hHairLine}) {
    h->visible = 0;
    h->color = 0;
    h->width = 1;
    h->lineStyle = GDK_LINE_SOLID;
  }
  plot->toolMode = PLOT_TOOL_ZOOM_IN;

  gtk_widget_add_events(GTK_WIDGET(plot),
                        GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_MASK |
                            GDK_POINTER_MOTION_HINT_MASK | GDK_BUTTON_MOTION_MASK |
                            GDK_BUTTON1_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                            GDK_BUTTON_RELEASE_MASK | GDK_ENTER_NOTIFY_MASK |
                            GDK_LEAVE_NOTIFY_MASK | GDK_SCROLL_MASK);
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


GQuark gtk_plot_error_quark(void) { return g_quark_from_static_string("gtk-plot-error-quark"); }

void gtk_plot_add_serial(GtkPlot *plot, GtkPlotSerial *serial) {
  g_return_if_fail(GTK_IS_PLOT(plot));
  if (!gtk_plot_figure_add_serial(plot, serial))
    Fatal("[fatal error]: ploting error, not enough memory!\n");
  gtk_widget_queue_draw(GTK_WIDGET(plot));
}

void gtk_plot_clear_serials(GtkPlot *plot) {
  g_return_if_fail(GTK_IS_PLOT(plot));
  plot->serials.clear();
}

void gtk_plot_update_frame_rect(GtkPlot *plot) {
  CairoPtr cr = MeasureContext(plot);
  Layout(plot, cr.get());
}

int gtk_plot_get_axile_size(GtkPlot *plot, int index) {
  CairoPtr cr = MeasureContext(plot);
  return gtk_plot_figure_axile_size(plot, cr.get(), index);
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

gboolean gtk_plot_export(GtkPlot *plot, const gchar *path, gint width, gint height,
                         GError **error) {
  g_return_val_if_fail(GTK_IS_PLOT(plot), FALSE);
  const GtkAllocation &alloc = GTK_WIDGET(plot)->allocation;
  if (width <= 0) width = alloc.width;
  if (height <= 0) height = alloc.height;
  std::string why;
  if (gtk_plot_figure_export(plot, path, width, height, &why)) return TRUE;
  g_set_error(error, GTK_PLOT_ERROR, 0, "%s", why.c_str());
  return FALSE;
}
