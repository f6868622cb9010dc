// SPDX-License-Identifier: BSD-3-Clause
// One fuzz target for every reader of user input and what follows it: the
// first byte picks the road, the rest is the input. Everything runs in
// memory: inputs are read through memory streams and the writers write into
// memory, so no run touches the disk.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "diffractometer.h"
#include "kernel.h"
#include "pattern.h"
#include "profile.h"
#include "simulation.h"
#include "stages.h"

namespace {

// A stream over the input bytes; null for an empty input, which fmemopen
// refuses.
struct InputStream {
  std::FILE *file = nullptr;
  InputStream(const uint8_t *data, size_t size) {
    if (size) file = fmemopen(const_cast<uint8_t *>(data), size, "r");
  }
  ~InputStream() {
    if (file) std::fclose(file);
  }
};

// Where the writers write: a growing buffer in memory.
struct OutputStream {
  char *buffer = nullptr;
  size_t size = 0;
  std::FILE *file = open_memstream(&buffer, &size);
  ~OutputStream() {
    if (file) std::fclose(file);
    std::free(buffer);
  }
};

// A small job for the readers that need one: a mixed site and oxygen in
// P42/mnm, atoms placed as in rutile.
struct Scene {
  Job job;
  bool ready = false;
};

Scene &TheScene() {
  static Scene scene;
  return scene;
}

// A few thousand nodes: enough to reach every branch of the enumeration,
// little enough for many runs a second.
void Quiet(Job *job) {
  job->settings.enumerationBudget = 2e4;
  job->settings.annealingLog = nullptr;
}

void BuildScene() {
  Scene &s = TheScene();
  InitializeJob(&s.job);
  Quiet(&s.job);
  Config &c = s.job.config;
  c.formular = "(Fe0.5Mn0.5)1O2";
  c.formularZ = 2;
  c.sgNumber = 136;
  c.cellA = c.cellB = 4.6;
  c.cellC = 2.96;
  c.startAngle = 5;
  c.endAngle = 100;
  if (!SetupJob(&s.job) || !GenerateJobModels(&s.job, nullptr)) return;
  for (CrystalModel &m : s.job.models.models)
    if (EPCStr(&m) == "Fe(2a)+Mn(2a)+O(4f)") {
      for (double *p : m.parameterList) *p = 0.3;
      UpdateCrystalByModel(&s.job.crystal, &m, nullptr, 1);
      s.ready = true;
    }
}

// A job read from the input: set-up, enumeration under a small budget, and
// the writers and the bond check on the first models.
void RunJob(const uint8_t *data, size_t size) {
  InputStream in(data, size);
  if (!in.file) return;
  Job job;
  InitializeJob(&job);
  Quiet(&job);
  const int read = ReadConfigStream(&job.config, in.file, "fuzz.epc");
  {
    OutputStream out;
    if (out.file) WriteConfig(out.file, &job.config);
  }
  if (read == CONFIG_READ && SetupJob(&job) && GenerateJobModels(&job, nullptr)) {
    int written = 0;
    for (CrystalModel &m : job.models.models) {
      if (++written > 3) break;
      UpdateCrystalByModel(&job.crystal, &m, nullptr, 1);
      OutputStream cif;
      if (cif.file) WriteCIF(cif.file, &job.crystal, &job);
      GenerateBondLengths(&m.bondLengths, &job.crystal, &m, -0.5, 1.5, -0.5, 1.5, -0.5, 1.5);
      CheckBondLengthValidity(&m.bondLengths, &job.bondLengths, 0.9);
    }
    OutputStream model;
    if (model.file) WriteModel(model.file, &job);
  }
  FreeJob(&job);
}

void ReadPeaks(const uint8_t *data, size_t size, int format, bool autoRange) {
  Scene &s = TheScene();
  InputStream in(data, size);
  if (!in.file) return;
  HKLList list, copy;
  double start = 5, end = 100;
  if (ReadHKLListStream(&list, in.file, "fuzz.hkl", format, &start, &end, 1.0, autoRange) > 0 &&
      s.ready) {
    for (const HKLItem &item : list.items)
      ReflectionForbidden(s.job.crystal.spaceGroup, item.h, item.k, item.l);
    SetASFTable(&list, &s.job.compound);
    SetLPFactor(&list, &s.job.radiation);
    CloneHKLList(&list, &copy);
    CalculateIntensity(&list, &s.job.crystal, 0);
    IntensityWorkspace ws;
    if (PrepareIntensityWorkspace(&ws, &copy, &s.job.crystal, 1))
      CalculateIntensityFast(&ws, &copy);
    GroupBraggFactor(&list);
    OutputStream out;
    if (out.file) WriteHKLList(out.file, &list);
  }
  FreeHKLList(&list);
  FreeHKLList(&copy);
}

// The structure reader of the pattern calculator, the atoms placed in the
// scene's cell, and the reflections of a narrow range.
void ReadStructure(const uint8_t *data, size_t size) {
  Scene &s = TheScene();
  InputStream in(data, size);
  if (!in.file || !s.ready) return;
  std::vector<SiteIn> sites;
  std::string error;
  if (!ReadStructureStream(in.file, "fuzz.txt", &sites, &error)) return;
  const Atoms atoms = s.job.crystal.atoms, cellAtoms = s.job.crystal.cellAtoms;
  s.job.crystal.atoms.clear();
  s.job.crystal.cellAtoms.clear();
  std::vector<Reflection> reflections;
  if (PlaceSites(sites, "fuzz.txt", &s.job, &error) &&
      Reflections(s.job.crystal, 1.540598, 5, 60, &reflections, &error)) {
    HKLList list;
    for (const Reflection &r : reflections) {
      HKLItem item;
      item.h = r.h;
      item.k = r.k;
      item.l = r.l;
      item.multiplicity = r.multiplicity;
      item.d = r.d;
      item.twoTheta = r.twoTheta;
      list.items.push_back(item);
    }
    SetASFTable(&list, &s.job.compound);
    SetLPFactor(&list, &s.job.radiation);
    CalculateIntensity(&list, &s.job.crystal, 0);
  }
  s.job.crystal.atoms = atoms;
  s.job.crystal.cellAtoms = cellAtoms;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  SetMessageSink([](int, const std::string &) {});
  BuildScene();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0] % 8;
  const bool autoRange = data[0] & 0x80;
  ++data;
  --size;
  const std::string text(reinterpret_cast<const char *>(data), size);
  switch (selector) {
    case 0:
      RunJob(data, size);
      break;
    case 1: {
      Compound compound;
      InitializeCompound(&compound);
      if (ParseFormular(text.c_str(), &compound)) {
        SetFormularZ(&compound, 7);
        FormulaSum(compound);
      }
      FreeCompound(&compound);
      break;
    }
    case 3:
    case 4:
    case 5:
      ReadPeaks(data, size, selector - 3, autoRange);
      break;
    case 6:
      ReadStructure(data, size);
      break;
    case 7: {
      // The high bit picks the name, and with it the road: text and GSAS
      // layouts, or the layouts xylib reads.
      MeasuredPattern pattern;
      std::string error;
      (void)ReadMeasuredPatternBytes(text, autoRange ? "fuzz.uxd" : "fuzz.xy", &pattern, &error);
      break;
    }
    default: {
      Coordinates coordinates, translations, full;
      SetCoordinates(text.c_str(), &coordinates);
      double m[3][4];
      CoordinateToMatrix(text.c_str(), m);
      SetCoordinates("(0,0,0)(1/2,1/2,1/2)", &translations);
      MergeCoordinates(&full, coordinates, translations);
      break;
    }
  }
  return 0;
}
