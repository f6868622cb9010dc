// SPDX-License-Identifier: BSD-3-Clause
// The processes that solve one job together: the batch solver alone, the
// ranks of an mpirun, or one shard of a scheduler's array job. The solver
// asks its team which models of each stage's list are its own and, after
// each stage, hands it the list to bring every process up to date; the
// kernel knows nothing of any of this.
#ifndef PULVINA_CLI_TEAM_H
#define PULVINA_CLI_TEAM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stages.h"

// What a job's results depend on besides the seed, as hashes of bytes: two
// runs whose identities and seeds agree solve the same models the same way.
struct JobIdentity {
  uint64_t inputs = 0;  // the control file and the peak file it names
  uint64_t data = 0;    // sgt.xml, asft.dat and nslt.dat as found for this run
  bool operator==(const JobIdentity &o) const { return inputs == o.inputs && data == o.data; }
  bool operator!=(const JobIdentity &o) const { return !(*this == o); }
};
// The identity of a set-up job whose peak file has been read. False with
// the reason reported when a file cannot be read.
bool IdentifyJob(const std::string &controlFile, const Job &job, JobIdentity *identity);

// Part `part` (from 0) of `parts`: the models of the list taken in order of
// model number and dealt out in turn, so that every part gets as many
// models as any other, give or take one, whatever order the list is in.
std::vector<CrystalModel *> DealModels(const std::vector<CrystalModel *> &list, int part,
                                       int parts);

// A process solving the whole job by itself.
class Team {
 public:
  Team() = default;
  virtual ~Team() = default;
  Team(const Team &) = delete;
  Team &operator=(const Team &) = delete;

  virtual int rank() const { return 0; }
  virtual int size() const { return 1; }
  // The one process that prints progress and results and writes files.
  bool leader() const { return rank() == 0; }

  // Worker threads per process when --threads is not given (0: every
  // online core).
  virtual int DefaultThreads() const { return 0; }
  // Once the job is set up and its peak file read: for a team of several
  // processes the agreement on the seed and the check that every process
  // read the same job, and the job's identity where a team needs it (a
  // process alone does not). False: the run ends here (reported).
  virtual bool Begin(Job *job, const std::string &controlFile, JobIdentity *identity) {
    (void)job, (void)controlFile, (void)identity;
    return true;
  }
  // The models of a stage's list that this process solves.
  virtual std::vector<CrystalModel *> Share(const std::vector<CrystalModel *> &list) {
    return list;
  }
  // The models of a stage's list whose results this process holds once the
  // stage and its Gather are done.
  virtual std::vector<CrystalModel *> Known(const std::vector<CrystalModel *> &list) {
    return list;
  }
  // After a stage run on Share(list): brings the results of every model of
  // the list to every process, with the runs (when runs is given: in, this
  // process's runs; out, every run of the list in list order), and spreads a
  // stop request that any process saw. False: the run ends here (reported).
  virtual bool Gather(Job *job, const std::vector<CrystalModel *> &list,
                      std::vector<ModelRun> *runs, StopFlag *stop) {
    (void)job, (void)list, (void)runs, (void)stop;
    return true;
  }
};

// The team this process belongs to: the ranks of MPI_COMM_WORLD when the
// program was started by an MPI launcher and built with MPI, else a team of
// one. Made first thing in main and dropped last.
std::unique_ptr<Team> StartTeam();

#endif
