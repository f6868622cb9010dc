// One fuzz target for every text reader that takes user input: the first
// byte picks the reader, the rest is the input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "diffractometer.h"
#include "kernel.h"
#include "profile.h"

namespace {

std::string ScratchFile() {
  static std::string path;
  if (path.empty()) {
    char name[] = "/tmp/pulvina-fuzz-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
  }
  return path;
}

void WriteScratch(const uint8_t *data, size_t size) {
  std::FILE *f = std::fopen(ScratchFile().c_str(), "wb");
  if (!f) return;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// A small crystal for the reflections a peak file yields: the intensities
// see whatever indices, angles and spacings the reader lets through.
struct Scene {
  Compound compound;
  Crystal crystal;
  Radiation radiation;
};

Scene &TheScene() {
  static Scene scene;
  return scene;
}

void BuildScene() {
  Scene &s = TheScene();
  InitializeCompound(&s.compound);
  ParseFormular("(Fe0.5Mn0.5)1O2", &s.compound);
  AssignASF(&s.compound);
  AssignNSL(&s.compound);
  InitializeCrystal(&s.crystal);
  SetSpaceGroup(&s.crystal.spaceGroup, 136, 1);
  const double where[3][3] = {{0, 0, 0}, {0, 0, 0}, {0.3, 0.3, 0}};
  const Element *elements[3] = {&s.compound.entries[0].members[0],
                                &s.compound.entries[0].members[1], &s.compound.entries[1]};
  const char letters[3] = {'a', 'a', 'f'};
  for (int i = 0; i < 3; ++i) {
    Atom atom;
    atom.element = elements[i];
    for (const Position &p : s.crystal.spaceGroup.positions)
      if (p.wyckoffLetter == letters[i]) atom.position = &p;
    if (!atom.position) continue;
    atom.occupancy = i < 2 ? 0.5 : 1.0;
    atom.x = where[i][0];
    atom.y = where[i][1];
    atom.z = where[i][2];
    s.crystal.atoms.push_back(atom);
    for (const Coordinate &c : atom.position->fullCoordinates) {
      Atom image = atom;
      CoordMatrixMultiply(c.matrix, atom.x, atom.y, atom.z, &image.x, &image.y, &image.z);
      s.crystal.cellAtoms.push_back(image);
    }
  }
  s.radiation.type = 0;
  s.radiation.polarization = 0.5;
}

void ReadPeaks(int format, bool autoRange) {
  Scene &s = TheScene();
  HKLList list, copy;
  double start = 5, end = 100;
  if (ReadHKLList(&list, ScratchFile().c_str(), format, &start, &end, 1.0, autoRange) > 0) {
    SetASFTable(&list, &s.compound);
    SetLPFactor(&list, &s.radiation);
    CloneHKLList(&list, &copy);
    CalculateIntensity(&list, &s.crystal, 0);
    IntensityWorkspace ws;
    if (PrepareIntensityWorkspace(&ws, &copy, &s.crystal, 1)) CalculateIntensityFast(&ws, &copy);
    std::string out = ScratchFile() + ".hkl";
    WriteHKLListFile(out.c_str(), &list);
    std::remove(out.c_str());
  }
  FreeHKLList(&list);
  FreeHKLList(&copy);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  SetMessageSink([](int, const std::string &) {});
  SetDataDirectory(PULVINA_SOURCE_DIR "/data");
  BuildScene();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0] % 6;
  const bool autoRange = data[0] & 0x80;
  ++data;
  --size;
  std::string text(reinterpret_cast<const char *>(data), size);
  switch (selector) {
    case 0: {
      WriteScratch(data, size);
      Config config;
      InitializeConfig(&config);
      ReadConfigFile(&config, ScratchFile().c_str());
      std::string out = ScratchFile() + ".out";
      UpdateConfigFile(out.c_str(), &config);
      std::remove(out.c_str());
      FreeConfig(&config);
      break;
    }
    case 1: {
      Compound compound;
      InitializeCompound(&compound);
      if (ParseFormular(text.c_str(), &compound)) SetFormularZ(&compound, 7);
      FreeCompound(&compound);
      break;
    }
    case 3:
    case 4:
    case 5:
      WriteScratch(data, size);
      ReadPeaks(selector - 3, autoRange);
      break;
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
