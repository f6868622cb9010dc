// pulvina-solve: the batch solver. Runs a job from its control file without
// a window, stage by stage.
#include <unistd.h>

#include <chrono>
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
constexpr int kLastImplementedStage = STAGE_GENERATE;

struct Options {
  int stopAfter = STAGE_REFINE;
  std::string output = ".";
  bool haveSeed = false;
  long seed = 0;
  int best = 0;
  int verbosity = 1;  // 0 quiet, 1 normal, 2 verbose
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

// Parses the formula and loads the space group as the composition page
// does; false with the reason already reported.
bool SetupJob(Job *job) {
  Config &config = job->config;
  FreeCompound(&job->compound);
  if (!ParseFormular(config.formular.c_str(), &job->compound)) {
    if (config.formular.empty()) Message(MESSAGE_ERROR, "the control file sets no FORMULAR\n");
    return false;
  }
  if (config.formularZ < 1) {
    Message(MESSAGE_ERROR, "FORMULAR_Z must be at least 1, not %d\n", config.formularZ);
    return false;
  }
  SetFormularZ(&job->compound, config.formularZ);
  SetOxidations(&job->compound, config.oxidation);
  AssignASF(&job->compound);
  AssignNSL(&job->compound);
  UpdateIonRadii(&job->compound);
  SetRadiation(&config, &job->radiation);
  FreeSpaceGroup(&job->crystal.spaceGroup);
  if (!SetSpaceGroup(&job->crystal.spaceGroup, config.sgNumber, config.sgSetting)) return false;
  job->crystal.a = config.cellA;
  job->crystal.b = config.cellB;
  job->crystal.c = config.cellC;
  job->crystal.alpha = config.cellAlpha;
  job->crystal.beta = config.cellBeta;
  job->crystal.gamma = config.cellGamma;
  return true;
}

// Enumerates the Wyckoff combinations and builds one model for each; false
// with the reason already reported.
bool GenerateModels(Job *job) {
  FreeCombPositions(&job->combPositions);
  SetCombPositions(job->crystal.spaceGroup.positions, &job->combPositions);
  InitializeRestraints(&job->combPositions, &job->compound);
  SetConstraints(&job->compound, &job->combPositions, job->config.constraints);
  FreeCombination(&job->combination);
  InitializeCombination(&job->combination);
  int found = GetCombination(&job->compound, &job->combPositions, &job->combination);
  if (found < 0) return false;
  if (found == 0) {
    Message(MESSAGE_ERROR,
            "the formula %s with Z = %d admits no combination of Wyckoff positions in space "
            "group no. %d (setting %d)\n",
            job->config.formular.c_str(), job->config.formularZ, job->config.sgNumber,
            job->config.sgSetting);
    return false;
  }
  FreeCrystalModel(&job->models);
  CreateModelList(&job->compound, &job->combPositions, &job->combination, &job->models,
                  !job->crystal.spaceGroup.translations.empty());
  return true;
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

  Job job;
  InitializeJob(&job);
  int read = ReadConfigFile(&job.config, options.jobFile.c_str());
  if (read != CONFIG_READ) {
    if (read == CONFIG_WRONG_FORMAT)
      std::fprintf(stderr, "pulvina-solve: %s: Wrong file format!\n", options.jobFile.c_str());
    else if (read == CONFIG_WRONG_VERSION)
      std::fprintf(stderr, "pulvina-solve: %s: Wrong file version!\n", options.jobFile.c_str());
    FreeJob(&job);
    return 1;
  }
  if (!SetupJob(&job)) {
    std::fprintf(stderr, "pulvina-solve: %s: the job cannot be set up (see above)\n",
                 options.jobFile.c_str());
    FreeJob(&job);
    return 1;
  }
  if (options.stopAfter == STAGE_SETUP || verbosity == 2) {
    std::printf("Job  %s  (%s)\n\n", job.config.title.c_str(), options.jobFile.c_str());
    PrintCompound(job);
    PrintSpaceGroup(job.crystal.spaceGroup);
    std::printf("\nCell  a %.6f  b %.6f  c %.6f  alpha %.4f  beta %.4f  gamma %.4f\n",
                job.crystal.a, job.crystal.b, job.crystal.c, job.crystal.alpha,
                job.crystal.beta, job.crystal.gamma);
    std::printf("\nConfiguration as read:\n");
    WriteConfig(stdout, &job.config);
  }
  if (options.stopAfter >= STAGE_GENERATE) {
    auto start = std::chrono::steady_clock::now();
    if (!GenerateModels(&job)) {
      std::fprintf(stderr, "pulvina-solve: %s: no models (see above)\n", options.jobFile.c_str());
      FreeJob(&job);
      return 1;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (options.stopAfter == STAGE_GENERATE || verbosity == 2) PrintModels(&job, seconds);
  }
  if (options.stopAfter > kLastImplementedStage) {
    std::fprintf(stderr, "pulvina-solve: stage '%s' is not available in this version; stopped "
                 "after '%s'\n",
                 kStageNames[kLastImplementedStage + 1], kStageNames[kLastImplementedStage]);
    FreeJob(&job);
    return 3;
  }
  FreeJob(&job);
  return 0;
}
