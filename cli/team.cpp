// SPDX-License-Identifier: BSD-3-Clause
#include "team.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// 64-bit FNV-1a: tells files apart, no more is asked of it.
class Hash {
 public:
  void Add(const void *data, size_t size) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; ++i) value_ = (value_ ^ p[i]) * 0x100000001B3ull;
  }
  void AddNumber(uint64_t n) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(n >> (8 * i));
    Add(bytes, sizeof bytes);
  }
  // A file's length goes in before its bytes, so that moving bytes from one
  // file to the next changes the hash.
  bool AddFile(const std::string &path) {
    FilePtr f = OpenFile(path, "rb");
    if (!f) {
      Message(MESSAGE_ERROR, "identifying the job, can not open file '%s': %s\n", path.c_str(),
              std::strerror(errno));
      return false;
    }
    std::vector<char> bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0)
      bytes.insert(bytes.end(), buffer, buffer + n);
    if (std::ferror(f.get())) {
      Message(MESSAGE_ERROR, "identifying the job, can not read file '%s'\n", path.c_str());
      return false;
    }
    AddNumber(bytes.size());
    Add(bytes.data(), bytes.size());
    return true;
  }
  uint64_t value() const { return value_; }

 private:
  uint64_t value_ = 0xCBF29CE484222325ull;
};

}  // namespace

bool IdentifyJob(const std::string &controlFile, const Job &job, JobIdentity *identity) {
  Hash inputs, data;
  if (!inputs.AddFile(controlFile) ||
      !inputs.AddFile(JobPeakFilePath(job.config, DirName(controlFile))))
    return false;
  for (const char *name : {"sgt.xml", "asft.dat", "nslt.dat"})
    if (!data.AddFile(DataPath(JobData(&job), name))) return false;
  identity->inputs = inputs.value();
  identity->data = data.value();
  return true;
}

std::vector<CrystalModel *> DealModels(const std::vector<CrystalModel *> &list, int part,
                                       int parts) {
  std::vector<CrystalModel *> sorted = list;
  std::stable_sort(sorted.begin(), sorted.end(), [](const CrystalModel *a, const CrystalModel *b) {
    return a->modelNumber < b->modelNumber;
  });
  std::vector<CrystalModel *> mine;
  for (size_t i = static_cast<size_t>(part); i < sorted.size(); i += static_cast<size_t>(parts))
    mine.push_back(sorted[i]);
  // In the list's own order, as the stage would have met them.
  std::vector<CrystalModel *> ordered;
  for (CrystalModel *m : list)
    if (std::binary_search(mine.begin(), mine.end(), m, [](const CrystalModel *a,
                                                           const CrystalModel *b) {
          return a->modelNumber < b->modelNumber;
        }))
      ordered.push_back(m);
  return ordered;
}

#ifndef PULVINA_MPI
std::unique_ptr<Team> StartTeam() { return std::make_unique<Team>(); }
#endif
