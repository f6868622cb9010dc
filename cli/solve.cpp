// SPDX-License-Identifier: BSD-3-Clause
// pulvina-solve: the batch solver. Runs a job from its control file without
// a window: options, terminal progress and the summary; the stages
// themselves are the kernel's, the same the desktop program runs.
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "command_line.h"
#include "options.h"
#include "pictures.h"
#include "profilecheck.h"
#include "shards.h"
#include "stages.h"
#include "team.h"

namespace {

enum RunStage { RUN_SETUP = 0, RUN_GENERATE, RUN_EVALUATE, RUN_STATISTIC, RUN_OPTIMISE,
                RUN_REFINE, RUN_STAGE_COUNT };
const char *const kStageNames[RUN_STAGE_COUNT] = {"setup",     "generate", "evaluate",
                                                  "statistic", "optimise", "refine"};

struct Options {
  int stopAfter = RUN_REFINE;
  std::string output = ".";
  bool haveSeed = false;
  uint64_t seed = 0;
  int threads = 0;  // every online core
  int best = 0;
  int verbosity = 1;  // 0 quiet, 1 normal, 2 verbose
  bool plots = true;  // TITLE_MODEL.svg per model written, TITLE_models.svg
  double bondTolerance = JobSettings().bondTolerance;
  bool bondPruning = true;  // --no-bond-pruning clears it
  // --overall-b: 0 keeps the control file's setting, 1 a value, 2 auto.
  int overallBMode = 0;
  double overallB = 0;
  bool allCombinations = false;  // --all-combinations
  std::string dataDir;  // empty: looked up
  std::string pattern;  // --pattern: the measured pattern the models are checked on
  std::string jobFile;
  ShardPlace shard;                     // --shard I/N
  bool merge = false;                  // --merge
  std::vector<std::string> mergeFrom;  // the folders or files of the shards
  std::vector<std::string> fixed;      // options that a shard leaves to the merge
};

void Usage(std::FILE *out) {
  std::fprintf(out,
               "Usage: pulvina-solve [options] JOB.epc\n"
               "       pulvina-solve --shard I/N --seed N [options] JOB.epc\n"
               "       pulvina-solve --merge [options] SHARDS...\n"
               "Solve a crystal structure from indexed powder data described by a control file.\n"
               "\n"
               "Options:\n"
               "  --stop-after STAGE  end the run after STAGE: setup, generate, evaluate,\n"
               "                      statistic, optimise or refine (default: all)\n"
               "  -o DIR              output folder (default: the current folder)\n"
               "  --seed N            seed of the random streams (0 to 18446744073709551615),\n"
               "                      for a reproducible run; without it a seed is drawn and\n"
               "                      printed\n"
               "  --threads N         worker threads (default: every online core; 1 runs all\n"
               "                      work on one thread); results do not depend on it\n"
               "  --best N            write only the N best models (default: all solved)\n"
               "  --all-combinations  make a model of every Wyckoff combination, also of those\n"
               "                      an origin shift or another normalizer operation of the\n"
               "                      space group makes equivalent (default: ALL_COMBINATIONS\n"
               "                      of the control file, else one model per class)\n"
               "  --no-plots          write no pictures (TITLE_MODEL.svg, TITLE_models.svg)\n"
               "  --tolerance PCT     bond lengths may fall this many percent below their\n"
               "                      minimum (default: %g)\n"
               "  --no-bond-pruning   keep the models whose atoms cannot keep the bond-length\n"
               "                      minima (default: BOND_PRUNING of the control file)\n"
               "  --overall-b B|auto  overall displacement factor of the calculated\n"
               "                      intensities in A^2 (0 to %g), or auto: estimated from\n"
               "                      the observed intensities by a Wilson plot (default:\n"
               "                      OVERALL_B and AUTO_OVERALL_B of the control file)\n"
               "  --pattern FILE      check every written model on this measured pattern:\n"
               "                      a Le Bail fit of it gives the profile, the model's\n"
               "                      intensities are put on it (scale and overall B\n"
               "                      refined); its Rwp goes next to the Le Bail Rwp into\n"
               "                      summary.tsv and the CIF, and TITLE_MODEL_profile.svg\n"
               "                      draws the fit\n"
               "  --data DIR          folder of sgt.xml, asft.dat and nslt.dat (default:\n"
               "                      $PULVINA_DATA, else ../share/pulvina from the\n"
               "                      program's folder)\n"
               "  --shard I/N         solve only shard I of N (array jobs): the statistic test\n"
               "                      and the optimisation of every Nth model, into the shard\n"
               "                      file -o DIR/TITLE-IofN.shard; needs --seed\n"
               "  --merge             merge the shard files found in the folders or files\n"
               "                      SHARDS into the results of the whole run\n"
               "  -q, --quiet         print errors and the result only\n"
               "  -v, --verbose       print every message of the kernel\n"
               "  -h, --help          show this help\n"
               "  --version           show the version\n",
               JobSettings().bondTolerance, kMaxOverallB);
}

// The shard options and the options they rule out; -1 to go on, otherwise
// the exit status.
int CheckShardOptions(Options *o) {
  if (o->merge && o->shard.count) {
    std::fprintf(stderr, "pulvina-solve: --shard solves a shard, --merge merges them: not both\n");
    return 2;
  }
  if (o->merge) {
    if (!o->jobFile.empty() || o->haveSeed) {
      std::fprintf(stderr, "pulvina-solve: --merge takes the control file and the seed from the "
                           "shards; give it their folders or files only\n");
      return 2;
    }
    if (o->mergeFrom.empty()) {
      std::fprintf(stderr, "pulvina-solve: --merge needs the folders or files of the shards\n");
      return 2;
    }
    for (const std::string &f : o->fixed)
      if (f == "--stop-after") {
        std::fprintf(stderr, "pulvina-solve: --merge always runs to the end; no --stop-after\n");
        return 2;
      }
  }
  // The shards and their merge must see the same overall B; the control
  // file, which every shard's identity covers, is where it belongs.
  if ((o->shard.count || o->merge) && !o->bondPruning) {
    std::fprintf(stderr, "pulvina-solve: --no-bond-pruning does not apply to %s; set "
                         "BOND_PRUNING 0 in the control file instead\n",
                 o->merge ? "--merge" : "a shard");
    return 2;
  }
  if ((o->shard.count || o->merge) && o->overallBMode != 0) {
    std::fprintf(stderr, "pulvina-solve: --overall-b does not apply to %s; set OVERALL_B or "
                         "AUTO_OVERALL_B in the control file instead\n",
                 o->merge ? "--merge" : "a shard");
    return 2;
  }
  // Shards number their models alike only when they make the same ones.
  if ((o->shard.count || o->merge) && o->allCombinations) {
    std::fprintf(stderr, "pulvina-solve: --all-combinations does not apply to %s; set "
                         "ALL_COMBINATIONS 1 in the control file instead\n",
                 o->merge ? "--merge" : "a shard");
    return 2;
  }
  if (o->shard.count) {
    if (!o->haveSeed) {
      std::fprintf(stderr, "pulvina-solve: --shard needs --seed: every shard of a run must draw "
                           "from the same random streams\n");
      return 2;
    }
    if (!o->fixed.empty()) {
      std::fprintf(stderr, "pulvina-solve: %s does not apply to a shard; %s\n",
                   o->fixed.front().c_str(),
                   o->fixed.front() == "--stop-after" ? "a shard runs to the optimisation"
                                                      : "give it to --merge");
      return 2;
    }
  }
  return -1;
}

// Returns -1 to go on, otherwise the exit status.
int ParseOptions(int argc, char **argv, Options *o) {
  CommandLine line("pulvina-solve", Usage);
  line.Final("--version", [] {
    std::printf("pulvina-solve (kernel version %d.%d.%d)\n", kKernelMajor, kKernelMinor,
                kKernelRelease);
  });
  line.Value("--stop-after", [o](const std::string &v) {
    for (int s = 0; s < RUN_STAGE_COUNT; ++s)
      if (v == kStageNames[s]) {
        o->stopAfter = s;
        o->fixed.push_back("--stop-after");
        return std::string();
      }
    return "unknown stage '" + v + "' (setup, generate, evaluate, statistic, optimise or refine)";
  });
  line.Value("--shard", [o](const std::string &v) {
    if (ParseShardPlace(v.c_str(), &o->shard)) return std::string();
    return "--shard needs I/N, whole numbers with 1 <= I <= N <= " + std::to_string(kMaxShards) +
           ", not '" + v + "'";
  });
  // The arguments before --merge are a control file, those after it shards.
  size_t beforeMerge = SIZE_MAX;
  line.Flag("--merge", [o, &line, &beforeMerge] {
    o->merge = true;
    beforeMerge = std::min(beforeMerge, line.ArgumentsSoFar());
  });
  line.Value("-o", [o](const std::string &v) {
    if (v.empty()) return std::string("-o needs a folder name, not ''");
    o->output = v;
    return std::string();
  });
  // The options the other programs share are checked by the kernel, whose
  // reason is the whole message.
  line.Value("--seed", [o](const std::string &v) {
    std::string why;
    if (CheckSeedOption(v.c_str(), &o->seed, &why)) o->haveSeed = true;
    return why;
  });
  line.Value("--threads", [o](const std::string &v) {
    std::string why;
    return CheckThreadsOption(v.c_str(), &o->threads, &why) ? std::string() : why;
  });
  line.Value("--best", [o](const std::string &v) {
    uint64_t n = 0;
    if (!ParseWholeNumber(v.c_str(), INT_MAX, &n) || n < 1)
      return "--best needs a whole number from 1 to " + std::to_string(INT_MAX) + ", not '" + v +
             "'";
    o->best = static_cast<int>(n);
    o->fixed.push_back("--best");
    return std::string();
  });
  line.Value("--tolerance", [o](const std::string &v) {
    double t = 0;
    if (!ParseDecimalNumber(v.c_str(), &t) || t < 0 || t >= 100)
      return "--tolerance needs a percentage from 0 to 100, not '" + v + "'";
    o->bondTolerance = t;
    o->fixed.push_back("--tolerance");
    return std::string();
  });
  line.Value("--overall-b", [o](const std::string &v) {
    OverallBOption b;
    std::string why;
    if (!CheckOverallBOption(v.c_str(), true, &b, &why)) return why;
    o->overallBMode = b.automatic ? 2 : 1;
    o->overallB = b.value;
    return std::string();
  });
  line.Value("--pattern", [o](const std::string &v) {
    std::string why;
    if (!CheckPatternOption(v.c_str(), &o->pattern, &why)) return why;
    o->fixed.push_back("--pattern");
    return std::string();
  });
  line.DataOption(&o->dataDir);
  line.Flag("--all-combinations", [o] { o->allCombinations = true; });
  line.Flag("--no-plots", [o] { o->plots = false; });
  line.Flag("--no-bond-pruning", [o] { o->bondPruning = false; });
  line.Flag("-q,--quiet", [o] { o->verbosity = 0; });
  line.Flag("-v,--verbose", [o] { o->verbosity = 2; });
  std::vector<std::string> arguments;
  if (int status = line.Parse(argc, argv, &arguments); status >= 0) return status;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i >= beforeMerge) {
      o->mergeFrom.push_back(arguments[i]);
    } else if (o->jobFile.empty()) {
      o->jobFile = arguments[i];
    } else {
      return line.Refuse("only one control file, not '" + arguments[i] + "' too");
    }
  }
  if (int status = CheckShardOptions(o); status >= 0) return status;
  if (o->jobFile.empty() && !o->merge) {
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
  std::printf("%7s  %-48s %4s  %s\n", "model", "EPC", "free", "equivalents");
  for (const CrystalModel &m : job->models.models)
    std::printf("%7d  %-48s %4d  %d\n", m.modelNumber, EPCStr(&m).c_str(), m.freeCount,
                m.equivalents);
  FreeModelInfo(&job->modelInfo);
  int lo = 0, hi = 0;
  ModelStatisticInfo(&job->models, &job->modelInfo, &lo, &hi);
  std::printf("\nfree parameters  models\n");
  for (int n = lo; n <= hi; ++n)
    for (const ModelInfoEntry &e : job->modelInfo.entries)
      if (e.freeCount == n) std::printf("%15d  %u\n", n, e.modelCount);
  std::printf("\nelapsed %.3f s\n", seconds);
}

// Set from the signal handlers; the stages look at it at every report.
StopFlag stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

void OnInterrupt(int) { stopRequested.store(true); }

bool Interrupted() { return stopRequested.load(); }

// The progress of a long stage: one line rewritten in place on a terminal,
// a plain line per model in a pipe, nothing when quiet. Reports come from
// every worker thread.
class Progress {
 public:
  explicit Progress(int verbosity)
      : verbosity_(verbosity), tty_(isatty(STDERR_FILENO) != 0), fraction_(1) {}

  // Before a stage starts, while no worker reports.
  void Stage(const char *name, size_t total, int workers) {
    std::lock_guard<std::mutex> lock(mutex_);
    fraction_ = std::vector<std::atomic<double>>(static_cast<size_t>(std::max(workers, 1)));
    stage_ = name;
    total_ = total;
    done_ = 0;
    searched_ = 0;
    round_ = 0;
    best_ = -1;
    for (auto &f : fraction_) f = 0;
  }

  void Report(const ModelReport &r) {
    if (verbosity_ == 0) return;
    const size_t w = static_cast<size_t>(r.worker) % fraction_.size();
    switch (r.event) {
      case REPORT_MODEL_STARTED:
        fraction_[w] = 0;
        if (r.round > round_.load()) {
          std::lock_guard<std::mutex> lock(mutex_);
          round_ = r.round;
          searched_ = 0;
        }
        break;
      case REPORT_ROUND_FINISHED: {
        // A racing model waits for the round's end; the line says how far
        // the round is.
        std::lock_guard<std::mutex> lock(mutex_);
        fraction_[w] = 0;
        ++searched_;
        NoteBestLocked(r.model->Rmin);
        if (!tty_)
          std::fprintf(stderr, "%s: round %d, model no. %d searched, best factor %s\n", stage_,
                       r.round + 1, r.model->modelNumber, BestText().c_str());
        else
          ShowLocked();
        return;
      }
      case REPORT_STATISTIC_PROGRESS:
        if (r.statistic->total) fraction_[w] = double(r.statistic->done) / r.statistic->total;
        break;
      case REPORT_OPTIMIZATION_PROGRESS:
        if (r.optimization->newRunBest) NoteBest(r.optimization->factor);
        if (r.optimization->total > 0)
          fraction_[w] = std::min(0.99, r.optimization->count / r.optimization->total);
        break;
      case REPORT_MODEL_FINISHED: {
        std::lock_guard<std::mutex> lock(mutex_);
        fraction_[w] = 0;
        ++done_;
        if (r.stage != STAGE_BOND_LENGTHS) NoteBestLocked(r.model->Rmin);
        if (!tty_)
          std::fprintf(stderr, "%s: model %zu of %zu (no. %d) done, %.0f%%, best factor %s\n",
                       stage_, done_, total_, r.model->modelNumber,
                       total_ ? 100.0 * done_ / total_ : 100.0, BestText().c_str());
        else
          ShowLocked();
        return;
      }
    }
    if (!tty_) return;
    // Most reports only store a number; one in a while redraws the line.
    const auto now = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock || now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    ShowLocked();
  }

  void End() {
    if (verbosity_ == 0 || !tty_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\r%-79s\r", "");
    std::fflush(stderr);
  }

 private:
  void NoteBest(double factor) {
    std::lock_guard<std::mutex> lock(mutex_);
    NoteBestLocked(factor);
  }
  void NoteBestLocked(double factor) {
    if (best_ < 0 || factor < best_) best_ = factor;
  }
  std::string BestText() const {
    if (best_ < 0) return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.5f", best_);
    return b;
  }
  void ShowLocked() {
    double running = 0;
    for (const auto &f : fraction_) running += f;
    const double pct = total_ ? 100.0 * std::min<double>(total_, done_ + running) / total_ : 100.0;
    if (round_ > 0 || searched_ > 0)
      std::fprintf(stderr, "\r%-9s round %d: %zu searched, %zu of %zu models done  best factor %-10s",
                   stage_, round_.load() + 1, searched_, done_, total_, BestText().c_str());
    else
      std::fprintf(stderr, "\r%-9s %zu of %zu models done  %5.1f%%  best factor %-10s", stage_,
                   done_, total_, pct, BestText().c_str());
    std::fflush(stderr);
  }

  int verbosity_;
  bool tty_;
  std::mutex mutex_;
  const char *stage_ = "";
  size_t total_ = 0, done_ = 0;
  size_t searched_ = 0;        // models that finished the current round of a race
  std::atomic<int> round_{0};  // the round of a race under way
  double best_ = -1;
  std::vector<std::atomic<double>> fraction_;
  std::chrono::steady_clock::time_point last_{};
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

const char *MethodName(int method) {
  switch (method) {
    case METHOD_GRID: return "grid search";
    case METHOD_TRADITIONAL: return "annealing (traditional)";
    case METHOD_ADAPTIVE: return "annealing (adaptive)";
    case METHOD_TEMPERING: return "parallel tempering";
    default: return "none";
  }
}

void PrintFactors(Job *job, const char *what) {
  std::vector<CrystalModel *> ranked = AllModels(job);
  SortModels(&ranked);
  std::printf("%d models, ranked by %s\n", job->models.count, what);
  std::printf("%5s %6s  %-40s %5s %10s %10s %10s %12s\n", "rank", "model", "EPC", "free",
              "Rmin", "Ravg", "Rsd", "FOM");
  int rank = 0;
  for (CrystalModel *m : ranked)
    std::printf("%5d %6d  %-40s %5d %10.6f %10.6f %10.6f %12.4f\n", ++rank, m->modelNumber,
                EPCStr(m).c_str(), m->freeCount, m->Rmin, m->Ravg, m->Rsd, m->FOM);
}

// How far a model was searched: to the end, stopped, or left behind in a
// race after some rounds.
std::string RunState(const ModelRun &run) {
  if (run.stopped) return "stopped";
  if (run.dropped) return "dropped after round " + std::to_string(run.rounds);
  return "solved";
}

std::string SafeName(const std::string &title) {
  std::string name = title.empty() ? "job" : title;
  for (char &c : name)
    if (c == '/' || c == '\\') c = '_';
  return name;
}

// The output folder is made and tried before any work, so that a run never
// solves for an hour and then finds it cannot write: it must be a folder we
// may write into, and the longest file name the run will write must fit.
bool PrepareOutputFolder(const std::string &folder, const std::string &base, int models) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder, ec)) {
    Message(MESSAGE_ERROR, "writing results, can not create folder '%s'%s%s\n", folder.c_str(),
            ec ? ": " : "", ec ? ec.message().c_str() : "");
    return false;
  }
  std::string longest = base + "_" + std::to_string(std::max(models, 1)) + ".cif";
  if ((base + "_models.svg").size() > longest.size()) longest = base + "_models.svg";
  const long nameMax = pathconf(folder.c_str(), _PC_NAME_MAX);
  if (longest.size() > static_cast<size_t>(nameMax > 0 ? nameMax : 255) ||
      JoinPath(folder, longest).size() >= PATH_MAX) {
    Message(MESSAGE_ERROR,
            "writing results, the file name '%s' is too long for folder '%s'; shorten the "
            "TITLE\n",
            longest.c_str(), folder.c_str());
    return false;
  }
  std::string probe = JoinPath(folder, ".pulvina-write-test-XXXXXX");
  std::vector<char> name(probe.begin(), probe.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    Message(MESSAGE_ERROR, "writing results, can not write into folder '%s': %s\n",
            folder.c_str(), std::strerror(errno));
    return false;
  }
  close(fd);
  unlink(name.data());
  return true;
}

struct Run {
  Options options;
  Job job;
  Progress progress;
  Team &team;                    // the processes solving the job with this one
  std::vector<ModelRun> solved;  // one per model of the optimisation stage
  std::string folder;            // the control file's
  bool extracted = false;        // extraction holds the Le Bail fit of --pattern
  LeBailResult extraction;
  Run(const Options &o, Team &t) : options(o), progress(o.verbosity), team(t) {
    InitializeJob(&job);
  }
  void Stage(const char *name, size_t total) { progress.Stage(name, total, StageThreads(&job)); }
  ~Run() { FreeJob(&job); }
  ModelReportFunction Reporter() {
    return [this](const ModelReport &r) { progress.Report(r); };
  }
};

// The stages below solve this process's share of each list; the team
// brings every process's results together after each (false: the run
// ends, reported).
bool RunStatistic(Run *run) {
  Job &job = run->job;
  Message(MESSAGE_PLAIN, "\n================Statistic Analysing===============\n\n");
  std::vector<CrystalModel *> all = AllModels(&job);
  const std::vector<CrystalModel *> mine = run->team.Share(all);
  run->Stage("statistic", mine.size());
  StatisticTestModels(&job, mine, run->Reporter(), &stopRequested);
  run->progress.End();
  if (!run->team.Gather(&job, all, nullptr, &stopRequested)) return false;
  FilterJobModels(&job, 0);
  Message(MESSAGE_HINT, "%zu of %zu models passed the statistic filter (type %d)\n",
          run->team.Known(job.filtered).size(), run->team.Known(all).size(),
          job.config.filterType);
  return true;
}

// A race is run by the whole team: the ranks of an mpirun search their
// share of every round and exchange its results, so that they decide as one
// process would. Shards cannot meet between rounds: each runs the first
// round of its own models, and the merge, which holds every model's
// figures, runs the rest of the race; the files come out as a single run's.
bool RunRace(Run *run) {
  Job &job = run->job;
  RaceTeam race;
  Team &team = run->team;
  race.share = [&team](const std::vector<CrystalModel *> &list) { return team.Share(list); };
  race.gather = [&team, &job](const std::vector<CrystalModel *> &list,
                              std::vector<ModelRun> *runs) {
    return team.Gather(&job, list, runs, &stopRequested);
  };
  std::vector<CrystalModel *> field = job.filtered;
  std::vector<ModelRun> earlier;
  if (run->options.shard.count) {
    field = team.Share(job.filtered);
    race.lastRound = 0;
  } else if (run->options.merge) {
    earlier = run->solved;
    race.firstRound = 1;
  }
  run->Stage("optimise", run->options.merge ? field.size() : team.Share(field).size());
  Message(MESSAGE_PLAIN, "Start solving crystal structures...\n");
  bool ok = true;
  run->solved = RaceModels(&job, field, OptimizationSettings(job.config), STAGE_OPTIMIZATION,
                           run->Reporter(), &stopRequested, race,
                           run->options.merge ? &earlier : nullptr, &ok);
  run->progress.End();
  return ok;
}

bool RunOptimisation(Run *run) {
  Job &job = run->job;
  if (job.config.racing) return RunRace(run);
  const std::vector<CrystalModel *> mine = run->team.Share(job.filtered);
  run->Stage("optimise", mine.size());
  Message(MESSAGE_PLAIN, "Start solving crystal structures...\n");
  run->solved = SolveModels(&job, mine, OptimizationSettings(job.config), STAGE_OPTIMIZATION,
                            run->Reporter(), &stopRequested);
  run->progress.End();
  return run->team.Gather(&job, job.filtered, &run->solved, &stopRequested);
}

bool RunRefinement(Run *run) {
  Job &job = run->job;
  std::vector<CrystalModel *> finished;
  for (const ModelRun &r : run->solved)
    if (r.finished) finished.push_back(r.model);
  std::vector<CrystalModel *> chosen = ChooseRefinementModels(&job, finished, false);
  Message(MESSAGE_HINT, "refining %zu of %zu solved models\n", chosen.size(), finished.size());
  const std::vector<CrystalModel *> mine = run->team.Share(chosen);
  run->Stage("refine", mine.size());
  Message(MESSAGE_PLAIN, "Start solving crystal structures...\n");
  std::vector<ModelRun> refined = SolveModels(&job, mine, RefinementSettings(job.config),
                                              STAGE_REFINEMENT, run->Reporter(), &stopRequested);
  run->progress.End();
  if (!run->team.Gather(&job, chosen, &refined, &stopRequested)) return false;
  for (const ModelRun &r : refined)
    for (ModelRun &s : run->solved)
      if (s.model == r.model) {
        s.method = r.method;
        s.seconds += r.seconds;
        s.stopped = s.stopped || r.stopped;
        s.finished = s.finished && r.finished;
      }
  return true;
}

void CheckBondLengths(Run *run) {
  Job &job = run->job;
  std::vector<CrystalModel *> models;
  for (const ModelRun &r : run->solved) models.push_back(r.model);
  Message(MESSAGE_PLAIN, "Bond length checking started...\n");
  // Quick, and needed for the files of what was solved even after a stop.
  CheckModelsBondLengths(&job, models, run->options.bondTolerance, nullptr, nullptr);
  Message(MESSAGE_PLAIN, "Bond length checking finished.\n");
}

struct Written {
  ModelRun run;
  std::string cif, hkl;
  bool checked = false;  // on the measured profile (--pattern)
  double profileRp = 0, profileRwp = 0, profileB = 0;
};

// The observed and calculated peaks of a model, as the desktop program's
// peaks plot shows them.
bool WritePeaks(const Job &job, const CrystalModel *m, const std::string &path) {
  Crystal crystal = job.crystal;
  UpdateCrystalByModel(&crystal, m, nullptr, 1);
  HKLList list = job.hklList;
  CalculateIntensity(&list, &crystal, job.config.radiation);
  char title[kPlotTextSize];
  std::snprintf(title, sizeof title, "%s, model %d: Rmin %.5f", job.config.title.c_str(),
                m->modelNumber, m->Rmin);
  return WritePeaksPicture(path, list, title);
}

// The overall B and March-Dollase r a model's intensities were computed
// with: its own when a search refined them, else the job's.
double ModelOverallB(const Job &job, const CrystalModel *m) {
  return (m->patternParameters & PATTERN_OVERALL_B) ? m->overallB : job.hklList.overallB;
}
double ModelMarchR(const Job &job, const CrystalModel *m) {
  return (m->patternParameters & PATTERN_TEXTURE) ? m->marchR : job.hklList.marchR;
}

// The model on the measured profile: the figures into the CIF and the
// summary, the fit into TITLE_MODEL_profile.svg. False when a file could
// not be written; a fit that fails is reported and leaves the row empty.
bool CheckOnProfile(Run *run, const CrystalModel *m, const std::string &stem, Written *w) {
  const Job &job = run->job;
  ProfileCheck check;
  std::string error;
  if (!CheckJobModelOnProfile(job, m, run->extraction, &check, &error)) {
    Message(MESSAGE_WARNING, "model %d on the profile of %s: %s\n", m->modelNumber,
            run->options.pattern.c_str(), error.c_str());
    return true;
  }
  w->checked = true;
  w->profileRp = check.Rp;
  w->profileRwp = check.Rwp;
  w->profileB = check.overallB;
  bool ok = true;
  {
    std::FILE *cif = std::fopen(w->cif.c_str(), "a");
    if (cif) WriteProfileCheckCIF(cif, check);
    if (!cif || std::fclose(cif) != 0) {
      Message(MESSAGE_ERROR, "writing results, can not add the profile's figures to '%s'\n",
              w->cif.c_str());
      ok = false;
    }
  }
  if (run->options.plots) {
    char title[kPlotTextSize];
    std::snprintf(title, sizeof title, "%s, model %d on the profile: Rwp %.4f (Le Bail %.4f)",
                  job.config.title.c_str(), m->modelNumber, check.Rwp, check.leBailRwp);
    ok = WritePatternPicture(stem + "_profile.svg", check.fit, title) && ok;
  }
  return ok;
}

// Writes the files of the solved models, best first; the summary lists only
// the models whose files were written. False when a file could not be
// written.
bool WriteOutput(Run *run, std::vector<Written> *written) {
  Job &job = run->job;
  std::vector<CrystalModel *> ranked;
  for (const ModelRun &r : run->solved) ranked.push_back(r.model);
  SortModels(&ranked);
  const std::string base = SafeName(job.config.title);
  bool ok = true;
  for (CrystalModel *m : ranked) {
    if (run->options.best > 0 && written->size() >= static_cast<size_t>(run->options.best)) break;
    const ModelRun *r = nullptr;
    for (const ModelRun &s : run->solved)
      if (s.model == m) r = &s;
    const std::string stem =
        JoinPath(run->options.output, base + "_" + std::to_string(m->modelNumber));
    if (!WriteModelOutputs(&job, m, stem + ".cif", stem + ".hkl")) {
      ok = false;
      continue;
    }
    written->push_back({*r, stem + ".cif", stem + ".hkl"});
    if (run->extracted) ok = CheckOnProfile(run, m, stem, &written->back()) && ok;
    if (run->options.plots) ok = WritePeaks(job, m, stem + ".svg") && ok;
  }
  if (run->options.plots) {
    std::vector<ModelPictureRow> rows;
    for (const CrystalModel *m : AllModels(&job)) {
      bool chosen = false;
      for (const ModelRun &s : run->solved) chosen = chosen || s.model == m;
      rows.push_back({m->modelNumber, m->Rmin, m->FOM, chosen});
    }
    const std::string title = job.config.title + ": " + std::to_string(rows.size()) +
                              " models, " + std::to_string(run->solved.size()) + " solved";
    ok = WriteModelsPicture(JoinPath(run->options.output, base + "_models.svg"), rows, title) && ok;
  }
  ok = WriteModelFile(JoinPath(run->options.output, base + ".tsm").c_str(), &job) && ok;
  const std::string summary = JoinPath(run->options.output, "summary.tsv");
  AtomicFile f(summary);
  if (!f.get()) {
    Message(MESSAGE_ERROR, "writing results, can not create file '%s'\n", summary.c_str());
    return false;
  }
  // FOM is the statistic test's figure; Rmin is the optimised one; B (and r
  // with a preferred orientation) those the model's intensities have.
  const bool texture = JobHasPreferredOrientation(job.config);
  std::fprintf(f.get(),
               "rank\tmodel\tEPC\tfree\tRmin\tRavg\tRsd\tstatisticFOM\tbonds\tmethod\tseconds\t"
               "state\tequivalents\tpenalty\tB%s%s\n",
               texture ? "\tr" : "", run->extracted ? "\tprofileRp\tprofileRwp\tleBailRwp" : "");
  int rank = 0;
  for (const Written &w : *written) {
    const CrystalModel *m = w.run.model;
    std::fprintf(f.get(), "%d\t%d\t%s\t%d\t%.6f\t%.6f\t%.6f\t%.6g\t%s\t%s\t%.3f\t%s\t%d\t%.6f\t%.4f",
                 ++rank,
                 m->modelNumber, EPCStr(m).c_str(), m->freeCount, m->Rmin, m->Ravg, m->Rsd,
                 m->FOM, (m->validity & VALIDITY_BOND_LENGTHS) ? "valid" : "invalid",
                 MethodName(w.run.method), w.run.seconds, RunState(w.run).c_str(),
                 m->equivalents, m->bondPenalty, ModelOverallB(job, m));
    if (texture) std::fprintf(f.get(), "\t%.4f", ModelMarchR(job, m));
    // A model whose check failed keeps its row, with the figures left empty.
    if (run->extracted && w.checked)
      std::fprintf(f.get(), "\t%.6f\t%.6f\t%.6f", w.profileRp, w.profileRwp,
                   run->extraction.Rwp);
    else if (run->extracted)
      std::fprintf(f.get(), "\t\t\t%.6f", run->extraction.Rwp);
    std::fputs("\n", f.get());
  }
  if (!f.commit()) {
    Message(MESSAGE_ERROR, "writing results, can not write file '%s'\n", summary.c_str());
    return false;
  }
  return ok;
}

void PrintResult(Run &run, const std::vector<Written> &written) {
  std::printf("%zu solved models, best first\n", written.size());
  const Job &job = run.job;
  const bool texture = JobHasPreferredOrientation(job.config);
  std::printf("%5s %6s  %-40s %5s %10s %8s %8s  %-24s %9s %7s%s\n", "rank", "model", "EPC",
              "free", "Rmin", "bonds", "penalty", "method", "seconds", "B",
              texture ? "       r" : "");
  int rank = 0;
  for (const Written &w : written) {
    const CrystalModel *m = w.run.model;
    char r[16] = "";
    if (texture) std::snprintf(r, sizeof r, " %7.4f", ModelMarchR(job, m));
    std::printf("%5d %6d  %-40s %5d %10.6f %8s %8.4f  %-24s %9.3f %7.3f%s%s\n", ++rank,
                m->modelNumber, EPCStr(m).c_str(), m->freeCount, m->Rmin,
                (m->validity & VALIDITY_BOND_LENGTHS) ? "valid" : "invalid", m->bondPenalty,
                MethodName(w.run.method), w.run.seconds, ModelOverallB(job, m), r,
                w.run.stopped   ? "  (stopped)"
                : w.run.dropped ? ("  (" + RunState(w.run) + ")").c_str()
                                : "");
  }
  // Which B the column holds: a refined one per model, or the job's.
  const int refined = StagePatternParameters(job.config, STAGE_REFINEMENT);
  std::printf("\nB: overall displacement factor in A^2, %s\n",
              (refined & PATTERN_OVERALL_B) ? "refined per model"
              : job.config.autoOverallB   ? "estimated from a Wilson plot"
                                          : "as given (OVERALL_B)");
  if (texture)
    std::printf("r: March-Dollase r along %d %d %d, %s\n", job.config.prefOrientH,
                job.config.prefOrientK, job.config.prefOrientL,
                (refined & PATTERN_TEXTURE) ? "refined per model" : "as given (PREF_ORIENT_R)");
  if (run.extracted) {
    std::printf("\nOn the profile of %s (Le Bail Rwp %.4f, Rp %.4f):\n", run.options.pattern.c_str(),
                run.extraction.Rwp, run.extraction.Rp);
    for (const Written &w : written)
      if (w.checked)
        std::printf("  model %6d  Rwp %.4f  Rp %.4f  B %.3f\n", w.run.model->modelNumber,
                    w.profileRwp, w.profileRp, w.profileB);
      else
        std::printf("  model %6d  no fit (see above)\n", w.run.model->modelNumber);
  }
  if (!written.empty()) {
    Crystal crystal = run.job.crystal;
    UpdateCrystalByModel(&crystal, written.front().run.model, nullptr, 1);
    std::printf("\nBest model %d, atoms of the asymmetric unit:\n",
                written.front().run.model->modelNumber);
    for (const Atom &a : crystal.atoms)
      std::printf("  %-3s %3d%c  %9.5f %9.5f %9.5f\n", a.element->symbol.c_str(),
                  a.position->multiplicity, a.position->wyckoffLetter, a.x, a.y, a.z);
  }
}

int Interruption(const char *where) {
  std::fprintf(stderr, "pulvina-solve: interrupted %s\n", where);
  return 130;
}

// A shard or a merge runs as one process: a shard is already a part of a
// run, and a merge is quick. A merge takes the control file and the seed
// from its shards. Returns -1 to go on, otherwise the exit status.
int SetUpShards(Options *options, std::unique_ptr<Team> *team, ShardSet *shards) {
  if (!options->merge && !options->shard.count) return -1;
  if ((*team)->size() > 1) {
    std::fprintf(stderr, "pulvina-solve: %s runs as one process, not on %d MPI ranks\n",
                 options->merge ? "--merge" : "--shard", (*team)->size());
    return 2;
  }
  if (options->shard.count) {
    *team = std::make_unique<ShardTeam>(options->shard);
    return -1;
  }
  if (!ReadShardSet(options->mergeFrom, shards)) return 1;
  options->jobFile = shards->controlFile;
  options->seed = shards->seed;
  options->haveSeed = true;
  Message(MESSAGE_HINT, "merging %zu shards of %s (seed %llu)\n", shards->files.size(),
          shards->controlFile.c_str(), static_cast<unsigned long long>(shards->seed));
  return -1;
}

// The shard's results into its shard file, unless a stop cut the work
// short: a shard holds finished work or nothing.
int FinishShard(Run &run, const JobIdentity &identity, double seconds) {
  if (Interrupted()) return Interruption("during the optimisation; no shard file written");
  const Options &o = run.options;
  const std::string path =
      JoinPath(o.output, ShardFileName(SafeName(run.job.config.title), o.shard));
  std::error_code ec;
  const std::filesystem::path control = std::filesystem::absolute(o.jobFile, ec);
  if (ec) {
    Message(MESSAGE_ERROR, "writing shard file, no absolute path for '%s': %s\n",
            o.jobFile.c_str(), ec.message().c_str());
    return 1;
  }
  if (!WriteShardFile(path, &run.job, control.lexically_normal().string(), identity, o.shard,
                      run.solved))
    return 1;
  std::printf("shard %d of %d: %zu models tested, %zu optimised; results in %s (%.1f s, seed "
              "%llu)\n",
              o.shard.index, o.shard.count, run.team.Known(AllModels(&run.job)).size(),
              run.solved.size(), path.c_str(), seconds,
              static_cast<unsigned long long>(run.job.settings.seed));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::unique_ptr<Team> team = StartTeam();
  Options options;
  int status = ParseOptions(argc, argv, &options);
  if (status >= 0) return status;
  // Rank 0 alone reports; the other ranks are heard only when they fail.
  if (!team->leader()) options.verbosity = 0;
  const int verbosity = options.verbosity;
  SetMessageSink([verbosity](int type, const std::string &text) {
    if (verbosity == 0 && type != MESSAGE_ERROR) return;
    if (verbosity == 1 && type == MESSAGE_PLAIN) return;
    DefaultMessageSink(type, text);
  });
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  ShardSet shards;
  status = SetUpShards(&options, &team, &shards);
  if (status >= 0) return status;

  Run run(options, *team);
  Job &job = run.job;
  job.settings.data = LocateData(options.dataDir);
  // The adaptive annealing narrates its schedule; only a verbose run wants it.
  job.settings.annealingLog = verbosity == 2 ? stderr : nullptr;
  job.settings.seed = options.haveSeed ? options.seed : ClockSeed();
  job.settings.threads = options.threads ? options.threads : team->DefaultThreads();
  job.settings.bondTolerance = options.bondTolerance;

  const char *file = options.jobFile.c_str();
  int read = ReadConfigFile(&job.config, file);
  if (read != CONFIG_READ) {
    if (read == CONFIG_WRONG_FORMAT)
      std::fprintf(stderr, "pulvina-solve: %s: Wrong file format!\n", file);
    else if (read == CONFIG_WRONG_VERSION)
      std::fprintf(stderr, "pulvina-solve: %s: Wrong file version!\n", file);
    return 1;
  }
  if (!options.bondPruning) job.config.bondPruning = 0;
  if (options.overallBMode != 0) {
    job.config.autoOverallB = options.overallBMode == 2 ? 1 : 0;
    if (options.overallBMode == 1) job.config.overallB = options.overallB;
  }
  if (options.allCombinations) job.config.allCombinations = 1;
  run.folder = DirName(options.jobFile);
  if (!SetupJob(&job)) {
    std::fprintf(stderr, "pulvina-solve: %s: the job cannot be set up (see above)\n", file);
    return 1;
  }
  if (options.stopAfter == RUN_SETUP || verbosity == 2) {
    std::printf("Job  %s  (%s)\n\n", job.config.title.c_str(), file);
    PrintCompound(job);
    PrintSpaceGroup(job.crystal.spaceGroup);
    std::printf("\nCell  a %.6f  b %.6f  c %.6f  alpha %.4f  beta %.4f  gamma %.4f\n",
                job.crystal.a, job.crystal.b, job.crystal.c, job.crystal.alpha, job.crystal.beta,
                job.crystal.gamma);
    std::printf("\nConfiguration as read:\n");
    WriteConfig(stdout, &job.config);
  }
  if (options.stopAfter == RUN_SETUP) return 0;
  if (!options.haveSeed && options.stopAfter >= RUN_STATISTIC)
    Message(MESSAGE_HINT, "random seed %llu (repeat this run with --seed %llu)\n",
            static_cast<unsigned long long>(job.settings.seed),
            static_cast<unsigned long long>(job.settings.seed));

  auto start = std::chrono::steady_clock::now();
  Message(MESSAGE_PLAIN, "================Model Generation===============\n\n");
  if (!GenerateJobModels(&job, &stopRequested)) {
    if (Interrupted()) return Interruption("during model generation");
    std::fprintf(stderr, "pulvina-solve: %s: no models (see above)\n", file);
    return 1;
  }
  Message(MESSAGE_PLAIN, "%ld models has been created.\n", static_cast<long>(job.models.count));
  const PruneCounts pruned = PruneJobModels(&job, &stopRequested);
  if (Interrupted()) return Interruption("during bond-length pruning");
  if (pruned.total() && verbosity > 0)
    std::printf("pruned %zu models: %zu with fixed atoms too close, %zu with an atom without "
                "room; %d left\n",
                pruned.total(), pruned.removed[PRUNE_FIXED_ATOMS], pruned.removed[PRUNE_NO_ROOM],
                job.models.count);
  if (job.models.count == 0) {
    std::fprintf(stderr, "pulvina-solve: %s: no model can keep the bond-length minima (see "
                         "above; --no-bond-pruning keeps them)\n", file);
    return 1;
  }
  if (options.stopAfter == RUN_GENERATE || verbosity == 2) PrintModels(&job, Seconds(start));
  if (options.stopAfter == RUN_GENERATE) return 0;
  if (options.stopAfter >= RUN_OPTIMISE && team->leader() &&
      !PrepareOutputFolder(options.output, SafeName(job.config.title), job.models.count)) {
    std::fprintf(stderr, "pulvina-solve: %s: no usable output folder (see above)\n", file);
    return 1;
  }

  if (!ReadJobPeakFile(&job, run.folder)) {
    std::fprintf(stderr, "pulvina-solve: %s: Read peak file error!\n", file);
    return 1;
  }
  // A quiet run hides the warning of a refused estimate; what B is used
  // instead is still said, once.
  if (verbosity == 0 && team->leader() && job.config.autoOverallB == 1 &&
      job.hklList.overallB == 0)
    std::fprintf(stderr,
                 "pulvina-solve: %s: the Wilson plot gives no overall B (run without -q for "
                 "why); B = 0 A^2 is used%s\n",
                 file,
                 (StagePatternParameters(job.config, STAGE_REFINEMENT) & PATTERN_OVERALL_B)
                     ? " to start the refinement"
                     : "");
  // The profile is fitted before the search, so that a pattern that does
  // not fit the job ends the run before the long part.
  if (!options.pattern.empty() && team->leader() && options.stopAfter >= RUN_OPTIMISE &&
      !options.shard.count) {
    MeasuredPattern measured;
    std::string error;
    if (!ReadMeasuredPattern(options.pattern, &measured, &error) ||
        !ExtractIntensities(job, measured, LeBailSettings(), nullptr, &stopRequested,
                            &run.extraction, &error)) {
      if (Interrupted()) return Interruption("during the Le Bail fit of --pattern");
      std::fprintf(stderr, "pulvina-solve: %s\n", error.c_str());
      return 1;
    }
    if (run.extraction.stopped) return Interruption("during the Le Bail fit of --pattern");
    run.extracted = true;
    if (verbosity > 0)
      std::printf("Le Bail fit of %s: %zu points, %zu reflections, Rwp %.4f, Rp %.4f (%.1f s)\n",
                  options.pattern.c_str(), run.extraction.x.size(),
                  run.extraction.reflections.size(), run.extraction.Rwp, run.extraction.Rp,
                  run.extraction.seconds);
  }
  JobIdentity identity;
  if (!team->Begin(&job, options.jobFile, &identity)) return 1;
  const std::vector<CrystalModel *> all = AllModels(&job);
  if (!options.merge) EvaluateModels(&job, all, nullptr, &stopRequested);
  if (Interrupted()) return Interruption("during the first evaluation");
  if (options.stopAfter == RUN_EVALUATE) {
    PrintFactors(&job, "first factor");
    return 0;
  }

  if (options.merge ? !RestoreShardSet(shards, &job, &run.solved) : !RunStatistic(&run))
    return 1;
  if (options.stopAfter == RUN_STATISTIC || Interrupted()) {
    PrintFactors(&job, "best sampled factor");
    return Interrupted() ? Interruption("during the statistic test") : 0;
  }
  // A merge of a race runs the race's later rounds.
  if ((!options.merge || job.config.racing) && !RunOptimisation(&run)) return 1;
  if (options.shard.count) return FinishShard(run, identity, Seconds(start));
  if (options.stopAfter >= RUN_REFINE && !Interrupted() && !RunRefinement(&run)) return 1;
  // The other ranks' work is done: rank 0 holds every result.
  if (!team->leader()) return Interrupted() ? 130 : 0;
  CheckBondLengths(&run);
  std::vector<Written> written;
  bool ok = WriteOutput(&run, &written);
  PrintResult(run, written);
  std::printf("\nresults in %s (%.1f s, seed %llu)\n", options.output.c_str(), Seconds(start),
              static_cast<unsigned long long>(job.settings.seed));
  if (Interrupted()) {
    size_t stopped = 0;
    for (const Written &w : written) stopped += w.run.stopped ? 1 : 0;
    std::fprintf(stderr,
                 "pulvina-solve: interrupted; the files hold %zu models, %zu of them stopped "
                 "before the end of their search\n",
                 written.size(), stopped);
    return 130;
  }
  return ok ? 0 : 1;
}
