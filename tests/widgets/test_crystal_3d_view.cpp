// The crystal 3D view with Mesa's software OpenGL: atoms and their periodic
// images, shared spheres, the pointer and the wheel, what it draws (against
// reference pictures, and where those would not show it plainly), its
// export, and the widget without OpenGL.
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

  // A picture in which a mirrored or wrongly turned view shows: an oblique
  // cell of three different edges, barium on the corners, titanium inside
  // and oxygen on places without symmetry.
  void SetUpPictureCrystal() {
    crystal.a = 4;
    crystal.b = 5;
    crystal.c = 6;
    crystal.beta = 100;
    crystal.cellAtoms = {AtomAt(&barium, 0, 0, 0),      AtomAt(&titanium, 0.45, 0.5, 0.55),
                         AtomAt(&oxide, 0.5, 0.5, 0),   AtomAt(&oxide, 0.2, 0.3, 0.8),
                         AtomAt(&oxide, 0.75, 0.1, 0.4), AtomAt(&oxide, 0, 0.65, 0.3)};
    gtk_crystal_3d_view_set_crystal(view, &crystal);
  }

  GtkWidget *widget = nullptr;
  GtkCrystal3DView *view = nullptr;
  std::unique_ptr<TestWindow> window;
  Crystal crystal;
  const Element oxide = MakeElement("O", 8, -2, 0xFFFF0D0D, 730),
                peroxide = MakeElement("O", 8, -1, 0xFFFF0D0D, 730),
                barium = MakeElement("Ba", 56, 2, 0xFF00C900, 1980),
                titanium = MakeElement("Ti", 22, 4, 0xFFBFC2C7, 1600);
};

TEST_F(CrystalView, AtomsAreReducedIntoTheCellAndDrawnOnEveryFaceTheyTouch) {
  crystal.a = crystal.b = crystal.c = 6;
  crystal.cellAtoms = {AtomAt(&barium, 0, 0, 0), AtomAt(&oxide, 0.5, 0.5, 0),
                       AtomAt(&oxide, 1.25, -0.5, 0.3),
                       AtomAt(&oxide, -1e-17, 0.5, 0.5)};  // a symmetry operator's zero
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  ASSERT_EQ(view->crystal.atoms.size(), 4u);
  const auto &atoms = view->crystal.atoms;
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
}

TEST_F(CrystalView, AtomsShareOneSpherePerElementAndOxidationState) {
  crystal.a = crystal.b = crystal.c = 6;
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
}

TEST_F(CrystalView, ProjectionFollowsTheCell) {
  const double start = view->radius;
  crystal.a = crystal.b = crystal.c = 30;  // three times the default cube
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_NEAR(view->radius, 3 * start, 1e-9);
  gtk_crystal_3d_view_clear(view);
  EXPECT_NEAR(view->radius, start, 1e-9);
  crystal.a = crystal.b = crystal.c = 0.3;  // too small for a box of whole angstrom
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_NEAR(view->radius, 0.03 * start, 1e-9);
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
}

Image Picture(GtkCrystal3DView *view) {
  Settle();
  GdkPixbuf *pixbuf = gtk_crystal_3d_view_get_image(view);
  if (!pixbuf) return {};
  Image image = ImageOfPixbuf(pixbuf);
  g_object_unref(pixbuf);
  return image;
}

// The box round everything that is not background.
struct Extent {
  int x0, y0, x1, y1;
};
Extent LitExtent(const Image &image) {
  Extent e = {image.width, image.height, -1, -1};
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const Image::Pixel p = image.At(x, y);
      if (p.r + p.g + p.b > 30) {
        e.x0 = std::min(e.x0, x), e.x1 = std::max(e.x1, x);
        e.y0 = std::min(e.y0, y), e.y1 = std::max(e.y1, y);
      }
    }
  return e;
}

void Turn(GtkCrystal3DView *view, double ax, double ay, double az, double angle) {
  double axis[3] = {ax, ay, az};
  axis_to_quat(axis, angle, view->rotation);
  gtk_crystal_3d_view_update(view);
}

// The views along a, b and c of an asymmetric crystal, and a turned one.
TEST_F(CrystalView, ViewsLookLikeTheirReferences) {
  window.reset();
  widget = gtk_crystal_3d_view_new();
  view = GTK_CRYSTAL_3D_VIEW(widget);
  SetUpPictureCrystal();
  window = std::make_unique<TestWindow>(widget, 240, 240);
  const struct {
    int direction;
    const char *name;
  } views[] = {{CRYSTAL_VIEW_FROM_A, "view-a.png"},
               {CRYSTAL_VIEW_FROM_B, "view-b.png"},
               {CRYSTAL_VIEW_FROM_C, "view-c.png"}};
  for (const auto &v : views) {
    gtk_crystal_3d_view_view_from(view, v.direction);
    EXPECT_TRUE(LooksLikeReference(Picture(view), PULVINA_WIDGET_REFERENCE_DIR, v.name));
  }
  Turn(view, 1, 0.4, 0, 0.6);
  EXPECT_TRUE(LooksLikeReference(Picture(view), PULVINA_WIDGET_REFERENCE_DIR, "view-turned.png"));
}

// The cell fills the view in the orientation that shows it largest, and is
// not cut off in any.
TEST_F(CrystalView, CellFillsTheViewWithoutBeingCutOff) {
  crystal.cellAtoms = {AtomAt(&barium, 0, 0, 0)};
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  int widest = 0;
  // Turns about (1, -1, 0) bring the body diagonal across the view, one way
  // or the other.
  for (double angle : {0.0, 0.6155, -0.6155, 1.2, 2.3}) {
    Turn(view, 1, -1, 0, angle);
    const Extent e = LitExtent(Picture(view));
    ASSERT_GE(e.x1, e.x0);
    EXPECT_GT(e.x0, 0) << angle;
    EXPECT_GT(e.y0, 0) << angle;
    EXPECT_LT(e.x1, kSize - 1) << angle;
    EXPECT_LT(e.y1, kSize - 1) << angle;
    widest = std::max({widest, e.x1 - e.x0, e.y1 - e.y0});
  }
  EXPECT_GT(widest, 0.85 * kSize);
  // Without a cell that spans a volume nothing is drawn.
  crystal.gamma = 0;
  gtk_crystal_3d_view_set_crystal(view, &crystal);
  EXPECT_EQ(CountColour(Picture(view), 0, 0, 0, 10), long(kSize) * kSize);
}

TEST_F(CrystalView, EnteringForgetsWhereThePointerLeft) {
  gtk_crystal_3d_view_set_view_mode(view, CRYSTAL_VIEW_SCALE);
  SendMotion(widget, 200, 0, 0);  // leaves at the top
  SendCrossing(widget, GDK_LEAVE_NOTIFY, 200, -1);
  SendCrossing(widget, GDK_ENTER_NOTIFY, 200, 300);  // back low down, button going down
  SendMotion(widget, 200, 300, GDK_BUTTON1_MASK);
  EXPECT_DOUBLE_EQ(view->scale, 1);
  SendMotion(widget, 200, 340, GDK_BUTTON1_MASK);
  EXPECT_DOUBLE_EQ(view->scale, 0.9);
}

TEST_F(CrystalView, WheelScalesWithinTheDragLimits) {
  SendScroll(widget, GDK_SCROLL_UP, 200, 200);
  EXPECT_GT(view->scale, 1.05);
  SendScroll(widget, GDK_SCROLL_DOWN, 200, 200);
  EXPECT_NEAR(view->scale, 1, 1e-12);
  for (int i = 0; i < 100; ++i) SendScroll(widget, GDK_SCROLL_UP, 200, 200);
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMaxScale);
  for (int i = 0; i < 200; ++i) SendScroll(widget, GDK_SCROLL_DOWN, 200, 200);
  EXPECT_DOUBLE_EQ(view->scale, kCrystalViewMinScale);
  // A wheel does not turn, in either mode.
  EXPECT_EQ(view->rotation[3], 1);
}

TEST_F(CrystalView, ExportWritesWhatTheViewShowsAsPng) {
  SetUpPictureCrystal();
  const std::string path = TestOutputPath("crystal-export.png");
  GError *error = nullptr;
  ASSERT_TRUE(gtk_crystal_3d_view_export(view, path.c_str(), &error));
  EXPECT_TRUE(LooksLike(ReadPng(path), Picture(view)));

  const std::string svg = TestOutputPath("crystal-export.svg");
  EXPECT_FALSE(gtk_crystal_3d_view_export(view, svg.c_str(), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find(".png"), std::string::npos) << error->message;
  g_clear_error(&error);
  EXPECT_FALSE(g_file_test(svg.c_str(), G_FILE_TEST_EXISTS));
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
