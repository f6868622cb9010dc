// SPDX-License-Identifier: BSD-3-Clause
// GtkCrystal3DView: the unit cell of a crystal in OpenGL, with its coloured
// edges and every atom as a shaded sphere, turned by a virtual trackball.
#ifndef PULVINA_GTKCRYSTAL3DVIEW_H
#define PULVINA_GTKCRYSTAL3DVIEW_H

#include <gtk/gtk.h>

#include <vector>

#include "crystal.h"

#define GTK_TYPE_CRYSTAL_3D_VIEW (gtk_crystal_3d_view_get_type())
#define GTK_CRYSTAL_3D_VIEW(obj) \
  (G_TYPE_CHECK_INSTANCE_CAST((obj), GTK_TYPE_CRYSTAL_3D_VIEW, GtkCrystal3DView))
#define GTK_CRYSTAL_3D_VIEW_CLASS(klass) \
  (G_TYPE_CHECK_CLASS_CAST((klass), GTK_TYPE_CRYSTAL_3D_VIEW, GtkCrystal3DViewClass))
#define GTK_IS_CRYSTAL_3D_VIEW(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), GTK_TYPE_CRYSTAL_3D_VIEW))
#define GTK_IS_CRYSTAL_3D_VIEW_CLASS(klass) \
  (G_TYPE_CHECK_CLASS_TYPE((klass), GTK_TYPE_CRYSTAL_3D_VIEW))

// What a drag with the first button does.
enum { CRYSTAL_VIEW_ROTATE = 0, CRYSTAL_VIEW_SCALE = 1 };

// Snap directions of gtk_crystal_3d_view_view_from. The second three look
// along the opposite directions of the first three.
enum {
  CRYSTAL_VIEW_FROM_A = 0,
  CRYSTAL_VIEW_FROM_B = 1,
  CRYSTAL_VIEW_FROM_C = 2,
  CRYSTAL_VIEW_FROM_A_ = 3,
  CRYSTAL_VIEW_FROM_B_ = 4,
  CRYSTAL_VIEW_FROM_C_ = 5
};

constexpr double kCrystalViewMinScale = 0.1;
constexpr double kCrystalViewMaxScale = 10.0;

struct ViewAtom {
  gchar label[32];  // symbol and running number in the cell, from 1
  gchar symbol[8];
  gint32 atomicNumber;
  gint32 oxidation;
  gdouble covalentRadius, vdwRadius;  // 0.001 angstrom
  gdouble red, green, blue;           // 0 to 1
  gdouble x, y, z;                    // fractional, reduced into [0, 1)
  guint32 displayList;                // 0 until compiled in the view's GL context
};

struct ViewCrystal {
  double a = 10, b = 10, c = 10;           // angstrom
  double alpha = 90, beta = 90, gamma = 90;  // degrees
  std::vector<ViewAtom> atoms;
};

typedef struct _GtkCrystal3DView GtkCrystal3DView;
typedef struct _GtkCrystal3DViewClass GtkCrystal3DViewClass;

struct _GtkCrystal3DView {
  GtkDrawingArea parent;

  gint32 glEnabled;  // 0: every drawing and crystal call does nothing
  gdouble lastX, lastY;
  gdouble rotation[4];  // quaternion (x, y, z, w)
  gdouble scale;        // within [kCrystalViewMinScale, kCrystalViewMaxScale]
  gint32 viewMode;      // CRYSTAL_VIEW_ROTATE or CRYSTAL_VIEW_SCALE
  ViewCrystal crystal;
  gdouble radius;  // half-width of the projection box in angstrom
  // Without OpenGL: the step that failed, shown in the widget.
  const gchar *glError;
};

struct _GtkCrystal3DViewClass {
  GtkDrawingAreaClass parent_class;
};

GType gtk_crystal_3d_view_get_type(void);
// Reports through Message when OpenGL cannot be had; the widget is returned
// all the same and stays blank.
GtkWidget *gtk_crystal_3d_view_new(void);
// Copies the cell and every atom of crystal->cellAtoms. The caller holds the
// lock that guards the crystal and the toolkit's lock; the widget then needs
// gtk_crystal_3d_view_update.
void gtk_crystal_3d_view_set_crystal(GtkCrystal3DView *view, const Crystal *crystal);
void gtk_crystal_3d_view_update(GtkCrystal3DView *view);
void gtk_crystal_3d_view_view_from(GtkCrystal3DView *view, int direction);
void gtk_crystal_3d_view_set_view_mode(GtkCrystal3DView *view, int mode);
void gtk_crystal_3d_view_clear(GtkCrystal3DView *view);

// Half-width of the projection box for a cell: the distance from its
// centre to its farthest corner plus the largest sphere, with a little
// room, so that the cell fills the view in whatever orientation; 10 for a
// cell that spans no volume.
double gtk_crystal_3d_view_cell_radius(const ViewCrystal *crystal);
// The periodic images of an atom that lie on or inside the cell, as
// fractional coordinates centred on the cell's middle; returns how many (1
// to 8).
int gtk_crystal_3d_view_atom_images(const ViewAtom *atom, double images[8][3]);
// Renders the scene off screen and returns it (caller unrefs), or nullptr
// without OpenGL or before the widget is realised.
GdkPixbuf *gtk_crystal_3d_view_get_image(GtkCrystal3DView *view);
// Writes what the view shows as a PNG file (the name must end in .png). On
// failure error (domain GTK_CRYSTAL_3D_VIEW_ERROR) says why; the file
// appears whole or not at all.
gboolean gtk_crystal_3d_view_export(GtkCrystal3DView *view, const gchar *path, GError **error);
GQuark gtk_crystal_3d_view_error_quark(void);
#define GTK_CRYSTAL_3D_VIEW_ERROR (gtk_crystal_3d_view_error_quark())

#endif
