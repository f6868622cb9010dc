// The crystal 3D view with Mesa's software OpenGL: the default cell, atoms
// and their periodic images, shared spheres, the pointer, the snap views,
// the picture, and the widget without OpenGL.
#include <gtest/gtest.h>

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

class CrystalView : public ::testing::Test {
 protected:
  void SetUp() override {
    CapturedMessages messages;
    widget = gtk_crystal_3d_view_new();
    view = GTK_CRYSTAL_3D_VIEW(widget);
    ASSERT_EQ(messages.size(), 0u) << messages.text();
    ASSERT_EQ(view->glEnabled, 1);
    window = std::make_unique<TestWindow>(widget, kSize, kSize);
  }

  // Oxygen in two oxidation states and barium, on a cubic cell.
  void SetUp3Kinds() {
    crystal.a = crystal.b = crystal.c = 6;
    oxide = MakeElement("O", 8, -2, 0xFFFF0D0D, 730);
    peroxide = MakeElement("O", 8, -1, 0xFFFF0D0D, 730);
    barium = MakeElement("Ba", 56, 2, 0xFF00C900, 1980);
  }

  GtkWidget *widget = nullptr;
  GtkCrystal3DView *view = nullptr;
  std::unique_ptr<TestWindow> window;
  Crystal crystal;
  Element oxide, peroxide, barium;
};

TEST_F(CrystalView, StartsWithATenAngstromCubeAndNoAtoms) {
  EXPECT_EQ(view->crystal.a, 10);
  EXPECT_EQ(view->crystal.c, 10);
  EXPECT_EQ(view->crystal.beta, 90);
  EXPECT_TRUE(view->crystal.atoms.empty());
  EXPECT_EQ(view->radius, 17);  // sqrt(300) = 17.32, truncated
  EXPECT_EQ(view->rotation[3], 1);
  EXPECT_EQ(view->scale, 1);
  EXPECT_EQ(view->viewMode, CRYSTAL_VIEW_ROTATE);
}

TEST_F(CrystalView, AtomsAreReducedIntoTheCellAndDrawnOnEveryFaceTheyTouch) {
  SetUp3Kinds();
  crystal.cellAtoms = {AtomAt(&barium, 0, 0, 0), AtomAt(&oxide, 0.5, 0.5, 0),
                       AtomAt(&oxide, 1.25, -0.5, 0.3),
                       AtomAt(&oxide, -1e-17, 0.5, 0.5)};  // a symmetry operator's zero
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  ASSERT_EQ(view->crystal.atoms.size(), 4u);
  const auto &atoms = view->crystal.atoms;
  double images[8][3];
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[0], images), 8);  // every corner
  int corners = 0;
  for (auto &p : images)
    corners += std::fabs(p[0]) == 0.5 && std::fabs(p[1]) == 0.5 && std::fabs(p[2]) == 0.5;
  EXPECT_EQ(corners, 8);
  ASSERT_EQ(gtk_crystal_3d_view_atom_images(&atoms[1], images), 2);  // bottom and top face
  EXPECT_EQ(images[0][2], -0.5);
  EXPECT_EQ(images[1][2], 0.5);
  EXPECT_DOUBLE_EQ(atoms[2].x, 0.25);
  EXPECT_DOUBLE_EQ(atoms[2].y, 0.5);
  EXPECT_DOUBLE_EQ(atoms[2].z, 0.3);
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[2], images), 1);
  EXPECT_EQ(atoms[3].x, 0);
  EXPECT_EQ(gtk_crystal_3d_view_atom_images(&atoms[3], images), 2);
  EXPECT_STREQ(atoms[0].label, "Ba1");
  EXPECT_STREQ(atoms[3].label, "O4");
  EXPECT_DOUBLE_EQ(atoms[0].green, 0xC9 / 255.0);
  EXPECT_EQ(atoms[0].covalentRadius, 1980);
}

TEST_F(CrystalView, AtomsShareOneSpherePerElementAndOxidationState) {
  SetUp3Kinds();
  crystal.cellAtoms = {AtomAt(&oxide, 0.1, 0.1, 0.1), AtomAt(&oxide, 0.9, 0.9, 0.9),
                       AtomAt(&peroxide, 0.5, 0.5, 0.5), AtomAt(&barium, 0, 0, 0),
                       AtomAt(nullptr, 0.3, 0.3, 0.3)};  // no element: nothing to draw
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  const auto &atoms = view->crystal.atoms;
  ASSERT_EQ(atoms.size(), 4u);
  EXPECT_NE(atoms[0].displayList, 0u);
  EXPECT_EQ(atoms[0].displayList, atoms[1].displayList);
  EXPECT_NE(atoms[2].displayList, atoms[0].displayList);
  EXPECT_NE(atoms[3].displayList, atoms[0].displayList);
  EXPECT_NE(atoms[3].displayList, atoms[2].displayList);

  // A new crystal replaces the old one whole.
  crystal.cellAtoms = {AtomAt(&barium, 0.5, 0.5, 0.5)};
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  ASSERT_EQ(view->crystal.atoms.size(), 1u);
  EXPECT_NE(view->crystal.atoms[0].displayList, 0u);
}

TEST_F(CrystalView, ProjectionFollowsTheCell) {
  crystal.a = crystal.b = crystal.c = 30;  // diagonal 51.96
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_EQ(view->radius, 51);
  gtk_crystal_3d_view_clear(view);
  EXPECT_EQ(view->radius, 17);
  EXPECT_EQ(view->crystal.a, 10);
  crystal.a = 0.3;
  crystal.b = crystal.c = 0.3;  // would truncate to an empty box
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_EQ(view->radius, 1);
  ViewCrystal flat;
  flat.gamma = 0;  // spans no volume
  EXPECT_EQ(gtk_crystal_3d_view_cell_radius(&flat), 10);
}

TEST_F(CrystalView, DraggingInScaleModeScalesWithinLimits) {
  gtk_crystal_3d_view_set_view_mode(view, CRYSTAL_VIEW_SCALE);
  SendButton(widget, GDK_BUTTON_PRESS, 1, 200, 100);
  SendMotion(widget, 200, 100 + kSize / 2.0, GDK_BUTTON1_MASK);  // down by half the height
  EXPECT_DOUBLE_EQ(view->scale, 0.5);
  for (int i = 0; i < 6; ++i) {
    SendMotion(widget, 200, 0, GDK_BUTTON1_MASK);
    SendMotion(widget, 200, kSize, GDK_BUTTON1_MASK);
  }
  EXPECT_DOUBLE_EQ(view->scale, 0.1);
  for (int i = 0; i < 8; ++i) {  // up the whole height doubles it
    SendMotion(widget, 200, kSize, 0);
    SendMotion(widget, 200, 0, GDK_BUTTON1_MASK);
  }
  EXPECT_DOUBLE_EQ(view->scale, 10);
  // Motion without the button only follows the pointer.
  SendMotion(widget, 0, kSize / 2.0, 0);
  EXPECT_DOUBLE_EQ(view->scale, 10);
  EXPECT_EQ(view->lastY, kSize / 2.0);
}

TEST_F(CrystalView, DraggingInRotateModeTurnsAndAZeroDragDoesNot) {
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_A);
  double start[4];
  std::copy(view->rotation, view->rotation + 4, start);
  SendButton(widget, GDK_BUTTON_PRESS, 1, 150, 170);
  SendMotion(widget, 150, 170, GDK_BUTTON1_MASK);
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(view->rotation[i], start[i]);
  SendButton(widget, GDK_BUTTON_RELEASE, 1, 150, 170);

  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_C);
  SendButton(widget, GDK_BUTTON_PRESS, 1, 200, 200);
  SendMotion(widget, 280, 200, GDK_BUTTON1_MASK);  // right from the centre
  // From (0, 0) to (0.4, 0) on the ball: 30 degrees about -y.
  EXPECT_NEAR(view->rotation[1], -std::sin(15 * M_PI / 180), 1e-12);
  EXPECT_NEAR(view->rotation[0], 0, 1e-12);
  EXPECT_EQ(view->scale, 1);
}

TEST_F(CrystalView, SnapViews) {
  const double h = std::sqrt(0.5);
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_A);
  EXPECT_NEAR(view->rotation[1], h, 1e-12);
  EXPECT_NEAR(view->rotation[3], h, 1e-12);
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_B);
  EXPECT_NEAR(view->rotation[0], h, 1e-12);
  // The opposite directions turn the other way.
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_A_);
  EXPECT_NEAR(view->rotation[1], -h, 1e-12);
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_C_);
  EXPECT_NEAR(std::fabs(view->rotation[1]), 1, 1e-12);
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_C);  // back to the start
  EXPECT_EQ(view->rotation[0], 0);
  EXPECT_EQ(view->rotation[1], 0);
  EXPECT_EQ(view->rotation[2], 0);
  EXPECT_EQ(view->rotation[3], 1);
  gtk_crystal_3d_view_view_from(view, 17);  // unknown: left alone
  EXPECT_EQ(view->rotation[3], 1);
}

bool Near(Rgb p, int r, int g, int b) {
  return std::abs(p.r - r) < 40 && std::abs(p.g - g) < 40 && std::abs(p.b - b) < 40;
}

// Perovskite-like picture: barium at the corners, titanium in the middle,
// oxygen on the face centres.
TEST_F(CrystalView, PictureShowsShadedSpheresAndColouredEdges) {
  crystal.a = crystal.b = crystal.c = 4;
  Element ba = MakeElement("Ba", 56, 2, 0xFF00C900, 1980);
  Element ti = MakeElement("Ti", 22, 4, 0xFFBFC2C7, 1600);
  Element o = MakeElement("O", 8, -2, 0xFFFF0D0D, 730);
  crystal.cellAtoms = {AtomAt(&ba, 0, 0, 0), AtomAt(&ti, 0.5, 0.5, 0.5),
                       AtomAt(&o, 0.5, 0.5, 0), AtomAt(&o, 0.5, 0, 0.5),
                       AtomAt(&o, 0, 0.5, 0.5)};
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  double qx[4], qy[4], ax[3] = {1, 0, 0}, ay[3] = {0, 1, 0};
  axis_to_quat(ax, 0.45, qx);
  axis_to_quat(ay, -0.6, qy);
  add_quats(qy, qx, view->rotation);
  gtk_crystal_3d_view_update(view);
  Settle();
  GdkPixbuf *image = gtk_crystal_3d_view_get_image(view);
  ASSERT_NE(image, nullptr);
  SavePng(image, "crystal.png");
  int red = 0, green = 0, blue = 0, white = 0, shades = 0;
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      Rgb p = PixelAt(image, x, y);
      red += p.r == 255 && p.g == 0 && p.b == 0;  // the a edge, unlit
      green += p.r == 0 && p.g == 255 && p.b == 0;
      blue += p.r == 0 && p.g == 0 && p.b == 255;
      white += p.r == 255 && p.g == 255 && p.b == 255;
      shades += p.g > 40 && p.r < p.g / 3 && p.b < p.g / 3 && p.g < 230;  // lit barium
    }
  EXPECT_GT(red, 10);
  EXPECT_GT(green, 10);
  EXPECT_GT(blue, 5);
  EXPECT_GT(white, 100);
  EXPECT_GT(shades, 1000);
  EXPECT_TRUE(Near(PixelAt(image, 2, 2), 0, 0, 0));  // black background
  g_object_unref(image);

  // Without its cell nothing is drawn.
  crystal.gamma = 0;
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  image = gtk_crystal_3d_view_get_image(view);
  ASSERT_NE(image, nullptr);
  int lit = 0;
  for (int y = 0; y < kSize; y += 4)
    for (int x = 0; x < kSize; x += 4) lit += !Near(PixelAt(image, x, y), 0, 0, 0);
  EXPECT_EQ(lit, 0);
  g_object_unref(image);
}

TEST_F(CrystalView, CrystalGivenBeforeTheWindowIsDrawnOnceItIs) {
  window.reset();  // gone, with its GL context
  GtkWidget *fresh = gtk_crystal_3d_view_new();
  GtkCrystal3DView *v = GTK_CRYSTAL_3D_VIEW(fresh);
  SetUp3Kinds();
  crystal.cellAtoms = {AtomAt(&oxide, 0.2, 0.2, 0.2)};
  gtk_crystal_3d_view_set_crystal(v, &crystal);
  ASSERT_EQ(v->crystal.atoms.size(), 1u);
  EXPECT_EQ(v->crystal.atoms[0].displayList, 0u);  // no context yet
  TestWindow w(fresh, 200, 200);
  EXPECT_NE(v->crystal.atoms[0].displayList, 0u);
  EXPECT_EQ(v->radius, 10);  // 6 angstrom cube: sqrt(108) = 10.4
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
  Element o = MakeElement("O", 8, -2, 0xFFFF0D0D, 730);
  crystal.cellAtoms = {AtomAt(&o, 0, 0, 0)};
  TestWindow window(widget, 200, 200);
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_TRUE(view->crystal.atoms.empty());
  EXPECT_EQ(gtk_crystal_3d_view_get_image(view), nullptr);
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_A);
  gtk_crystal_3d_view_update(view);
  Settle();
}

}  // namespace
