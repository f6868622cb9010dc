// SPDX-License-Identifier: BSD-3-Clause
// Helpers of the widget tests: a realised window, synthetic pointer events
// and pictures of what a widget shows.
#ifndef PULVINA_WIDGET_TESTING_H
#define PULVINA_WIDGET_TESTING_H

#include <gtk/gtk.h>

#include "image_testing.h"

// Set by --expect-no-opengl: the tests run on a display without GLX.
extern bool expectNoOpenGL;

// Runs the main loop until the toolkit and the X server have nothing left.
void Settle();

// A toplevel window holding one widget of the given size, shown and drawn.
class TestWindow {
 public:
  TestWindow(GtkWidget *child, int width, int height);
  ~TestWindow();
  TestWindow(const TestWindow &) = delete;
  TestWindow &operator=(const TestWindow &) = delete;

 private:
  GtkWidget *window_;
};

// Delivers a pointer event at (x, y) to the widget as the X server would:
// a button press or release (detail: the button), a motion (state: the
// buttons held), an enter or leave, or a scroll (detail: the direction).
void Send(GtkWidget *widget, GdkEventType type, double x, double y, guint detail = 1,
          guint state = 0);
// A motion with the first button held; a press, one such motion and a release.
inline void DragTo(GtkWidget *widget, double x, double y) {
  Send(widget, GDK_MOTION_NOTIFY, x, y, 0, GDK_BUTTON1_MASK);
}
void Drag(GtkWidget *widget, double x0, double y0, double x1, double y1);

Image ImageOfPixbuf(GdkPixbuf *pixbuf);
// What the widget's window shows now, read back from the X server.
Image GrabWindow(GtkWidget *widget);

#endif
