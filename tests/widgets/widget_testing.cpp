#include "widget_testing.h"

#include <gtest/gtest.h>

bool expectNoOpenGL = false;

void Settle() {
  for (int round = 0; round < 3; ++round) {
    gdk_flush();
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
    gdk_window_process_all_updates();
  }
}

TestWindow::TestWindow(GtkWidget *child, int width, int height) {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_set_size_request(child, width, height);
  gtk_container_add(GTK_CONTAINER(window_), child);
  gtk_widget_show_all(window_);
  Settle();
}

TestWindow::~TestWindow() {
  gtk_widget_destroy(window_);
  Settle();
}

void SendButton(GtkWidget *widget, GdkEventType type, guint button, double x, double y) {
  GdkEvent *event = gdk_event_new(type);
  event->button.window = GDK_WINDOW(g_object_ref(widget->window));
  event->button.send_event = TRUE;
  event->button.time = GDK_CURRENT_TIME;
  event->button.x = x;
  event->button.y = y;
  event->button.button = button;
  event->button.device = gdk_device_get_core_pointer();
  event->button.state = type == GDK_BUTTON_RELEASE && button == 1 ? GDK_BUTTON1_MASK : 0;
  gtk_widget_event(widget, event);
  gdk_event_free(event);
}

void SendMotion(GtkWidget *widget, double x, double y, guint state) {
  GdkEvent *event = gdk_event_new(GDK_MOTION_NOTIFY);
  event->motion.window = GDK_WINDOW(g_object_ref(widget->window));
  event->motion.send_event = TRUE;
  event->motion.time = GDK_CURRENT_TIME;
  event->motion.x = x;
  event->motion.y = y;
  event->motion.state = state;
  event->motion.is_hint = FALSE;
  event->motion.device = gdk_device_get_core_pointer();
  gtk_widget_event(widget, event);
  gdk_event_free(event);
}

void SendCrossing(GtkWidget *widget, GdkEventType type, double x, double y) {
  GdkEvent *event = gdk_event_new(type);
  event->crossing.window = GDK_WINDOW(g_object_ref(widget->window));
  event->crossing.send_event = TRUE;
  event->crossing.time = GDK_CURRENT_TIME;
  event->crossing.x = x;
  event->crossing.y = y;
  event->crossing.mode = GDK_CROSSING_NORMAL;
  event->crossing.detail = GDK_NOTIFY_ANCESTOR;
  gtk_widget_event(widget, event);
  gdk_event_free(event);
}

void SendScroll(GtkWidget *widget, GdkScrollDirection direction, double x, double y) {
  GdkEvent *event = gdk_event_new(GDK_SCROLL);
  event->scroll.window = GDK_WINDOW(g_object_ref(widget->window));
  event->scroll.send_event = TRUE;
  event->scroll.time = GDK_CURRENT_TIME;
  event->scroll.x = x;
  event->scroll.y = y;
  event->scroll.direction = direction;
  event->scroll.device = gdk_device_get_core_pointer();
  gtk_widget_event(widget, event);
  gdk_event_free(event);
}

void Drag(GtkWidget *widget, double x0, double y0, double x1, double y1) {
  SendButton(widget, GDK_BUTTON_PRESS, 1, x0, y0);
  SendMotion(widget, x1, y1, GDK_BUTTON1_MASK);
  SendButton(widget, GDK_BUTTON_RELEASE, 1, x1, y1);
}

std::string OutputPath(const std::string &name) { return TestOutputPath(name); }

void SavePng(GdkPixbuf *pixbuf, const std::string &name) {
  GError *error = nullptr;
  if (!gdk_pixbuf_save(pixbuf, OutputPath(name).c_str(), "png", &error, nullptr)) {
    ADD_FAILURE() << "saving " << name << ": " << (error ? error->message : "?");
    g_clear_error(&error);
  }
}

Rgb PixelAt(GdkPixbuf *pixbuf, int x, int y) {
  const guchar *p = gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf) +
                    x * gdk_pixbuf_get_n_channels(pixbuf);
  return {p[0], p[1], p[2]};
}

GdkPixbuf *GrabDrawable(GdkDrawable *drawable, int width, int height) {
  return gdk_pixbuf_get_from_drawable(nullptr, drawable, gdk_drawable_get_colormap(drawable), 0, 0,
                                      0, 0, width, height);
}

GdkPixbuf *GrabWindow(GtkWidget *widget) {
  return GrabDrawable(widget->window, widget->allocation.width, widget->allocation.height);
}

Image ImageOfPixbuf(GdkPixbuf *pixbuf) {
  Image image;
  image.width = gdk_pixbuf_get_width(pixbuf);
  image.height = gdk_pixbuf_get_height(pixbuf);
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const Rgb p = PixelAt(pixbuf, x, y);
      uint8_t *out = &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
      out[0] = static_cast<uint8_t>(p.r);
      out[1] = static_cast<uint8_t>(p.g);
      out[2] = static_cast<uint8_t>(p.b);
    }
  return image;
}
