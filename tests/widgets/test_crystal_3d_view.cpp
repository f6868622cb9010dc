// The crystal 3D view with Mesa's software OpenGL, and the trackball that
// turns it: atoms and their periodic images, shared spheres, the pointer
// and the wheel, what it draws (against reference pictures, which show the
// cell filling the view), its export, and the widget without OpenGL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "gtkcrystal3dview.h"
#include "testing.h"
#include "trackball.h"
#include "widget_testing.h"

namespace {

constexpr int kSize = 400;

Element MakeElement(const char *symbol, int number, int oxidation, uint32_t color,
                    double covalentRadius) {
  Element e;
  e.symbol = symbol;
  e.atomicNumber = number;
  e.oxidation = oxidation;
  e.color = color;
  e.covalentRadius = covalentRadius;
  e.vdwRadius = 2 * covalentRadius;
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
  void SetUp() override { Make(kSize); }
  void Make(int size) {
    window.reset();
    CapturedMessages messages;
    widget = gtk_crystal_3d_view_new();
    view = GTK_CRYSTAL_3D_VIEW(widget);
    ASSERT_EQ(messages.size(), 0u) << messages.text();
    ASSERT_EQ(view->glEnabled, 1);
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
  void Turn(double ax, double ay, double az, double angle) {
    double axis[3] = {ax, ay, az};
    axis_to_quat(axis, angle, view->rotation);
    gtk_crystal_3d_view_update(view);
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
  EXPECT_EQ(images[0][2], -0.5);
  EXPECT_EQ(images[1][2], 0.5);
  EXPECT_DOUBLE_EQ(atoms[2].x, 0.25);
  EXPECT_DOUBLE_EQ(atoms[2].y, 0.5);
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[2], images), 1);
  EXPECT_EQ(atoms[3].x, 0);
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[3], images), 2);
  // One sphere per element and oxidation state.
  EXPECT_NE(atoms[1].displayList, 0u);
  EXPECT_EQ(atoms[1].displayList, atoms[2].displayList);
  EXPECT_NE(atoms[4].displayList, atoms[1].displayList);
  EXPECT_NE(atoms[0].displayList, atoms[1].displayList);
  EXPECT_NE(atoms[0].displayList, atoms[4].displayList);
}

TEST_F(CrystalView, ProjectionFollowsTheCell) {
  const double start = view->radius;
  Show({}, 30);  // three times the default cube
  EXPECT_NEAR(view->radius, 3 * start, 1e-9);
  gtk_crystal_3d_view_clear(view);
  EXPECT_NEAR(view->radius, start, 1e-9);
  Show({}, 0.3);  // too small for a box of whole angstrom
  EXPECT_NEAR(view->radius, 0.03 * start, 1e-9);
  // A cell that spans no volume gets the default box, and nothing drawn.
  ViewCrystal flat;
  flat.gamma = 0;
  EXPECT_EQ(gtk_crystal_3d_view_cell_radius(&flat), 10);
  crystal.cellAtoms = {AtomAt(&barium, 0, 0, 0)};
  crystal.gamma = 0;
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_EQ(CountColour(Picture(), 0, 0, 0, 10), long(kSize) * kSize);
}

TEST_F(CrystalView, DragAndWheelScaleWithinLimitsAndEnteringForgetsWhereThePointerLeft) {
  gtk_crystal_3d_view_set_view_mode(view, CRYSTAL_VIEW_SCALE);
  Send(widget, GDK_BUTTON_PRESS, 200, 100);
  DragTo(widget, 200, 100 + kSize / 2.0);  // down by half the height
  EXPECT_DOUBLE_EQ(view->scale, 0.5);
  for (int i = 0; i < 8; ++i) {  // up the whole height doubles it
    Send(widget, GDK_MOTION_NOTIFY, 200, kSize);
    DragTo(widget, 200, 0);
  }
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMaxScale);
  Send(widget, GDK_LEAVE_NOTIFY, 200, -1);  // leaves at the top
  Send(widget, GDK_ENTER_NOTIFY, 200, 300);  // back low down, button going down
  DragTo(widget, 200, 300);
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMaxScale);
  DragTo(widget, 200, 340);
  EXPECT_DOUBLE_EQ(view->scale, 0.9 * kCrystalViewMaxScale);
  Send(widget, GDK_MOTION_NOTIFY, 200, 0);
  DragTo(widget, 200, kSize);  // down the whole height
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMinScale);
  // The wheel scales only, in either mode.
  gtk_crystal_3d_view_set_view_mode(view, CRYSTAL_VIEW_ROTATE);
  for (int i = 0; i < 100; ++i) Send(widget, GDK_SCROLL, 200, 200, GDK_SCROLL_UP);
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMaxScale);
  for (int i = 0; i < 200; ++i) Send(widget, GDK_SCROLL, 200, 200, GDK_SCROLL_DOWN);
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMinScale);
  Send(widget, GDK_SCROLL, 200, 200, GDK_SCROLL_UP);
  EXPECT_GT(view->scale, 1.05 * kCrystalViewMinScale);
  EXPECT_EQ(view->rotation[3], 1);
}

TEST_F(CrystalView, DraggingInRotateModeTurnsAndManyDragsLeaveAPureRotation) {
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_A);
  double start[4];
  std::copy(view->rotation, view->rotation + 4, start);
  Send(widget, GDK_BUTTON_PRESS, 150, 170);
  DragTo(widget, 150, 170);  // no move: no turn
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(view->rotation[i], start[i]);
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_C);
  Send(widget, GDK_BUTTON_PRESS, 200, 200);
  DragTo(widget, 280, 200);  // right from the centre
  // From (0, 0) to (0.4, 0) on the ball: 30 degrees about -y.
  EXPECT_NEAR(view->rotation[1], -std::sin(15 * M_PI / 180), 1e-12);
  // Rounding errors of thousands of small turns must not build up into a
  // rotation that shears or scales.
  for (int i = 0; i < 20000; ++i)
    DragTo(widget, 200 + 150 * std::cos(i * 0.37), 200 + 120 * std::sin(i * 0.41));
  const double *q = view->rotation;
  EXPECT_NEAR(std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]), 1, 1e-15);
}

// The views along a, b and c of an asymmetric crystal, and a turned one: an
// oblique cell of three different edges, barium on the corners, titanium
// inside and oxygen on places without symmetry, in which a mirrored or
// wrongly turned view shows.
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
  const std::pair<int, const char *> views[] = {{CRYSTAL_VIEW_FROM_A, "view-a.png"},
                                                {CRYSTAL_VIEW_FROM_B, "view-b.png"},
                                                {CRYSTAL_VIEW_FROM_C, "view-c.png"}};
  for (const auto &v : views) {
    gtk_crystal_3d_view_view_from(view, v.first);
    EXPECT_TRUE(LooksLikeReference(Picture(), PULVINA_WIDGET_REFERENCE_DIR, v.second));
  }
  Turn(1, 0.4, 0, 0.6);
  const Image turned = Picture();
  EXPECT_TRUE(LooksLikeReference(turned, PULVINA_WIDGET_REFERENCE_DIR, "view-turned.png"));
  // The export writes what the view shows, as PNG only.
  const std::string path = TestOutputPath("crystal-export.png");
  GError *error = nullptr;
  ASSERT_TRUE(gtk_crystal_3d_view_export(view, path.c_str(), &error));
  EXPECT_TRUE(LooksLike(ReadPng(path), turned));
  const std::string svg = TestOutputPath("crystal-export.svg");
  EXPECT_FALSE(gtk_crystal_3d_view_export(view, svg.c_str(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find(".png"), std::string::npos) << error->message;
  g_clear_error(&error);
  EXPECT_FALSE(g_file_test(svg.c_str(), G_FILE_TEST_EXISTS));
}

TEST(Trackball, LiftsOntoBallThenSheetWithoutAStepAndComposesInOrder) {
  // Sphere and sheet meet at d = r / sqrt(2); beyond, z = (r^2 / 2) / d.
  const double edge = 0.8 / std::sqrt(2.0);
  EXPECT_NEAR(tb_project_to_sphere(0.8, edge - 1e-12, 0), tb_project_to_sphere(0.8, edge, 0), 1e-6);
  EXPECT_NEAR(tb_project_to_sphere(0.8, 0, 2), 0.16, 1e-12);
  double q[4];
  trackball(q, -50, 0, 50, 0);  // far beyond the ball: capped at 180 degrees
  for (double c : q) EXPECT_TRUE(std::isfinite(c));
  double zero[3] = {0, 0, 0};
  axis_to_quat(zero, 1.0, q);  // a zero axis stays zero
  EXPECT_EQ(q[0], 0);
  EXPECT_TRUE(std::isfinite(q[3]));
  // 90 degrees about x, then about y: x stays, then goes to -z.
  double ax[3] = {1, 0, 0}, ay[3] = {0, 1, 0}, qx[4], qy[4], m[4][4];
  axis_to_quat(ax, M_PI / 2, qx);
  axis_to_quat(ay, M_PI / 2, qy);
  add_quats(qx, qy, q);
  build_rotmatrix(m, q);
  EXPECT_NEAR(m[0][0], 0, 1e-12);
  EXPECT_NEAR(m[1][0], 0, 1e-12);
  EXPECT_NEAR(m[2][0], -1, 1e-12);
  add_quats(qx, qy, qy);  // the result may be written over an argument
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(qy[i], q[i]);
}

// Runs on a display without GLX (see tests/widgets/CMakeLists.txt).
TEST(WithoutOpenGL, ViewReportsWhyAndStaysBlank) {
  ASSERT_TRUE(expectNoOpenGL) << "run with --expect-no-opengl on a server without GLX";
  CapturedMessages messages;
  GtkWidget *widget = gtk_crystal_3d_view_new();
  ASSERT_NE(widget, nullptr);
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  EXPECT_EQ(view->glEnabled, 0);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.all()[0].first, MESSAGE_WARNING);
  // Without the GLX extension the very first step fails.
  EXPECT_EQ(messages.all()[0].second, "can not initialize opengl!\n");
  Crystal crystal;
  crystal.cellAtoms = {AtomAt(&oxide, 0, 0, 0)};
  TestWindow window(widget, 200, 200);
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_TRUE(view->crystal.atoms.empty());
  EXPECT_EQ(gtk_crystal_3d_view_get_image(view), nullptr);
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_A);
  gtk_crystal_3d_view_update(view);
  Settle();
  // The widget says why it shows nothing: light text on its dark box.
  const Image image = GrabWindow(widget);
  WritePng(image, TestOutputPath("crystal-no-opengl.png"));
  EXPECT_GT(CountColour(image, 255, 255, 255, 60, 0, 60, 200, 140), 40);
  EXPECT_EQ(CountColour(image, 255, 255, 255, 60, 0, 0, 200, 60), 0);
  GError *error = nullptr;
  EXPECT_FALSE(gtk_crystal_3d_view_export(view, TestOutputPath("no-view.png").c_str(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("can not initialize opengl!"), std::string::npos);
  g_clear_error(&error);
}

}  // namespace
