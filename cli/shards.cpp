// SPDX-License-Identifier: BSD-3-Clause
#include "shards.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "options.h"

namespace {

// The first line of every shard file; the number changes with the layout.
const char kShardStamp[] = "Pulvina shard file 1";
const char kShardExtension[] = ".shard";

bool ReadWhole(const char *text, long long lo, long long hi, long long *value) {
  uint64_t v = 0;
  if (hi < 0 || !ParseWholeNumber(text, static_cast<uint64_t>(hi), &v) ||
      static_cast<long long>(v) < lo)
    return false;
  *value = static_cast<long long>(v);
  return true;
}

std::string ProgramVersion() {
  return std::to_string(kKernelMajor) + "." + std::to_string(kKernelMinor) + "." +
         std::to_string(kKernelRelease);
}

std::string Hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "%016" PRIx64, v);
  return b;
}

bool Mine(const CrystalModel *m, const ShardPlace &place) {
  return (m->modelNumber - 1) % place.count == place.index - 1;
}

// Models of a job of `models` models that belong to shard index of count.
int ShareSize(int models, int index, int count) {
  return models >= index ? (models - index) / count + 1 : 0;
}

// One shard file as read.
struct Shard {
  std::string path;
  std::string version, controlFile;
  JobIdentity identity;
  uint64_t seed = 0;
  ShardPlace place;
  int models = 0;
  std::vector<ModelResult> results;
};

class ShardReader {
 public:
  explicit ShardReader(const std::string &path) : path_(path), in_(path, std::ios::binary) {}

  bool Read(Shard *shard) {
    if (!in_) {
      Message(MESSAGE_ERROR, "merging shards, can not open file '%s': %s\n", path_.c_str(),
              std::strerror(errno));
      return false;
    }
    shard->path = path_;
    std::string v;
    long long n = 0;
    if (!Next(&v)) return false;
    if (v != kShardStamp) return Fail("not a shard file (it should begin with '" +
                                      std::string(kShardStamp) + "')");
    if (!Field("program", &shard->version) || !Field("control", &shard->controlFile)) return false;
    if (!Field("inputs", &v) || !ReadHex(v, &shard->identity.inputs)) return Bad("inputs", v);
    if (!Field("data", &v) || !ReadHex(v, &shard->identity.data)) return Bad("data", v);
    if (!Field("seed", &v)) return false;
    if (!ParseWholeNumber(v.c_str(), UINT64_MAX, &shard->seed)) return Bad("seed", v);
    if (!Field("shard", &v)) return false;
    const size_t of = v.find(" of ");
    long long index = 0, count = 0;
    if (of == std::string::npos || !ReadWhole(v.substr(0, of).c_str(), 1, kMaxShards, &index) ||
        !ReadWhole(v.substr(of + 4).c_str(), index, kMaxShards, &count))
      return Bad("shard", v);
    shard->place.index = static_cast<int>(index);
    shard->place.count = static_cast<int>(count);
    if (!Field("models", &v) || !ReadWhole(v.c_str(), 1, INT32_MAX, &n)) return Bad("models", v);
    shard->models = static_cast<int>(n);
    const int expected = ShareSize(shard->models, shard->place.index, shard->place.count);
    if (!Field("results", &v) || !ReadWhole(v.c_str(), 0, INT32_MAX, &n)) return Bad("results", v);
    if (n != expected)
      return Fail("holds " + std::to_string(n) + " results, shard " + std::to_string(index) +
                  " of " + std::to_string(count) + " of " + std::to_string(shard->models) +
                  " models has " + std::to_string(expected));
    int previous = 0;
    for (long long i = 0; i < n; ++i) {
      if (!Next(&v)) return false;
      ModelResult r;
      std::string why;
      if (!ParseModelResult(v, &r, &why)) return Fail(why);
      if (r.modelNumber <= previous || r.modelNumber > shard->models ||
          (r.modelNumber - 1) % shard->place.count != shard->place.index - 1)
        return Fail("model " + std::to_string(r.modelNumber) + " out of place in shard " +
                    std::to_string(index) + " of " + std::to_string(count));
      previous = r.modelNumber;
      shard->results.push_back(std::move(r));
    }
    if (!Next(&v)) return false;
    if (v != "end") return Fail("expected 'end', found '" + v + "'");
    if (std::getline(in_, v)) {
      ++line_;
      return Fail("text after 'end'");
    }
    return true;
  }

 private:
  bool Fail(const std::string &what) {
    Message(MESSAGE_ERROR, "merging shards, file '%s', line %d: %s\n", path_.c_str(), line_,
            what.c_str());
    return false;
  }
  bool Bad(const char *key, const std::string &value) {
    return Fail(std::string("bad ") + key + " '" + value + "'");
  }
  bool Next(std::string *text) {
    if (!std::getline(in_, *text)) {
      if (in_.bad()) {
        Message(MESSAGE_ERROR, "merging shards, can not read file '%s'\n", path_.c_str());
        return false;
      }
      ++line_;
      return Fail("the file ends early (cut short when copied?)");
    }
    ++line_;
    return true;
  }
  // A "key value" line; the value is the rest of the line.
  bool Field(const char *key, std::string *value) {
    std::string text;
    if (!Next(&text)) return false;
    const size_t k = std::strlen(key);
    if (text.compare(0, k, key) != 0 || text.size() <= k + 1 || text[k] != ' ')
      return Fail("expected '" + std::string(key) + " ...', found '" + text + "'");
    *value = text.substr(k + 1);
    return true;
  }
  static bool ReadHex(const std::string &text, uint64_t *value) {
    if (text.size() != 16) return false;
    uint64_t v = 0;
    for (char c : text) {
      const char *digits = "0123456789abcdef";
      const char *d = std::strchr(digits, c);
      if (!d || !c) return false;
      v = v << 4 | static_cast<uint64_t>(d - digits);
    }
    *value = v;
    return true;
  }

  std::string path_;
  std::ifstream in_;
  int line_ = 0;
};

// The shard files a path stands for.
bool CollectShardFiles(const std::string &path, std::vector<std::string> *files) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<std::string> found;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
      if (it->path().extension() == kShardExtension && it->is_regular_file(ec))
        found.push_back(it->path().string());
    if (ec) {
      Message(MESSAGE_ERROR, "merging shards, can not read folder '%s': %s\n", path.c_str(),
              ec.message().c_str());
      return false;
    }
    if (found.empty()) {
      Message(MESSAGE_ERROR, "merging shards, no shard files (*%s) in folder '%s'\n",
              kShardExtension, path.c_str());
      return false;
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
  }
  if (!fs::exists(path, ec)) {
    Message(MESSAGE_ERROR, "merging shards, no file or folder '%s'\n", path.c_str());
    return false;
  }
  files->push_back(path);
  return true;
}

std::string RunText(const Shard &s) {
  return "seed " + std::to_string(s.seed) + ", " + std::to_string(s.place.count) + " shards";
}

}  // namespace

bool ParseShardPlace(const char *text, ShardPlace *place) {
  const char *slash = text ? std::strchr(text, '/') : nullptr;
  if (!slash) return false;
  long long index = 0, count = 0;
  if (!ReadWhole(std::string(text, slash).c_str(), 1, kMaxShards, &index) ||
      !ReadWhole(slash + 1, 1, kMaxShards, &count) || index > count)
    return false;
  place->index = static_cast<int>(index);
  place->count = static_cast<int>(count);
  return true;
}

std::vector<CrystalModel *> ShardTeam::Share(const std::vector<CrystalModel *> &list) {
  std::vector<CrystalModel *> mine;
  for (CrystalModel *m : list)
    if (Mine(m, place_)) mine.push_back(m);
  return mine;
}

std::string ShardFileName(const std::string &base, const ShardPlace &place) {
  return base + "-" + std::to_string(place.index) + "of" + std::to_string(place.count) +
         kShardExtension;
}

bool WriteShardFile(const std::string &path, Job *job, const std::string &controlFile,
                    const JobIdentity &identity, const ShardPlace &place,
                    const std::vector<ModelRun> &runs) {
  if (controlFile.find('\n') != std::string::npos || controlFile.find('\r') != std::string::npos) {
    Message(MESSAGE_ERROR,
            "writing shard file '%s', the control file's path holds a line break; the merge "
            "could not find it\n",
            path.c_str());
    return false;
  }
  std::map<int, const ModelRun *> ran;
  for (const ModelRun &r : runs) ran[r.model->modelNumber] = &r;
  AtomicFile file(path);
  std::FILE *f = file.get();
  if (!f) {
    Message(MESSAGE_ERROR, "writing shard file, can not create file '%s'\n", path.c_str());
    return false;
  }
  std::fprintf(f, "%s\nprogram %s\ncontrol %s\ninputs %s\ndata %s\nseed %" PRIu64
                  "\nshard %d of %d\nmodels %d\nresults %d\n",
               kShardStamp, ProgramVersion().c_str(), controlFile.c_str(),
               Hex(identity.inputs).c_str(), Hex(identity.data).c_str(), job->settings.seed,
               place.index, place.count, job->models.count,
               ShareSize(job->models.count, place.index, place.count));
  for (const CrystalModel &m : job->models.models) {
    if (!Mine(&m, place)) continue;
    auto found = ran.find(m.modelNumber);
    std::fprintf(f, "%s\n",
                 FormatModelResult(ResultOfModel(m, found == ran.end() ? nullptr : found->second))
                     .c_str());
  }
  std::fprintf(f, "end\n");
  if (!file.commit()) {
    Message(MESSAGE_ERROR, "writing shard file, can not write file '%s'\n", path.c_str());
    return false;
  }
  return true;
}

bool ReadShardSet(const std::vector<std::string> &paths, ShardSet *set) {
  std::vector<std::string> files;
  for (const std::string &p : paths)
    if (!CollectShardFiles(p, &files)) return false;
  std::vector<Shard> shards(files.size());
  for (size_t i = 0; i < files.size(); ++i)
    if (!ShardReader(files[i]).Read(&shards[i])) return false;

  const Shard &first = shards.front();
  for (const Shard &s : shards) {
    if (s.version != first.version) {
      Message(MESSAGE_ERROR,
              "merging shards, '%s' was written by version %s, '%s' by version %s; solve every "
              "shard with one version\n",
              s.path.c_str(), s.version.c_str(), first.path.c_str(), first.version.c_str());
      return false;
    }
    if (s.controlFile != first.controlFile || s.identity != first.identity ||
        s.models != first.models) {
      const char *why = s.controlFile != first.controlFile ? "their control files differ"
                        : s.identity.inputs != first.identity.inputs
                            ? "their control or peak files differ"
                        : s.identity.data != first.identity.data ? "their data files differ"
                                                                 : "their model counts differ";
      Message(MESSAGE_ERROR,
              "merging shards, '%s' is a shard of another job than '%s' (%s: %s and %s)\n",
              s.path.c_str(), first.path.c_str(), why, s.controlFile.c_str(),
              first.controlFile.c_str());
      return false;
    }
    if (s.seed != first.seed || s.place.count != first.place.count) {
      Message(MESSAGE_ERROR,
              "merging shards, '%s' is a shard of another run than '%s' (%s against %s)\n",
              s.path.c_str(), first.path.c_str(), RunText(s).c_str(), RunText(first).c_str());
      return false;
    }
  }
  const int count = first.place.count;
  std::vector<const Shard *> byIndex(static_cast<size_t>(count) + 1, nullptr);
  for (const Shard &s : shards) {
    const Shard *&slot = byIndex[static_cast<size_t>(s.place.index)];
    if (slot) {
      Message(MESSAGE_ERROR, "merging shards, shard %d of %d is given twice: '%s' and '%s'\n",
              s.place.index, count, slot->path.c_str(), s.path.c_str());
      return false;
    }
    slot = &s;
  }
  std::string missing;
  int missed = 0;
  for (int i = 1; i <= count; ++i)
    if (!byIndex[static_cast<size_t>(i)]) {
      if (++missed <= 20) missing += (missing.empty() ? "" : ", ") + std::to_string(i);
    }
  if (missed > 0) {
    std::string found;
    for (const Shard &s : shards) found += (found.empty() ? "'" : ", '") + s.path + "'";
    Message(MESSAGE_ERROR, "merging shards, %s %s%s of %d %s missing; found only %s (%s)\n",
            missed == 1 ? "shard" : "shards", missing.c_str(), missed > 20 ? ", ..." : "", count,
            missed == 1 ? "is" : "are", found.c_str(), RunText(first).c_str());
    return false;
  }

  set->controlFile = first.controlFile;
  set->identity = first.identity;
  set->seed = first.seed;
  set->count = count;
  set->models = first.models;
  set->files = files;
  set->results.assign(static_cast<size_t>(first.models), ModelResult());
  for (Shard &s : shards)
    for (ModelResult &r : s.results)
      set->results[static_cast<size_t>(r.modelNumber - 1)] = std::move(r);
  return true;
}

bool RestoreShardSet(const ShardSet &set, Job *job, std::vector<ModelRun> *solved) {
  JobIdentity identity;
  if (!IdentifyJob(set.controlFile, *job, &identity)) return false;
  if (identity.inputs != set.identity.inputs) {
    Message(MESSAGE_ERROR,
            "merging shards, the control file '%s' or its peak file changed since the shards "
            "were solved\n",
            set.controlFile.c_str());
    return false;
  }
  if (identity.data != set.identity.data) {
    Message(MESSAGE_ERROR,
            "merging shards, the data files in '%s' are not those the shards were solved with "
            "(give --data)\n",
            JobData(job).directory.c_str());
    return false;
  }
  if (job->models.count != set.models) {
    Message(MESSAGE_ERROR, "merging shards, the job makes %d models, the shards hold %d\n",
            job->models.count, set.models);
    return false;
  }
  solved->clear();
  for (const ModelResult &r : set.results) {
    CrystalModel *m = &job->models.models[static_cast<size_t>(r.modelNumber - 1)];
    ModelRun run;
    if (!RestoreModelResult(r, m, &run)) return false;
    if (r.solved) solved->push_back(run);
  }
  // Each shard applied the filter to its own models; every model must
  // have been optimised exactly when it passes here too.
  FilterJobModels(job, 0);
  size_t k = 0;
  for (const CrystalModel *m : job->filtered) {
    if (k >= solved->size() || (*solved)[k].model != m) {
      Message(MESSAGE_ERROR,
              "merging shards, model %d passes the statistic filter but the shards did not "
              "optimise it, or the other way round\n",
              m->modelNumber);
      return false;
    }
    ++k;
  }
  if (k != solved->size()) {
    Message(MESSAGE_ERROR,
            "merging shards, model %d was optimised but does not pass the statistic filter\n",
            (*solved)[k].model->modelNumber);
    return false;
  }
  return true;
}
