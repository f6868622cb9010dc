// SPDX-License-Identifier: BSD-3-Clause
// The ranks of an mpirun solving one job: each solves its deal of every
// stage's list on its own worker threads, and after each stage the ranks
// swap the results so that all of them hold every model's figures and
// parameters and take the same filter and refinement decisions. Rank 0
// alone prints and writes.
//
// Every exchange starts with the same small collective, a checkpoint where
// each rank says whether it goes on, saw a stop request, or is leaving. A
// rank that fails on its own returns from main like a single run would; on
// its way out it still takes part in the next checkpoint, as leaving, so
// the others learn of it there and end too instead of waiting for it for
// ever. A rank that cannot even do that (an exchange that goes wrong) ends
// the whole run with MPI_Abort.
#include <mpi.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "team.h"

namespace {

enum RankState { kGoingOn = 0, kStopSeen = 1, kLeaving = 2 };

// A model's result as doubles, for MPI_DOUBLE: whole numbers (model
// numbers, flags, counts, 32-bit validity) are exact in a double.
void Pack(const ModelResult &r, std::vector<double> *out) {
  const double head[] = {static_cast<double>(r.modelNumber), static_cast<double>(r.selected),
                         static_cast<double>(r.validity), r.Rmin, r.Ravg, r.Rsd, r.FOM,
                         r.runMinimum, static_cast<double>(r.values.size())};
  out->insert(out->end(), std::begin(head), std::end(head));
  out->insert(out->end(), r.values.begin(), r.values.end());
  const double tail[] = {r.solved ? 1.0 : 0.0, static_cast<double>(r.method), r.seconds,
                         r.finished ? 1.0 : 0.0, r.stopped ? 1.0 : 0.0, r.bondPenalty};
  out->insert(out->end(), std::begin(tail), std::end(tail));
}

constexpr size_t kPackedHead = 9, kPackedTail = 6;

// Reads one record at *at; false when the buffer ends inside it.
bool Unpack(const std::vector<double> &in, size_t *at, ModelResult *r) {
  size_t i = *at;
  if (in.size() - i < kPackedHead + kPackedTail) return false;
  const double n = in[i + 8];
  if (!(n >= 0) || n > static_cast<double>(in.size() - i - kPackedHead - kPackedTail))
    return false;
  // Whole numbers in their ranges before any conversion.
  if (!(in[i] >= 1 && in[i] <= INT32_MAX) || !(in[i + 1] >= INT32_MIN && in[i + 1] <= INT32_MAX) ||
      !(in[i + 2] >= 0 && in[i + 2] <= UINT32_MAX))
    return false;
  r->modelNumber = static_cast<int32_t>(in[i]);
  r->selected = static_cast<int32_t>(in[i + 1]);
  r->validity = static_cast<uint32_t>(in[i + 2]);
  r->Rmin = in[i + 3];
  r->Ravg = in[i + 4];
  r->Rsd = in[i + 5];
  r->FOM = in[i + 6];
  r->runMinimum = in[i + 7];
  i += kPackedHead;
  r->values.assign(in.begin() + static_cast<long>(i),
                   in.begin() + static_cast<long>(i + static_cast<size_t>(n)));
  i += static_cast<size_t>(n);
  if (!(in[i + 1] >= METHOD_GRID && in[i + 1] <= METHOD_ADAPTIVE)) return false;
  r->solved = in[i] != 0;
  r->method = static_cast<int32_t>(in[i + 1]);
  r->seconds = in[i + 2];
  r->finished = in[i + 3] != 0;
  r->stopped = in[i + 4] != 0;
  r->bondPenalty = in[i + 5];
  *at = i + kPackedTail;
  return true;
}

class MpiTeam : public Team {
 public:
  MpiTeam() {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
    MPI_Comm local;
    if (MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &local) ==
        MPI_SUCCESS) {
      MPI_Comm_size(local, &localSize_);
      MPI_Comm_free(&local);
    }
    if (rank_ != 0) Silence();
  }

  ~MpiTeam() override {
    if (!ended_) {
      std::vector<int> states;
      Checkpoint(kLeaving, &states);
    }
    Unsilence(failedAlone_);
    MPI_Finalize();
  }

  int rank() const override { return rank_; }
  int size() const override { return size_; }

  int DefaultThreads() const override {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return std::max(1, static_cast<int>(online > 0 ? online : 1) / std::max(localSize_, 1));
  }

  bool Begin(Job *job, const std::string &controlFile, JobIdentity *identity) override {
    const bool known = IdentifyJob(controlFile, *job, identity);
    std::vector<int> states;
    if (!Checkpoint(known ? kGoingOn : kLeaving, &states)) return false;
    MPI_Bcast(&job->settings.seed, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
    // Ranks that read other files would solve another job and mix it in.
    const uint64_t mine[3] = {identity->inputs, identity->data,
                              static_cast<uint64_t>(job->models.count)};
    std::vector<uint64_t> all(3 * static_cast<size_t>(size_));
    MPI_Allgather(mine, 3, MPI_UINT64_T, all.data(), 3, MPI_UINT64_T, MPI_COMM_WORLD);
    bool same = true;
    for (int r = 1; r < size_; ++r) {
      const uint64_t *other = &all[3 * static_cast<size_t>(r)];
      if (other[0] == all[0] && other[1] == all[1] && other[2] == all[2]) continue;
      same = false;
      Message(MESSAGE_ERROR,
              "solving on %d ranks, rank %d read other %s than rank 0 (%s); every rank must see "
              "the same files\n",
              size_, r, other[0] != all[0] ? "control or peak files" : "data files",
              controlFile.c_str());
    }
    if (!same) ended_ = true;  // every rank saw the same table
    return same;
  }

  std::vector<CrystalModel *> Share(const std::vector<CrystalModel *> &list) override {
    return DealModels(list, rank_, size_);
  }

  bool Gather(Job *job, const std::vector<CrystalModel *> &list, std::vector<ModelRun> *runs,
              StopFlag *stop) override {
    std::vector<int> states;
    if (!Checkpoint(stop && stop->load() ? kStopSeen : kGoingOn, &states)) return false;
    for (int s : states)
      if (s == kStopSeen && stop) stop->store(true);

    std::unordered_map<const CrystalModel *, const ModelRun *> ran;
    if (runs)
      for (const ModelRun &r : *runs) ran[r.model] = &r;
    std::vector<double> packed;
    for (CrystalModel *m : Share(list)) {
      auto found = ran.find(m);
      Pack(ResultOfModel(*m, found == ran.end() ? nullptr : found->second), &packed);
    }
    if (packed.size() > static_cast<size_t>(INT_MAX))
      Abort("the results of one stage are too large to exchange in one piece");
    const int count = static_cast<int>(packed.size());
    std::vector<int> counts(static_cast<size_t>(size_)), starts(static_cast<size_t>(size_));
    MPI_Allgather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, MPI_COMM_WORLD);
    long long total = 0;
    for (int r = 0; r < size_; ++r) {
      starts[static_cast<size_t>(r)] = static_cast<int>(total);
      total += counts[static_cast<size_t>(r)];
      if (total > INT_MAX) Abort("the results of one stage are too large to exchange in one piece");
    }
    std::vector<double> all(static_cast<size_t>(total));
    MPI_Allgatherv(packed.data(), count, MPI_DOUBLE, all.data(), counts.data(), starts.data(),
                   MPI_DOUBLE, MPI_COMM_WORLD);

    // Every rank's runs, this one's included, go back in list order.
    std::unordered_map<const CrystalModel *, ModelRun> every;
    for (int r = 0; r < size_; ++r) {
      size_t at = static_cast<size_t>(starts[static_cast<size_t>(r)]);
      const size_t end = at + static_cast<size_t>(counts[static_cast<size_t>(r)]);
      while (at < end) {
        ModelResult result;
        if (!Unpack(all, &at, &result) || at > end || result.modelNumber < 1 ||
            result.modelNumber > job->models.count)
          Abort("the results of rank " + std::to_string(r) + " came garbled");
        CrystalModel *m = &job->models.models[static_cast<size_t>(result.modelNumber - 1)];
        ModelRun run;
        if (r != rank_ && !RestoreModelResult(result, m, &run))
          Abort("the results of rank " + std::to_string(r) + " do not fit this rank's models");
        if (!result.solved) continue;
        if (r == rank_) run = *ran.at(m);
        every[m] = run;
      }
    }
    if (runs) {
      runs->clear();
      for (CrystalModel *m : list) {
        auto found = every.find(m);
        if (found != every.end()) runs->push_back(found->second);
      }
    }
    return true;
  }

 private:
  // Every rank's state; false, with the reason told by rank 0, when some
  // rank is leaving: then no rank takes part in any collective but the
  // finalisation.
  bool Checkpoint(int state, std::vector<int> *states) {
    states->assign(static_cast<size_t>(size_), kGoingOn);
    MPI_Allgather(&state, 1, MPI_INT, states->data(), 1, MPI_INT, MPI_COMM_WORLD);
    std::string leaving;
    for (int r = 0; r < size_; ++r)
      if ((*states)[static_cast<size_t>(r)] == kLeaving)
        leaving += (leaving.empty() ? "" : ", ") + std::to_string(r);
    if (leaving.empty()) return true;
    ended_ = true;
    // Leaving where rank 0 goes on means this rank failed on its own: its
    // messages are the run's reason to end. Where rank 0 leaves too, it has
    // said all there is to say.
    failedAlone_ = state == kLeaving && (*states)[0] != kLeaving;
    if (state != kLeaving && rank_ == 0)
      Message(MESSAGE_ERROR, "solving on %d ranks, rank %s could not go on; the run ends (see "
                             "its messages)\n", size_, leaving.c_str());
    return false;
  }

  // Ranks other than 0 keep their standard error in a scratch file: most
  // of what they would say rank 0 says too, and only a rank that fails on
  // its own needs to be heard. Their standard output goes nowhere.
  void Silence() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int nowhere = open("/dev/null", O_WRONLY);
    if (nowhere >= 0) {
      dup2(nowhere, STDOUT_FILENO);
      close(nowhere);
    }
    captured_ = std::tmpfile();
    if (!captured_) return;
    savedError_ = dup(STDERR_FILENO);
    if (savedError_ < 0 || dup2(fileno(captured_), STDERR_FILENO) < 0) {
      if (savedError_ >= 0) close(savedError_);
      savedError_ = -1;
      std::fclose(captured_);
      captured_ = nullptr;
    }
  }

  void Unsilence(bool show) {
    if (!captured_) return;
    std::fflush(stderr);
    dup2(savedError_, STDERR_FILENO);
    close(savedError_);
    savedError_ = -1;
    if (show) {
      std::rewind(captured_);
      char line[4096];
      bool start = true;
      while (std::fgets(line, sizeof line, captured_)) {
        if (start) std::fprintf(stderr, "[rank %d] ", rank_);
        std::fputs(line, stderr);
        start = std::strchr(line, '\n') != nullptr;
      }
      if (!start) std::fputc('\n', stderr);
      std::fflush(stderr);
    }
    std::fclose(captured_);
    captured_ = nullptr;
  }

  [[noreturn]] void Abort(const std::string &why) {
    Unsilence(true);
    std::fprintf(stderr, "pulvina-solve: rank %d: %s; ending every rank\n", rank_, why.c_str());
    std::fflush(stderr);
    MPI_Abort(MPI_COMM_WORLD, 1);
    std::_Exit(1);  // MPI_Abort does not return; this keeps the promise if it did
  }

  int rank_ = 0, size_ = 1, localSize_ = 1;
  bool ended_ = false;  // no collective but the finalisation is left
  bool failedAlone_ = false;
  std::FILE *captured_ = nullptr;
  int savedError_ = -1;
};

// Launchers of MPI programs (OpenMPI's mpirun, Hydra, PMIx and PMI-2 as
// under srun) leave these behind; a program started any other way runs
// alone without starting MPI, which costs time and may fail on a machine
// without networking.
bool LaunchedByMpi() {
  for (const char *name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_SIZE", "PMI_RANK"})
    if (std::getenv(name)) return true;
  return false;
}

}  // namespace

std::unique_ptr<Team> StartTeam() {
  if (!LaunchedByMpi()) return std::make_unique<Team>();
  int provided = 0;
  // Only the main thread calls MPI; the worker threads never do.
  if (MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
    std::fprintf(stderr, "pulvina-solve: MPI could not be started\n");
    std::exit(1);
  }
  return std::make_unique<MpiTeam>();
}
