// SPDX-License-Identifier: BSD-3-Clause
// Pictures of a run for people to keep, drawn like the application's plots
// without a window: the observed and calculated peaks of a model with their
// difference, and the figures of every model with the chosen ones marked.
#ifndef PULVINA_PICTURES_H
#define PULVINA_PICTURES_H

#include <string>
#include <vector>

#include "lebail.h"
#include "plotfigure.h"
#include "profile.h"

// The look of the application's plots: only the bottom and left axes, with
// these titles; the legend below the frame without a shadow, or none.
void SetUpApplicationPlot(GtkPlotFigure *figure, const char *xTitle, const char *yTitle,
                          bool legend);
// A new series of the given type (PLOT_SERIAL_*) in one colour: the bar
// width and placement apply to bars, the width to lines, the colour to
// lines, symbols and bars alike. nullptr when memory runs out.
GtkPlotSerial *NewPlotSerial(const char *name, int type, guint32 colour, double width,
                             int placement = 0);

// Fills the peaks plot's series from a reflection list, one point per
// reflection in list order: observed (2theta, observed intensity scaled to
// 100) and calculated (2theta, calculated intensity scaled to 100). Either
// series may be null.
void FillPeaksSerials(const HKLList &list, GtkPlotSerial *observed, GtkPlotSerial *calculated);

// The two panels of the peaks picture: the peaks, and their difference
// (left empty without observed peaks). Throws std::bad_alloc when memory
// runs out.
void SetUpPeaksFigures(const HKLList &list, const std::string &title, bool observed,
                       GtkPlotFigure *peaks, GtkPlotFigure *difference);

// The peaks plot of a model as a PNG, SVG or PDF file (by the extension):
// observed and calculated peaks side by side, and below them their
// difference. Without observed peaks (a simulated pattern) only the
// calculated ones are drawn. Returns false, after a message, when the file
// cannot be written.
bool WritePeaksPicture(const std::string &path, const HKLList &list, const std::string &title,
                       bool observed = true);

// The three panels of a pattern fit: observed points with the calculated
// line, the positions of the reflections, and the difference. Throws
// std::bad_alloc when memory runs out.
void SetUpPatternFigures(const LeBailResult &result, const std::string &title,
                         GtkPlotFigure *pattern, GtkPlotFigure *ticks, GtkPlotFigure *difference);
// The fit of a measured pattern as a PNG, SVG or PDF file (by the extension).
// Returns false, after a message, when the file cannot be written.
bool WritePatternPicture(const std::string &path, const LeBailResult &result,
                         const std::string &title);

struct ModelPictureRow {
  int number = 0;  // the model's number
  double Rmin = 0;
  double FOM = 0;
  bool chosen = false;
};
// The two panels of the models picture, figures of merit above and best
// Bragg factors below. Throws std::bad_alloc when memory runs out.
void SetUpModelsFigures(const std::vector<ModelPictureRow> &rows, const std::string &title,
                        GtkPlotFigure *foms, GtkPlotFigure *factors);
// The figures of merit and the best Bragg factors of the models, one bar
// each, the chosen models in the colour of the application's current model.
bool WriteModelsPicture(const std::string &path, const std::vector<ModelPictureRow> &rows,
                        const std::string &title);

#endif
