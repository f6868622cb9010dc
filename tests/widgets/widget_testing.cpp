// SPDX-License-Identifier: BSD-3-Clause
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

void Send(GtkWidget *widget, GdkEventType type, double x, double y, guint detail, guint state) {
  GdkEvent *event = gdk_event_new(type);
  GdkDevice *pointer = gdk_device_get_core_pointer();
  if (type == GDK_MOTION_NOTIFY) {
    event->motion.x = x, event->motion.y = y, event->motion.state = state;
    event->motion.time = GDK_CURRENT_TIME, event->motion.device = pointer;
  } else if (type == GDK_ENTER_NOTIFY || type == GDK_LEAVE_NOTIFY) {
    event->crossing.x = x, event->crossing.y = y, event->crossing.time = GDK_CURRENT_TIME;
    event->crossing.detail = GDK_NOTIFY_ANCESTOR;
  } else if (type == GDK_SCROLL) {
    event->scroll.x = x, event->scroll.y = y, event->scroll.time = GDK_CURRENT_TIME;
    event->scroll.direction = static_cast<GdkScrollDirection>(detail);
    event->scroll.device = pointer;
  } else {  // a button
    event->button.x = x, event->button.y = y, event->button.time = GDK_CURRENT_TIME;
    event->button.button = detail, event->button.device = pointer;
    event->button.state = type == GDK_BUTTON_RELEASE && detail == 1 ? +GDK_BUTTON1_MASK : state;
  }
  event->any.window = GDK_WINDOW(g_object_ref(widget->window));
  event->any.send_event = TRUE;
  gtk_widget_event(widget, event);
  gdk_event_free(event);
}

void Drag(GtkWidget *widget, double x0, double y0, double x1, double y1) {
  Send(widget, GDK_BUTTON_PRESS, x0, y0);
  DragTo(widget, x1, y1);
  Send(widget, GDK_BUTTON_RELEASE, x1, y1);
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
