#include "widget_testing.h"

#include <algorithm>

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

namespace {

// Delivers the event to the widget as the X server would have, and frees it.
void Deliver(GtkWidget *widget, GdkEvent *event) {
  event->any.window = GDK_WINDOW(g_object_ref(widget->window));
  event->any.send_event = TRUE;
  gtk_widget_event(widget, event);
  gdk_event_free(event);
}

}  // namespace

void SendButton(GtkWidget *widget, GdkEventType type, guint button, double x, double y) {
  GdkEvent *event = gdk_event_new(type);
  event->button.time = GDK_CURRENT_TIME;
  event->button.x = x;
  event->button.y = y;
  event->button.button = button;
  event->button.device = gdk_device_get_core_pointer();
  event->button.state = type == GDK_BUTTON_RELEASE && button == 1 ? GDK_BUTTON1_MASK : 0;
  Deliver(widget, event);
}

void SendMotion(GtkWidget *widget, double x, double y, guint state) {
  GdkEvent *event = gdk_event_new(GDK_MOTION_NOTIFY);
  event->motion.time = GDK_CURRENT_TIME;
  event->motion.x = x;
  event->motion.y = y;
  event->motion.state = state;
  event->motion.device = gdk_device_get_core_pointer();
  Deliver(widget, event);
}

void SendCrossing(GtkWidget *widget, GdkEventType type, double x, double y) {
  GdkEvent *event = gdk_event_new(type);
  event->crossing.time = GDK_CURRENT_TIME;
  event->crossing.x = x;
  event->crossing.y = y;
  event->crossing.mode = GDK_CROSSING_NORMAL;
  event->crossing.detail = GDK_NOTIFY_ANCESTOR;
  Deliver(widget, event);
}

void SendScroll(GtkWidget *widget, GdkScrollDirection direction, double x, double y) {
  GdkEvent *event = gdk_event_new(GDK_SCROLL);
  event->scroll.time = GDK_CURRENT_TIME;
  event->scroll.x = x;
  event->scroll.y = y;
  event->scroll.direction = direction;
  event->scroll.device = gdk_device_get_core_pointer();
  Deliver(widget, event);
}

void Drag(GtkWidget *widget, double x0, double y0, double x1, double y1) {
  SendButton(widget, GDK_BUTTON_PRESS, 1, x0, y0);
  SendMotion(widget, x1, y1, GDK_BUTTON1_MASK);
  SendButton(widget, GDK_BUTTON_RELEASE, 1, x1, y1);
}

Image ImageOfPixbuf(GdkPixbuf *pixbuf) {
  Image image;
  image.width = gdk_pixbuf_get_width(pixbuf);
  image.height = gdk_pixbuf_get_height(pixbuf);
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf), channels = gdk_pixbuf_get_n_channels(pixbuf);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const guchar *p = gdk_pixbuf_get_pixels(pixbuf) + y * stride + x * channels;
      std::copy_n(p, 3, &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3]);
    }
  return image;
}

Image GrabWindow(GtkWidget *widget) {
  gdk_flush();
  GdkPixbuf *pixbuf = gdk_pixbuf_get_from_drawable(
      nullptr, widget->window, gdk_drawable_get_colormap(widget->window), 0, 0, 0, 0,
      widget->allocation.width, widget->allocation.height);
  Image image = ImageOfPixbuf(pixbuf);
  g_object_unref(pixbuf);
  return image;
}
