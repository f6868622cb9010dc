// One fuzz target for every text reader that takes user input: the first
// byte picks the reader, the rest is the input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "kernel.h"

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  SetMessageSink([](int, const std::string &) {});
  SetDataDirectory(PULVINA_SOURCE_DIR "/data");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0] % 3;
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
