// SPDX-License-Identifier: BSD-3-Clause
#include "pictures.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "utils.h"

namespace {

// The pictures go into papers and reports: colours from the Okabe-Ito
// palette, which readers with any common colour-vision deficiency tell
// apart, chosen so that their lightness differs as well and they survive
// grey-scale print on a white page. Not-chosen models are a light grey,
// chosen ones a dark blue.
constexpr guint32 kPaperColour = 0xFFFFFF;
constexpr guint32 kObservedColour = 0x0072B2;    // blue
constexpr guint32 kCalculatedColour = 0xE69F00;  // orange
constexpr guint32 kDifferenceColour = 0xD55E00;  // vermilion
constexpr guint32 kModelColour = 0xBBBBBB;       // light grey
constexpr guint32 kChosenColour = 0x0072B2;      // blue
constexpr guint32 kMarkColour = 0x000000;

constexpr int kPictureWidth = 900;
constexpr int kPeaksHeight = 380, kDifferenceHeight = 200;
constexpr int kModelsPanelHeight = 280;
constexpr int kPatternHeight = 420, kTicksHeight = 90;
// Beyond this many points the observed pattern is drawn as a line: symbols
// would only blot the picture and swell the file.
constexpr size_t kMaxSymbols = 20000;
constexpr guint32 kBackgroundColour = 0x009E73;  // bluish green

struct SerialDeleter {
  void operator()(GtkPlotSerial *s) const { gtk_plot_serial_free(s); }
};
using SerialPtr = std::unique_ptr<GtkPlotSerial, SerialDeleter>;

// Hands a series to the figure; false when memory ran out on the way.
bool Add(GtkPlotFigure *figure, SerialPtr serial) {
  return serial && gtk_plot_figure_add_serial(figure, serial.release());
}

void SetRange(GtkPlotFigure *figure, double xmin, double xmax, double ymin, double ymax) {
  const GtkPlotRect rect = {xmin, xmax, ymin, ymax};
  gtk_plot_set_scale(figure, &rect);
}

bool Report(const std::string &path, const std::string &why) {
  Message(MESSAGE_ERROR, "writing picture %s, %s\n", path.c_str(), why.c_str());
  return false;
}

bool Export(const std::vector<GtkPlotPanel> &panels, const std::string &path) {
  std::string why;
  if (gtk_plot_panels_export(panels, path.c_str(), kPictureWidth, &why)) {
    Message(MESSAGE_PLAIN, "%s has been created.\n", path.c_str());
    return true;
  }
  Message(MESSAGE_ERROR, "writing picture, %s\n", why.c_str());
  return false;
}

// Bars of one pixel or more that share the frame's width without running
// into each other, as far as that goes.
double BarWidth(size_t count) {
  if (count == 0) return 1.0;
  return std::clamp(std::floor(0.6 * (kPictureWidth * 0.8) / count), 1.0, 12.0);
}

}  // namespace

void SetUpApplicationPlot(GtkPlotFigure *figure, const char *xTitle, const char *yTitle,
                          bool legend) {
  figure->topAxile.visible = 0;
  figure->rightAxile.visible = 0;
  CopyText(figure->bottomAxile.title, sizeof figure->bottomAxile.title, xTitle);
  CopyText(figure->leftAxile.title, sizeof figure->leftAxile.title, yTitle);
  figure->legend.visible = legend ? 1 : 0;
  figure->legend.placement = PLOT_LEGEND_BOTTOM;
  figure->legend.frameWidth = 0;
  figure->legend.yOffset = 10;
  figure->background = kPaperColour;
}

namespace {

// The shown range is the data's own, not widened to the next major tick:
// a printed axis starts where the data start. Ticks stay on multiples of
// the step; whole steps of at least one where the values are counts.
void TightAxis(GtkPlotFigure *figure, int index, double min, double max, bool whole) {
  GtkPlotAxile *a = gtk_plot_get_axile(figure, index);
  GtkPlotScale s = a->scale;
  if (!(max > min)) max = min + 1;
  s.min = s.tickStart = min;
  s.max = s.tickEnd = max;
  if (whole && s.major < 1) {
    s.major = 1;
    s.minor = 0.5;
    s.exponent = 0;
  }
  gtk_plot_update_axile(figure, &s, index);
  if (index == PLOT_AXILE_BOTTOM) gtk_plot_update_axile(figure, &s, PLOT_AXILE_TOP);
  if (index == PLOT_AXILE_LEFT) gtk_plot_update_axile(figure, &s, PLOT_AXILE_RIGHT);
}

// Counts and factors start at zero: the scale's own choice would put a
// whole step below it.
void FromZero(GtkPlotFigure *figure) {
  const GtkPlotScale &s = figure->leftAxile.scale;
  if (s.min >= 0) TightAxis(figure, PLOT_AXILE_LEFT, 0, s.tickEnd, false);
}

// A little room at both ends of the 2θ axis, so that the first and the last
// bar stand inside the frame.
void TightTwoTheta(GtkPlotFigure *figure, double xmin, double xmax) {
  const double pad = std::max(0.01 * (xmax - xmin), 0.2);
  TightAxis(figure, PLOT_AXILE_BOTTOM, xmin - pad, xmax + pad, false);
}

// The upper panel of a pair shares the lower one's 2θ axis: its own shows
// neither numbers nor title, and the panels meet.
void ShareTwoThetaAxis(GtkPlotFigure *upper) {
  upper->bottomAxile.titleVisible = 0;
  upper->bottomAxile.tickLabel.majorVisible = 0;
  upper->bottomAxile.tickLabel.minorVisible = 0;
  upper->legend.placement = PLOT_LEGEND_TOP;
}

}  // namespace

GtkPlotSerial *NewPlotSerial(const char *name, int type, guint32 colour, double width,
                             int placement) {
  GtkPlotSerial *s = gtk_plot_serial_new();
  if (!s) return nullptr;
  CopyText(s->name, sizeof s->name, name);
  s->type = type;
  s->lineStyle.color = s->symbolStyle.color = s->barStyle.color = colour;
  s->lineStyle.width = width;
  s->barStyle.width = width;
  s->barStyle.placement = placement;
  return s;
}

void FillPeaksSerials(const HKLList &list, GtkPlotSerial *observed, GtkPlotSerial *calculated) {
  const size_t n = list.items.size();
  for (GtkPlotSerial *s : {observed, calculated}) {
    if (!s) continue;
    s->points.resize(n);
    s->count = static_cast<guint32>(n);
  }
  for (size_t i = 0; i < n; ++i) {
    const HKLItem &item = list.items[i];
    if (observed) observed->points[i] = {item.twoTheta, item.iObsScaled, ""};
    if (calculated) calculated->points[i] = {item.twoTheta, item.iCalc, ""};
  }
}

void SetUpPeaksFigures(const HKLList &list, const std::string &title, bool observed,
                       GtkPlotFigure *peaks, GtkPlotFigure *difference) {
  SetUpApplicationPlot(peaks, "2θ (°)", "Intensity", true);
  CopyText(peaks->title, sizeof peaks->title, title.c_str());
  SerialPtr obs(observed ? NewPlotSerial("Observed", PLOT_SERIAL_BAR, kObservedColour, 2.0, 1)
                         : nullptr);
  SerialPtr calc(NewPlotSerial("Calculated", PLOT_SERIAL_BAR, kCalculatedColour, 2.0,
                               observed ? 3 : 0));
  SerialPtr diff(observed ? NewPlotSerial("Difference", PLOT_SERIAL_BAR, kDifferenceColour, 2.0, 0)
                          : nullptr);
  if (!calc || (observed && (!obs || !diff))) throw std::bad_alloc();
  FillPeaksSerials(list, obs.get(), calc.get());
  double xmin = list.items.empty() ? 0 : list.items.front().twoTheta, xmax = xmin, ymax = 0,
         dmin = 0, dmax = 0;
  for (const HKLItem &item : list.items) {
    xmin = std::min(xmin, item.twoTheta);
    xmax = std::max(xmax, item.twoTheta);
    ymax = std::max({ymax, item.iCalc, observed ? item.iObsScaled : 0.0});
    if (diff) {
      const double d = item.iObsScaled - item.iCalc;
      diff->points.push_back({item.twoTheta, d, ""});
      dmin = std::min(dmin, d);
      dmax = std::max(dmax, d);
    }
  }
  if (diff) diff->count = static_cast<guint32>(diff->points.size());
  if ((obs && !Add(peaks, std::move(obs))) || !Add(peaks, std::move(calc)))
    throw std::bad_alloc();
  // Both panels show the same angles and their bars stand on zero.
  SetRange(peaks, xmin, xmax, 0, ymax);
  FromZero(peaks);
  TightTwoTheta(peaks, xmin, xmax);
  if (diff && difference) {
    SetUpApplicationPlot(difference, "2θ (°)", "Difference", false);
    if (!Add(difference, std::move(diff))) throw std::bad_alloc();
    SetRange(difference, xmin, xmax, dmin, dmax);
    TightTwoTheta(difference, xmin, xmax);
    ShareTwoThetaAxis(peaks);
  }
}

bool WritePeaksPicture(const std::string &path, const HKLList &list, const std::string &title,
                       bool observed) {
  try {
    if (list.items.empty()) return Report(path, "no reflections to draw");
    GtkPlotFigure peaks, difference;
    SetUpPeaksFigures(list, title, observed, &peaks, &difference);
    std::vector<GtkPlotPanel> panels = {{&peaks, kPeaksHeight}};
    if (observed) panels.push_back({&difference, kDifferenceHeight});
    return Export(panels, path);
  } catch (const std::bad_alloc &) {
    return Report(path, "not enough memory");
  }
}

void SetUpPatternFigures(const LeBailResult &result, const std::string &title,
                         GtkPlotFigure *pattern, GtkPlotFigure *ticks, GtkPlotFigure *difference) {
  SetUpApplicationPlot(pattern, "2θ (°)", "Intensity", true);
  CopyText(pattern->title, sizeof pattern->title, title.c_str());
  const size_t n = result.x.size();
  const bool symbols = n <= kMaxSymbols;
  SerialPtr obs(NewPlotSerial("Observed", symbols ? PLOT_SERIAL_SYMBOL : PLOT_SERIAL_LINE,
                              kObservedColour, 1.0));
  SerialPtr calc(NewPlotSerial("Calculated", PLOT_SERIAL_LINE, kDifferenceColour, 1.0));
  SerialPtr back(NewPlotSerial("Background", PLOT_SERIAL_LINE, kBackgroundColour, 1.0));
  SerialPtr diff(NewPlotSerial("Difference", PLOT_SERIAL_LINE, kObservedColour, 1.0));
  SerialPtr marks(NewPlotSerial("Reflections", PLOT_SERIAL_BAR, kMarkColour, 1.0));
  if (!obs || !calc || !back || !diff || !marks) throw std::bad_alloc();
  obs->symbolStyle.size = 3;
  obs->symbolStyle.fill = 0;
  double ymin = 0, ymax = 0, dmin = 0, dmax = 0;
  for (size_t i = 0; i < n; ++i) {
    const double x = result.x[i], d = result.observed[i] - result.calculated[i];
    obs->points.push_back({x, result.observed[i], ""});
    calc->points.push_back({x, result.calculated[i], ""});
    back->points.push_back({x, result.background[i], ""});
    diff->points.push_back({x, d, ""});
    ymin = std::min({ymin, result.observed[i], result.calculated[i]});
    ymax = std::max({ymax, result.observed[i], result.calculated[i]});
    dmin = std::min(dmin, d);
    dmax = std::max(dmax, d);
  }
  for (const ExtractedReflection &e : result.reflections)
    if (e.inRange) marks->points.push_back({e.reflection.twoTheta + result.model.zero, 1.0, ""});
  for (GtkPlotSerial *s : {obs.get(), calc.get(), back.get(), diff.get(), marks.get()})
    s->count = static_cast<guint32>(s->points.size());
  const double xmin = n ? result.x.front() : 0, xmax = n ? result.x.back() : 1;
  if (!Add(pattern, std::move(obs)) || !Add(pattern, std::move(calc)) ||
      !Add(pattern, std::move(back)))
    throw std::bad_alloc();
  SetRange(pattern, xmin, xmax, ymin, ymax > ymin ? ymax : ymin + 1);
  FromZero(pattern);
  TightAxis(pattern, PLOT_AXILE_BOTTOM, xmin, xmax, false);
  ShareTwoThetaAxis(pattern);
  SetUpApplicationPlot(ticks, "2θ (°)", "hkl", false);
  if (!Add(ticks, std::move(marks))) throw std::bad_alloc();
  SetRange(ticks, xmin, xmax, 0, 1);
  TightAxis(ticks, PLOT_AXILE_BOTTOM, xmin, xmax, false);
  ShareTwoThetaAxis(ticks);
  SetUpApplicationPlot(difference, "2θ (°)", "Difference", false);
  if (!Add(difference, std::move(diff))) throw std::bad_alloc();
  SetRange(difference, xmin, xmax, dmin, dmax > dmin ? dmax : dmin + 1);
  TightAxis(difference, PLOT_AXILE_BOTTOM, xmin, xmax, false);
}

bool WritePatternPicture(const std::string &path, const LeBailResult &result,
                         const std::string &title) {
  try {
    if (result.x.empty()) return Report(path, "no points to draw");
    GtkPlotFigure pattern, ticks, difference;
    SetUpPatternFigures(result, title, &pattern, &ticks, &difference);
    return Export({{&pattern, kPatternHeight}, {&ticks, kTicksHeight},
                   {&difference, kDifferenceHeight}},
                  path);
  } catch (const std::bad_alloc &) {
    return Report(path, "not enough memory");
  }
}

void SetUpModelsFigures(const std::vector<ModelPictureRow> &rows, const std::string &title,
                        GtkPlotFigure *foms, GtkPlotFigure *factors) {
  SetUpApplicationPlot(foms, "Model #", "FOM", true);
  SetUpApplicationPlot(factors, "Model #", "Rmin", true);
  CopyText(foms->title, sizeof foms->title, title.c_str());
  const double width = BarWidth(rows.size());
  SerialPtr fom(NewPlotSerial("Not chosen", PLOT_SERIAL_BAR, kModelColour, width));
  SerialPtr fomChosen(NewPlotSerial("Chosen models", PLOT_SERIAL_BAR, kChosenColour, width));
  SerialPtr rmin(NewPlotSerial("Not chosen", PLOT_SERIAL_BAR, kModelColour, width));
  SerialPtr rminChosen(NewPlotSerial("Chosen models", PLOT_SERIAL_BAR, kChosenColour, width));
  if (!fom || !fomChosen || !rmin || !rminChosen) throw std::bad_alloc();
  double xmin = rows.empty() ? 0 : rows.front().number, xmax = xmin, fmax = 0, rmax = 0,
         fmin = 0, rlow = 0;
  for (const ModelPictureRow &r : rows) {
    xmin = std::min<double>(xmin, r.number);
    xmax = std::max<double>(xmax, r.number);
    if (std::isfinite(r.FOM)) {
      fmax = std::max(fmax, r.FOM);
      fmin = std::min(fmin, r.FOM);
    }
    if (std::isfinite(r.Rmin)) {
      rmax = std::max(rmax, r.Rmin);
      rlow = std::min(rlow, r.Rmin);
    }
    (r.chosen ? fomChosen : fom)->points.push_back({double(r.number), r.FOM, ""});
    (r.chosen ? rminChosen : rmin)->points.push_back({double(r.number), r.Rmin, ""});
  }
  // A series without points would only stand in the legend.
  for (GtkPlotSerial *s : {fom.get(), fomChosen.get(), rmin.get(), rminChosen.get()}) {
    s->count = static_cast<guint32>(s->points.size());
    s->visible = s->count > 0;
  }
  if (!Add(foms, std::move(fom)) || !Add(foms, std::move(fomChosen)) ||
      !Add(factors, std::move(rmin)) || !Add(factors, std::move(rminChosen)))
    throw std::bad_alloc();
  // Models first to last, half a step beyond each so that their bars
  // stand inside; a step of one model or more between ticks: model numbers
  // are whole.
  SetRange(foms, xmin, xmax, fmin, fmax);
  SetRange(factors, xmin, xmax, rlow, rmax);
  for (GtkPlotFigure *f : {foms, factors}) {
    TightAxis(f, PLOT_AXILE_BOTTOM, xmin - 0.5, xmax + 0.5, true);
    FromZero(f);
  }
}

bool WriteModelsPicture(const std::string &path, const std::vector<ModelPictureRow> &rows,
                        const std::string &title) {
  try {
    if (rows.empty()) return Report(path, "no models to draw");
    GtkPlotFigure foms, factors;
    SetUpModelsFigures(rows, title, &foms, &factors);
    return Export({{&foms, kModelsPanelHeight}, {&factors, kModelsPanelHeight}}, path);
  } catch (const std::bad_alloc &) {
    return Report(path, "not enough memory");
  }
}
