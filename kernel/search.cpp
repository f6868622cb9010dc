// SPDX-License-Identifier: BSD-3-Clause
#include "search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdio>

#include "combination.h"

// ---- search ranges and grids ---------------------------------------------------

namespace {

// The slot a parameter-list entry points at.
const ModelParameter *ParameterOf(const CrystalModel *model, const double *slot) {
  for (const AtomModel &atom : model->atoms)
    for (int i = 0; i < 3; ++i)
      if (&atom.para[i].value == slot) return &atom.para[i];
  return nullptr;
}

int AxisOf(const ModelParameter *p) {
  if (!p) return -1;
  return p->kind == KIND_X ? 0 : p->kind == KIND_Y ? 1 : p->kind == KIND_Z ? 2 : -1;
}

}  // namespace

int SearchRange(const CrystalModel *model, size_t i, const Crystal *crystal, int asym,
                double *lower, double *upper) {
  const double *u = crystal->spaceGroup.asymmetricUnit;
  const ModelParameter *p = ParameterOf(model, model->parameterList[i]);
  const int axis = AxisOf(p);
  *lower = axis >= 0 ? u[2 * axis] : 0;
  *upper = axis >= 0 ? u[2 * axis + 1] : 0;
  if (axis >= 0 && !asym && p->special) {
    *lower = 0;
    *upper = 1;
  }
  return axis;
}

void SetSearchGrid(Search *search, double resolution) {
  const CrystalModel *model = search->model;
  const Crystal *crystal = search->crystal;
  const size_t n = model->parameterList.size();
  SearchGrid &g = search->grid;
  g.current.assign(n, 0);
  g.lower.assign(n, 0);
  g.upper.assign(n, 0);
  g.step.assign(n, 1.0);
  const double edge[3] = {crystal->a, crystal->b, crystal->c};
  for (size_t i = 0; i < n; ++i) {
    double lo = 0, hi = 0, own = 0;
    // r and B have grids of their own, starting where the model stands.
    if (PatternParameterRange(model, i, &lo, &hi, &own)) {
      g.step[i] = own;
      g.lower[i] = static_cast<int>(std::lround(lo / own));
      g.upper[i] = static_cast<int>(std::lround(hi / own));
      const int at = static_cast<int>(std::lround(*model->parameterList[i] / own));
      g.current[i] = std::min(std::max(at, g.lower[i]), g.upper[i]);
      continue;
    }
    const int axis = SearchRange(model, i, crystal, search->asym, &lo, &hi);
    const double step = axis >= 0 ? resolution / edge[axis] : 0;
    // A step that is no positive number would make the grid endless or
    // empty; such a parameter stays where it is.
    if (axis < 0 || !std::isfinite(step) || step <= 0) continue;
    g.step[i] = step;
    g.lower[i] = static_cast<int>(std::floor(lo / step));
    g.upper[i] = static_cast<int>(std::ceil(hi / step));
    g.current[i] = g.lower[i];
  }
}

// ---- the bookkeeping every search does -------------------------------------

namespace {

// One search in progress: the evaluation, the best values, the progress
// record and its report.
class SearchRun {
 public:
  explicit SearchRun(Search *s)
      : s_(*s), model_(s->model), n_(s->model->parameterList.size()),
        random_(s->random ? *s->random : ThreadSearchRandom()),
        evaluate_(s->model, s->crystal, s->list, s->selector, s->factor,
                  s->factorArg ? s->factorArg : s->list, s->penalty),
        best_(n_), shown_(n_) {
    CopyParameterValues(model_, &best_);
    // The best known point enters the search at its cost.
    if (evaluate_.Penalised()) model_->Rmin += evaluate_.WeightedPenalty();
    record_.model = model_;
    record_.values = shown_.data();
    model_->runMinimum = 100.0;
  }

  size_t size() const { return n_; }
  SearchRandom &random() { return random_; }
  OptimizationProgress &record() { return record_; }
  double *value(size_t i) { return model_->parameterList[i]; }
  void SetFromGrid(size_t i) {
    *value(i) = s_.grid.current[i] * s_.grid.step[i];
  }
  int RandomParameter() {
    const int n = static_cast<int>(n_);
    return static_cast<int>(n * random_.Rand()) % n;
  }

  double EvaluateQuietly() { return evaluate_(); }

  // Evaluates and books the factor: count, flags, and a new minimum of this
  // run. With showRunBest the display follows every new run minimum (grid
  // search, traditional annealing); otherwise the search decides.
  double Evaluate(bool showRunBest) {
    const double R = evaluate_();
    record_.factor = R;
    record_.count++;
    record_.newRunBest = record_.newBest = 0;
    if (R < model_->runMinimum) {
      model_->runMinimum = R;
      record_.newRunBest = 1;
      if (showRunBest) {
        record_.newBest = 1;
        CopyParameterValues(model_, &shown_);
      }
    }
    return R;
  }
  // A new best of the model: kept, and optionally shown.
  void NoteBest(double R, bool show) {
    model_->Rmin = R;
    CopyParameterValues(model_, &best_);
    if (show) {
      record_.newBest = 1;
      shown_ = best_;
    }
  }
  bool Report() {
    proceed_ = s_.progress ? s_.progress(&record_, s_.progressArg) != 0 : true;
    return proceed_;
  }
  bool proceeding() const { return proceed_; }
  const std::vector<double> &best() const { return best_; }
  // Moves the best point's entry i by whole cells into [0, 1): the same
  // structure, written as a reader expects it.
  void WrapBest(size_t i) { best_[i] -= std::floor(best_[i]); }
  double Finish() {
    evaluate_.Sync();
    RestoreParameterValues(model_, best_);
    if (evaluate_.Penalised()) model_->Rmin = evaluate_.BraggFactor();
    return model_->Rmin;
  }

 private:
  Search &s_;
  CrystalModel *model_;
  size_t n_;
  SearchRandom &random_;
  ModelEvaluator evaluate_;
  std::vector<double> best_, shown_;
  OptimizationProgress record_;
  bool proceed_ = true;
};

// The parameter-list entries of one site's free coordinates, x before y
// before z.
struct SiteParameters {
  const AtomModel *atom;
  std::vector<size_t> parameters;
};

std::vector<SiteParameters> SitesOf(const CrystalModel *model) {
  std::vector<SiteParameters> out;
  for (const AtomModel &atom : model->atoms) {
    if (atom.site >= 0) continue;
    SiteParameters site{&atom, {}};
    for (int s = 0; s < 3; ++s)
      for (size_t i = 0; i < model->parameterList.size(); ++i)
        if (model->parameterList[i] == &atom.para[s].value) site.parameters.push_back(i);
    if (!site.parameters.empty()) out.push_back(std::move(site));
  }
  return out;
}

// Pairs of sites on the same position with the same free coordinates whose
// occupants differ: trading their places is a move of its own.
std::vector<std::pair<size_t, size_t>> ExchangeablePairs(const CrystalModel *model,
                                                         const std::vector<SiteParameters> &sites) {
  auto kinds = [&](const SiteParameters &s) {
    std::vector<int32_t> k;
    for (size_t i : s.parameters) k.push_back(ParameterOf(model, model->parameterList[i])->kind);
    return k;
  };
  std::vector<std::pair<size_t, size_t>> out;
  for (size_t a = 0; a < sites.size(); ++a)
    for (size_t b = a + 1; b < sites.size(); ++b) {
      const AtomModel &p = *sites[a].atom, &q = *sites[b].atom;
      if (p.position != q.position || p.element == q.element || kinds(sites[a]) != kinds(sites[b]))
        continue;
      out.emplace_back(a, b);
    }
  return out;
}

// Temperature steps of one cycle from start down to end at the given rate,
// or -1 when the schedule never ends.
long TemperatureSteps(double start, double end, double rate) {
  long steps = 0;
  for (double T = start; T > end; T *= rate) {
    if (++steps > kMaxTemperatureSteps) return -1;
  }
  return steps;
}

}  // namespace

double EffortFactor(int freeCount) {
  return std::min(kEffortMax, std::max(kEffortMin, freeCount / kEffortReference));
}

StageSettings SearchEffort(const StageSettings &settings, int freeCount, double share) {
  StageSettings e = settings;
  const double f = (settings.autoEffort ? EffortFactor(freeCount) : 1.0) * share;
  auto scale = [f](uint32_t moves) -> uint32_t {
    if (moves == 0) return 0;
    const double m = std::round(moves * f);
    return m < 1 ? 1u : m > 4e9 ? 4000000000u : static_cast<uint32_t>(m);
  };
  e.traditional.moves = scale(settings.traditional.moves);
  e.adaptive.moves = scale(settings.adaptive.moves);
  e.tempering.moves = scale(settings.tempering.moves);
  // The automatic adaptive schedule grows with the free count by itself.
  e.adaptive.effort = settings.adaptive.effort * share;
  if (settings.autoEffort && freeCount > 0) {
    const uint32_t extra = static_cast<uint32_t>(freeCount / kEffortCycleStep);
    e.traditional.cycles += extra;
    e.adaptive.cycles += extra;
  }
  return e;
}

double RunSolveStructure(Search *search, int method, const StageSettings &settings) {
  CrystalModel *model = search->model;
  if (model->parameterList.empty()) {
    ModelEvaluator evaluate(model, search->crystal, search->list, search->selector,
                            search->factor, search->factorArg ? search->factorArg : search->list);
    return evaluate.FactorOfCrystal();
  }
  SetSearchGrid(search, settings.resolution);
  switch (method) {
    case METHOD_GRID:
      RunGridSearchWithPattern(search);
      break;
    case METHOD_TRADITIONAL:
      RunTraditionalAnnealing(search, settings.traditional);
      break;
    case METHOD_ADAPTIVE:
      RunAdaptiveAnnealing(search, settings.adaptive);
      break;
    case METHOD_TEMPERING:
      RunParallelTempering(search, settings.tempering);
      break;
    default:
      Message(MESSAGE_ERROR, "solving structure, unknown global optimisation method!\n");
      break;
  }
  return model->Rmin;
}

double RunGridSearch(Search *search) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = model->parameterList.size();
  if (n == 0) return model->Rmin;
  SearchRun run(search);
  double total = 1;
  for (size_t i = 0; i < n; ++i) total *= g.upper[i] - g.lower[i];
  run.record().total = total;
  do {
    for (size_t i = 0; i < n; ++i) run.SetFromGrid(i);
    const double R = run.Evaluate(true);
    if (R < model->Rmin) run.NoteBest(R, false);
    run.Report();
  } while (increase(g.current.data(), g.lower.data(), g.upper.data(), static_cast<int>(n)) &&
           run.proceeding());
  return run.Finish();
}

// Turns of coordinates and of r and B a grid search takes at most, and the
// coarser grid of r its first turn takes with the coordinates (ten steps of
// 0.005 give 33 values of r from 0.4 to 2).
constexpr int kPatternPasses = 4;
constexpr int kCoarseTexture = 10;

double RunGridSearchWithPattern(Search *search) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = g.current.size(), free = static_cast<size_t>(model->freeCount);
  if (n <= free) return RunGridSearch(search);
  // Gridding r and B with the coordinates would multiply the points: the
  // coordinates are searched with them held, then each is scanned alone at
  // the best coordinates. Coordinates found with r or B far off make up for
  // them (a plate texture moves the atoms that dominate the strong
  // reflections), so the two turns alternate while the factor improves.
  const std::vector<int> lower = g.lower, upper = g.upper;
  auto holdAtBest = [&](size_t i) {
    g.lower[i] = g.upper[i] = g.current[i] =
        static_cast<int>(std::lround(*model->parameterList[i] / g.step[i]));
  };
  double previous = std::numeric_limits<double>::infinity();
  for (int pass = 0; pass < kPatternPasses && model->Rmin < previous; ++pass) {
    previous = model->Rmin;
    // The first turn grids r coarsely with the coordinates: held at its
    // start, r would let the coordinates settle where no scan of r alone
    // leads out (hydrogen of a brucite plate put where r = 1 fits best).
    size_t coarse = n;
    for (size_t i = 0; i < n; ++i) {
      if (i < free) {
        g.lower[i] = g.current[i] = lower[i];
        g.upper[i] = upper[i];
      } else if (pass == 0 && model->parameterList[i] == &model->marchR) {
        coarse = i;
        g.step[i] *= kCoarseTexture;
        g.lower[i] = g.current[i] =
            static_cast<int>(std::ceil(lower[i] / static_cast<double>(kCoarseTexture)));
        g.upper[i] = upper[i] / kCoarseTexture;
      } else if (pass > 0) {
        holdAtBest(i);
      } else {
        g.lower[i] = g.upper[i] = g.current[i];
      }
    }
    RunGridSearch(search);
    if (coarse < n) g.step[coarse] /= kCoarseTexture;
    for (size_t k = free; k < n; ++k) {
      for (size_t i = 0; i < n; ++i) holdAtBest(i);
      g.lower[k] = g.current[k] = lower[k];
      g.upper[k] = upper[k];
      RunGridSearch(search);
    }
  }
  return model->Rmin;
}

double RunTraditionalAnnealing(Search *search, const TraditionalAnnealingSettings &settings) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = model->parameterList.size();
  if (n == 0) return model->Rmin;
  SearchRun run(search);
  const uint32_t cyclesMoves = settings.cycles * settings.moves;
  long steps = TemperatureSteps(settings.startT, settings.endT, settings.rate);
  if (steps < 0) {
    Message(MESSAGE_WARNING,
            "solving structure by Simulated Annealing, the temperature schedule (%f to %f at "
            "rate %f) never ends; each cycle stops after %d temperature steps\n",
            settings.startT, settings.endT, settings.rate, kMaxTemperatureSteps);
    steps = kMaxTemperatureSteps;
  }
  // The planned count only feeds the percentage shown; a schedule cut
  // short above counts the steps it will really take.
  const double planned = std::ceil(cyclesMoves * std::log10(settings.endT / settings.startT) /
                                   std::log10(settings.rate));
  run.record().total = std::isfinite(planned) && planned >= 0 && steps < kMaxTemperatureSteps
                           ? planned
                           : static_cast<double>(cyclesMoves) * static_cast<double>(steps);
  SearchRandom &random = run.random();
  for (uint32_t cycle = 0; cycle < settings.cycles && run.proceeding(); ++cycle) {
    random.Reseed();
    for (size_t i = 0; i < n; ++i) {
      g.current[i] = static_cast<int>(g.lower[i] + (g.upper[i] - g.lower[i]) * random.Rand());
      run.SetFromGrid(i);
    }
    double Rcur = run.EvaluateQuietly();
    double T = settings.startT;
    for (long s = 0; T > settings.endT && run.proceeding() && s < kMaxTemperatureSteps; ++s) {
      random.Reseed();
      for (uint32_t m = 0; m < settings.moves && run.proceeding(); ++m) {
        for (size_t i = 0; i < n; ++i) run.SetFromGrid(i);
        const size_t k = static_cast<size_t>(run.RandomParameter());
        const int saved = g.current[k];
        g.current[k] = static_cast<int>(g.lower[k] + (g.upper[k] - g.lower[k]) * random.Rand());
        run.SetFromGrid(k);
        const double R = run.Evaluate(true);
        if (R < model->Rmin) run.NoteBest(R, false);
        const double d = R - Rcur;
        bool accept = d < 0;
        if (!accept) accept = std::exp(-d / T) >= random.Rand();
        if (accept)
          Rcur = R;
        else
          g.current[k] = saved;
        run.Report();
      }
      T *= settings.rate;
    }
  }
  return run.Finish();
}

double RunAdaptiveAnnealing(Search *search, const AdaptiveAnnealingSettings &settings) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = model->parameterList.size();
  if (n == 0) return model->Rmin;
  std::FILE *log = search->annealingLog;
  double T0 = 0, Tend = 0;
  uint32_t M = 0;
  if (settings.strategy == 0) {
    T0 = settings.startT;
    Tend = settings.endT;
    M = settings.moves;
  } else if (settings.strategy == 1) {
    T0 = 1.5 * model->Rsd;
    Tend = 0.2 * T0;
    const int e = (static_cast<int>(n) + 1) / 2;
    double moves = static_cast<double>(n) * std::pow(10.0, e) * settings.effort;
    M = moves > 4e9 ? 4000000000u : static_cast<uint32_t>(moves);
    if (log) std::fprintf(log, "moves : %ld\n", static_cast<long>(M));
  }
  SearchRun run(search);
  OptimizationProgress &record = run.record();
  for (uint32_t c = 0; c < settings.cycles; ++c) {
    long s = 0;
    for (double T = T0; T > Tend && s < kMaxTemperatureSteps; T *= 0.9, ++s) record.total += M;
  }
  SearchRandom &random = run.random();
  random.Reseed();
  for (size_t i = 0; i < n; ++i)
    g.current[i] = static_cast<int>(g.lower[i] + (g.upper[i] - g.lower[i]) * random.Rand());
  bool warned = false;
  for (uint32_t cycle = 0; cycle < settings.cycles && run.proceeding(); ++cycle) {
    double stepScale = 1.0;
    double T = T0;
    long s = 0;
    while (T > Tend && run.proceeding()) {
      if (++s > kMaxTemperatureSteps) {
        if (!warned)
          Message(MESSAGE_WARNING,
                  "solving structure by Simulated Annealing, the temperature does not fall to "
                  "%f; each cycle stops after %d temperature steps\n",
                  Tend, kMaxTemperatureSteps);
        warned = true;
        break;
      }
      random.Reseed();
      long accepted = 0;
      // The spread of this step's factors from running sums: a step of
      // billions of moves needs no array of them.
      double sum = 0, squares = 0;
      uint32_t made = 0;
      for (uint32_t m = 0; m < M && run.proceeding(); ++m) {
        const size_t k = static_cast<size_t>(run.RandomParameter());
        const int saved = g.current[k];
        const int half = (g.upper[k] - g.lower[k]) / 2;
        g.current[k] = static_cast<int>(g.current[k] + (random.Rand() - 0.5) * stepScale * half);
        g.current[k] = std::min(std::max(g.current[k], g.lower[k]), g.upper[k]);
        run.SetFromGrid(k);
        const double R = run.Evaluate(false);
        sum += R;
        squares += R * R;
        made = m + 1;
        const double d = R - model->Rmin;
        if (d < 0) {
          run.NoteBest(R, true);
          ++accepted;
        } else if (std::exp(-d / T) >= random.Rand()) {
          ++accepted;
        } else {
          g.current[k] = saved;
          run.SetFromGrid(k);
        }
        run.Report();
      }
      const double a = M ? static_cast<double>(accepted) / M : 0;
      if (M && log) std::fprintf(log, "[%ld]acceptance ratio = %f\n", accepted, a);
      if (a > 0.6)
        stepScale *= (a - 0.6) / 0.4 + 1;
      else if (a < 0.4)
        stepScale /= (0.4 - a) / 0.4 + 1;
      // A stopped step has only the moves it made.
      T = 1.5 * SpreadOf(sum, squares, made);
      if (log) {
        std::fprintf(log, "T = %f\n", T);
        std::fflush(log);
      }
    }
  }
  return run.Finish();
}

// The share of a tempering's moves that move one whole site anywhere, and
// the same share that trade two sites' places.
constexpr double kSiteMoveShare = 0.1;

// The completion after tempering: the spacing (angstrom) of the points a
// site is tried at, the most passes over all sites, and the points it may
// evaluate as a share of the tempering's moves.
constexpr double kCompletionSpacing = 0.4;
constexpr int kCompletionPasses = 4;
constexpr double kCompletionShare = 0.25;

// What a difference map does for a crystallographer: at the best point, each
// exchangeable pair trades places, then each site in turn is tried at every
// point of a coarse grid over its range with the others held; either is kept
// when, after a descent over the moved coordinates, the cost has fallen, and
// passes repeat while one of them helps. A search that ends with all atoms
// but one right, or with two cations swapped, has every other atom holding
// the misplaced one where it is: no Metropolis move at the cold end leaves
// such a point, one systematic look at the site does. Pairs come first: a
// heavy cation on its partner's place would draw the site scans into moving
// everything else around it. The completion evaluates at most budget
// points: a short search (the first rounds of a race) gets a short one.
void CompleteSites(SearchRun &run, Search *search, const std::vector<SiteParameters> &sites,
                   const std::vector<std::pair<size_t, size_t>> &exchanges, double budget) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = run.size();
  if (sites.empty() || !run.proceeding()) return;
  // The best point may lie outside the grid's range (a start from given
  // coordinates): its indices go beyond it rather than being cut to it.
  const std::vector<double> best = run.best();
  for (size_t i = 0; i < n; ++i) {
    g.current[i] = static_cast<int>(std::lround(best[i] / g.step[i]));
    run.SetFromGrid(i);
  }
  double cost = run.Evaluate(true);
  if (cost < model->Rmin) run.NoteBest(cost, false);
  // Every coordinate steps by the grid's resolution in angstrom along its
  // edge (r and B have steps of their own): the first coordinate tells it.
  const size_t first = sites.front().parameters.front();
  const int axis = AxisOf(ParameterOf(model, model->parameterList[first]));
  const double edge[3] = {search->crystal->a, search->crystal->b, search->crystal->c};
  const double resolution = axis >= 0 ? g.step[first] * edge[axis] : 0;
  if (!(resolution > 0)) return;
  const int stride = std::max(1, static_cast<int>(std::lround(kCompletionSpacing / resolution)));
  auto set = [&](const std::vector<size_t> &p, const std::vector<int> &v) {
    for (size_t j = 0; j < p.size(); ++j) {
      g.current[p[j]] = v[j];
      run.SetFromGrid(p[j]);
    }
  };
  auto get = [&](const std::vector<size_t> &p) {
    std::vector<int> v(p.size());
    for (size_t j = 0; j < p.size(); ++j) v[j] = g.current[p[j]];
    return v;
  };
  // The cost at the grid's point after a change of coordinate i (none: all),
  // counted against the budget.
  auto look = [&](size_t i) {
    if (i < n) run.SetFromGrid(i);
    --budget;
    const double e = run.Evaluate(true);
    run.Report();
    return e;
  };
  auto going = [&] { return budget > 0 && run.proceeding(); };
  // Steps of stride/2, stride/4 ... 1 over the given coordinates while the
  // cost falls; leaves the grid at the lowest point and returns its cost.
  // Coordinates repeat with the cell, so a step may leave the range (an atom
  // on its edge would else stay short of its place).
  auto descend = [&](const std::vector<size_t> &p, double e) {
    for (int d = std::max(1, stride / 2); d >= 1 && going(); d /= 2) {
      for (bool moved = true; moved && going();) {
        moved = false;
        for (size_t i : p)
          for (int sign : {-1, 1}) {
            const int saved = g.current[i];
            g.current[i] = saved + sign * d;
            const double t = look(i);
            if (t < e) {
              e = t;
              moved = true;
            } else {
              g.current[i] = saved;
              run.SetFromGrid(i);
            }
          }
      }
    }
    return e;
  };
  auto keep = [&](double e) {
    cost = e;
    if (e < model->Rmin) run.NoteBest(e, false);
  };
  for (int pass = 0; pass < kCompletionPasses && going(); ++pass) {
    const double start = cost;
    for (const auto &pair : exchanges) {
      if (!going()) break;
      const std::vector<size_t> &p = sites[pair.first].parameters,
                                &q = sites[pair.second].parameters;
      const std::vector<int> a = get(p), b = get(q);
      set(p, b);
      set(q, a);
      std::vector<size_t> both = p;
      both.insert(both.end(), q.begin(), q.end());
      const double e = descend(both, look(n));
      if (e < cost) {
        keep(e);
      } else {
        set(p, a);
        set(q, b);
      }
    }
    for (const SiteParameters &site : sites) {
      if (!going()) break;
      const std::vector<size_t> &p = site.parameters;
      const std::vector<int> saved = get(p);
      std::vector<int> point(p.size()), found = saved;
      double lowest = std::numeric_limits<double>::infinity();
      for (size_t j = 0; j < p.size(); ++j) point[j] = g.lower[p[j]];
      // Every grid point of the site's range, the last coordinate fastest.
      for (bool more = true; more && going();) {
        set(p, point);
        const double e = look(n);
        if (e < lowest) {
          lowest = e;
          found = point;
        }
        more = false;
        for (size_t j = p.size(); j-- > 0;) {
          point[j] += stride;
          if (point[j] <= g.upper[p[j]]) {
            more = true;
            break;
          }
          point[j] = g.lower[p[j]];
        }
      }
      set(p, found);
      const double e = descend(p, lowest);
      if (e < cost)
        keep(e);
      else
        set(p, saved);
    }
    if (!(cost < start)) break;
  }
  for (const SiteParameters &site : sites)
    for (size_t i : site.parameters) run.WrapBest(i);
}

double RunCompletion(Search *search, double budget) {
  // Without a grid of its parameters there is nothing to step on.
  const size_t n = search->model->parameterList.size();
  if (n == 0 || search->grid.step.size() != n || search->grid.current.size() != n)
    return search->model->Rmin;
  SearchRun run(search);
  const std::vector<SiteParameters> sites = SitesOf(search->model);
  CompleteSites(run, search, sites, ExchangeablePairs(search->model, sites), budget);
  return run.Finish();
}

double RunParallelTempering(Search *search, const TemperingSettings &settings) {
  CrystalModel *model = search->model;
  SearchGrid &g = search->grid;
  const size_t n = model->parameterList.size();
  if (n == 0 || settings.replicas == 0) return model->Rmin;
  if (!(settings.coldT > 0 && settings.hotT >= settings.coldT)) {
    Message(MESSAGE_ERROR,
            "solving structure by Parallel Tempering, the temperatures (%f to %f) must be "
            "positive, the hot one not below the cold one\n",
            settings.hotT, settings.coldT);
    return model->Rmin;
  }
  SearchRun run(search);
  const size_t R = settings.replicas;
  // Replica 0 is the coldest. One replica runs at the cold end.
  std::vector<double> T(R, settings.coldT);
  for (size_t k = 1; k < R; ++k)
    T[k] = settings.coldT * std::pow(settings.hotT / settings.coldT,
                                     static_cast<double>(k) / static_cast<double>(R - 1));
  run.record().total = static_cast<double>(settings.moves) * static_cast<double>(R);
  SearchRandom &random = run.random();
  random.Reseed();
  std::vector<std::vector<int>> at(R, std::vector<int>(n));
  std::vector<double> energy(R);
  auto load = [&](size_t k) {
    g.current = at[k];
    for (size_t i = 0; i < n; ++i) run.SetFromGrid(i);
  };
  for (size_t k = 0; k < R; ++k) {
    for (size_t i = 0; i < n; ++i)
      at[k][i] = static_cast<int>(g.lower[i] + (g.upper[i] - g.lower[i]) * random.Rand());
    load(k);
    energy[k] = run.EvaluateQuietly();
  }
  const std::vector<SiteParameters> sites = SitesOf(model);
  const std::vector<std::pair<size_t, size_t>> exchanges = ExchangeablePairs(model, sites);
  std::vector<std::pair<size_t, int>> undo;
  // A replica makes a block of moves in a row, so that the evaluator sees
  // one parameter change at a time; swaps come between blocks.
  const uint32_t block = static_cast<uint32_t>(std::max<size_t>(10, 4 * n));
  uint32_t made = 0;
  for (int sweep = 0; made < settings.moves && run.proceeding(); ++sweep) {
    const uint32_t b = std::min(block, settings.moves - made);
    for (size_t k = 0; k < R && run.proceeding(); ++k) {
      load(k);
      // Cold replicas step locally, hot ones reach across the range; half
      // of all moves are the traditional annealing's jumps anywhere.
      const double reach = std::sqrt(T[k] / T[R - 1]);
      for (uint32_t m = 0; m < b && run.proceeding(); ++m) {
        undo.clear();
        // A model of one site draws as before site moves came.
        const double kind = sites.size() > 1 ? random.Rand() : 1.0;
        if (kind < kSiteMoveShare) {
          // An atom caught in another's hole leaves it only by moving all
          // its coordinates at once; one coordinate at a time, every path
          // out climbs over a short contact or a worse fit.
          const SiteParameters &site =
              sites[static_cast<size_t>(sites.size() * random.Rand()) % sites.size()];
          for (size_t i : site.parameters) {
            undo.emplace_back(i, g.current[i]);
            g.current[i] =
                static_cast<int>(g.lower[i] + (g.upper[i] - g.lower[i]) * random.Rand());
          }
        } else if (kind < 2 * kSiteMoveShare && !exchanges.empty()) {
          // Two sites of different elements trade places: a cation sitting
          // where an anion belongs, and the anion where it belongs.
          const auto &pair =
              exchanges[static_cast<size_t>(exchanges.size() * random.Rand()) % exchanges.size()];
          const std::vector<size_t> &p = sites[pair.first].parameters,
                                    &q = sites[pair.second].parameters;
          for (size_t j = 0; j < p.size(); ++j) {
            undo.emplace_back(p[j], g.current[p[j]]);
            undo.emplace_back(q[j], g.current[q[j]]);
          }
          for (size_t j = 0; j < p.size(); ++j) std::swap(g.current[p[j]], g.current[q[j]]);
        } else {
          const size_t i = static_cast<size_t>(run.RandomParameter());
          undo.emplace_back(i, g.current[i]);
          const int span = g.upper[i] - g.lower[i];
          if (random.Rand() < 0.5) {
            g.current[i] = static_cast<int>(g.lower[i] + span * random.Rand());
          } else {
            const int half = std::max(1, static_cast<int>(reach * span / 2));
            g.current[i] += static_cast<int>(std::lround((random.Rand() - 0.5) * 2 * half));
            g.current[i] = std::min(std::max(g.current[i], g.lower[i]), g.upper[i]);
          }
        }
        for (const auto &u : undo) run.SetFromGrid(u.first);
        const double E = run.Evaluate(true);
        if (E < model->Rmin) run.NoteBest(E, false);
        const double d = E - energy[k];
        if (d < 0 || std::exp(-d / T[k]) >= random.Rand()) {
          energy[k] = E;
        } else {
          for (auto u = undo.rbegin(); u != undo.rend(); ++u) {
            g.current[u->first] = u->second;
            run.SetFromGrid(u->first);
          }
        }
        run.Report();
      }
      at[k] = g.current;
    }
    made += b;
    // Neighbours swap with the probability that keeps each temperature's
    // distribution; even and odd pairs take turns.
    for (size_t k = static_cast<size_t>(sweep % 2); k + 1 < R; k += 2) {
      const double x = (energy[k] - energy[k + 1]) * (1 / T[k] - 1 / T[k + 1]);
      if (x >= 0 || std::exp(x) >= random.Rand()) {
        std::swap(at[k], at[k + 1]);
        std::swap(energy[k], energy[k + 1]);
      }
    }
  }
  // A quarter of the replicas' moves: the first rounds of a race search
  // every model briefly, far from any solution, where a completion helps
  // least and would cost most of the round.
  CompleteSites(run, search, sites, exchanges,
                kCompletionShare * static_cast<double>(settings.moves) * static_cast<double>(R));
  return run.Finish();
}
