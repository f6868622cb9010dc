// SPDX-License-Identifier: BSD-3-Clause
// The widgets realised under Xvfb. The plot: zoom by the mouse and the
// wheel on the zoom stack, signals, exclusive-or lines, what it draws and
// its export. The crystal 3D view with Mesa's software OpenGL
// and the trackball that turns it: atoms and their periodic images, shared
// spheres, the pointer and the wheel, what it draws against reference
// pictures (which show the cell filling the view), its export, and the view
// without OpenGL.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <set>

#include "gtkcrystal3dview.h"
#include "gtkplot.h"
#include "testing.h"
#include "trackball.h"
#include "widget_testing.h"

namespace {

constexpr int kWhite = 3 * 255;

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
  // 600 x 400; a line from (0, 0) to (100, 100), ticks from -20 to 120 both
  // ways, unless other series were added.
  void Show() {
    if (plot->serials.empty()) Add(PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
    window = std::make_unique<TestWindow>(widget, 600, 400);
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
  int stackAtRelease = -1;
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
  Drag(widget, 200, 100, 400, 300);
  Send(widget, GDK_BUTTON_PRESS, 10, 10, 3);  // back to the view before the first zoom
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(View(), first);
}

TEST_F(PlotWidget, WheelZoomsAboutThePointerAndAFullStackReplacesItsTop) {
  GtkPlotSerial *line = Add(PLOT_SERIAL_LINE, {{0, 0}, {100, 100}});
  Show();
  double x0, y0, sx, sy;
  gtk_plot_screen_to_plot(plot, 200, 250, &x0, &y0);
  Send(widget, GDK_SCROLL, 200, 250, GDK_SCROLL_UP);
  EXPECT_LT(plot->bottomAxile.scale.max - plot->bottomAxile.scale.min, 80);
  // The point under the pointer stays near it: the scale is rounded out to
  // whole ticks, so within a tenth of the frame.
  gtk_plot_plot_to_screen(plot, x0, y0, &sx, &sy);
  EXPECT_NEAR(sx, 200, 0.1 * (plot->frame.right - plot->frame.left));
  EXPECT_NEAR(sy, 250, 0.1 * (plot->frame.bottom - plot->frame.top));
  // Back out the way it came, and no further.
  Send(widget, GDK_SCROLL, 500, 50, GDK_SCROLL_UP);
  for (int i = 0; i < 3; ++i) Send(widget, GDK_SCROLL, 200, 250, GDK_SCROLL_DOWN);
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(View(), first);
  std::vector<double> before21st;
  for (int i = 1; i <= 21; ++i) {
    if (i == 21) before21st = View();
    GtkPlotRect r = {i * 1.0, 100.0 - i, i * 2.0, 100.0 - i};
    gtk_plot_zoom_in(plot, &r);
  }
  gtk_plot_zoom_out(plot);
  EXPECT_EQ(View(), before21st);
  // New data rescale the plot without touching the stack.
  line->points.push_back({1000, 1000, ""});
  line->count = 3;
  gtk_plot_update(plot);
  EXPECT_EQ(plot->zoomStack.top, 19);
  EXPECT_EQ(plot->bottomAxile.scale.max, 1000);
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
  EXPECT_EQ(ShownAt(50, 5) + ShownAt(250, 5), 255 + kWhite);
  // The rubber band follows the pointer, and a release that cannot zoom
  // leaves no rectangle behind.
  plot->vHairLine.visible = plot->hHairLine.visible = 0;
  gtk_widget_queue_draw(widget);
  Settle();
  Send(widget, GDK_BUTTON_PRESS, 40, 100);
  DragTo(widget, 60, 300);
  EXPECT_EQ(ShownAt(40, 200) + ShownAt(60, 200), 0);  // background XOR background: black
  DragTo(widget, 80, 300);
  EXPECT_EQ(ShownAt(60, 200) + ShownAt(80, 200), kWhite);
  DragTo(widget, 80, 100);  // flat: nothing to zoom to
  Send(widget, GDK_BUTTON_RELEASE, 80, 100);
  EXPECT_EQ(plot->zoomStack.top, 0);
  EXPECT_EQ(ShownAt(40, 200) + ShownAt(80, 200) + ShownAt(60, 100), 3 * kWhite);
}

// The widget draws with the figure's code, and exports what it shows, at
// its own size or another; the pointer still converts through the frame on
// screen.
TEST_F(PlotWidget, ShowsAndExportsWhatTheFigureDraws) {
  plot->legend.placement = PLOT_LEGEND_BOTTOM;
  Add(PLOT_SERIAL_LINE_SYMBOL, {{0, 10}, {20, 90}, {40, 50}});
  Add(PLOT_SERIAL_BAR, {{5, 30}, {15, 70}, {25, -20}});
  Show();
  const Image shown = GrabWindow(widget);
  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 600, 400);
  cairo_t *cr = cairo_create(surface);
  gtk_plot_figure_draw(plot, cr, 600, 400);
  cairo_destroy(cr);
  EXPECT_TRUE(LooksLike(shown, ImageOfSurface(surface)));
  cairo_surface_destroy(surface);
  const double right = plot->frame.right;
  const std::string png = TestOutputPath("plot-export.png");
  GError *error = nullptr;
  ASSERT_TRUE(gtk_plot_export(plot, png.c_str(), 0, 0, &error));
  EXPECT_TRUE(LooksLike(ReadPng(png), shown));
  ASSERT_TRUE(gtk_plot_export(plot, png.c_str(), 300, 150, nullptr));
  EXPECT_EQ(ReadPng(png).width, 300);
  EXPECT_EQ(plot->frame.right, right);
  EXPECT_FALSE(gtk_plot_export(plot, TestOutputPath("plot.gif").c_str(), 0, 0, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("plot.gif"), std::string::npos) << error->message;
  g_clear_error(&error);
}

Element MakeElement(const char *symbol, int number, int oxidation, uint32_t color, double radius) {
  Element e;
  e.symbol = symbol;
  e.atomicNumber = number;
  e.oxidation = oxidation;
  e.color = color;
  e.covalentRadius = radius;
  e.vdwRadius = 2 * radius;
  return e;
}

Atom AtomAt(const Element *e, double x, double y, double z) {
  Atom a;
  a.element = e;
  a.x = x;
  a.y = y;
  a.z = z;
  return a;
}

const Element oxide = MakeElement("O", 8, -2, 0xFFFF0D0D, 730),
              peroxide = MakeElement("O", 8, -1, 0xFFFF0D0D, 730),
              barium = MakeElement("Ba", 56, 2, 0xFF00C900, 1980),
              titanium = MakeElement("Ti", 22, 4, 0xFFBFC2C7, 1600);

class CrystalView : public ::testing::Test {
 protected:
  void SetUp() override { Make(400); }
  void Make(int size) {
    window.reset();
    CapturedMessages messages;
    widget = gtk_crystal_3d_view_new();
    view = GTK_CRYSTAL_3D_VIEW(widget);
    ASSERT_EQ(messages.text(), "");
    window = std::make_unique<TestWindow>(widget, size, size);
  }
  void Show(std::vector<Atom> atoms, double edge = 6) {
    crystal.a = crystal.b = crystal.c = edge;
    crystal.cellAtoms = std::move(atoms);
    gtk_crystal_3d_view_set_crystal(view, &crystal);
  }
  Image Picture() {
    Settle();
    GdkPixbuf *pixbuf = gtk_crystal_3d_view_get_image(view);
    if (!pixbuf) return {};
    Image image = ImageOfPixbuf(pixbuf);
    g_object_unref(pixbuf);
    return image;
  }
  GtkWidget *widget = nullptr;
  GtkCrystal3DView *view = nullptr;
  std::unique_ptr<TestWindow> window;
  Crystal crystal;
};

TEST_F(CrystalView, AtomsAreReducedIntoTheCellDrawnOnEveryFaceTheyTouchAndShareSpheres) {
  Show({AtomAt(&barium, 0, 0, 0), AtomAt(&oxide, 0.5, 0.5, 0), AtomAt(&oxide, 1.25, -0.5, 0.3),
        AtomAt(&oxide, -1e-17, 0.5, 0.5),  // a symmetry operator's zero
        AtomAt(&peroxide, 0.5, 0.5, 0.5), AtomAt(nullptr, 0.3, 0.3, 0.3)});  // nothing to draw
  const auto &atoms = view->crystal.atoms;
  ASSERT_EQ(atoms.size(), 5u);
  double images[8][3];
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[0], images), 8);  // every corner
  ASSERT_EQ(gtk_crystal_3d_view_atom_images(&atoms[1], images), 2);  // bottom and top face
  EXPECT_EQ(images[1][2] - images[0][2], 1);
  EXPECT_DOUBLE_EQ(atoms[2].x, 0.25);
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[2], images), 1);
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[3], images), 2);
  // One sphere per element and oxidation state.
  EXPECT_EQ(atoms[1].displayList, atoms[2].displayList);
  std::set<guint> lists = {0};
  for (int i : {0, 1, 4}) EXPECT_TRUE(lists.insert(atoms[i].displayList).second) << i;
}

TEST_F(CrystalView, ProjectionFollowsTheCellAndNoCellDrawsNothing) {
  const double start = view->radius;
  Show({}, 30);  // three times the default cube
  EXPECT_NEAR(view->radius, 3 * start, 1e-9);
  Show({}, 0.3);  // too small for a box of whole angstrom
  EXPECT_NEAR(view->radius, 0.03 * start, 1e-9);
  crystal.gamma = 0;  // spans no volume
  Show({AtomAt(&barium, 0, 0, 0)});
  EXPECT_EQ(view->radius, 10);  // the default box
  EXPECT_EQ(CountColour(Picture(), 0, 0, 0, 10), 400L * 400);
}

TEST_F(CrystalView, DragAndWheelScaleWithinLimitsAndEnteringForgetsWhereThePointerLeft) {
  gtk_crystal_3d_view_set_view_mode(view, CRYSTAL_VIEW_SCALE);
  Send(widget, GDK_BUTTON_PRESS, 200, 100);
  DragTo(widget, 200, 300);  // down by half the height
  EXPECT_DOUBLE_EQ(view->scale, 0.5);
  for (int i = 0; i < 8; ++i) {  // up the whole height doubles it
    Send(widget, GDK_MOTION_NOTIFY, 200, 400);
    DragTo(widget, 200, 0);
  }
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMaxScale);
  Send(widget, GDK_LEAVE_NOTIFY, 200, -1);  // leaves at the top
  Send(widget, GDK_ENTER_NOTIFY, 200, 300);  // back low down, button going down
  DragTo(widget, 200, 300);
  DragTo(widget, 200, 340);
  EXPECT_DOUBLE_EQ(view->scale, 0.9 * kCrystalViewMaxScale);
  Send(widget, GDK_MOTION_NOTIFY, 200, 0);
  DragTo(widget, 200, 400);  // down the whole height
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMinScale);
  // The wheel scales only, in either mode.
  gtk_crystal_3d_view_set_view_mode(view, CRYSTAL_VIEW_ROTATE);
  for (int i = 0; i < 100; ++i) Send(widget, GDK_SCROLL, 200, 200, GDK_SCROLL_UP);
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMaxScale);
  for (int i = 0; i < 200; ++i) Send(widget, GDK_SCROLL, 200, 200, GDK_SCROLL_DOWN);
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMinScale);
  EXPECT_EQ(view->rotation[3], 1);
}

TEST_F(CrystalView, DragsTurnTheViewAndManyLeaveAPureRotation) {
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_C);
  Send(widget, GDK_BUTTON_PRESS, 200, 200);
  DragTo(widget, 200, 200);  // no move: no turn
  EXPECT_EQ(view->rotation[3], 1);
  DragTo(widget, 280, 200);  // right from the centre
  // From (0, 0) to (0.4, 0) on the ball: 30 degrees about -y.
  EXPECT_NEAR(view->rotation[1], -std::sin(15 * M_PI / 180), 1e-12);
  // Rounding errors of thousands of small turns must not build up into a
  // rotation that shears or scales.
  for (int i = 0; i < 20000; ++i)
    DragTo(widget, 200 + 150 * std::cos(i * 0.37), 200 + 120 * std::sin(i * 0.41));
  const double *q = view->rotation;
  EXPECT_NEAR(std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]), 1, 1e-15);
  // Beyond the ball's edge at r / sqrt(2) the pointer lifts onto a sheet,
  // without a step, and far beyond it the angle stays finite.
  const double edge = 0.8 / std::sqrt(2.0);
  EXPECT_NEAR(tb_project_to_sphere(0.8, edge - 1e-12, 0), tb_project_to_sphere(0.8, edge, 0), 1e-6);
  EXPECT_NEAR(tb_project_to_sphere(0.8, 0, 2), 0.16, 1e-12);
  double far[4];
  trackball(far, -50, 0, 50, 0);
  EXPECT_TRUE(std::isfinite(far[0] + far[1] + far[2] + far[3]));
}

// The views along a, b and c of an oblique cell of three different edges,
// barium on the corners, titanium inside and oxygen on places without
// symmetry, in which a mirrored or wrongly turned view shows; and one turned
// by 90 degrees about a, then about b, which shows the order of the turns.
TEST_F(CrystalView, ViewsLookLikeTheirReferences) {
  Make(240);
  crystal.a = 4;
  crystal.b = 5;
  crystal.c = 6;
  crystal.beta = 100;
  crystal.cellAtoms = {AtomAt(&barium, 0, 0, 0),      AtomAt(&titanium, 0.45, 0.5, 0.55),
                       AtomAt(&oxide, 0.5, 0.5, 0),   AtomAt(&oxide, 0.2, 0.3, 0.8),
                       AtomAt(&oxide, 0.75, 0.1, 0.4), AtomAt(&oxide, 0, 0.65, 0.3)};
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  const std::pair<int, const char *> views[] = {
      {CRYSTAL_VIEW_FROM_A, "view-a.png"}, {CRYSTAL_VIEW_FROM_B, "view-b.png"},
      {CRYSTAL_VIEW_FROM_C, "view-c.png"}};
  for (const auto &v : views) {
    gtk_crystal_3d_view_view_from(view, v.first);
    EXPECT_TRUE(LooksLikeReference(Picture(), PULVINA_WIDGET_REFERENCE_DIR, v.second));
  }
  double a[3] = {1, 0.4, 0}, b[3] = {0, 1, 0}, qa[4], qb[4];
  axis_to_quat(a, 0.6, qa);
  axis_to_quat(b, M_PI / 2, qb);
  add_quats(qa, qb, view->rotation);
  gtk_crystal_3d_view_update(view);
  const Image turned = Picture();
  EXPECT_TRUE(LooksLikeReference(turned, PULVINA_WIDGET_REFERENCE_DIR, "view-turned.png"));
  const std::string path = TestOutputPath("crystal-export.png");
  GError *error = nullptr;
  ASSERT_TRUE(gtk_crystal_3d_view_export(view, path.c_str(), &error));
  EXPECT_TRUE(LooksLike(ReadPng(path), turned));
  EXPECT_FALSE(gtk_crystal_3d_view_export(view, TestOutputPath("view.svg").c_str(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find(".png"), std::string::npos) << error->message;
  g_clear_error(&error);
  EXPECT_FALSE(g_file_test(TestOutputPath("view.svg").c_str(), G_FILE_TEST_EXISTS));
}

// Runs on a display without GLX (see tests/widgets/CMakeLists.txt).
TEST(WithoutOpenGL, ViewReportsWhyAndStaysBlank) {
  ASSERT_TRUE(expectNoOpenGL) << "run with --expect-no-opengl on a server without GLX";
  CapturedMessages messages;
  GtkWidget *widget = gtk_crystal_3d_view_new();
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  EXPECT_EQ(view->glEnabled, 0);
  // Without the GLX extension the very first step fails.
  EXPECT_EQ(messages.text(), "can not initialize opengl!\n");
  Crystal crystal;
  crystal.cellAtoms = {AtomAt(&oxide, 0, 0, 0)};
  TestWindow window(widget, 200, 200);
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_TRUE(view->crystal.atoms.empty());
  EXPECT_EQ(gtk_crystal_3d_view_get_image(view), nullptr);
  gtk_crystal_3d_view_update(view);
  Settle();
  // The widget says why it shows nothing: light text in the middle of its box.
  const Image image = GrabWindow(widget);
  EXPECT_GT(CountColour(image, 255, 255, 255, 60, 0, 60, 200, 140), 40);
  EXPECT_EQ(CountColour(image, 255, 255, 255, 60, 0, 0, 200, 60), 0);
  GError *error = nullptr;
  EXPECT_FALSE(gtk_crystal_3d_view_export(view, TestOutputPath("no-view.png").c_str(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("can not initialize opengl!"), std::string::npos);
  g_clear_error(&error);
}

}  // namespace

// The widgets need a display; run under xvfb-run.
//   widget_tests [--expect-no-opengl] [--update-references] [gtest options]
int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    expectNoOpenGL |= std::string(argv[i]) == "--expect-no-opengl";
    updateReferences |= std::string(argv[i]) == "--update-references";
  }
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "widget_tests: no display; run under xvfb-run\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
