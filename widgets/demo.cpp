// SPDX-License-Identifier: BSD-3-Clause
// pulvina-widgets-demo: a window with a plot of several series and the 3D
// view of a crystal, for looking at the widgets by hand.
//
//   pulvina-widgets-demo [--screenshot FILE.png] [--data DIR] [JOB.epc [ATOM...]]
//
// ATOM is SYMBOL@LETTER or SYMBOL@LETTER:x,y,z, an element of the job's
// formula on a Wyckoff position of its space group, e.g. Ba@a Ti@b O@c.
// Without a job the cubic perovskite example is shown.
#include <gtk/gtk.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gtkcrystal3dview.h"
#include "gtkplot.h"
#include "kernel.h"
#include "trackball.h"

namespace {

struct SiteArgument {
  std::string symbol;
  char letter = 0;
  double x = 0, y = 0, z = 0;
};

bool ParseSiteArgument(const char *text, SiteArgument *site) {
  const char *at = std::strchr(text, '@');
  if (!at || at == text || !at[1]) return false;
  site->symbol.assign(text, at);
  site->letter = at[1];
  if (at[2] == '\0') return true;
  return at[2] == ':' && std::sscanf(at + 3, "%lf,%lf,%lf", &site->x, &site->y, &site->z) == 3;
}

double Wrap(double v) {
  double r = v - std::floor(v);
  return r >= 1.0 - 1e-9 ? 0.0 : r;
}

// Every atom of the cell from the given sites, through the position's
// operators with their centring translations.
void FillCell(Crystal *crystal, const Compound &compound, const std::vector<SiteArgument> &sites) {
  for (const SiteArgument &site : sites) {
    const Element *element = FindElement(compound, site.symbol);
    if (!element) {
      Message(MESSAGE_ERROR, "demo, element %s is not in the formula\n", site.symbol.c_str());
      continue;
    }
    const Position *position = nullptr;
    for (const Position &p : crystal->spaceGroup.positions)
      if (p.wyckoffLetter == site.letter) position = &p;
    Atom atom;
    atom.element = element;
    atom.position = position;
    atom.x = site.x;
    atom.y = site.y;
    atom.z = site.z;
    crystal->atoms.push_back(atom);
    if (!position) {
      Message(MESSAGE_WARNING, "demo, no Wyckoff position %c: %s placed once\n", site.letter,
              site.symbol.c_str());
      crystal->cellAtoms.push_back(atom);
      continue;
    }
    const size_t first = crystal->cellAtoms.size();
    for (const Coordinate &c : position->fullCoordinates) {
      Atom image = atom;
      CoordMatrixMultiply(c.matrix, site.x, site.y, site.z, &image.x, &image.y, &image.z);
      image.x = Wrap(image.x);
      image.y = Wrap(image.y);
      image.z = Wrap(image.z);
      bool seen = false;
      for (size_t i = first; i < crystal->cellAtoms.size() && !seen; ++i) {
        const Atom &o = crystal->cellAtoms[i];
        seen = std::fabs(o.x - image.x) < 1e-4 && std::fabs(o.y - image.y) < 1e-4 &&
               std::fabs(o.z - image.z) < 1e-4;
      }
      if (!seen) crystal->cellAtoms.push_back(image);
    }
  }
}

// A powder pattern of a cubic cell: peak positions from Bragg's law, a
// profile of Gaussians over a slowly falling background.
void FillPlot(GtkPlot *plot, double a) {
  const double lambda = 1.540598;
  struct Peak {
    double twoTheta, observed, calculated;
  };
  std::vector<Peak> peaks;
  const int hkl[][3] = {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {2, 0, 0}, {2, 1, 0},
                        {2, 1, 1}, {2, 2, 0}, {3, 0, 0}, {3, 1, 0}, {3, 1, 1}};
  const double observed[] = {22, 100, 28, 41, 9, 36, 19, 5, 11, 7};
  const double calculated[] = {19, 100, 31, 38, 7, 39, 17, 6, 12, 6};
  for (size_t i = 0; i < sizeof observed / sizeof observed[0]; ++i) {
    double d = a / std::sqrt(hkl[i][0] * hkl[i][0] + hkl[i][1] * hkl[i][1] +
                             hkl[i][2] * hkl[i][2]);
    double s = lambda / (2 * d);
    if (s >= 1) break;
    peaks.push_back({2 * std::asin(s) * 180 / G_PI, observed[i], calculated[i]});
  }

  GtkPlotSerial *profile = gtk_plot_serial_new();
  CopyText(profile->name, sizeof profile->name, "Profile");
  profile->type = PLOT_SERIAL_LINE;
  profile->lineStyle.color = 0x1F4E9A;
  profile->lineStyle.width = 1.5;
  GtkPlotSerial *background = gtk_plot_serial_new();
  CopyText(background->name, sizeof background->name, "Background");
  background->type = PLOT_SERIAL_STEP;
  background->lineStyle.color = 0x707070;
  background->lineStyle.dash = 1;
  for (double t = 15; t <= 85; t += 0.05) {
    double y = 6 + 4 * std::exp(-(t - 15) / 25);
    for (const Peak &p : peaks) y += p.observed * std::exp(-std::pow((t - p.twoTheta) / 0.3, 2));
    profile->points.push_back({t, y, ""});
  }
  profile->count = static_cast<guint32>(profile->points.size());
  for (double t = 15; t <= 85; t += 5)
    background->points.push_back({t, 6 + 4 * std::exp(-(t - 15) / 25), ""});
  background->count = static_cast<guint32>(background->points.size());

  GtkPlotSerial *obs = gtk_plot_serial_new();
  CopyText(obs->name, sizeof obs->name, "Observed");
  obs->type = PLOT_SERIAL_BAR;
  obs->barStyle = {1, 3.0, 0x2040C0};
  GtkPlotSerial *calc = gtk_plot_serial_new();
  CopyText(calc->name, sizeof calc->name, "Calculated");
  calc->type = PLOT_SERIAL_BAR;
  calc->barStyle = {3, 3.0, 0xD02020};
  GtkPlotSerial *tops = gtk_plot_serial_new();
  CopyText(tops->name, sizeof tops->name, "Peak maxima");
  tops->type = PLOT_SERIAL_SYMBOL;
  tops->symbolStyle.shape = 4;
  tops->symbolStyle.fill = 1;
  tops->symbolStyle.color = 0x208020;
  tops->symbolStyle.size = 9;
  for (const Peak &p : peaks) {
    obs->points.push_back({p.twoTheta, p.observed, ""});
    calc->points.push_back({p.twoTheta, p.calculated, ""});
    tops->points.push_back({p.twoTheta, p.observed + 16, ""});
  }
  obs->count = calc->count = tops->count = static_cast<guint32>(peaks.size());

  gtk_plot_add_serial(plot, profile);
  gtk_plot_add_serial(plot, background);
  gtk_plot_add_serial(plot, obs);
  gtk_plot_add_serial(plot, calc);
  gtk_plot_add_serial(plot, tops);

  plot->background = 0xFFFFFF;
  CopyText(plot->bottomAxile.title, sizeof plot->bottomAxile.title, "Two Theta");
  CopyText(plot->leftAxile.title, sizeof plot->leftAxile.title, "Intensity");
  plot->topAxile.titleVisible = plot->rightAxile.titleVisible = 0;
  plot->topAxile.tickLabel.majorVisible = plot->rightAxile.tickLabel.majorVisible = 0;
  plot->hGridLine.majorVisible = plot->vGridLine.majorVisible = 1;
  plot->hGridLine.majorStyle.color = plot->vGridLine.majorStyle.color = 0xD0D0D0;
  plot->hGridLine.majorStyle.dash = plot->vGridLine.majorStyle.dash = 2;
  plot->vHairLine.visible = plot->hHairLine.visible = 1;
  plot->vHairLine.color = plot->hHairLine.color = 0x808080;
  gtk_plot_update(plot);
}

bool SaveScreenshot(GtkWidget *window, GtkPlot *plot, GtkCrystal3DView *view, const char *file) {
  const GtkAllocation &w = window->allocation;
  GdkPixbuf *shot = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, w.width, w.height);
  gdk_pixbuf_fill(shot, 0xD8D8D8FF);
  GtkWidget *plotWidget = GTK_WIDGET(plot), *viewWidget = GTK_WIDGET(view);
  GdkPixbuf *p = gdk_pixbuf_get_from_drawable(nullptr, plot->pixmap, nullptr, 0, 0, 0, 0,
                                              plotWidget->allocation.width,
                                              plotWidget->allocation.height);
  if (p) {
    gdk_pixbuf_copy_area(p, 0, 0, gdk_pixbuf_get_width(p), gdk_pixbuf_get_height(p), shot,
                         plotWidget->allocation.x, plotWidget->allocation.y);
    g_object_unref(p);
  }
  GdkPixbuf *g = gtk_crystal_3d_view_get_image(view);
  if (g) {
    gdk_pixbuf_copy_area(g, 0, 0, gdk_pixbuf_get_width(g), gdk_pixbuf_get_height(g), shot,
                         viewWidget->allocation.x, viewWidget->allocation.y);
    g_object_unref(g);
  }
  GError *error = nullptr;
  bool ok = gdk_pixbuf_save(shot, file, "png", &error, nullptr);
  if (!ok) {
    std::fprintf(stderr, "pulvina-widgets-demo: %s\n", error ? error->message : file);
    g_clear_error(&error);
  }
  g_object_unref(shot);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  gtk_init(&argc, &argv);
  std::string screenshot, dataDir = PULVINA_DATA_DIR,
                          job = std::string(PULVINA_DATA_DIR) + "/../examples/batio3/batio3.epc";
  std::vector<SiteArgument> sites;
  bool jobGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--screenshot" && i + 1 < argc) {
      screenshot = argv[++i];
    } else if (arg == "--data" && i + 1 < argc) {
      dataDir = argv[++i];
    } else if (!jobGiven) {
      job = arg;
      jobGiven = true;
    } else {
      SiteArgument site;
      if (!ParseSiteArgument(argv[i], &site)) {
        std::fprintf(stderr, "pulvina-widgets-demo: '%s' is not SYMBOL@LETTER[:x,y,z]\n", argv[i]);
        return 2;
      }
      sites.push_back(site);
    }
  }
  if (!jobGiven) sites = {{"Ba", 'a', 0, 0, 0}, {"Ti", 'b', 0, 0, 0}, {"O", 'c', 0, 0, 0}};
  Job data;
  InitializeJob(&data);
  data.settings.data = LocateData(dataDir);
  if (ReadConfigFile(&data.config, job.c_str()) != 3) return 1;
  if (!ParseFormular(data.config.formular.c_str(), &data.compound)) return 1;
  SetFormularZ(&data.compound, data.config.formularZ);
  SetOxidations(&data.compound, data.config.oxidation);
  UpdateIonRadii(&data.compound);
  Crystal &crystal = data.crystal;
  if (!SetSpaceGroup(&crystal.spaceGroup, data.config.sgNumber, data.config.sgSetting,
                     data.settings.data))
    return 1;
  crystal.a = data.config.cellA;
  crystal.b = data.config.cellB;
  crystal.c = data.config.cellC;
  crystal.alpha = data.config.cellAlpha;
  crystal.beta = data.config.cellBeta;
  crystal.gamma = data.config.cellGamma;
  FillCell(&crystal, data.compound, sites);

  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), data.config.title.c_str());
  GtkWidget *box = gtk_hbox_new(FALSE, 4);
  gtk_container_add(GTK_CONTAINER(window), box);
  GtkWidget *plot = gtk_plot_new();
  gtk_widget_set_size_request(plot, 640, 460);
  gtk_box_pack_start(GTK_BOX(box), plot, TRUE, TRUE, 0);
  GtkWidget *view = gtk_crystal_3d_view_new();
  gtk_widget_set_size_request(view, 460, 460);
  gtk_box_pack_start(GTK_BOX(box), view, TRUE, TRUE, 0);
  FillPlot(GTK_PLOT(plot), crystal.a);
  gtk_widget_show_all(window);

  GtkCrystal3DView *crystalView = GTK_CRYSTAL_3D_VIEW(view);
  gtk_crystal_3d_view_set_crystal(crystalView, &crystal);
  // A turn that shows all three cell edges at once.
  double qx[4], qy[4], axis[3] = {1, 0, 0};
  axis_to_quat(axis, 0.45, qx);
  vset(axis, 0, 1, 0);
  axis_to_quat(axis, -0.6, qy);
  add_quats(qy, qx, crystalView->rotation);
  gtk_crystal_3d_view_update(crystalView);

  int status = 0;
  if (!screenshot.empty()) {
    while (gtk_events_pending()) gtk_main_iteration();
    gdk_window_process_all_updates();
    while (gtk_events_pending()) gtk_main_iteration();
    status = SaveScreenshot(window, GTK_PLOT(plot), crystalView, screenshot.c_str()) ? 0 : 1;
    gtk_widget_destroy(window);
  } else {
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_main();
  }
  FreeJob(&data);
  return status;
}
