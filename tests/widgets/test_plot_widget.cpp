// The plot as a realised widget: zoom by the mouse and the wheel, the
// tool-mode property, signals, exclusive-or lines, what it draws and its
// export.
#include <gtest/gtest.h>

#include <memory>

#include "gtkplot.h"
#include "image_testing.h"
#include "widget_testing.h"

namespace {

constexpr int kWidth = 600, kHeight = 400;

class PlotWidget : public ::testing::Test {
 protected:
  // Held by the test as well, so that a plot never shown is freed too.
  PlotWidget() : plot(GTK_PLOT(g_object_ref_sink(gtk_plot_new()))) {}
  ~PlotWidget() override {
    window.reset();
    g_object_unref(plot);
  }

  void Show() { window = std::make_unique<TestWindow>(GTK_WIDGET(plot), kWidth, kHeight); }
  // A line from (0, 0) to (100, 100): ticks from -20 to 120 both ways.
  void ShowLine() {
    AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
    Show();
  }

  GtkPlotSerial *AddSerial(const char *name, int type,
                           std::vector<std::pair<double, double>> xy) {
    GtkPlotSerial *s = gtk_plot_serial_new();
    g_strlcpy(s->name, name, sizeof s->name);
    s->type = type;
    for (auto &p : xy) s->points.push_back({p.first, p.second, ""});
    s->count = static_cast<guint32>(s->points.size());
    gtk_plot_add_serial(plot, s);
    return s;
  }

  // Lays the plot out again and draws it, as an exposure would.
  void Redraw() {
    gtk_widget_queue_draw(GTK_WIDGET(plot));
    Settle();
  }

  GtkPlotRect View() const {
    return {plot->bottomAxile.scale.min, plot->bottomAxile.scale.max, plot->leftAxile.scale.min,
            plot->leftAxile.scale.max};
  }

  GtkWidget *widget() const { return GTK_WIDGET(plot); }

  // The colour the window shows now, read back from the X server, as the
  // sum of its channels: 765 white, 0 black.
  int ShownAt(int x, int y) const {
    const Image::Pixel p = GrabWindow(widget()).At(x, y);
    return p.r + p.g + p.b;
  }

  GtkPlot *plot;
  std::unique_ptr<TestWindow> window;
};

void ExpectSameView(const GtkPlotRect &a, const GtkPlotRect &b) {
  EXPECT_DOUBLE_EQ(a.xmin, b.xmin);
  EXPECT_DOUBLE_EQ(a.xmax, b.xmax);
  EXPECT_DOUBLE_EQ(a.ymin, b.ymin);
  EXPECT_DOUBLE_EQ(a.ymax, b.ymax);
}

TEST_F(PlotWidget, DragZoomsInOnlyWhenItSpansBothDirectionsAndRightButtonResets) {
  ShowLine();
  const GtkPlotRect first = View();
  Drag(widget(), 200, 100, 300, 100);  // horizontal only
  Drag(widget(), 200, 100, 200, 250);  // vertical only
  Drag(widget(), 200, 100, 200, 100);  // a click
  EXPECT_EQ(plot->zoomStack.top, 0);
  ExpectSameView(View(), first);

  double xmin, ymax, xmax, ymin;
  gtk_plot_screen_to_plot(plot, 150, 120, &xmin, &ymax);
  gtk_plot_screen_to_plot(plot, 350, 260, &xmax, &ymin);
  Drag(widget(), 350, 260, 150, 120);  // dragged up and left: same rectangle
  EXPECT_EQ(plot->zoomStack.top, 1);
  ExpectSameView(View(), {xmin, xmax, ymin, ymax});
  Settle();
  Drag(widget(), 200, 100, 400, 300);
  EXPECT_EQ(plot->zoomStack.top, 2);
  // The right button goes back to the view before the first zoom.
  SendButton(widget(), GDK_BUTTON_PRESS, 3, 10, 10);
  EXPECT_EQ(plot->zoomStack.top, 0);
  ExpectSameView(View(), first);
}

TEST_F(PlotWidget, FullZoomStackReplacesItsTopmostView) {
  ShowLine();
  GtkPlotRect before21st{};
  for (int i = 1; i <= 21; ++i) {
    if (i == 21) before21st = View();
    GtkPlotRect r = {i * 1.0, 100.0 - i, i * 2.0, 100.0 - i};
    gtk_plot_zoom_in(plot, &r);
  }
  EXPECT_EQ(plot->zoomStack.top, 20);
  gtk_plot_zoom_out(plot);
  ExpectSameView(View(), before21st);
  EXPECT_EQ(plot->zoomStack.top, 19);
}

TEST_F(PlotWidget, ToolModeChoosesWhatAClickDoesAndTheCursor) {
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_OUT, nullptr);  // before the window exists
  ShowLine();
  GdkWindow *w = widget()->window;
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomCursor);  // empty stack: plain zoom
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_IN, nullptr);
  Drag(widget(), 200, 100, 400, 300);
  Drag(widget(), 200, 100, 400, 300);
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_OUT, nullptr);
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomOutCursor);
  // In zoom-out mode a click pops one view; the last one brings back the
  // plain cursor.
  for (int left : {1, 0}) {
    SendButton(widget(), GDK_BUTTON_PRESS, 1, 50, 50);
    SendButton(widget(), GDK_BUTTON_RELEASE, 1, 50, 50);
    EXPECT_EQ(plot->zoomStack.top, left);
  }
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomCursor);
  g_object_set(plot, "tool-mode", PLOT_TOOL_NONE, nullptr);
  EXPECT_EQ(gdk_window_get_cursor(w), nullptr);
  Drag(widget(), 200, 100, 400, 300);  // no tool: no zoom
  EXPECT_EQ(plot->zoomStack.top, 0);
}

TEST_F(PlotWidget, UpdateRescalesWithoutTouchingTheZoomStack) {
  GtkPlotSerial *s = AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  GtkPlotRect r = {10, 20, 10, 20};
  gtk_plot_zoom_in(plot, &r);
  s->points.push_back({1000, 1000, ""});
  s->count = 3;
  gtk_plot_update(plot);
  EXPECT_EQ(plot->zoomStack.top, 1);
  EXPECT_EQ(plot->bottomAxile.scale.max, 1000);
}

TEST_F(PlotWidget, SignalsFollowTheWidgetsOwnHandling) {
  ShowLine();
  int press = 0, motion = 0, stackAtRelease = -1;
  auto count = +[](GtkPlot *, GdkEvent *, int *n) { ++*n; };
  g_signal_connect(plot, "button-press", G_CALLBACK(count), &press);
  g_signal_connect(plot, "motion-notify", G_CALLBACK(count), &motion);
  g_signal_connect(plot, "button-release", G_CALLBACK(+[](GtkPlot *p, GdkEvent *, int *top) {
                     *top = p->zoomStack.top;
                   }),
                   &stackAtRelease);
  Drag(widget(), 200, 100, 400, 300);
  EXPECT_EQ(press, 1);
  EXPECT_EQ(motion, 1);
  EXPECT_EQ(stackAtRelease, 1);  // the zoom happened before the signal
}

constexpr int kWhite = 3 * 255;

TEST_F(PlotWidget, HairLinesAndRubberBandAreErasedByDrawingThemAgain) {
  plot->background = 0xFFFFFF;
  plot->vHairLine.visible = 1;
  plot->vHairLine.color = 0xFF0000;
  ShowLine();
  // Column 45 lies in the margin, clear of everything but the background.
  SendMotion(widget(), 45, 200, 0);
  EXPECT_EQ(ShownAt(45, 10), 255);  // red, drawn by exclusive-or on white
  SendMotion(widget(), 250, 200, 0);
  EXPECT_EQ(ShownAt(45, 10), kWhite);

  // The rubber band follows the pointer, and a release that cannot zoom
  // leaves no rectangle behind.
  plot->vHairLine.visible = 0;
  Redraw();
  SendButton(widget(), GDK_BUTTON_PRESS, 1, 40, 100);
  SendMotion(widget(), 60, 300, GDK_BUTTON1_MASK);
  EXPECT_EQ(ShownAt(40, 200), 0);  // background XOR background: black
  EXPECT_EQ(ShownAt(60, 200), 0);
  SendMotion(widget(), 80, 300, GDK_BUTTON1_MASK);
  EXPECT_EQ(ShownAt(60, 200), kWhite);
  EXPECT_EQ(ShownAt(80, 200), 0);
  SendMotion(widget(), 80, 100, GDK_BUTTON1_MASK);  // flat: nothing to zoom to
  SendButton(widget(), GDK_BUTTON_RELEASE, 1, 80, 100);
  EXPECT_EQ(plot->zoomStack.top, 0);
  for (auto [x, y] : {std::pair{40, 200}, {80, 200}, {60, 100}}) EXPECT_EQ(ShownAt(x, y), kWhite);
}

TEST_F(PlotWidget, HairLinesGoWhenThePointerLeaves) {
  plot->background = 0xFFFFFF;
  plot->vHairLine.visible = plot->hHairLine.visible = 1;
  plot->vHairLine.color = plot->hHairLine.color = 0xFF0000;
  ShowLine();
  SendMotion(widget(), 45, 15, 0);
  EXPECT_EQ(ShownAt(45, 5), 255);
  SendCrossing(widget(), GDK_LEAVE_NOTIFY, 45, -1);
  EXPECT_EQ(ShownAt(45, 5), kWhite);
  EXPECT_EQ(ShownAt(5, 15), kWhite);
  // Coming back draws them afresh, and nothing is erased twice.
  SendMotion(widget(), 50, 15, 0);
  EXPECT_EQ(ShownAt(50, 5), 255);
  EXPECT_EQ(ShownAt(45, 5), kWhite);
}

// A symbol's image is bounded whatever size it is asked for.
TEST_F(PlotWidget, SymbolImagesStaySmall) {
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 4, 4);
  cairo_t *cr = cairo_create(surface);
  GtkPlotSymbolStyle style;
  gtk_plot_symbol_style_set_default(&style);
  style.size = 1e9;  // asked for gigabytes
  cairo_pattern_t *p = gtk_plot_create_symbol(cr, &style);
  cairo_surface_t *image = nullptr;
  cairo_pattern_get_surface(p, &image);
  EXPECT_LE(cairo_image_surface_get_width(image), 1024);
  cairo_pattern_destroy(p);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
}

// The widget draws with the figure's code: its window shows what the figure
// draws on an image of its size.
TEST_F(PlotWidget, ShowsWhatTheFigureDraws) {
  plot->background = 0xFFFFFF;
  plot->legend.placement = PLOT_LEGEND_BOTTOM;
  AddSerial("Line", PLOT_SERIAL_LINE_SYMBOL, {{0, 10}, {20, 90}, {40, 50}});
  AddSerial("Bars", PLOT_SERIAL_BAR, {{5, 30}, {15, 70}, {25, -20}});
  Show();
  const Image shown = GrabWindow(widget());
  WritePng(shown, TestOutputPath("plot-widget.png"));
  GtkPlotFigure *figure = plot;
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  cairo_t *cr = cairo_create(surface);
  gtk_plot_figure_draw(figure, cr, kWidth, kHeight);
  cairo_destroy(cr);
  EXPECT_TRUE(LooksLike(shown, ImageOfSurface(surface)));
  cairo_surface_destroy(surface);
}

TEST_F(PlotWidget, ExportWritesThePlotAtItsOwnSizeOrAnother) {
  AddSerial("data", PLOT_SERIAL_BAR, {{10, 20}, {50, 80}});
  Show();
  const GtkPlotFrame frame = plot->frame;
  const std::string png = TestOutputPath("plot-export.png");
  GError *error = nullptr;
  ASSERT_TRUE(gtk_plot_export(plot, png.c_str(), 0, 0, &error));
  EXPECT_TRUE(LooksLike(ReadPng(png), GrabWindow(widget())));
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

TEST_F(PlotWidget, WheelZoomsAboutThePointerOnTheZoomStack) {
  ShowLine();
  const GtkPlotRect first = View();
  const double sx = 200, sy = 250;
  double x0, y0;
  gtk_plot_screen_to_plot(plot, sx, sy, &x0, &y0);
  SendScroll(widget(), GDK_SCROLL_UP, sx, sy);
  Settle();
  EXPECT_EQ(plot->zoomStack.top, 1);
  EXPECT_LT(plot->bottomAxile.scale.max - plot->bottomAxile.scale.min, 80);
  // The point under the pointer stays near it: the scale is rounded out to
  // whole ticks, so within a tenth of the frame.
  double sx1, sy1;
  gtk_plot_plot_to_screen(plot, x0, y0, &sx1, &sy1);
  EXPECT_NEAR(sx1, sx, 0.1 * (plot->frame.right - plot->frame.left));
  EXPECT_NEAR(sy1, sy, 0.1 * (plot->frame.bottom - plot->frame.top));
  SendScroll(widget(), GDK_SCROLL_UP, sx, sy);
  EXPECT_EQ(plot->zoomStack.top, 2);
  // Back out the way it came, and no further.
  for (int i = 0; i < 3; ++i) SendScroll(widget(), GDK_SCROLL_DOWN, sx, sy);
  EXPECT_EQ(plot->zoomStack.top, 0);
  ExpectSameView(View(), first);
  // The right button's reset works on wheel zooms too.
  SendScroll(widget(), GDK_SCROLL_UP, 500, 50);
  SendScroll(widget(), GDK_SCROLL_UP, 100, 300);
  SendButton(widget(), GDK_BUTTON_PRESS, 3, 10, 10);
  ExpectSameView(View(), first);
}

}  // namespace
