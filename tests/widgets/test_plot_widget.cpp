// The plot as a realised widget: zoom by the mouse and the wheel on the
// zoom stack, the tool-mode property, signals, exclusive-or lines, what it
// draws and its export.
#include <gtest/gtest.h>

#include <memory>

#include "gtkplot.h"
#include "widget_testing.h"

namespace {

constexpr int kWidth = 600, kHeight = 400, kWhite = 3 * 255;

class PlotWidget : public ::testing::Test {
 protected:
  // Held by the test as well, so that a plot never shown is freed too.
  PlotWidget() : plot(GTK_PLOT(g_object_ref_sink(gtk_plot_new()))), widget(GTK_WIDGET(plot)) {
    plot->background = 0xFFFFFF;
  }
  ~PlotWidget() override {
    window.reset();
    g_object_unref(plot);
  }
  // A line from (0, 0) to (100, 100), ticks from -20 to 120 both ways,
  // unless other series were added.
  void Show() {
    if (plot->serials.empty()) Add(PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
    window = std::make_unique<TestWindow>(widget, kWidth, kHeight);
    first = View();
  }
  GtkPlotSerial *Add(int type, std::vector<std::pair<double, double>> xy) {
    GtkPlotSerial *s = gtk_plot_serial_new();
    s->type = type;
    for (auto &p : xy) s->points.push_back({p.first, p.second, ""});
    s->count = static_cast<guint32>(s->points.size());
    gtk_plot_add_serial(plot, s);
    return s;
  }
  std::vector<double> View() const {
    return {plot->bottomAxile.scale.min, plot->bottomAxile.scale.max, plot->leftAxile.scale.min,
            plot->leftAxile.scale.max};
  }
  // The colour the window shows now as the sum of its channels.
  int ShownAt(int x, int y) const {
    const Image::Pixel p = GrabWindow(widget).At(x, y);
    return p.r + p.g + p.b;
  }
  GtkPlot *plot;
  GtkWidget *widget;
  std::unique_ptr<TestWindow> window;
  std::vector<double> first;  // the view when shown
};

TEST_F(PlotWidget, DragZoomsInOnlyWhenItSpansBothDirectionsAndRightButtonResets) {
  Show();
  int press = 0, stackAtRelease = -1;
  g_signal_connect(plot, "button-press", G_CALLBACK(+[](GtkPlot *, GdkEvent *, int *n) { ++*n; }),
                   &press);
  g_signal_connect(plot, "button-release", G_CALLBACK(+[](GtkPlot *p, GdkEvent *, int *top) {
                     *top = p->zoomStack.top;
                   }), &stackAtRelease);
  Drag(widget, 200, 100, 300, 100);  // horizontal only
  Drag(widget, 200, 100, 200, 250);  // vertical only
  EXPECT_EQ(View(), first);
  double xmin, ymax, xmax, ymin;
  gtk_plot_screen_to_plot(plot, 150, 120, &xmin, &ymax);
  gtk_plot_screen_to_plot(plot, 350, 260, &xmax, &ymin);
  Drag(widget, 350, 260, 150, 120);  // dragged up and left: the same rectangle
  EXPECT_EQ(View(), (std::vector<double>{xmin, xmax, ymin, ymax}));
  EXPECT_EQ(stackAtRelease, 1);  // the zoom happened before the signal
  EXPECT_EQ(press, 3);
  Drag(widget, 200, 100, 400, 300);
  EXPECT_EQ(plot->zoomStack.top, 2);
  // The right button goes back to the view before the first zoom.
  Send(widget, GDK_BUTTON_PRESS, 10, 10, 3);
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(View(), first);
}

TEST_F(PlotWidget, WheelZoomsAboutThePointerAndAFullStackReplacesItsTop) {
  GtkPlotSerial *line = Add(PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  const double sx = 200, sy = 250;
  double x0, y0, sx1, sy1;
  gtk_plot_screen_to_plot(plot, sx, sy, &x0, &y0);
  Send(widget, GDK_SCROLL, sx, sy, GDK_SCROLL_UP);
  EXPECT_EQ(plot->zoomStack.top, 1);
  EXPECT_LT(plot->bottomAxile.scale.max - plot->bottomAxile.scale.min, 80);
  // The point under the pointer stays near it: the scale is rounded out to
  // whole ticks, so within a tenth of the frame.
  gtk_plot_plot_to_screen(plot, x0, y0, &sx1, &sy1);
  EXPECT_NEAR(sx1, sx, 0.1 * (plot->frame.right - plot->frame.left));
  EXPECT_NEAR(sy1, sy, 0.1 * (plot->frame.bottom - plot->frame.top));
  // Back out the way it came, and no further.
  Send(widget, GDK_SCROLL, 500, 50, GDK_SCROLL_UP);
  for (int i = 0; i < 3; ++i) Send(widget, GDK_SCROLL, sx, sy, GDK_SCROLL_DOWN);
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(View(), first);

  std::vector<double> before21st;
  for (int i = 1; i <= 21; ++i) {
    if (i == 21) before21st = View();
    GtkPlotRect r = {i * 1.0, 100.0 - i, i * 2.0, 100.0 - i};
    gtk_plot_zoom_in(plot, &r);
  }
  EXPECT_EQ(plot->zoomStack.top, 20);
  gtk_plot_zoom_out(plot);
  EXPECT_EQ(View(), before21st);
  // New data rescale the plot without touching the stack.
  line->points.push_back({1000, 1000, ""});
  line->count = 3;
  gtk_plot_update(plot);
  EXPECT_EQ(plot->zoomStack.top, 19);
  EXPECT_EQ(plot->bottomAxile.scale.max, 1000);
}

TEST_F(PlotWidget, ToolModeChoosesWhatAClickDoesAndTheCursor) {
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_OUT, nullptr);  // before the window exists
  Show();
  GdkWindow *w = widget->window;
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomCursor);  // empty stack: plain zoom
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_IN, nullptr);
  Drag(widget, 200, 100, 400, 300);
  Drag(widget, 200, 100, 400, 300);
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_OUT, nullptr);
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomOutCursor);
  // A click pops one view; the last one brings back the plain cursor.
  for (int left : {1, 0}) {
    Send(widget, GDK_BUTTON_PRESS, 50, 50);
    Send(widget, GDK_BUTTON_RELEASE, 50, 50);
    EXPECT_EQ(plot->zoomStack.top, left);
  }
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomCursor);
  g_object_set(plot, "tool-mode", PLOT_TOOL_NONE, nullptr);
  EXPECT_EQ(gdk_window_get_cursor(w), nullptr);
  Drag(widget, 200, 100, 400, 300);  // no tool: no zoom
  EXPECT_EQ(plot->zoomStack.top, 0);
}

TEST_F(PlotWidget, HairLinesAndRubberBandAreErasedByDrawingThemAgain) {
  plot->vHairLine.visible = plot->hHairLine.visible = 1;
  plot->vHairLine.color = plot->hHairLine.color = 0xFF0000;
  Show();
  // Column 45 and row 15 lie in the margins, clear of all but the background.
  Send(widget, GDK_MOTION_NOTIFY, 45, 15);
  EXPECT_EQ(ShownAt(45, 5), 255);  // red, drawn by exclusive-or on white
  Send(widget, GDK_MOTION_NOTIFY, 250, 15);
  EXPECT_EQ(ShownAt(45, 5), kWhite);
  // They go when the pointer leaves and come back afresh, nothing erased twice.
  Send(widget, GDK_LEAVE_NOTIFY, 250, -1);
  EXPECT_EQ(ShownAt(250, 5) + ShownAt(5, 15), 2 * kWhite);
  Send(widget, GDK_MOTION_NOTIFY, 50, 15);
  EXPECT_EQ(ShownAt(50, 5), 255);
  EXPECT_EQ(ShownAt(250, 5), kWhite);
  // The rubber band follows the pointer, and a release that cannot zoom
  // leaves no rectangle behind.
  plot->vHairLine.visible = plot->hHairLine.visible = 0;
  gtk_widget_queue_draw(widget);
  Settle();
  Send(widget, GDK_BUTTON_PRESS, 40, 100);
  DragTo(widget, 60, 300);
  EXPECT_EQ(ShownAt(40, 200) + ShownAt(60, 200), 0);  // background XOR background: black
  DragTo(widget, 80, 300);
  EXPECT_EQ(ShownAt(60, 200), kWhite);
  EXPECT_EQ(ShownAt(80, 200), 0);
  DragTo(widget, 80, 100);  // flat: nothing to zoom to
  Send(widget, GDK_BUTTON_RELEASE, 80, 100);
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(ShownAt(40, 200) + ShownAt(80, 200) + ShownAt(60, 100), 3 * kWhite);
}

// The widget draws with the figure's code, and exports what it shows.
TEST_F(PlotWidget, ShowsAndExportsWhatTheFigureDraws) {
  plot->legend.placement = PLOT_LEGEND_BOTTOM;
  Add(PLOT_SERIAL_LINE_SYMBOL, {{0, 10}, {20, 90}, {40, 50}});
  Add(PLOT_SERIAL_BAR, {{5, 30}, {15, 70}, {25, -20}});
  Show();
  const Image shown = GrabWindow(widget);
  WritePng(shown, TestOutputPath("plot-widget.png"));
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  cairo_t *cr = cairo_create(surface);
  gtk_plot_figure_draw(plot, cr, kWidth, kHeight);
  cairo_destroy(cr);
  EXPECT_TRUE(LooksLike(shown, ImageOfSurface(surface)));
  cairo_surface_destroy(surface);

  const GtkPlotFrame frame = plot->frame;
  const std::string png = TestOutputPath("plot-export.png");
  GError *error = nullptr;
  ASSERT_TRUE(gtk_plot_export(plot, png.c_str(), 0, 0, &error));
  EXPECT_TRUE(LooksLike(ReadPng(png), shown));
  ASSERT_TRUE(gtk_plot_export(plot, png.c_str(), 300, 150, nullptr));
  EXPECT_EQ(ReadPng(png).width, 300);
  // The pointer still converts through the frame on screen.
  EXPECT_EQ(plot->frame.right, frame.right);
  EXPECT_EQ(plot->frame.bottom, frame.bottom);
  EXPECT_FALSE(gtk_plot_export(plot, TestOutputPath("plot.gif").c_str(), 0, 0, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain, GTK_PLOT_ERROR);
  EXPECT_NE(std::string(error->message).find("plot.gif"), std::string::npos) << error->message;
  g_clear_error(&error);
}

}  // namespace
