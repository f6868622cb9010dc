// pulvina-solve: the batch solver. Runs a job from its control file without
// a window, stage by stage.
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel.h"

namespace {

enum Stage { STAGE_SETUP = 0, STAGE_GENERATE, STAGE_EVALUATE, STAGE_STATISTIC, STAGE_OPTIMISE,
             STAGE_REFINE, STAGE_COUNT };
const char *const kStageNames[STAGE_COUNT] = {"setup",     "generate", "evaluate",
                                              "statistic", "optimise", "refine"};
// The stages this build carries out; later ones are refused with a clear
// message rather than silently skipped.
constexpr int kLastImplementedStage = STAGE_REFINE;

struct Options {
  int stopAfter = STAGE_REFINE;
  std::string output = ".";
  bool haveSeed = false;
  long seed = 0;
  int best = 0;
  int verbosity = 1;  // 0 quiet, 1 normal, 2 verbose
  double bondTolerance = 10.0;  // percent below the minimum distances still accepted
  std::string dataDir = PULVINA_DATA_DIR;
  std::string jobFile;
};

void Usage(std::FILE *out) {
  std::fprintf(out,
               "Usage: pulvina-solve [options] JOB.epc\n"
               "Solve a crystal structure from indexed powder data described by a control file.\n"
               "\n"
               "Options:\n"
               "  --stop-after STAGE  end the run after STAGE: setup, generate, evaluate,\n"
               "                      statistic, optimise or refine (default: all)\n"
               "  -o DIR              output folder (default: the current folder)\n"
               "  --seed N            seed of the random generator, for a reproducible run\n"
               "  --best N            write only the N best models (default: all solved)\n"
               "  --tolerance PCT     bond lengths may fall this many percent below their\n"
               "                      minimum (default: 10)\n"
               "  --data DIR          folder of sgt.xml, asft.dat and nslt.dat\n"
               "                      (default: %s)\n"
               "  -q, --quiet         print errors and the result only\n"
               "  -v, --verbose       print every message of the kernel\n"
               "  -h, --help          show this help\n"
               "  --version           show the version\n",
               PULVINA_DATA_DIR);
}

bool ParseInt(const char *text, long *value) {
  char *end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end) return false;
  *value = v;
  return true;
}

// Returns -1 to go on, otherwise the exit status.
int ParseOptions(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char *name) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "pulvina-solve: option %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("pulvina-solve (kernel version %d.%d.%d)\n", kKernelMajor, kKernelMinor,
                  kKernelRelease);
      return 0;
    } else if (a == "--stop-after") {
      const char *v = value("--stop-after");
      if (!v) return 2;
      int found = -1;
      for (int s = 0; s < STAGE_COUNT; ++s)
        if (std::strcmp(v, kStageNames[s]) == 0) found = s;
      if (found < 0) {
        std::fprintf(stderr,
                     "pulvina-solve: unknown stage '%s' (setup, generate, evaluate, statistic, "
                     "optimise or refine)\n",
                     v);
        return 2;
      }
      o->stopAfter = found;
    } else if (a == "-o") {
      const char *v = value("-o");
      if (!v) return 2;
      o->output = v;
    } else if (a == "--seed" || a == "--best") {
      const char *v = value(a.c_str());
      long n = 0;
      if (!v) return 2;
      if (!ParseInt(v, &n) || (a == "--best" && n < 1)) {
        std::fprintf(stderr, "pulvina-solve: %s needs a whole number, not '%s'\n", a.c_str(), v);
        return 2;
      }
      if (a == "--seed") {
        o->haveSeed = true;
        o->seed = n;
      } else {
        o->best = static_cast<int>(n);
      }
    } else if (a == "--tolerance") {
      const char *v = value("--tolerance");
      if (!v) return 2;
      char *end = nullptr;
      double t = std::strtod(v, &end);
      if (end == v || *end || !std::isfinite(t) || t < 0 || t >= 100) {
        std::fprintf(stderr, "pulvina-solve: --tolerance needs a percentage from 0 to 100, not "
                             "'%s'\n", v);
        return 2;
      }
      o->bondTolerance = t;
    } else if (a == "--data") {
      const char *v = value("--data");
      if (!v) return 2;
      o->dataDir = v;
    } else if (a == "-q" || a == "--quiet") {
      o->verbosity = 0;
    } else if (a == "-v" || a == "--verbose") {
      o->verbosity = 2;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "pulvina-solve: unknown option '%s' (try --help)\n", a.c_str());
      return 2;
    } else if (o->jobFile.empty()) {
      o->jobFile = a;
    } else {
      std::fprintf(stderr, "pulvina-solve: only one control file, not '%s' too\n", a.c_str());
      return 2;
    }
  }
  if (o->jobFile.empty()) {
    Usage(stderr);
    return 2;
  }
  return -1;
}

void PrintCompound(const Job &job) {
  const Compound &c = job.compound;
  std::printf("Compound  %s, Z = %d, %d formula entries\n", job.config.formular.c_str(),
              job.config.formularZ, c.entryCount);
  std::printf("  %-6s %-14s %4s %6s %6s %4s %10s %7s %7s %7s %8s  %s\n", "symbol", "name", "Z",
              "count", "cell", "ox", "mass", "r(vdW)", "r(cov)", "r(ion)", "colour",
              "f0(0)  b(fm)");
  auto row = [](const Element &e, const char *indent) {
    double f0 = ASFFactor(0.0, e.asf);
    std::printf("  %s%-*s %-14s %4d %6d %6d %+4d %10.4f %7.3f %7.3f %7.3f %08X  %6.3f %7.4f%+.4fi",
                indent, 6 - static_cast<int>(std::strlen(indent)), e.symbol.c_str(),
                e.name.c_str(), e.atomicNumber, e.count, e.cellCount, e.oxidation, e.mass,
                e.vdwRadius / 1000, e.covalentRadius / 1000, e.ionRadius / 1000, e.color, f0,
                e.nsl[0], e.nsl[1]);
    if (e.members.empty() && e.atomicNumber > 0 && e.fraction > 0)
      std::printf("  occupancy %.4f", e.fraction);
    std::printf("\n");
  };
  for (const Element &e : c.entries) {
    if (e.atomicNumber == 0) {
      std::printf("  group  (%zu members sharing one site) %6d %6d\n", e.members.size(), e.count,
                  e.cellCount);
      for (const Element &m : e.members) row(m, "+ ");
    } else {
      row(e, "");
    }
  }
}

void PrintSpaceGroup(const SpaceGroup &sg) {
  std::printf("\nSpace group  no. %d  %s  (%s, %s), setting %d: %s\n", sg.number,
              sg.shortSymbol.c_str(), sg.fullSymbol.c_str(), sg.schoenfliesSymbol.c_str(),
              sg.setting, sg.description.c_str());
  std::printf("  crystal system %s, point group %s, Laue class %s\n", sg.crystalSystem.c_str(),
              sg.pointGroup.c_str(), sg.pattersonSymmetry.c_str());
  std::printf("  asymmetric unit %g..%g, %g..%g, %g..%g\n", sg.asymmetricUnit[0],
              sg.asymmetricUnit[1], sg.asymmetricUnit[2], sg.asymmetricUnit[3],
              sg.asymmetricUnit[4], sg.asymmetricUnit[5]);
  if (!sg.origin.empty()) std::printf("  origin %s\n", sg.origin.c_str());
  std::printf("  centring translations:");
  if (sg.translations.empty()) std::printf(" none (primitive)");
  for (const Coordinate &t : sg.translations) std::printf(" (%s)", t.text.c_str());
  std::printf("\n  %d Wyckoff positions:\n", sg.positionCount);
  std::printf("  %5s %6s %-10s %s\n", "mult", "letter", "site", "coordinates");
  for (const Position &p : sg.positions) {
    std::printf("  %5d %6c %-10s", p.multiplicity, p.wyckoffLetter, p.siteSymmetry.c_str());
    size_t shown = 0;
    for (const Coordinate &c : p.coordinates) {
      if (shown == 4) {
        std::printf(" ... (%zu in all)", p.coordinates.size());
        break;
      }
      std::printf(" (%s)", c.text.c_str());
      ++shown;
    }
    std::printf("\n");
  }
}

void PrintModels(Job *job, double seconds) {
  std::printf("%d models\n", job->models.count);
  std::printf("%7s  %-48s %s\n", "model", "EPC", "free");
  for (const CrystalModel &m : job->models.models)
    std::printf("%7d  %-48s %d\n", m.modelNumber, EPCStr(&m).c_str(), m.freeCount);
  FreeModelInfo(&job->modelInfo);
  int lo = 0, hi = 0;
  ModelStatisticInfo(&job->models, &job->modelInfo, &lo, &hi);
  std::printf("\nfree parameters  models\n");
  for (int n = lo; n <= hi; ++n)
    for (const ModelInfoEntry &e : job->modelInfo.entries)
      if (e.freeCount == n) std::printf("%15d  %u\n", n, e.modelCount);
  std::printf("\nelapsed %.3f s\n", seconds);
}




volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

// The progress of a long stage: one line rewritten in place on a terminal,
// plain lines (one per model) in a pipe, nothing when quiet.
class Progress {
 public:
  explicit Progress(int verbosity) : verbosity_(verbosity), tty_(isatty(STDERR_FILENO) != 0) {}
  void Stage(const char *name, int total) {
    stage_ = name;
    total_ = total;
    best_ = -1;
  }
  void Best(double factor) {
    if (best_ < 0 || factor < best_) best_ = factor;
  }
  // Within model n (from 1), the fraction done of it.
  void Update(int n, double fraction) {
    if (verbosity_ == 0 || !tty_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    Show(n, fraction);
  }
  void ModelDone(int n, int number) {
    if (verbosity_ == 0) return;
    if (tty_) {
      Show(n, 1.0);
      return;
    }
    std::fprintf(stderr, "%s: model %d of %d (no. %d) done, %.0f%%, best factor %s\n", stage_, n,
                 total_, number, total_ ? 100.0 * n / total_ : 100.0, BestText().c_str());
  }
  void End() {
    if (verbosity_ == 0 || !tty_) return;
    std::fprintf(stderr, "\r%-79s\r", "");
    std::fflush(stderr);
  }

 private:
  std::string BestText() const {
    if (best_ < 0) return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.5f", best_);
    return b;
  }
  void Show(int n, double fraction) {
    double pct = total_ ? 100.0 * ((n - 1) + fraction) / total_ : 100.0;
    std::fprintf(stderr, "\r%-9s model %d of %d  %5.1f%%  best factor %-10s", stage_, n, total_,
                 pct, BestText().c_str());
    std::fflush(stderr);
  }
  int verbosity_;
  bool tty_;
  const char *stage_ = "";
  int total_ = 0;
  double best_ = -1;
  std::chrono::steady_clock::time_point last_{};
};

struct ModelRun {
  CrystalModel *model = nullptr;
  int method = METHOD_GRID;
  double seconds = 0;
};

struct Run {
  Options options;
  Job job;
  Progress progress;
  int current = 0;  // model being worked on, from 1
  std::vector<ModelRun> solved;
  std::string folder;  // the control file's
  explicit Run(const Options &o) : options(o), progress(o.verbosity) { InitializeJob(&job); }
  ~Run() { FreeJob(&job); }
  int selector() const { return job.config.radiation; }
};

int StatisticReport(const StatisticProgress *record, void *argument) {
  Run *run = static_cast<Run *>(argument);
  if (record->total) run->progress.Update(run->current, double(record->done) / record->total);
  return interrupted ? 1 : 0;
}

int OptimizationReport(const OptimizationProgress *record, void *argument) {
  Run *run = static_cast<Run *>(argument);
  if (record->newRunBest) run->progress.Best(record->factor);
  double fraction = record->total > 0 ? std::min(0.99, record->count / record->total) : 0.0;
  run->progress.Update(run->current, fraction);
  return interrupted ? 0 : 1;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

const char *MethodName(int method) {
  switch (method) {
    case METHOD_GRID: return "grid search";
    case METHOD_TRADITIONAL: return "annealing (traditional)";
    case METHOD_ADAPTIVE: return "annealing (adaptive)";
    default: return "none";
  }
}

void PrintFactors(Job *job, const char *what) {
  std::vector<CrystalModel *> ranked;
  for (CrystalModel &m : job->models.models) ranked.push_back(&m);
  SortModels(&ranked);
  std::printf("%d models, ranked by %s\n", job->models.count, what);
  std::printf("%5s %6s  %-40s %5s %10s %10s %10s %12s\n", "rank", "model", "EPC", "free",
              "Rmin", "Ravg", "Rsd", "FOM");
  int rank = 0;
  for (CrystalModel *m : ranked)
    std::printf("%5d %6d  %-40s %5d %10.6f %10.6f %10.6f %12.4f\n", ++rank, m->modelNumber,
                EPCStr(m).c_str(), m->freeCount, m->Rmin, m->Ravg, m->Rsd, m->FOM);
}

void RunStatisticTest(Run *run) {
  Job &job = run->job;
  Message(MESSAGE_PLAIN, "\n================Statistic Analysing===============\n\n");
  Message(MESSAGE_PLAIN, "\t\tTrails\t\tRmin\t\tRavg\t\tRsd\t\tFOM\n%s\n",
          std::string(90, '-').c_str());
  run->progress.Stage("statistic", job.models.count);
  int n = 0;
  for (CrystalModel &m : job.models.models) {
    if (interrupted) break;
    run->current = ++n;
    uint32_t trials = job.config.autoStCircles ? StatisticTestAutoTrails(&m)
                                               : static_cast<uint32_t>(job.config.statisticCircles);
    Message(MESSAGE_PLAIN, "Model #%d:\t%-10ld", m.modelNumber, static_cast<long>(trials));
    UpdateCrystalByModel(&job.crystal, &m, nullptr, 1);
    ModelStatisticTest(&m, &job.crystal, &job.hklList, run->selector(), job.config.asymSearch,
                       GroupBraggFactor, &job.hklList,
                       static_cast<uint32_t>(std::max(job.config.statisticCircles, 0)),
                       job.config.autoStCircles, StatisticReport, run);
    Message(MESSAGE_PLAIN, "\t%f\t%f\t%f\t%f\n", m.Rmin, m.Ravg, m.Rsd, m.FOM);
    run->progress.Best(m.Rmin);
    run->progress.ModelDone(n, m.modelNumber);
  }
  run->progress.End();
  FilterSettings filter;
  filter.filterType = job.config.filterType;
  filter.fomThreshold = job.config.fomThreshold;
  filter.avgThreshold = job.config.avgThreshold;
  filter.sdThreshold = job.config.sdThreshold;
  filter.bestThreshold = job.config.bestThreshold;
  job.filtered = ModelsStatisticFilter(&job.models, filter, 0, &job.filteredCount);
  Message(MESSAGE_HINT, "%u of %d models passed the statistic filter (type %d)\n",
          job.filteredCount, job.models.count, job.config.filterType);
}

// Solves each model with the settings of a stage; returns the models solved
// to the end.
std::vector<ModelRun> SolveModels(Run *run, const std::vector<CrystalModel *> &models,
                                  const StageSettings &settings, const char *stage) {
  Job &job = run->job;
  std::vector<ModelRun> done;
  run->progress.Stage(stage, static_cast<int>(models.size()));
  Message(MESSAGE_PLAIN, "Start solving crystal structures...\n");
  double total = 0;
  int n = 0;
  for (CrystalModel *m : models) {
    if (interrupted) break;
    run->current = ++n;
    auto start = std::chrono::steady_clock::now();
    ModelRun r;
    r.model = m;
    r.method = ChooseMethod(settings, m);
    Message(MESSAGE_PLAIN, "\n-----------------------------------------\n");
    Message(MESSAGE_PLAIN, "Solving model %d:\n", m->modelNumber);
    ReportSolveSettings(settings, r.method);
    UpdateCrystalByModel(&job.crystal, m, nullptr, 1);
    SolveStructure(m, &job.crystal, &job.hklList, run->selector(), job.config.asymSearch,
                   GroupBraggFactor, &job.hklList, r.method, settings.resolution,
                   MethodSettings(settings, r.method), OptimizationReport, run);
    if (interrupted) break;
    r.seconds = Seconds(start);
    total += r.seconds;
    Message(MESSAGE_PLAIN, "Model %d has been solved.\n", m->modelNumber);
    Message(MESSAGE_PLAIN, "Best Bragg factor %f, use time %fs\n", m->Rmin, r.seconds);
    run->progress.Best(m->Rmin);
    run->progress.ModelDone(n, m->modelNumber);
    done.push_back(r);
  }
  run->progress.End();
  Message(MESSAGE_HINT, "Total time used: %.3fs\n", total);
  return done;
}

void RunOptimisation(Run *run) {
  Job &job = run->job;
  run->solved = SolveModels(run, job.filtered, OptimizationSettings(job.config), "optimise");
}

void RunRefinement(Run *run) {
  Job &job = run->job;
  std::vector<CrystalModel *> sorted;
  for (const ModelRun &r : run->solved) sorted.push_back(r.model);
  SortModels(&sorted);
  const uint32_t n = static_cast<uint32_t>(std::max(job.config.refineN, 0));
  const void *value = job.config.refine == 1 ? static_cast<const void *>(&n)
                                             : static_cast<const void *>(&job.config.refineThreshold);
  SelectionLevel level;
  std::vector<CrystalModel *> chosen = CrystalModelsOf(sorted, job.config.refine, value, &level);
  job.selection.levels.push_back(level);
  job.selection.depth++;
  Message(MESSAGE_HINT, "refining %zu of %zu solved models\n", chosen.size(), sorted.size());
  std::vector<ModelRun> refined =
      SolveModels(run, chosen, RefinementSettings(job.config), "refine");
  for (const ModelRun &r : refined)
    for (ModelRun &s : run->solved)
      if (s.model == r.model) {
        s.method = r.method;
        s.seconds += r.seconds;
      }
}

void CheckBondLengths(Run *run) {
  Job &job = run->job;
  const double factor = 1 - run->options.bondTolerance / 100;
  Message(MESSAGE_PLAIN, "Bond length checking started...\n");
  for (ModelRun &r : run->solved) {
    CrystalModel *m = r.model;
    GenerateBondLengths(&m->bondLengths, &job.crystal, m, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
    if (CheckBondLengthValidity(&m->bondLengths, &job.bondLengths, factor)) {
      m->validity |= VALIDITY_BOND_LENGTHS;
      Message(MESSAGE_PLAIN, "Model #%d [V].\n", m->modelNumber);
    } else {
      m->validity &= ~VALIDITY_BOND_LENGTHS;
      Message(MESSAGE_PLAIN, "Model #%d [X].\n", m->modelNumber);
    }
  }
  Message(MESSAGE_PLAIN, "Bond length checking finished.\n");
}

std::string SafeName(const std::string &title) {
  std::string name = title.empty() ? "job" : title;
  for (char &c : name)
    if (c == '/' || c == '\\') c = '_';
  return name;
}

// Writes the files of the solved models; false when one could not be written.
bool WriteOutput(Run *run) {
  Job &job = run->job;
  std::error_code ec;
  std::filesystem::create_directories(run->options.output, ec);
  if (ec) {
    Message(MESSAGE_ERROR, "writing results, can not create folder '%s': %s\n",
            run->options.output.c_str(), ec.message().c_str());
    return false;
  }
  std::vector<CrystalModel *> ranked;
  for (const ModelRun &r : run->solved) ranked.push_back(r.model);
  SortModels(&ranked);
  std::vector<ModelRun> ordered;
  for (CrystalModel *m : ranked)
    for (const ModelRun &r : run->solved)
      if (r.model == m) ordered.push_back(r);
  run->solved = ordered;
  const std::string base = SafeName(job.config.title);
  bool ok = true;
  size_t written = 0;
  for (const ModelRun &r : run->solved) {
    if (run->options.best > 0 && written >= static_cast<size_t>(run->options.best)) break;
    ++written;
    const std::string stem = JoinPath(run->options.output, base + "_" + std::to_string(r.model->modelNumber));
    UpdateCrystalByModel(&job.crystal, r.model, nullptr, 1);
    ok = WriteCIFFile((stem + ".cif").c_str(), &job.crystal, &job) && ok;
    Message(MESSAGE_PLAIN, "%s has been created.\n", (stem + ".cif").c_str());
    CalculateIntensity(&job.hklList, &job.crystal, run->selector());
    if (!WriteHKLListFile((stem + ".hkl").c_str(), &job.hklList)) ok = false;
    Message(MESSAGE_PLAIN, "%s has been created.\n", (stem + ".hkl").c_str());
  }
  ok = WriteModelFile(JoinPath(run->options.output, base + ".tsm").c_str(), &job) && ok;
  const std::string summary = JoinPath(run->options.output, "summary.tsv");
  AtomicFile f(summary);
  if (!f.get()) {
    Message(MESSAGE_ERROR, "writing results, can not create file '%s'\n", summary.c_str());
    return false;
  }
  std::fprintf(f.get(), "rank\tmodel\tEPC\tfree\tRmin\tRavg\tRsd\tFOM\tbonds\tmethod\tseconds\n");
  int rank = 0;
  for (const ModelRun &r : run->solved) {
    const CrystalModel *m = r.model;
    std::fprintf(f.get(), "%d\t%d\t%s\t%d\t%.6f\t%.6f\t%.6f\t%.6g\t%s\t%s\t%.3f\n", ++rank,
                 m->modelNumber, EPCStr(m).c_str(), m->freeCount, m->Rmin, m->Ravg, m->Rsd,
                 m->FOM, (m->validity & VALIDITY_BOND_LENGTHS) ? "valid" : "invalid",
                 MethodName(r.method), r.seconds);
  }
  if (!f.commit()) {
    Message(MESSAGE_ERROR, "writing results, can not write file '%s'\n", summary.c_str());
    return false;
  }
  return ok;
}

void PrintResult(Run &run) {
  std::printf("%zu solved models, best first\n", run.solved.size());
  std::printf("%5s %6s  %-40s %5s %10s %8s  %-24s %9s\n", "rank", "model", "EPC", "free", "Rmin",
              "bonds", "method", "seconds");
  int rank = 0;
  for (const ModelRun &r : run.solved) {
    const CrystalModel *m = r.model;
    std::printf("%5d %6d  %-40s %5d %10.6f %8s  %-24s %9.3f\n", ++rank, m->modelNumber,
                EPCStr(m).c_str(), m->freeCount, m->Rmin,
                (m->validity & VALIDITY_BOND_LENGTHS) ? "valid" : "invalid", MethodName(r.method),
                r.seconds);
  }
  if (!run.solved.empty()) {
    UpdateCrystalByModel(&run.job.crystal, run.solved.front().model, nullptr, 1);
    std::printf("\nBest model %d, atoms of the asymmetric unit:\n",
                run.solved.front().model->modelNumber);
    for (const Atom &a : run.job.crystal.atoms)
      std::printf("  %-3s %3d%c  %9.5f %9.5f %9.5f\n", a.element->symbol.c_str(),
                  a.position->multiplicity, a.position->wyckoffLetter, a.x, a.y, a.z);
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int status = ParseOptions(argc, argv, &options);
  if (status >= 0) return status;
  SetDataDirectory(options.dataDir);
  const int verbosity = options.verbosity;
  SetMessageSink([verbosity](int type, const std::string &text) {
    if (verbosity == 0 && type != MESSAGE_ERROR) return;
    if (verbosity == 1 && type == MESSAGE_PLAIN) return;
    DefaultMessageSink(type, text);
  });
  // The adaptive annealing narrates its schedule; only a verbose run wants it.
  SetAnnealingLog(verbosity == 2 ? stderr : nullptr);
  if (options.haveSeed) SetSearchSeed(options.seed);
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);

  Run run(options);
  Job &job = run.job;
  const char *file = options.jobFile.c_str();
  int read = ReadConfigFile(&job.config, file);
  if (read != CONFIG_READ) {
    if (read == CONFIG_WRONG_FORMAT)
      std::fprintf(stderr, "pulvina-solve: %s: Wrong file format!\n", file);
    else if (read == CONFIG_WRONG_VERSION)
      std::fprintf(stderr, "pulvina-solve: %s: Wrong file version!\n", file);
    return 1;
  }
  run.folder = DirName(options.jobFile);
  if (!SetupJob(&job)) {
    std::fprintf(stderr, "pulvina-solve: %s: the job cannot be set up (see above)\n", file);
    return 1;
  }
  if (options.stopAfter == STAGE_SETUP || verbosity == 2) {
    std::printf("Job  %s  (%s)\n\n", job.config.title.c_str(), file);
    PrintCompound(job);
    PrintSpaceGroup(job.crystal.spaceGroup);
    std::printf("\nCell  a %.6f  b %.6f  c %.6f  alpha %.4f  beta %.4f  gamma %.4f\n",
                job.crystal.a, job.crystal.b, job.crystal.c, job.crystal.alpha, job.crystal.beta,
                job.crystal.gamma);
    std::printf("\nConfiguration as read:\n");
    WriteConfig(stdout, &job.config);
  }
  if (options.stopAfter == STAGE_SETUP) return 0;

  auto start = std::chrono::steady_clock::now();
  Message(MESSAGE_PLAIN, "================Model Generation===============\n\n");
  if (!GenerateJobModels(&job)) {
    std::fprintf(stderr, "pulvina-solve: %s: no models (see above)\n", file);
    return 1;
  }
  Message(MESSAGE_PLAIN, "%ld models has been created.\n", static_cast<long>(job.models.count));
  if (options.stopAfter == STAGE_GENERATE || verbosity == 2) PrintModels(&job, Seconds(start));
  if (options.stopAfter == STAGE_GENERATE) return 0;

  if (!ReadJobPeakFile(&job, run.folder)) {
    std::fprintf(stderr, "pulvina-solve: %s: Read peak file error!\n", file);
    return 1;
  }
  SetModelsFactor(&job.models, &job.crystal, &job.hklList, run.selector());
  if (options.stopAfter == STAGE_EVALUATE) {
    PrintFactors(&job, "first factor");
    return 0;
  }

  RunStatisticTest(&run);
  if (options.stopAfter == STAGE_STATISTIC || interrupted) {
    PrintFactors(&job, "best sampled factor");
    if (interrupted) std::fprintf(stderr, "pulvina-solve: interrupted during the statistic test\n");
    return interrupted ? 130 : 0;
  }
  RunOptimisation(&run);
  if (options.stopAfter >= STAGE_REFINE && !interrupted) RunRefinement(&run);
  CheckBondLengths(&run);
  bool written = WriteOutput(&run);
  PrintResult(run);
  std::printf("\nresults in %s (%.1f s)\n", options.output.c_str(), Seconds(start));
  if (interrupted) {
    std::fprintf(stderr,
                 "pulvina-solve: interrupted; the files hold the %zu models solved to the end\n",
                 run.solved.size());
    return 130;
  }
  return written ? 0 : 1;
}
