// SPDX-License-Identifier: BSD-3-Clause
// Runs split into the tasks of a scheduler's array job: each shard solves
// its part of the statistic test, the filter and the optimisation and
// writes what it found into a shard file; the merge reads every shard of
// the run, puts the results back into the job made afresh from the control
// file, and goes on with the refinement, the bond lengths and the files,
// which come out as those of a single run.
#ifndef PULVINA_CLI_SHARDS_H
#define PULVINA_CLI_SHARDS_H

#include <string>
#include <vector>

#include "team.h"

// --shard I/N: shard I (from 1) of N.
struct ShardPlace {
  int index = 0;
  int count = 0;  // 0: not a shard
};
constexpr int kMaxShards = 1000000;
// "I/N" with whole numbers 1 <= I <= N <= kMaxShards; false otherwise.
bool ParseShardPlace(const char *text, ShardPlace *place);

// A shard's own models: those whose number minus one leaves I - 1 over
// when divided by N. The rule deals the statistic test's list (every model,
// in order of number) as DealModels does; the optimisation then takes the
// shard's own models that passed the filter, since a shard knows no other
// model's figures.
class ShardTeam : public Team {
 public:
  explicit ShardTeam(const ShardPlace &place) : place_(place) {}
  // The identity goes into the shard file.
  bool Begin(Job *job, const std::string &controlFile, JobIdentity *identity) override {
    return IdentifyJob(controlFile, *job, identity);
  }
  std::vector<CrystalModel *> Share(const std::vector<CrystalModel *> &list) override;
  std::vector<CrystalModel *> Known(const std::vector<CrystalModel *> &list) override {
    return Share(list);
  }

 private:
  ShardPlace place_;
};

// The shard file's name in the output folder: BASE-IofN.shard.
std::string ShardFileName(const std::string &base, const ShardPlace &place);

// Writes the results of the shard's models, with the runs of those that
// were optimised, and what the merge needs to check and rebuild the job:
// the control file's absolute path, the job's identity, the seed and the
// shard's place. False when the file could not be written (reported).
bool WriteShardFile(const std::string &path, Job *job, const std::string &controlFile,
                    const JobIdentity &identity, const ShardPlace &place,
                    const std::vector<ModelRun> &runs);

// The shards of one run, read and checked.
struct ShardSet {
  std::string controlFile;
  JobIdentity identity;
  uint64_t seed = 0;
  int count = 0;   // shards in the run
  int models = 0;  // models of the job
  std::vector<std::string> files;
  std::vector<ModelResult> results;  // every model's, in order of number
};

// Reads the shard files among the paths (a folder stands for every
// *.shard file in it) and checks that they are the N shards of one run of
// one job, each once. False with what is wrong, naming the files
// (reported).
bool ReadShardSet(const std::vector<std::string> &paths, ShardSet *set);

// Puts the shards' results into the job made afresh from their control
// file (set up, its peak file read), once the files show it is the job
// they solved, and applies the statistic filter. solved gets the runs of
// the optimised models in order of number, as the single run's
// optimisation returns them. False, reported, when the job is not the
// same.
bool RestoreShardSet(const ShardSet &set, Job *job, std::vector<ModelRun> *solved);

#endif
