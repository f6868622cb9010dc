// SPDX-License-Identifier: BSD-3-Clause
// GtkCrystal3DView: the unit cell of a crystal in OpenGL, with its coloured
// edges and every atom as a shaded sphere, turned by a virtual trackball.
#include "gtkcrystal3dview.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <gtk/gtkgl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <new>
#include <set>
#include <string>
#include <utility>

#include "trackball.h"
#include "utils.h"

namespace {

// Cell corners in fractional coordinates, centred on the origin.
const double cellVertexs[8][3] = {
    {-0.5, -0.5, -0.5}, {0.5, -0.5, -0.5}, {0.5, 0.5, -0.5}, {-0.5, 0.5, -0.5},
    {-0.5, -0.5, 0.5},  {0.5, -0.5, 0.5},  {0.5, 0.5, 0.5},  {-0.5, 0.5, 0.5},
};

// Axes of the snap views. The opposite views turn about the same axes the
// other way; a turn about c itself would not change the direction of view,
// so the view from below c turns half round b.
const double axis_a[3] = {1, 0, 0}, axis_b[3] = {0, 1, 0}, axis_c[3] = {0, 0, 1};
const double axis_a_[3] = {1, 0, 0}, axis_b_[3] = {0, 1, 0};

const GLfloat light0Position[] = {1.0f, 1.0f, 1.0f, 0.0f};  // w = 0: directional
const GLfloat light1Position[] = {-1.0f, 0.2f, 1.0f, 0.0f};
const GLfloat lightAmbient[] = {0.0f, 0.0f, 0.0f, 1.0f};
const GLfloat lightDiffuse[] = {0.50754f, 0.50754f, 0.50754f, 1.0f};
const GLfloat materialSpecular[] = {0.508273f, 0.508273f, 0.508273f, 1.0f};
const GLfloat materialShininess = 0.4f * 128.0f;

constexpr int kSphereSlices = 30, kSphereStacks = 30;
// Cell edges are drawn smooth and this wide, so that they read as lines and
// not as a dotted staircase.
constexpr GLfloat kEdgeWidth = 2.0f;
// One notch of the wheel scales by this factor, within the drag's limits.
constexpr double kWheelScale = 1.1;
// Room round the cell in the projection box, a fraction of its radius.
constexpr double kViewMargin = 0.05;
// Symmetry operators give 1 - 1e-17 for an atom that sits on a face; it is
// taken as 0 so that the atom shows on both faces.
constexpr double kFaceTolerance = 1e-9;

gpointer parentClass = nullptr;

// Makes the widget's GL context current for the scope's life.
class GLScope {
 public:
  explicit GLScope(GtkWidget *widget) {
    if (!GTK_WIDGET_REALIZED(widget)) return;
    context_ = gtk_widget_get_gl_context(widget);
    GdkGLWindow *window = gtk_widget_get_gl_window(widget);
    drawable_ = window ? GDK_GL_DRAWABLE(window) : nullptr;
    active_ = context_ && drawable_ && gdk_gl_drawable_gl_begin(drawable_, context_);
  }
  ~GLScope() {
    if (active_) gdk_gl_drawable_gl_end(drawable_);
  }
  GLScope(const GLScope &) = delete;
  GLScope &operator=(const GLScope &) = delete;
  bool active() const { return active_; }
  GdkGLDrawable *drawable() const { return drawable_; }

 private:
  GdkGLContext *context_ = nullptr;
  GdkGLDrawable *drawable_ = nullptr;
  bool active_ = false;
};

double Reduce(double v) {
  double r = v - std::floor(v);
  if (r >= 1.0 - kFaceTolerance || r < kFaceTolerance) r = 0.0;
  return r;
}

bool CellMatrix(const ViewCrystal &c, TransMatrix *m) {
  return TransMatrixFToC(m, c.a, c.b, c.c, c.alpha, c.beta, c.gamma) == 1;
}

void SetDefaultCell(ViewCrystal *c) {
  c->a = c->b = c->c = 10.0;
  c->alpha = c->beta = c->gamma = 90.0;
}

// Display lists belong to the GL context; without it they are only
// forgotten (an unrealised widget has no context, and the lists went with
// it).
void FreeViewAtoms(GtkCrystal3DView *view, bool inContext) {
  if (inContext) {
    std::set<GLuint> lists;
    for (const ViewAtom &a : view->crystal.atoms)
      if (a.displayList) lists.insert(a.displayList);
    for (GLuint list : lists) glDeleteLists(list, 1);
  }
  std::vector<ViewAtom>().swap(view->crystal.atoms);
}

// One sphere per atomic number and oxidation state, shared by every atom of
// that kind. Must run with the view's context current.
void CompileDisplayLists(GtkCrystal3DView *view) {
  std::map<std::pair<gint32, gint32>, GLuint> lists;
  for (const ViewAtom &a : view->crystal.atoms)
    if (a.displayList) lists.emplace(std::make_pair(a.atomicNumber, a.oxidation), a.displayList);
  bool reported = false;
  for (ViewAtom &a : view->crystal.atoms) {
    if (a.displayList) continue;
    const auto key = std::make_pair(a.atomicNumber, a.oxidation);
    auto found = lists.find(key);
    if (found != lists.end()) {
      a.displayList = found->second;
      continue;
    }
    GLuint list = glGenLists(1);
    if (list == 0) {
      if (!reported) Message(MESSAGE_ERROR, "updating crystal 3d view, memory error!\n");
      reported = true;
      continue;
    }
    const GLfloat diffuse[] = {static_cast<GLfloat>(a.red), static_cast<GLfloat>(a.green),
                               static_cast<GLfloat>(a.blue), 1.0f};
    const GLfloat ambient[] = {static_cast<GLfloat>(a.red), static_cast<GLfloat>(a.green),
                               static_cast<GLfloat>(a.blue), 0.8f};
    glNewList(list, GL_COMPILE);
    glMaterialfv(GL_FRONT, GL_DIFFUSE, diffuse);
    glMaterialfv(GL_FRONT, GL_AMBIENT, ambient);
    glMaterialfv(GL_FRONT, GL_SPECULAR, materialSpecular);
    glMaterialf(GL_FRONT, GL_SHININESS, materialShininess);
    gdk_gl_draw_sphere(TRUE, a.covalentRadius * 0.5 / 1000.0, kSphereSlices, kSphereStacks);
    glEndList();
    lists.emplace(key, list);
    a.displayList = list;
  }
}

// Viewport, projection, lights and the fixed state. Must run with the
// view's context current.
void SetUpProjection(GtkCrystal3DView *view) {
  const GtkAllocation &alloc = GTK_WIDGET(view)->allocation;
  const int w = alloc.width, h = alloc.height;
  if (w > h)
    glViewport((w - h) / 2, 0, h, h);
  else
    glViewport(0, (h - w) / 2, w, w);
  view->radius = gtk_crystal_3d_view_cell_radius(&view->crystal);
  const double r = view->radius;
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  // The scene sits 10 in front of the eye and reaches r times the scale
  // (at most 10) either way; the depth range holds all of it however small
  // the cell.
  const double depth = 10.0 + 10.0 * r;
  glOrtho(-r, r, -r, r, -depth, depth);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glLightfv(GL_LIGHT0, GL_AMBIENT, lightAmbient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, lightDiffuse);
  glLightfv(GL_LIGHT0, GL_POSITION, light0Position);
  glLightfv(GL_LIGHT1, GL_AMBIENT, lightAmbient);
  glLightfv(GL_LIGHT1, GL_DIFFUSE, lightDiffuse);
  glLightfv(GL_LIGHT1, GL_POSITION, light1Position);
  glFrontFace(GL_CW);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glEnable(GL_LIGHT1);
  glEnable(GL_AUTO_NORMAL);
  glEnable(GL_NORMALIZE);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
}

void Vertex(const TransMatrix &m, const double f[3]) {
  double x, y, z;
  TransMatrixMultiply(&m, f[0], f[1], f[2], &x, &y, &z);
  glVertex3d(x, y, z);
}

// The coloured edges along a, b and c are the only cue to the axes. In the
// views along the axes they lie exactly behind white edges, so the white
// edges are drawn without taking depth and the coloured ones after them:
// atoms still hide both, and no white edge hides a coloured one.
void DrawCell(const TransMatrix &m) {
  auto edge = [&](int from, int to) {
    Vertex(m, cellVertexs[from]);
    Vertex(m, cellVertexs[to]);
  };
  glDisable(GL_LIGHTING);
  glEnable(GL_LINE_SMOOTH);
  glHint(GL_LINE_SMOOTH_HINT, GL_NICEST);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glLineWidth(kEdgeWidth);
  glDepthMask(GL_FALSE);
  glColor3f(1, 1, 1);
  glBegin(GL_LINES);
  edge(1, 2);
  edge(2, 3);
  edge(4, 5);
  edge(5, 6);
  edge(6, 7);
  edge(7, 4);
  edge(1, 5);
  edge(2, 6);
  edge(3, 7);
  glEnd();
  glBegin(GL_LINES);
  glColor3f(1, 0, 0);  // a
  edge(0, 1);
  glColor3f(0, 1, 0);  // b
  edge(3, 0);
  glColor3f(0, 0, 1);  // c
  edge(0, 4);
  glEnd();
  glDepthMask(GL_TRUE);
  glDisable(GL_BLEND);
  glDisable(GL_LINE_SMOOTH);
  glEnable(GL_LIGHTING);
}

void DrawAtoms(GtkCrystal3DView *view, const TransMatrix &m) {
  double images[8][3];
  for (const ViewAtom &a : view->crystal.atoms) {
    if (!a.displayList) continue;
    const int n = gtk_crystal_3d_view_atom_images(&a, images);
    for (int i = 0; i < n; ++i) {
      double x, y, z;
      TransMatrixMultiply(&m, images[i][0], images[i][1], images[i][2], &x, &y, &z);
      glPushMatrix();
      glTranslated(x, y, z);
      glCallList(a.displayList);
      glPopMatrix();
    }
  }
}

void DrawScene(GtkCrystal3DView *view) {
  CompileDisplayLists(view);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glTranslated(0.0, 0.0, -10.0);
  glScaled(view->scale, view->scale, view->scale);
  double rotation[4][4];
  build_rotmatrix(rotation, view->rotation);
  glMultMatrixd(&rotation[0][0]);
  TransMatrix m;
  if (!CellMatrix(view->crystal, &m)) return;
  // The atoms first, so that the edges drawn over them are hidden where an
  // atom stands in front.
  DrawAtoms(view, m);
  DrawCell(m);
}

// Without OpenGL the widget says so, and why, instead of staying a blank
// box with the reason only in the log.
void DrawNoOpenGL(GtkCrystal3DView *view) {
  GtkWidget *widget = GTK_WIDGET(view);
  cairo_t *cr = gdk_cairo_create(widget->window);
  const double w = widget->allocation.width, h = widget->allocation.height;
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  cairo_paint(cr);
  PangoLayout *layout = pango_cairo_create_layout(cr);
  PangoFontDescription *font = pango_font_description_from_string("Sans 10");
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
  pango_layout_set_width(layout, static_cast<int>(std::max(w - 20, 1.0) * PANGO_SCALE));
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  std::string text = "No 3D view: OpenGL is not available.";
  if (view->glError) text += std::string("\n") + view->glError;
  pango_layout_set_text(layout, text.c_str(), -1);
  int tw = 0, th = 0;
  pango_layout_get_pixel_size(layout, &tw, &th);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_move_to(cr, 10, std::round((h - th) / 2));
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  cairo_destroy(cr);
}

void Invalidate(GtkCrystal3DView *view) {
  GtkWidget *widget = GTK_WIDGET(view);
  if (GTK_WIDGET_REALIZED(widget)) gdk_window_invalidate_rect(widget->window, nullptr, TRUE);
}

// ---------------------------------------------------------------- class

gboolean gtk_crystal_3d_view_configure(GtkWidget *widget, GdkEventConfigure *) {
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  if (!view->glEnabled) return TRUE;
  GLScope gl(widget);
  if (gl.active()) SetUpProjection(view);
  return TRUE;
}

gboolean gtk_crystal_3d_view_expose(GtkWidget *widget, GdkEventExpose *) {
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  if (!view->glEnabled) {
    DrawNoOpenGL(view);
    return TRUE;
  }
  GLScope gl(widget);
  if (!gl.active()) return TRUE;
  DrawScene(view);
  if (gdk_gl_drawable_is_double_buffered(gl.drawable()))
    gdk_gl_drawable_swap_buffers(gl.drawable());
  else
    glFlush();
  return TRUE;
}

gboolean gtk_crystal_3d_view_button_press(GtkWidget *widget, GdkEventButton *event) {
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  view->lastX = event->x;
  view->lastY = event->y;
  return FALSE;
}

gboolean gtk_crystal_3d_view_button_release(GtkWidget *, GdkEventButton *) { return TRUE; }

// The pointer may come back anywhere; a drag that begins as it enters must
// start from here, not from where it last left.
gboolean gtk_crystal_3d_view_enter_notify(GtkWidget *widget, GdkEventCrossing *event) {
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  view->lastX = event->x;
  view->lastY = event->y;
  return FALSE;
}

gboolean gtk_crystal_3d_view_scroll(GtkWidget *widget, GdkEventScroll *event) {
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  double factor = 1.0;
  if (event->direction == GDK_SCROLL_UP)
    factor = kWheelScale;
  else if (event->direction == GDK_SCROLL_DOWN)
    factor = 1.0 / kWheelScale;
  else
    return FALSE;
  view->scale = std::clamp(view->scale * factor, kCrystalViewMinScale, kCrystalViewMaxScale);
  Invalidate(view);
  return TRUE;
}

gboolean gtk_crystal_3d_view_motion_notify(GtkWidget *widget, GdkEventMotion *event) {
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  double x = event->x, y = event->y;
  guint state = event->state;
  if (event->is_hint) {
    gint ix, iy;
    GdkModifierType s;
    gdk_window_get_pointer(widget->window, &ix, &iy, &s);
    x = ix;
    y = iy;
    state = s;
  }
  const double w = widget->allocation.width, h = widget->allocation.height;
  bool changed = false;
  if ((state & GDK_BUTTON1_MASK) && w > 0 && h > 0) {
    if (view->viewMode == CRYSTAL_VIEW_ROTATE) {
      double spin[4];
      trackball(spin, (2.0 * view->lastX - w) / w, (h - 2.0 * view->lastY) / h, (2.0 * x - w) / w,
                (h - 2.0 * y) / h);
      add_quats(spin, view->rotation, view->rotation);
      changed = true;
    } else if (view->viewMode == CRYSTAL_VIEW_SCALE) {
      view->scale = std::clamp(view->scale * (1.0 - (y - view->lastY) / h), kCrystalViewMinScale,
                               kCrystalViewMaxScale);
      changed = true;
    }
  }
  view->lastX = x;
  view->lastY = y;
  if (changed) Invalidate(view);
  return TRUE;
}

void gtk_crystal_3d_view_unrealize(GtkWidget *widget) {
  // The GL context and its display lists go with the window; new ones are
  // compiled at the next drawing.
  for (ViewAtom &a : GTK_CRYSTAL_3D_VIEW(widget)->crystal.atoms) a.displayList = 0;
  GTK_WIDGET_CLASS(parentClass)->unrealize(widget);
}

void gtk_crystal_3d_view_finalize(GObject *object) {
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(object);
  // Constructed in place by the instance initialiser.
  view->crystal.~ViewCrystal();
  G_OBJECT_CLASS(parentClass)->finalize(object);
}

void gtk_crystal_3d_view_class_init(gpointer klass, gpointer) {
  parentClass = g_type_class_peek_parent(klass);
  GObjectClass *objectClass = G_OBJECT_CLASS(klass);
  GtkWidgetClass *widgetClass = GTK_WIDGET_CLASS(klass);
  objectClass->finalize = gtk_crystal_3d_view_finalize;
  widgetClass->configure_event = gtk_crystal_3d_view_configure;
  widgetClass->expose_event = gtk_crystal_3d_view_expose;
  widgetClass->motion_notify_event = gtk_crystal_3d_view_motion_notify;
  widgetClass->button_press_event = gtk_crystal_3d_view_button_press;
  widgetClass->button_release_event = gtk_crystal_3d_view_button_release;
  widgetClass->enter_notify_event = gtk_crystal_3d_view_enter_notify;
  widgetClass->scroll_event = gtk_crystal_3d_view_scroll;
  widgetClass->unrealize = gtk_crystal_3d_view_unrealize;
}

void gtk_crystal_3d_view_instance_init(GTypeInstance *instance, gpointer) {
  GtkCrystal3DView *view = reinterpret_cast<GtkCrystal3DView *>(instance);
  // The type system hands over zeroed memory; the crystal, which holds a
  // vector, is built in place here and torn down in finalize.
  new (&view->crystal) ViewCrystal();
  view->glEnabled = 0;
  view->lastX = view->lastY = 0.0;
  view->rotation[0] = view->rotation[1] = view->rotation[2] = 0.0;
  view->rotation[3] = 1.0;
  view->scale = 1.0;
  view->viewMode = CRYSTAL_VIEW_ROTATE;
  view->radius = gtk_crystal_3d_view_cell_radius(&view->crystal);
  view->glError = nullptr;
  gtk_widget_add_events(GTK_WIDGET(view),
                        GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_MASK |
                            GDK_POINTER_MOTION_HINT_MASK | GDK_BUTTON_MOTION_MASK |
                            GDK_BUTTON1_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                            GDK_BUTTON_RELEASE_MASK | GDK_ENTER_NOTIFY_MASK | GDK_SCROLL_MASK);
}

}  // namespace

GType gtk_crystal_3d_view_get_type(void) {
  static gsize typeId = 0;
  if (g_once_init_enter(&typeId)) {
    GType t = g_type_register_static_simple(
        GTK_TYPE_DRAWING_AREA, g_intern_static_string("GTK_CRYSTAL_3D_VIEW"),
        sizeof(GtkCrystal3DViewClass), gtk_crystal_3d_view_class_init, sizeof(GtkCrystal3DView),
        gtk_crystal_3d_view_instance_init, static_cast<GTypeFlags>(0));
    g_once_init_leave(&typeId, t);
  }
  return typeId;
}

GtkWidget *gtk_crystal_3d_view_new(void) {
  GtkWidget *widget = GTK_WIDGET(g_object_new(GTK_TYPE_CRYSTAL_3D_VIEW, nullptr));
  GtkCrystal3DView *view = GTK_CRYSTAL_3D_VIEW(widget);
  view->glEnabled = 0;
  if (!gdk_gl_init_check(nullptr, nullptr)) {
    Message(MESSAGE_WARNING, "can not initialize opengl!\n");
    view->glError = "can not initialize opengl!";
    return widget;
  }
  GdkGLConfig *config = gdk_gl_config_new_by_mode(
      static_cast<GdkGLConfigMode>(GDK_GL_MODE_RGB | GDK_GL_MODE_DEPTH | GDK_GL_MODE_DOUBLE));
  if (!config) {
    Message(MESSAGE_WARNING, "can not configure opengl!\n");
    view->glError = "can not configure opengl!";
    return widget;
  }
  const gboolean capable =
      gtk_widget_set_gl_capability(widget, config, nullptr, TRUE, GDK_GL_RGBA_TYPE);
  // The widget keeps its own reference to the configuration.
  g_object_unref(config);
  if (!capable) {
    Message(MESSAGE_WARNING, "can not set up opengl");
    view->glError = "can not set up opengl";
    return widget;
  }
  view->glEnabled = 1;
  return widget;
}

void gtk_crystal_3d_view_set_crystal(GtkCrystal3DView *view, const Crystal *crystal) {
  g_return_if_fail(GTK_IS_CRYSTAL_3D_VIEW(view));
  if (!view->glEnabled || !crystal) return;
  GLScope gl(GTK_WIDGET(view));
  FreeViewAtoms(view, gl.active());
  ViewCrystal &vc = view->crystal;
  SetDefaultCell(&vc);
  vc.a = crystal->a;
  vc.b = crystal->b;
  vc.c = crystal->c;
  vc.alpha = crystal->alpha;
  vc.beta = crystal->beta;
  vc.gamma = crystal->gamma;
  long n = 0;
  for (const Atom &atom : crystal->cellAtoms) {
    ++n;
    const Element *e = atom.element;
    if (!e) continue;  // nothing to take a colour or a radius from
    ViewAtom va = {};
    std::snprintf(va.label, sizeof va.label, "%s%ld", e->symbol.c_str(), n);
    CopyText(va.symbol, sizeof va.symbol, e->symbol.c_str());
    va.atomicNumber = e->atomicNumber;
    va.oxidation = e->oxidation;
    va.covalentRadius = e->covalentRadius;
    va.vdwRadius = e->vdwRadius;
    va.red = ((e->color >> 16) & 0xFF) / 255.0;
    va.green = ((e->color >> 8) & 0xFF) / 255.0;
    va.blue = (e->color & 0xFF) / 255.0;
    va.x = Reduce(atom.x);
    va.y = Reduce(atom.y);
    va.z = Reduce(atom.z);
    va.displayList = 0;
    try {
      vc.atoms.push_back(va);
    } catch (const std::bad_alloc &) {
      Message(MESSAGE_ERROR, "updating crystal 3d view, memory error!\n");
      break;
    }
  }
  if (gl.active()) {
    CompileDisplayLists(view);
    // A new cell gets a projection box of its own size at once: the old box
    // would cut a larger cell off and shrink a smaller one.
    if (gtk_crystal_3d_view_cell_radius(&vc) != view->radius) SetUpProjection(view);
  }
}

void gtk_crystal_3d_view_update(GtkCrystal3DView *view) {
  g_return_if_fail(GTK_IS_CRYSTAL_3D_VIEW(view));
  Invalidate(view);
}

void gtk_crystal_3d_view_view_from(GtkCrystal3DView *view, int direction) {
  g_return_if_fail(GTK_IS_CRYSTAL_3D_VIEW(view));
  double axis[3];
  double *q = view->rotation;
  switch (direction) {
    case CRYSTAL_VIEW_FROM_A: vcopy(axis_b, axis); axis_to_quat(axis, G_PI / 2, q); break;
    case CRYSTAL_VIEW_FROM_B: vcopy(axis_a, axis); axis_to_quat(axis, G_PI / 2, q); break;
    case CRYSTAL_VIEW_FROM_C: vcopy(axis_c, axis); axis_to_quat(axis, 0.0, q); break;
    case CRYSTAL_VIEW_FROM_A_: vcopy(axis_b_, axis); axis_to_quat(axis, -G_PI / 2, q); break;
    case CRYSTAL_VIEW_FROM_B_: vcopy(axis_a_, axis); axis_to_quat(axis, -G_PI / 2, q); break;
    case CRYSTAL_VIEW_FROM_C_: vcopy(axis_b_, axis); axis_to_quat(axis, G_PI, q); break;
    default: return;
  }
  gtk_crystal_3d_view_update(view);
}

void gtk_crystal_3d_view_set_view_mode(GtkCrystal3DView *view, int mode) {
  g_return_if_fail(GTK_IS_CRYSTAL_3D_VIEW(view));
  if (mode == CRYSTAL_VIEW_ROTATE || mode == CRYSTAL_VIEW_SCALE) view->viewMode = mode;
}

void gtk_crystal_3d_view_clear(GtkCrystal3DView *view) {
  g_return_if_fail(GTK_IS_CRYSTAL_3D_VIEW(view));
  {
    GLScope gl(GTK_WIDGET(view));
    FreeViewAtoms(view, gl.active());
    SetDefaultCell(&view->crystal);
    if (gl.active() && gtk_crystal_3d_view_cell_radius(&view->crystal) != view->radius)
      SetUpProjection(view);
  }
  gtk_crystal_3d_view_view_from(view, CRYSTAL_VIEW_FROM_C);
}

double gtk_crystal_3d_view_cell_radius(const ViewCrystal *crystal) {
  TransMatrix m;
  if (!CellMatrix(*crystal, &m)) return 10;
  // The corners lie half a body diagonal from the centre; in an oblique
  // cell the four diagonals differ.
  double corner = 0;
  static const double diagonals[4][3] = {{1, 1, 1}, {1, 1, -1}, {1, -1, 1}, {-1, 1, 1}};
  for (const auto &d : diagonals) {
    double x, y, z;
    TransMatrixMultiply(&m, d[0], d[1], d[2], &x, &y, &z);
    corner = std::max(corner, std::sqrt(x * x + y * y + z * z) / 2);
  }
  double sphere = 0;
  for (const ViewAtom &a : crystal->atoms)
    sphere = std::max(sphere, a.covalentRadius * 0.5 / 1000.0);
  return (corner + sphere) * (1.0 + kViewMargin);
}

int gtk_crystal_3d_view_atom_images(const ViewAtom *atom, double images[8][3]) {
  int n = 0;
  for (int i = 0; i <= 1; ++i) {
    if (atom->x + i > 1.0) continue;
    for (int j = 0; j <= 1; ++j) {
      if (atom->y + j > 1.0) continue;
      for (int k = 0; k <= 1; ++k) {
        if (atom->z + k > 1.0) continue;
        images[n][0] = atom->x + i - 0.5;
        images[n][1] = atom->y + j - 0.5;
        images[n][2] = atom->z + k - 0.5;
        ++n;
      }
    }
  }
  return n;
}

GdkPixbuf *gtk_crystal_3d_view_get_image(GtkCrystal3DView *view) {
  g_return_val_if_fail(GTK_IS_CRYSTAL_3D_VIEW(view), nullptr);
  if (!view->glEnabled) return nullptr;
  GtkWidget *widget = GTK_WIDGET(view);
  GLScope gl(widget);
  if (!gl.active()) return nullptr;
  const int w = widget->allocation.width, h = widget->allocation.height;
  if (w <= 0 || h <= 0) return nullptr;
  DrawScene(view);
  glFinish();
  GdkPixbuf *pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, w, h);
  if (!pixbuf) return nullptr;
  std::vector<guchar> rows(static_cast<size_t>(w) * 3 * static_cast<size_t>(h));
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(gdk_gl_drawable_is_double_buffered(gl.drawable()) ? GL_BACK : GL_FRONT);
  glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, rows.data());
  // OpenGL counts rows from the bottom.
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  guchar *pixels = gdk_pixbuf_get_pixels(pixbuf);
  for (int y = 0; y < h; ++y)
    std::copy_n(&rows[static_cast<size_t>(h - 1 - y) * static_cast<size_t>(w) * 3],
                static_cast<size_t>(w) * 3, pixels + static_cast<ptrdiff_t>(y) * stride);
  return pixbuf;
}

GQuark gtk_crystal_3d_view_error_quark(void) {
  return g_quark_from_static_string("gtk-crystal-3d-view-error-quark");
}

gboolean gtk_crystal_3d_view_export(GtkCrystal3DView *view, const gchar *path, GError **error) {
  g_return_val_if_fail(GTK_IS_CRYSTAL_3D_VIEW(view), FALSE);
  const std::string name = path ? path : "";
  auto fail = [&](const std::string &why) {
    g_set_error(error, GTK_CRYSTAL_3D_VIEW_ERROR, 0, "%s: %s", name.c_str(), why.c_str());
    return FALSE;
  };
  if (name.size() < 5 || g_ascii_strcasecmp(name.c_str() + name.size() - 4, ".png") != 0)
    return fail("the 3D view is saved as PNG; the name must end in .png");
  if (!view->glEnabled)
    return fail(std::string("nothing to save, OpenGL is not available (") +
                (view->glError ? view->glError : "") + ")");
  GdkPixbuf *image = gtk_crystal_3d_view_get_image(view);
  if (!image) return fail("nothing to save, the view is not on the screen");
  gchar *buffer = nullptr;
  gsize size = 0;
  GError *saveError = nullptr;
  const gboolean encoded = gdk_pixbuf_save_to_buffer(image, &buffer, &size, "png", &saveError,
                                                     nullptr);
  g_object_unref(image);
  if (!encoded) {
    const std::string why = saveError ? saveError->message : "cannot encode the picture";
    g_clear_error(&saveError);
    return fail(why);
  }
  AtomicFile file(name, "wb");
  const bool written = file.get() && std::fwrite(buffer, 1, size, file.get()) == size &&
                       file.commit();
  g_free(buffer);
  if (!written) return fail("cannot write the file");
  return TRUE;
}
