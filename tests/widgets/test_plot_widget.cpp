// The plot as a realised widget: layout, legend, zoom by the mouse and the
// wheel, the tool-mode property, signals, exclusive-or lines, what it draws
// and its export.
#include <gtest/gtest.h>

#include <cmath>
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

  GtkPlot *plot;
  std::unique_ptr<TestWindow> window;
};

void ExpectSameView(const GtkPlotRect &a, const GtkPlotRect &b) {
  EXPECT_DOUBLE_EQ(a.xmin, b.xmin);
  EXPECT_DOUBLE_EQ(a.xmax, b.xmax);
  EXPECT_DOUBLE_EQ(a.ymin, b.ymin);
  EXPECT_DOUBLE_EQ(a.ymax, b.ymax);
}

TEST_F(PlotWidget, FrameIsTheMarginsWhenNothingTakesRoom) {
  plot->topAxile.visible = plot->leftAxile.visible = 0;
  plot->rightAxile.visible = plot->bottomAxile.visible = 0;
  plot->legend.visible = 0;
  Show();
  // 5 % of 400 and of 600.
  EXPECT_EQ(plot->frame.top, 20);
  EXPECT_EQ(plot->frame.bottom, 380);
  EXPECT_EQ(plot->frame.left, 30);
  EXPECT_EQ(plot->frame.right, 570);
}

TEST_F(PlotWidget, AxesTakeRoomAndConversionsRoundTrip) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  const GtkPlotFrame &f = plot->frame;
  EXPECT_EQ(f.left, 30 + gtk_plot_get_axile_size(plot, PLOT_AXILE_LEFT));
  EXPECT_EQ(f.bottom, 380 - gtk_plot_get_axile_size(plot, PLOT_AXILE_BOTTOM));
  EXPECT_GT(gtk_plot_get_axile_size(plot, PLOT_AXILE_LEFT), plot->leftAxile.tickLength);
  // -20..120 over the frame's width.
  EXPECT_DOUBLE_EQ(plot->bottomAxile.scale.pixelsPerUnit, (f.right - f.left) / 140.0);

  double sx, sy, x, y;
  gtk_plot_plot_to_screen(plot, 37.5, 62.5, &sx, &sy);
  gtk_plot_screen_to_plot(plot, sx, sy, &x, &y);
  EXPECT_NEAR(x, 37.5, 1e-9);
  EXPECT_NEAR(y, 62.5, 1e-9);
  gtk_plot_plot_to_screen(plot, 0, 0, &sx, &sy);
  EXPECT_NEAR(sx, f.left + 20 * plot->bottomAxile.scale.pixelsPerUnit, 1e-9);
  // The edges of the shown range count as outside.
  gtk_plot_plot_to_screen(plot, -20, 50, &sx, &sy);
  EXPECT_EQ(sx, -1);
  EXPECT_EQ(sy, -1);
  gtk_plot_plot_to_screen(plot, 50, 120, &sx, &sy);
  EXPECT_EQ(sx, -1);
}

TEST_F(PlotWidget, LegendOnTheRightEndsAtTheMarginCentredOnTheFrame) {
  AddSerial("first", PLOT_SERIAL_LINE, {{0, 0}, {10, 10}});
  AddSerial("a much longer name", PLOT_SERIAL_BAR, {{5, 5}});
  plot->rightAxile.visible = 0;
  Show();
  const cairo_rectangle_int_t &box = plot->legendBox;
  const int shadow = plot->legend.frameWidth;
  EXPECT_EQ(box.x + box.width + shadow, 570);
  // The frame leaves room for the box and a gap before it.
  const double gap = box.x - plot->frame.right;
  EXPECT_GE(gap, 3);
  EXPECT_LE(gap, 12);
  EXPECT_NEAR(box.y + box.height / 2.0, (plot->frame.top + plot->frame.bottom) / 2.0, 1.0);
  const cairo_rectangle_int_t before = box;

  plot->legend.xOffset = -15;
  plot->legend.yOffset = 25;
  Redraw();
  EXPECT_EQ(plot->legendBox.x, before.x - 15);
  EXPECT_EQ(plot->legendBox.y, before.y + 25);

  plot->legend.placement = PLOT_LEGEND_LEFT;
  plot->leftAxile.visible = 0;
  Redraw();
  EXPECT_EQ(plot->legendBox.x, 30 - 15);
  EXPECT_EQ(plot->frame.left, 30 + box.width + shadow + gap);

  plot->legend.visible = 0;
  Redraw();
  EXPECT_EQ(plot->frame.left, 30);
  EXPECT_EQ(plot->legendBox.width, 0);
}

TEST_F(PlotWidget, LegendBelowWrapsIntoRowsWithinTheFrameAndIgnoresOffsets) {
  AddSerial("series number 0", PLOT_SERIAL_LINE, {{0, 0}, {10, 1}});
  plot->legend.placement = PLOT_LEGEND_BOTTOM;
  plot->legend.yOffset = 10;  // the application sets it; it has no effect below
  plot->bottomAxile.visible = 0;
  Show();
  const cairo_rectangle_int_t &box = plot->legendBox;
  const GtkPlotFrame &f = plot->frame;
  const int rowHeight = box.height;
  ASSERT_GT(rowHeight, 0);
  EXPECT_EQ(box.y + box.height + plot->legend.frameWidth, 380);
  const double gap = box.y - f.bottom;
  EXPECT_GE(gap, 3);

  // Nine long names do not fit beside each other in 540 pixels.
  for (int i = 1; i < 9; ++i)
    AddSerial(("series number " + std::to_string(i)).c_str(), PLOT_SERIAL_LINE,
              {{0, i}, {10, i + 1.0}});
  Redraw();
  EXPECT_GT(box.height, rowHeight);
  EXPECT_EQ(box.height % rowHeight, 0);
  EXPECT_LE(box.width, f.right - f.left);
  EXPECT_NEAR(box.x + box.width / 2.0, (f.left + f.right) / 2.0, 1.0);
  EXPECT_EQ(box.y + box.height + plot->legend.frameWidth, 380);
  EXPECT_EQ(f.bottom, box.y - gap);
}

TEST_F(PlotWidget, DragZoomsInOnlyWhenItSpansBothDirections) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
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
  ExpectSameView(plot->zoomStack.storage[0], first);
  EXPECT_DOUBLE_EQ(plot->bottomAxile.scale.min, xmin);
  EXPECT_DOUBLE_EQ(plot->bottomAxile.scale.max, xmax);
  EXPECT_DOUBLE_EQ(plot->leftAxile.scale.min, ymin);
  EXPECT_DOUBLE_EQ(plot->leftAxile.scale.max, ymax);
}

TEST_F(PlotWidget, RightButtonReturnsToTheViewBeforeTheFirstZoom) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  const GtkPlotRect first = View();
  for (int i = 0; i < 3; ++i) {
    Drag(widget(), 200, 100, 400, 300);
    Settle();
  }
  EXPECT_EQ(plot->zoomStack.top, 3);
  EXPECT_LT(plot->bottomAxile.scale.max - plot->bottomAxile.scale.min, 50);
  SendButton(widget(), GDK_BUTTON_PRESS, 3, 10, 10);
  EXPECT_EQ(plot->zoomStack.top, 0);
  ExpectSameView(View(), first);
  // With nothing stacked, the right button changes nothing.
  SendButton(widget(), GDK_BUTTON_PRESS, 3, 10, 10);
  ExpectSameView(View(), first);
}

TEST_F(PlotWidget, FullZoomStackReplacesItsTopmostView) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  GtkPlotRect before21st{};
  for (int i = 1; i <= 21; ++i) {
    if (i == 21) before21st = View();
    GtkPlotRect r = {i * 1.0, 100.0 - i, i * 2.0, 100.0 - i};
    gtk_plot_zoom_in(plot, &r);
  }
  EXPECT_EQ(plot->zoomStack.top, 20);
  ExpectSameView(plot->zoomStack.storage[19], before21st);
  gtk_plot_zoom_out(plot);
  ExpectSameView(View(), before21st);
  EXPECT_EQ(plot->zoomStack.top, 19);
  EXPECT_EQ(gtk_plot_zoom(plot, nullptr), nullptr);
  // A smaller stack keeps its oldest views.
  const GtkPlotRect oldest = plot->zoomStack.storage[0];
  gtk_plot_set_zoom_stack_size(plot, 5);
  EXPECT_EQ(plot->zoomStack.top, 5);
  ExpectSameView(plot->zoomStack.storage[0], oldest);
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

TEST_F(PlotWidget, ToolModePropertyChoosesModeAndCursor) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  gint mode = -1;
  g_object_get(plot, "tool-mode", &mode, nullptr);
  EXPECT_EQ(mode, PLOT_TOOL_ZOOM_IN);
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_OUT, nullptr);  // before the window exists
  Show();
  GdkWindow *w = widget()->window;
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomCursor);  // empty stack: plain zoom
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_IN, nullptr);
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomInCursor);
  Drag(widget(), 200, 100, 400, 300);
  Drag(widget(), 200, 100, 400, 300);
  g_object_set(plot, "tool-mode", PLOT_TOOL_ZOOM_OUT, nullptr);
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomOutCursor);
  // In zoom-out mode a click pops one view; the last one brings back the
  // plain cursor.
  SendButton(widget(), GDK_BUTTON_PRESS, 1, 50, 50);
  SendButton(widget(), GDK_BUTTON_RELEASE, 1, 50, 50);
  EXPECT_EQ(plot->zoomStack.top, 1);
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomOutCursor);
  SendButton(widget(), GDK_BUTTON_PRESS, 1, 50, 50);
  SendButton(widget(), GDK_BUTTON_RELEASE, 1, 50, 50);
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(gdk_window_get_cursor(w), plot->zoomCursor);
  g_object_set(plot, "tool-mode", PLOT_TOOL_NONE, nullptr);
  EXPECT_EQ(gdk_window_get_cursor(w), nullptr);
  Drag(widget(), 200, 100, 400, 300);  // no tool: no zoom
  EXPECT_EQ(plot->zoomStack.top, 0);
}

struct SignalLog {
  int press = 0, motion = 0, release = 0;
  int stackAtRelease = -1;
  GdkEventType lastType = GDK_NOTHING;
};

TEST_F(PlotWidget, SignalsFollowTheWidgetsOwnHandling) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  SignalLog log;
  g_signal_connect(plot, "button-press", G_CALLBACK(+[](GtkPlot *, GdkEvent *e, SignalLog *l) {
                     ++l->press;
                     l->lastType = e->type;
                   }),
                   &log);
  g_signal_connect(plot, "motion-notify",
                   G_CALLBACK(+[](GtkPlot *, GdkEvent *e, SignalLog *l) {
                     ++l->motion;
                     l->lastType = e->type;
                   }),
                   &log);
  g_signal_connect(plot, "button-release",
                   G_CALLBACK(+[](GtkPlot *p, GdkEvent *e, SignalLog *l) {
                     ++l->release;
                     l->lastType = e->type;
                     l->stackAtRelease = p->zoomStack.top;
                   }),
                   &log);
  Drag(widget(), 200, 100, 400, 300);
  EXPECT_EQ(log.press, 1);
  EXPECT_EQ(log.motion, 1);
  EXPECT_EQ(log.release, 1);
  EXPECT_EQ(log.lastType, GDK_BUTTON_RELEASE);
  EXPECT_EQ(log.stackAtRelease, 1);  // the zoom happened before the signal
}

TEST_F(PlotWidget, HairLinesAndRubberBandAreErasedByDrawingThemAgain) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  plot->background = 0xFFFFFF;
  plot->vHairLine.visible = 1;
  plot->vHairLine.color = 0xFF0000;
  Show();
  // Column 45 lies in the margin, clear of everything but the background.
  SendMotion(widget(), 45, 200, 0);
  gdk_flush();
  GdkPixbuf *shown = GrabWindow(widget());
  Rgb hair = PixelAt(shown, 45, 10);
  EXPECT_EQ(hair.r, 255);
  EXPECT_EQ(hair.g, 0);
  EXPECT_EQ(hair.b, 0);
  g_object_unref(shown);
  SendMotion(widget(), 250, 200, 0);
  gdk_flush();
  shown = GrabWindow(widget());
  Rgb erased = PixelAt(shown, 45, 10);
  EXPECT_EQ(erased.r + erased.g + erased.b, 3 * 255);
  g_object_unref(shown);

  // The rubber band follows the pointer, and a release that cannot zoom
  // leaves no rectangle behind.
  plot->vHairLine.visible = 0;
  Redraw();
  auto sumAt = [&](int x, int y) {
    gdk_flush();
    GdkPixbuf *now = GrabWindow(widget());
    Rgb p = PixelAt(now, x, y);
    g_object_unref(now);
    return p.r + p.g + p.b;
  };
  SendButton(widget(), GDK_BUTTON_PRESS, 1, 40, 100);
  SendMotion(widget(), 60, 300, GDK_BUTTON1_MASK);
  EXPECT_EQ(sumAt(40, 200), 0);  // background XOR background: black
  EXPECT_EQ(sumAt(60, 200), 0);
  SendMotion(widget(), 80, 300, GDK_BUTTON1_MASK);
  EXPECT_EQ(sumAt(60, 200), 3 * 255);
  EXPECT_EQ(sumAt(80, 200), 0);
  SendMotion(widget(), 80, 100, GDK_BUTTON1_MASK);  // flat: nothing to zoom to
  SendButton(widget(), GDK_BUTTON_RELEASE, 1, 80, 100);
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(sumAt(40, 200), 3 * 255);
  EXPECT_EQ(sumAt(80, 200), 3 * 255);
  EXPECT_EQ(sumAt(60, 100), 3 * 255);
}

TEST_F(PlotWidget, BarsOfPlacementOneAndThreeStandSideBySide) {
  GtkPlotSerial *left = AddSerial("left", PLOT_SERIAL_BAR, {{50, 80}});
  left->barStyle = {1, 8.0, 0xFF0000};
  GtkPlotSerial *right = AddSerial("right", PLOT_SERIAL_BAR, {{50, 60}});
  right->barStyle = {3, 8.0, 0x0000FF};
  AddSerial("range", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  plot->background = 0xFFFFFF;
  plot->legend.visible = 0;
  Show();
  gtk_plot_update(plot);
  Settle();
  double sx, sy;
  gtk_plot_plot_to_screen(plot, 50, 30, &sx, &sy);
  GdkPixbuf *image = GrabDrawable(plot->pixmap, kWidth, kHeight);
  const int x = static_cast<int>(std::floor(sx)), y = static_cast<int>(sy);
  Rgb l = PixelAt(image, x - 4, y), r = PixelAt(image, x + 4, y);
  EXPECT_EQ(l.r, 255);
  EXPECT_EQ(l.b, 0);
  EXPECT_EQ(r.b, 255);
  EXPECT_EQ(r.r, 0);
  // Nothing beyond the bars' width.
  Rgb outside = PixelAt(image, x + 12, y);
  EXPECT_EQ(outside.r + outside.g + outside.b, 3 * 255);
  g_object_unref(image);
}

TEST_F(PlotWidget, SymbolImages) {
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 4, 4);
  cairo_t *cr = cairo_create(surface);
  GtkPlotSymbolStyle style;
  gtk_plot_symbol_style_set_default(&style);
  auto alphaAt = [&](int x, int y) {
    cairo_pattern_t *p = gtk_plot_create_symbol(cr, &style);
    cairo_surface_t *image = nullptr;
    cairo_pattern_get_surface(p, &image);
    cairo_surface_flush(image);
    int a = cairo_image_surface_get_data(image)[y * cairo_image_surface_get_stride(image) +
                                                x * 4 + 3];
    int w = cairo_image_surface_get_width(image);
    cairo_pattern_destroy(p);
    return std::make_pair(a, w);
  };
  style.shape = 0;
  style.fill = 1;
  EXPECT_EQ(alphaAt(4, 4).first, 255);  // filled square
  style.fill = 0;
  EXPECT_EQ(alphaAt(4, 4).first, 0);  // outlined: hollow
  EXPECT_GT(alphaAt(0, 4).first, 0);
  style.shape = 7;
  EXPECT_EQ(alphaAt(4, 4).first + alphaAt(0, 0).first, 0);  // nothing
  style.shape = 11;
  EXPECT_GT(alphaAt(4, 4).first, 0);  // the cross passes the middle
  style.size = 1e9;                   // asked for gigabytes
  EXPECT_LE(alphaAt(0, 0).second, 1024);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
}

// The widget draws with the figure's code: its window shows what the figure
// draws on an image of its size.
TEST_F(PlotWidget, ShowsWhatTheFigureDraws) {
  plot->background = 0xFFFFFF;
  plot->hGridLine.majorVisible = 1;
  plot->hGridLine.majorStyle.color = 0xC0C0C0;
  plot->legend.placement = PLOT_LEGEND_BOTTOM;
  GtkPlotSerial *line = AddSerial("Line", PLOT_SERIAL_LINE_SYMBOL, {});
  for (int i = 0; i <= 40; ++i) line->points.push_back({i * 1.0, 50 + 40 * std::sin(i / 4.0), ""});
  line->count = 41;
  line->lineStyle = {2.0, 0x1F4E9A, 0, 1, 1};
  line->symbolStyle.shape = 1;
  GtkPlotSerial *bars = AddSerial("Bars", PLOT_SERIAL_BAR, {{5, 30}, {15, 70}, {25, -20}});
  bars->barStyle = {0, 6.0, 0xD02020};
  gtk_plot_update(plot);
  Show();
  GdkPixbuf *shown = GrabWindow(widget());
  SavePng(shown, "plot-widget.png");
  GtkPlotFigure *figure = plot;
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  cairo_t *cr = cairo_create(surface);
  gtk_plot_figure_draw(figure, cr, kWidth, kHeight);
  cairo_destroy(cr);
  EXPECT_TRUE(LooksLike(ImageOfPixbuf(shown), ImageOfSurface(surface)));
  cairo_surface_destroy(surface);
  g_object_unref(shown);
}

TEST_F(PlotWidget, ExportWritesThePlotAtItsOwnSizeOrAnother) {
  AddSerial("data", PLOT_SERIAL_BAR, {{10, 20}, {50, 80}});
  Show();
  const GtkPlotFrame frame = plot->frame;
  const std::string png = TestOutputPath("plot-export.png");
  GError *error = nullptr;
  ASSERT_TRUE(gtk_plot_export(plot, png.c_str(), 0, 0, &error));
  Image written = ReadPng(png);
  EXPECT_EQ(written.width, kWidth);
  EXPECT_EQ(written.height, kHeight);
  GdkPixbuf *shown = GrabWindow(widget());
  EXPECT_TRUE(LooksLike(written, ImageOfPixbuf(shown)));
  g_object_unref(shown);
  ASSERT_TRUE(gtk_plot_export(plot, png.c_str(), 300, 150, nullptr));
  written = ReadPng(png);
  EXPECT_EQ(written.width, 300);
  EXPECT_EQ(written.height, 150);
  // The pointer still converts through the frame on screen.
  EXPECT_EQ(plot->frame.right, frame.right);
  EXPECT_EQ(plot->frame.bottom, frame.bottom);

  EXPECT_FALSE(gtk_plot_export(plot, TestOutputPath("plot.gif").c_str(), 0, 0, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain, GTK_PLOT_ERROR);
  EXPECT_NE(std::string(error->message).find("plot.gif"), std::string::npos) << error->message;
  g_clear_error(&error);
}

TEST_F(PlotWidget, HairLinesGoWhenThePointerLeaves) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  plot->background = 0xFFFFFF;
  plot->vHairLine.visible = plot->hHairLine.visible = 1;
  plot->vHairLine.color = plot->hHairLine.color = 0xFF0000;
  Show();
  SendMotion(widget(), 45, 15, 0);
  gdk_flush();
  GdkPixbuf *shown = GrabWindow(widget());
  EXPECT_EQ(PixelAt(shown, 45, 5).g, 0);  // the red line is there
  g_object_unref(shown);
  SendCrossing(widget(), GDK_LEAVE_NOTIFY, 45, -1);
  gdk_flush();
  shown = GrabWindow(widget());
  Rgb p = PixelAt(shown, 45, 5), q = PixelAt(shown, 5, 15);
  EXPECT_EQ(p.r + p.g + p.b, 3 * 255);
  EXPECT_EQ(q.r + q.g + q.b, 3 * 255);
  g_object_unref(shown);
  // Coming back draws them afresh, and nothing is erased twice.
  SendMotion(widget(), 50, 15, 0);
  gdk_flush();
  shown = GrabWindow(widget());
  EXPECT_EQ(PixelAt(shown, 50, 5).g, 0);
  p = PixelAt(shown, 45, 5);
  EXPECT_EQ(p.r + p.g + p.b, 3 * 255);
  g_object_unref(shown);
}

TEST_F(PlotWidget, WheelZoomsAboutThePointerOnTheZoomStack) {
  AddSerial("data", PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  const GtkPlotRect first = View();
  const double sx = 200, sy = 250;
  double x0, y0;
  gtk_plot_screen_to_plot(plot, sx, sy, &x0, &y0);
  const double span = plot->bottomAxile.scale.tickEnd - plot->bottomAxile.scale.tickStart;
  SendScroll(widget(), GDK_SCROLL_UP, sx, sy);
  Settle();
  EXPECT_EQ(plot->zoomStack.top, 1);
  const double zoomed = plot->bottomAxile.scale.tickEnd - plot->bottomAxile.scale.tickStart;
  EXPECT_LT(zoomed, 0.8 * span);
  // The point under the pointer stays near it: the scale is rounded out to
  // whole ticks, so within a tenth of the frame.
  double sx1, sy1;
  gtk_plot_plot_to_screen(plot, x0, y0, &sx1, &sy1);
  EXPECT_NEAR(sx1, sx, 0.1 * (plot->frame.right - plot->frame.left));
  EXPECT_NEAR(sy1, sy, 0.1 * (plot->frame.bottom - plot->frame.top));
  SendScroll(widget(), GDK_SCROLL_UP, sx, sy);
  EXPECT_EQ(plot->zoomStack.top, 2);
  // Back out the way it came, and no further.
  SendScroll(widget(), GDK_SCROLL_DOWN, sx, sy);
  SendScroll(widget(), GDK_SCROLL_DOWN, sx, sy);
  SendScroll(widget(), GDK_SCROLL_DOWN, sx, sy);
  EXPECT_EQ(plot->zoomStack.top, 0);
  ExpectSameView(View(), first);
  // The right button's reset works on wheel zooms too.
  SendScroll(widget(), GDK_SCROLL_UP, 500, 50);
  SendScroll(widget(), GDK_SCROLL_UP, 100, 300);
  SendButton(widget(), GDK_BUTTON_PRESS, 3, 10, 10);
  ExpectSameView(View(), first);
}

}  // namespace
