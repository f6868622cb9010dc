// Helpers of the widget tests: a realised window, synthetic pointer events
// and screenshots.
#ifndef PULVINA_WIDGET_TESTING_H
#define PULVINA_WIDGET_TESTING_H

#include <gtk/gtk.h>

#include "image_testing.h"

// Set by --expect-no-opengl: the tests run on a display without GLX.
extern bool expectNoOpenGL;

// Runs the main loop until the toolkit and the X server have nothing left
// to deliver.
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

void SendButton(GtkWidget *widget, GdkEventType type, guint button, double x, double y);
void SendMotion(GtkWidget *widget, double x, double y, guint state);
// GDK_ENTER_NOTIFY or GDK_LEAVE_NOTIFY at (x, y).
void SendCrossing(GtkWidget *widget, GdkEventType type, double x, double y);
void SendScroll(GtkWidget *widget, GdkScrollDirection direction, double x, double y);
// A press, one motion and a release with the first button.
void Drag(GtkWidget *widget, double x0, double y0, double x1, double y1);

Image ImageOfPixbuf(GdkPixbuf *pixbuf);
// What the widget's window shows now, read back from the X server.
Image GrabWindow(GtkWidget *widget);

#endif
