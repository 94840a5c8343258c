// Tasks: the verifier run, AgentTask's lifecycle and the TaskRegistry.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "agentic.h"
#include "io_error.h"
#include "journal.h"
#include "mutation_gate.h"
#include "output_cut.h"
#include "process.h"
#include "protected_files.h"
#include "runner_report.h"
#include "verifier_log.h"

namespace quarry {

class TaskKeeper;

// What a passing run that ran fewer tests than the task's reference run gets.
enum class MinTests {
  Warn,      // kept, with a warning
  Baseline,  // rejected and remembered as rejected
};

// Settings every task of the process follows, fixed at start-up from the command line.
struct TaskSettings {
  // Nothing: a verifier runs as long as it takes.
  std::optional<std::chrono::seconds> verify_timeout;
  Workspace workspace = Workspace::unconfined();
  // Where journals, and the copies a restore keeps, go.
  std::shared_ptr<JournalDirectory> journal;
  // False only in a build that weighs what the journal costs: nothing is journaled.
  bool journaling = true;
  // The copies of the protected files, when there are protected patterns.
  std::shared_ptr<ProtectedCopies> protected_copies;
  // Where verifier logs go: logs/ in `journal`'s directory, when there is one.
  LogLimits logs;
  MinTests min_tests = MinTests::Warn;
  // What keeps open tasks on disk for a server started later; nothing: they live and die with
  // the process.
  std::shared_ptr<TaskKeeper> keeper;

  JournalDirectory* journal_for_writes() const { return journaling ? journal.get() : nullptr; }
  // `paths` claimed against other servers on the journal directory; nothing to claim without one.
  Result<FileClaim> claim(const std::vector<std::string>& paths, ClaimKind kind) const {
    return journal ? journal->claim(workspace, paths, kind) : Result<FileClaim>(FileClaim());
  }
};

// The verdict of one verifier run.
struct Verdict {
  bool passed = false;
  std::string output;        // stdout, then "\n--- stderr ---\n" and stderr, cut (output_cut.h)
  bool interrupted = false;  // the run was abandoned (hooks.interrupt_fd, hooks.abandoned)
  bool timed_out = false;    // killed at the time limit; `output` holds what came before
  std::string log{};         // the whole output's log (absolute); empty when none was written
  // What the runners printed, read from the output's head and tail whatever `output`'s cut.
  RunnerReport report{};
  // The tests that ran: as counted, or none when the whole output held no summary; nothing when
  // a summary may have been cut away.
  std::optional<std::uint64_t> tests{};
  bool ran = false;  // the verifier was started
};

// Runs `sh -c verify_cmd` once, in its own process group, which is killed once `time_limit` has
// passed (no limit when nothing), cutting its output by `cut` and writing it whole to `log` when
// given. Never fails: a verifier that cannot be run is a failed verdict saying why.
Verdict run_verifier(const std::string& verify_cmd, const RunHooks& hooks = {},
                     std::optional<std::chrono::seconds> time_limit = std::nullopt,
                     OutputCut cut = OutputCut::Head, LogWriter* log = nullptr);

// One admitted proposal.
struct AttemptRecord {
  std::uint64_t attempt = 0;  // ordinal within the task, from 1
  std::string fingerprint;    // empty when refused before fingerprinting
  bool passed = false;
  std::string output;     // verifier output or the refusal text
  bool verified = false;  // the verifier ran for it
  std::string log{};      // its run's log (absolute); empty when none was written
};

// The result of one proposal: the record appended for an admitted proposal, and what the
// verifier's output said besides.
struct ProposeOutcome : AttemptRecord {
  std::uint64_t attempts_left = 0;  // proposals the task still admits
  RunnerReport report{};
  // Set when a passing run ran fewer tests than the task's reference run.
  std::optional<std::string> warning{};
};

// One declared file of a task as a record keeps it: all the task knows of it but its start bytes.
struct KeptFile {
  std::string path;
  bool present = false;  // a file was there at start (or where a proposal first found one)
  std::uint32_t mode = 0666;
  bool through_link = false;
  std::optional<FileIdentity> identity;
  std::optional<FileIdentity> created;
  std::optional<std::string> seen;
  // The content digest of the bytes the task last left there: of its start bytes until a
  // proposal is kept.
  std::string own;
  bool mixed = false;
  bool operator==(const KeptFile&) const = default;
};

// An open task as the task store keeps it, but for its attempts, which only ever grow, and the
// bytes of its files at start, which weigh too much to copy at each change: AgentTask::attempts
// and AgentTask::start_bytes give those.
struct TaskRecord {
  std::string id;
  std::string goal;
  std::string verify_cmd;
  std::optional<double> min_mutation_score;
  std::optional<MutationMeasurement> mutation_measurement;
  std::uint64_t max_attempts = 1;
  std::uint64_t proposal_count = 0;  // counted proposals, which an interrupted one is not
  std::vector<KeptFile> files;       // in declaration order
  std::vector<RejectedSet> rejected;
  std::vector<std::string> saved;  // paths a restore saved, for a retried finish
  // The tests the baseline, or else the first run whose counts were recognised, ran.
  std::optional<std::uint64_t> reference_tests;
};

class AgentTask;

// Keeps open tasks on disk as they change, so that a server started later can take them over.
// Its failures after a task is kept are its own: the task goes on in memory.
class TaskKeeper {
 public:
  virtual ~TaskKeeper() = default;
  // `task` is being registered; an error refuses it.
  virtual Status keep(const AgentTask& task) = 0;
  // Before each operation on `task`: whatever keeping it left running is done.
  virtual void settle(const AgentTask& task) = 0;
  // The verifier of `attempt` (its number and fingerprint) of the task `id` is about to start,
  // carrying `token`, its edits written and journaled.
  virtual void verifier_starting(const std::string& id, const AttemptRecord& attempt,
                                 const std::string& token) = 0;
  // After each operation on `task`: whatever it changed is kept.
  virtual void changed(const AgentTask& task) = 0;
  // The task `id` is finished: nothing of it is kept any more.
  virtual void forget(const std::string& id) = 0;
};

// One verifier-gated editing task over a declared set of files.
class AgentTask {
 public:
  // Runs the mutation gate, then snapshots the declared files (a path that does not exist or
  // is a directory is recorded as absent). Changes no file. `max_attempts` 0 admits one. A
  // path outside a confined workspace, into the journal directory, or matching a protected
  // pattern, fails with InvalidInput; one that is not a regular file with "not a regular file:
  // {path}". A start abandoned through the hooks fails with Interrupted.
  static Result<AgentTask> start(std::string id, std::string goal, std::string verify_cmd,
                                 const std::vector<std::string>& files, std::uint64_t max_attempts,
                                 std::optional<double> min_mutation_score,
                                 std::shared_ptr<const TaskSettings> settings,
                                 const RunHooks& hooks = {});

  // Runs the verifier once on the files as they are, with the proposals' hooks and time limit,
  // logged as baseline.log. Not an attempt: nothing is recorded but the tests it counted, which
  // later passing runs are held to.
  Verdict run_baseline(const RunHooks& hooks = {}, OutputCut cut = OutputCut::Head);

  // Works out targeted edits, applies the edits as one transaction and keeps them only when the
  // verifier passes; every problem with the edits is an outcome with passed false. Fails with
  // InvalidInput, counted as no attempt and with nothing written, when a targeted edit does not
  // fit the file's current bytes, or when a whole-file edit would overwrite bytes that changed
  // outside the task since it last saw them (which it then takes as seen). The verifier's output
  // is cut by `cut` and logged as {attempt}.log. A passing run that counts fewer tests than the
  // baseline (or the task's first run whose counts were recognised) is kept with a warning, or
  // rejected under MinTests::Baseline.
  Result<ProposeOutcome> propose(std::vector<FileEdit> edits, const RunHooks& hooks = {},
                                 OutputCut cut = OutputCut::Head);

  // Commit keeps the files; restore puts every declared file back as it was at start, first
  // saving the bytes of each file changed outside the task since it last saw it. Either first
  // puts back what a failed rollback left. Gives the paths saved; a failure leaves the task
  // open for another try.
  Result<std::vector<std::string>> finish(bool commit);

  const std::string& id() const { return id_; }
  const std::vector<AttemptRecord>& attempts() const { return attempts_; }
  // The proposals counted: while a verifier runs, the number of the attempt it judges.
  std::uint64_t proposal_count() const { return proposal_count_; }
  std::optional<double> min_mutation_score() const { return min_mutation_score_; }
  const std::optional<MutationMeasurement>& mutation_measurement() const {
    return mutation_measurement_;
  }
  TaskKeeper* keeper() const { return settings_ ? settings_->keeper.get() : nullptr; }

  // What the task store keeps of the task, and the bytes the declared file at `index` (in
  // declaration order) held at start: nothing where there was no file.
  TaskRecord record() const;
  // The same into `into`, whose memory it reuses: for a caller that asks after every change.
  void record(TaskRecord& into) const;
  const std::optional<std::string>& start_bytes(std::size_t index) const;
  // The task a record kept, with its attempts and the start bytes of each file. InvalidInput
  // when they do not fit together: a path declared twice, start bytes where a file was absent.
  static Result<AgentTask> from_record(TaskRecord record, std::vector<AttemptRecord> attempts,
                                       std::vector<std::optional<std::string>> start_bytes,
                                       std::shared_ptr<const TaskSettings> settings);

 private:
  struct SnapshotEntry {
    std::string path;  // as first declared
    // At start; for a path absent then, the state a proposal later found there before its
    // first write (the file existed after all, reached through a directory made since).
    PriorState state;
    std::optional<FileIdentity> created;  // the file this task's proposals created there
    // The content digest of the bytes the task last saw there (at start, before a proposal's
    // writes, after the verifier kept one, at restore); empty when there was no file (through a
    // directory missing at start: what was where the path leads); nothing when it could not be
    // read after the verifier.
    std::optional<std::string> seen;
    // The content digest of the bytes this task itself last left there (its start bytes until
    // a proposal is kept), and whether it left them over bytes someone else wrote: a restore
    // keeps a copy of anything else there, and of a file it mixed, before writing over it.
    std::string own;
    bool mixed = false;
  };
  // The bytes each path edited only by targeted edits held when they were worked out.
  using TargetedBases = std::map<PathKey, std::string>;

  AgentTask() = default;
  // Tells the keeper, if any, that the verifier of `attempt` is about to start.
  void announce_attempt(std::uint64_t attempt, const std::string& fingerprint,
                        const std::string& token) const;
  // `verdict` is the run's, when the verifier ran for the attempt.
  ProposeOutcome record(std::uint64_t attempt, std::string fingerprint, bool passed,
                        std::string output, const Verdict* verdict = nullptr);
  ProposeOutcome refusal(std::string output) const;
  Verdict verify(const std::string& log_name, const RunHooks& hooks, OutputCut cut);
  std::optional<std::string> fewer_tests(const Verdict& verdict) const;
  Result<TargetedBases> resolve_targeted_edits(EditSet& set) const;
  // The paths of `set`, claimed for changing against other servers on the project.
  Result<FileClaim> claim_changing(const EditSet& set) const;
  // Takes the prior states of a transaction as seen, and tells which held bytes the task did
  // not leave there itself; fails naming the first path that changed outside the task (for
  // targeted edits: since they were worked out).
  Status see_prior_states(const std::vector<TouchedPath>& touched, const TargetedBases& bases,
                          std::vector<bool>& foreign);
  // `update` on the entry of `path` and on every other declared spelling of the file it led to.
  void update_entries(const std::string& path, const std::optional<FileIdentity>& file,
                      const std::function<void(SnapshotEntry&)>& update);
  Status save_changed_files();
  // Before the task's first run, copies of the protected files as they are then: nothing but a
  // run of the verifier can change them under the task, so the copies need not be taken sooner.
  Status copy_protected_files();
  // Undoes what a run did to the protected files: such a run fails, whatever its exit status,
  // and its output ends saying which.
  void check_protected_files(Verdict& verdict);
  // Rolls back; a transaction that leaves paths unrestored is kept to be tried again.
  std::vector<std::string> roll_back(Transaction transaction);
  // Tries again the rollbacks that failed: those touching `set`, or all of them.
  Status finish_rollbacks(const EditSet* set);
  void keep(std::vector<TouchedPath> committed, const std::vector<bool>& foreign);
  Status restore();

  std::shared_ptr<const TaskSettings> settings_;
  std::string id_;
  std::string goal_;
  std::string verify_cmd_;
  std::optional<double> min_mutation_score_;
  std::optional<MutationMeasurement> mutation_measurement_;
  std::unordered_map<PathKey, std::size_t, PathKeyHash> allowlist_;  // -> index in snapshot_
  std::vector<SnapshotEntry> snapshot_;                              // in declaration order
  std::vector<AttemptRecord> attempts_;
  std::uint64_t max_attempts_ = 1;
  std::uint64_t proposal_count_ = 0;
  AttemptMemory memory_;
  std::list<Transaction> unfinished_rollbacks_;
  std::vector<std::string> saved_;         // paths a restore saved, kept for a retried finish
  std::optional<ProtectedSet> protected_;  // the protected files as its first run found them
  bool finished_ = false;
  // The tests the baseline, or else the first run whose counts were recognised, ran.
  std::optional<std::uint64_t> reference_tests_;
  std::optional<TaskLogs> logs_;  // nothing without a journal directory
};

// Every started and not yet finished task, by id, for the life of the process, each kept on
// disk meanwhile by its settings' keeper when there is one.
class TaskRegistry {
 public:
  static std::shared_ptr<TaskRegistry> create();
  // Whatever the keeper still does for a task is done before the task goes.
  ~TaskRegistry();

  // Registers `task` once its keeper has kept it; the keeper's error leaves it out.
  Status insert(AgentTask task);
  // Unregisters the task, which the keeper then forgets.
  std::optional<AgentTask> remove(const std::string& id);
  bool contains(const std::string& id);
  // Whether this thread runs an operation on a task, and so holds the registry.
  bool held_by_this_thread() const { return holder_.load() == std::this_thread::get_id(); }

  // Runs `operation` on the task under the registry's lock and returns its result; nothing
  // when no task has that id (the operation is then never run).
  template <typename Operation>
  auto with_task(const std::string& id, Operation&& operation)
      -> std::optional<decltype(operation(std::declval<AgentTask&>()))> {
    std::lock_guard lock(mutex_);
    const Holding holding(holder_);
    const auto found = tasks_.find(id);
    if (found == tasks_.end()) return std::nullopt;
    AgentTask& task = found->second;
    TaskKeeper* keeper = task.keeper();
    if (keeper != nullptr) keeper->settle(task);
    auto result = operation(task);
    if (keeper != nullptr) keeper->changed(task);
    return result;
  }

  // Runs `reader` on the task as with_task does. Called from within an operation this thread
  // runs (a request answered while that operation's child runs), it reads without the lock,
  // which the thread already holds: the operation waits on its child, so no task is changing.
  template <typename Reader>
  auto read_task(const std::string& id, Reader&& reader)
      -> std::optional<decltype(reader(std::declval<const AgentTask&>()))> {
    std::unique_lock lock(mutex_, std::defer_lock);
    if (holder_.load() != std::this_thread::get_id()) lock.lock();
    const auto found = tasks_.find(id);
    if (found == tasks_.end()) return std::nullopt;
    return reader(std::as_const(found->second));
  }

 private:
  // Marks the thread that holds the lock for as long as it does.
  class Holding {
   public:
    explicit Holding(std::atomic<std::thread::id>& holder) : holder_(holder) {
      holder_.store(std::this_thread::get_id());
    }
    ~Holding() { holder_.store(std::thread::id()); }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

   private:
    std::atomic<std::thread::id>& holder_;
  };

  std::mutex mutex_;
  std::atomic<std::thread::id> holder_;
  std::unordered_map<std::string, AgentTask> tasks_;
};

}  // namespace quarry
