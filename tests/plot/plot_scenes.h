// Figures for the plot tests: series built from lists of points, drawing
// onto an image, and the representative plots that have reference pictures.
#ifndef PULVINA_PLOT_SCENES_H
#define PULVINA_PLOT_SCENES_H

#include <cairo.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "image_testing.h"
#include "plotfigure.h"

using Points = std::vector<std::pair<double, double>>;

GtkPlotSerial *AddSerial(GtkPlotFigure *figure, const char *name, int type, const Points &xy,
                         bool visible = true);
void ZoomTo(GtkPlotFigure *figure, double xmin, double xmax, double ymin, double ymax);

// Draws the figure on a new image surface. Text is drawn in grey levels
// with hinted metrics whatever the machine's settings, which would move
// whole labels; the outlines are hinted in the machine's default style, or
// the one given. Vector surfaces measure text without hinting: metrics
// off and no hinting draws as they do.
Image Render(GtkPlotFigure *figure, int width, int height,
             cairo_hint_style_t hinting = CAIRO_HINT_STYLE_DEFAULT,
             cairo_hint_metrics_t metrics = CAIRO_HINT_METRICS_ON);
// The tick labels of an axis as a drawing of that size places them.
std::vector<GtkPlotLabelBox> TickLabels(GtkPlotFigure *figure, int width, int height, int axis);

// Runs a program and gives its exit status (-1 when it cannot be started),
// its error output into errors when given.
int RunProgram(const std::vector<std::string> &args, std::string *errors = nullptr);
// Converts an SVG file to PNG with rsvg-convert, as a browser or a drawing
// program would read it; false, with the reason, when it does not.
bool ConvertSvg(const std::string &svg, const std::string &png, std::string *why);

struct Scene {
  std::string name;  // of the reference picture
  int width, height;
  std::unique_ptr<GtkPlotFigure> figure;
};
// Each series style, the legend right, below and left, a zoomed view and
// crowded tick labels.
std::vector<Scene> ReferenceScenes();

#endif
