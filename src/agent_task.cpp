#include "agent_task.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "provenance.h"
#include "recovery.h"
#include "text.h"

namespace quarry {
namespace {

constexpr std::string_view kAllowlistMessage =
    "' not in task file allowlist;                          declare it in `files` at "
    "task_start to edit it";

// A proposal abandoned while its verifier runs (the process is asked to terminate, or the client
// cancelled the request) has its edits rolled back; the attempt is neither recorded nor counted,
// since nobody will read it.
constexpr std::string_view kInterruptedMessage = "verifier interrupted; edits rolled back";

// One line per path whose rollback failed, after the verifier's own output.
std::string with_lines(std::string output, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (!output.empty() && output.back() != '\n') output += '\n';
    output += line;
  }
  // The record keeps this text for the life of its task.
  output.shrink_to_fit();
  return output;
}

constexpr std::string_view kChangedOutsideMessage =
    " changed outside this task since it last saw it; read it again and propose against its "
    "current content";

// Where in the journal directory a restore keeps the bytes of files changed outside the task.
constexpr const char* kSavedArea = "saved";

// A baseline's run is not an attempt: its log has a name no attempt takes.
constexpr const char* kBaselineLog = "baseline.log";

// The time limit says nothing about the edits, so a timed-out set is not remembered as rejected:
// proposing it again runs the verifier again.
std::string timed_out_output(std::chrono::seconds limit, std::string_view captured,
                             std::string_view consequence) {
  std::string text = "verifier timed out after " + std::to_string(limit.count()) + " s";
  text += consequence;
  if (!captured.empty()) {
    text.reserve(text.size() + 1 + captured.size());
    text += '\n';
    text += captured;
  }
  return text;
}

// `sh` found through PATH once: a search on every verifier start tries each PATH entry before
// the one that holds it.
const std::string& shell_program() {
  static const std::string found = [] {
    const char* search = std::getenv("PATH");
    std::string_view entries = search != nullptr ? search : "";
    while (!entries.empty()) {
      const std::size_t colon = entries.find(':');
      std::string directory(entries.substr(0, colon));
      entries.remove_prefix(colon == std::string_view::npos ? entries.size() : colon + 1);
      std::string candidate = (directory.empty() ? "." : directory) + "/sh";
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::string("sh");
  }();
  return found;
}

// What a task remembers of the bytes it saw at a path: their digest, or nothing for no file.
std::string digest_of(const std::optional<std::string>& bytes) {
  return bytes ? content_digest(*bytes) : std::string();
}

// What a task takes as seen at `path` when it starts: the digest of `prior`, or where the path
// leads through a directory missing now ("d/../a" while d is missing) of the file there; absent
// is a state too, and a file someone creates there later is a change.
std::string digest_at_start(const Workspace& workspace, const std::string& path,
                            const PriorState& prior) {
  if (prior.bytes) return content_digest(*prior.bytes);
  Result<std::string> location = workspace.absolute_location(path);
  if (!location) return {};
  Result<std::optional<std::string>> there = read_content_digest(workspace, location.value());
  return there && there.value() ? *there.value() : std::string();
}

// `hooks` with each run announced in `runs` first.
RunHooks announcing(const RunHooks& hooks, RunJournal& runs) {
  RunHooks announced = hooks;
  announced.announce = [&runs](const std::string& token) { return runs.announce(token); };
  return announced;
}

}  // namespace

Verdict run_verifier(const std::string& verify_cmd, const RunHooks& hooks,
                     std::optional<std::chrono::seconds> time_limit, OutputCut cut,
                     LogWriter* log) {
  Command command;
  command.program = shell_program();
  command.args = {"-c", verify_cmd};
  command.own_process_group = true;
  RunOptions options;
  options.time_limit = time_limit;
  // Only the ends are kept in memory; the whole output goes to the log as it comes.
  options.capture_limit = 0;
  options.hooks = hooks;
  std::array<StreamEndsKeeper, 2> ends;
  options.on_output = [&ends, log](std::size_t stream, std::string_view bytes) {
    ends[stream].add(bytes);
    if (log != nullptr) log->add(stream, bytes);
  };

  Result<RunResult> ran = run(command, options);
  if (!ran || ran.value().interrupted) {
    if (log != nullptr) log->discard();
    if (!ran) return Verdict{false, "failed to run verifier: " + ran.error().message};
  }
  const RunResult& result = ran.value();
  Verdict verdict{result.status.success(), {}, result.interrupted, result.timed_out};
  verdict.ran = true;
  if (verdict.interrupted) return verdict;
  if (log != nullptr && log->finish()) verdict.log = log->path();

  const StreamEnds out = ends[0].take();
  const StreamEnds err = ends[1].take();
  // Read from the head and tail whatever the reply shows: a summary is printed last.
  std::string both_ends = cut_output(OutputCut::HeadAndTail, out, err, verdict.log);
  verdict.report = recognise_runner_output(both_ends);
  if (verdict.report.counts) {
    verdict.tests = tests_ran(verdict.report);
  } else if (fits_whole(out, err)) {
    verdict.tests = 0;
  }
  verdict.output = cut == OutputCut::HeadAndTail ? std::move(both_ends)
                                                 : cut_output(OutputCut::Head, out, err, {});
  // An attempt record keeps this text for the life of its task; the capacity that decoding and
  // joining grew must not come with it.
  verdict.output.shrink_to_fit();
  return verdict;
}

Result<AgentTask> AgentTask::start(std::string id, std::string goal, std::string verify_cmd,
                                   const std::vector<std::string>& files,
                                   std::uint64_t max_attempts,
                                   std::optional<double> min_mutation_score,
                                   std::shared_ptr<const TaskSettings> settings,
                                   const RunHooks& hooks) {
  RunJournal runs(settings->journal_for_writes(), settings->workspace);
  Result<std::optional<MutationMeasurement>> gate =
      run_mutation_gate(min_mutation_score, verify_cmd, announcing(hooks, runs));
  if (!gate) return gate.error();
  if (hooks.is_abandoned()) return IoError{ErrorKind::Interrupted, "start abandoned"};

  AgentTask task;
  const Workspace& workspace = settings->workspace;
  for (const std::string& path : files) {
    if (std::optional<IoError> refused = undeclarable(workspace, path, {settings->journal.get()})) {
      return *refused;
    }
  }
  // No start state is taken from another server's transaction still open on a file.
  Result<FileClaim> reading = settings->claim(files, ClaimKind::Reading);
  if (!reading) return reading.error();
  for (const std::string& path : files) {
    PathKey key = PathKey::of(path);
    if (task.allowlist_.contains(key)) continue;
    Result<PriorState> state = read_prior_state(workspace, path);
    if (!state && state.error().kind != ErrorKind::IsADirectory) return state.error();
    task.allowlist_.emplace(std::move(key), task.snapshot_.size());
    PriorState prior = state ? std::move(state).value() : PriorState{};
    std::string seen = digest_at_start(workspace, path, prior);
    task.snapshot_.push_back(SnapshotEntry{path, std::move(prior), std::nullopt, seen, seen});
  }
  task.settings_ = std::move(settings);
  task.id_ = std::move(id);
  task.goal_ = std::move(goal);
  task.verify_cmd_ = std::move(verify_cmd);
  task.min_mutation_score_ = min_mutation_score;
  task.mutation_measurement_ = std::move(gate).value();
  task.max_attempts_ = max_attempts == 0 ? 1 : max_attempts;
  if (task.settings_->journal) {
    task.logs_.emplace(task.settings_->journal.get(), task.id_, task.settings_->logs);
  }
  return task;
}

Verdict AgentTask::run_baseline(const RunHooks& hooks, OutputCut cut) {
  RunJournal runs(settings_->journal_for_writes(), settings_->workspace);
  Verdict verdict = verify(kBaselineLog, announcing(hooks, runs), cut);
  if (verdict.timed_out) {
    verdict.output = timed_out_output(*settings_->verify_timeout, verdict.output, "");
  }
  if (!verdict.interrupted && verdict.report.counts) reference_tests_ = verdict.tests;
  return verdict;
}

Verdict AgentTask::verify(const std::string& log_name, const RunHooks& hooks, OutputCut cut) {
  if (Status copied = copy_protected_files(); !copied)
    return Verdict{false, copied.error().message};
  std::optional<LogWriter> log;
  if (logs_) log.emplace(logs_->writer(log_name));
  Verdict verdict =
      run_verifier(verify_cmd_, hooks, settings_->verify_timeout, cut, log ? &*log : nullptr);
  check_protected_files(verdict);
  return verdict;
}

std::optional<std::string> AgentTask::fewer_tests(const Verdict& verdict) const {
  if (!verdict.passed || !reference_tests_ || !verdict.tests ||
      *verdict.tests >= *reference_tests_) {
    return std::nullopt;
  }
  return "the verifier ran " + std::to_string(*verdict.tests) + " tests; the baseline ran " +
         std::to_string(*reference_tests_);
}

Result<ProposeOutcome> AgentTask::propose(std::vector<FileEdit> edits, const RunHooks& hooks,
                                          OutputCut cut) {
  if (finished_) return refusal("task already finished");
  if (proposal_count_ >= max_attempts_) {
    return refusal("max attempts (" + std::to_string(max_attempts_) + ") exceeded; task finished");
  }
  const std::uint64_t attempt = ++proposal_count_;

  for (const FileEdit& edit : edits) {
    if (!allowlist_.contains(PathKey::of(edit.path))) {
      return record(attempt, "", false, "path '" + edit.path + std::string(kAllowlistMessage));
    }
  }
  EditSet set{std::move(edits)};
  if (set.edits.empty()) return record(attempt, "", false, "empty edit-set rejected");
  Result<TargetedBases> bases = resolve_targeted_edits(set);
  if (!bases) {
    --proposal_count_;
    return bases.error();
  }

  std::string fingerprint = set.fingerprint();
  if (memory_.was_rejected(goal_, set, fingerprint)) {
    return record(attempt, std::move(fingerprint), false,
                  "identical edit-set already rejected; not re-applied");
  }
  if (Status retried = finish_rollbacks(&set); !retried) {
    return record(attempt, std::move(fingerprint), false,
                  "apply failed: " + retried.error().message);
  }
  Result<FileClaim> changing = claim_changing(set);
  if (!changing) {
    --proposal_count_;
    return changing.error();
  }
  bool changed_outside = false;
  std::vector<bool> foreign;
  Result<Transaction> transaction = Transaction::apply(
      set, settings_->workspace, settings_->journal_for_writes(),
      [&](const std::vector<TouchedPath>& touched) {
        Status seen = see_prior_states(touched, bases.value(), foreign);
        changed_outside = !seen.ok();
        return seen;
      },
      std::move(changing).value());
  if (!transaction) {
    if (changed_outside) {
      --proposal_count_;
      return transaction.error();
    }
    return record(attempt, std::move(fingerprint), false,
                  "apply failed: " + transaction.error().message);
  }
  RunHooks verifier_hooks = hooks;
  verifier_hooks.announce = [&](const std::string& token) {
    Status journaled = transaction.value().announce_run(token);
    if (journaled) announce_attempt(attempt, fingerprint, token);
    return journaled;
  };
  Verdict verdict = verify(std::to_string(attempt) + ".log", verifier_hooks, cut);
  if (verdict.interrupted) {
    static_cast<void>(roll_back(std::move(transaction).value()));
    --proposal_count_;
    return ProposeOutcome{
        {attempt, std::move(fingerprint), false, std::string(kInterruptedMessage)}};
  }
  if (verdict.timed_out) {
    std::vector<std::string> failures = roll_back(std::move(transaction).value());
    return record(attempt, std::move(fingerprint), false,
                  with_lines(timed_out_output(*settings_->verify_timeout, verdict.output,
                                              "; edits rolled back"),
                             failures),
                  &verdict);
  }
  std::optional<std::string> warning = fewer_tests(verdict);
  if (!reference_tests_ && verdict.report.counts) reference_tests_ = verdict.tests;
  const bool rejected = warning && settings_->min_tests == MinTests::Baseline;
  if (verdict.passed && !rejected) {
    keep(std::move(transaction).value().commit(), foreign);
    ProposeOutcome kept =
        record(attempt, std::move(fingerprint), true, std::move(verdict.output), &verdict);
    kept.warning = std::move(warning);
    return kept;
  }
  std::vector<std::string> failures = roll_back(std::move(transaction).value());
  memory_.record_rejected(goal_, set);
  if (rejected)
    verdict.output = "rejected by --min-tests baseline: " + *warning + "\n" + verdict.output;
  ProposeOutcome failed = record(attempt, std::move(fingerprint), false,
                                 with_lines(std::move(verdict.output), failures), &verdict);
  failed.warning = std::move(warning);
  return failed;
}

Result<AgentTask::TargetedBases> AgentTask::resolve_targeted_edits(EditSet& set) const {
  TargetedBases bases;
  std::map<PathKey, const std::string*> latest;  // each path's content so far in the set
  std::vector<PathKey> written_whole;
  for (std::size_t i = 0; i < set.edits.size(); ++i) {
    FileEdit& edit = set.edits[i];
    PathKey key = PathKey::of(edit.path);
    if (edit.replacement) {
      auto current = latest.find(key);
      if (current == latest.end()) {
        Result<PriorState> now = read_prior_state(settings_->workspace, edit.path);
        if (!now) return edit_refused(i, "cannot read " + edit.path + ": " + now.error().message);
        if (!now.value().bytes) return edit_refused(i, edit.path + " does not exist");
        auto base = bases.emplace(key, std::move(*now.value().bytes)).first;
        current = latest.emplace(key, &base->second).first;
      }
      Result<std::string> replaced =
          replace_text(*current->second, *edit.replacement, i, edit.path);
      if (!replaced) return replaced.error();
      edit.content = std::move(replaced).value();
    } else {
      written_whole.push_back(key);
    }
    latest.insert_or_assign(std::move(key), &edit.content);
  }
  // A whole-file edit anywhere in the set overwrites the file's bytes, whatever they are.
  for (const PathKey& key : written_whole) bases.erase(key);
  return bases;
}

Status AgentTask::see_prior_states(const std::vector<TouchedPath>& touched,
                                   const TargetedBases& bases, std::vector<bool>& foreign) {
  const std::string* changed = nullptr;
  foreign.clear();
  for (const TouchedPath& path : touched) {
    const PathKey key = PathKey::of(path.path);
    const SnapshotEntry& entry = snapshot_[allowlist_.at(key)];
    const std::string digest = digest_of(path.prior.bytes);
    const auto base = bases.find(key);
    const bool unchanged = base == bases.end() ? !entry.seen || digest == *entry.seen
                                               : path.prior.bytes == base->second;
    if (!unchanged && changed == nullptr) changed = &path.path;
    foreign.push_back(digest != entry.own);
    update_entries(path.path, path.prior.identity,
                   [&digest](SnapshotEntry& same) { same.seen = digest; });
  }
  if (changed == nullptr) return {};
  return IoError{ErrorKind::InvalidInput, *changed + std::string(kChangedOutsideMessage)};
}

std::vector<std::string> AgentTask::roll_back(Transaction transaction) {
  std::vector<std::string> failures = transaction.rollback();
  if (transaction.rollback_pending()) unfinished_rollbacks_.push_back(std::move(transaction));
  return failures;
}

Status AgentTask::finish_rollbacks(const EditSet* set) {
  std::vector<std::string> failures;
  for (auto pending = unfinished_rollbacks_.begin(); pending != unfinished_rollbacks_.end();) {
    const bool concerned =
        set == nullptr || std::any_of(set->edits.begin(), set->edits.end(), [&](const FileEdit& e) {
          return pending->touches(PathKey::of(e.path));
        });
    if (concerned) {
      std::vector<std::string> lines = pending->rollback();
      failures.insert(failures.end(), lines.begin(), lines.end());
    }
    pending =
        pending->rollback_pending() ? std::next(pending) : unfinished_rollbacks_.erase(pending);
  }
  if (failures.empty()) return {};
  return IoError{ErrorKind::Other, with_lines("", failures)};
}

void AgentTask::keep(std::vector<TouchedPath> committed, const std::vector<bool>& foreign) {
  const Workspace& workspace = settings_->workspace;
  for (std::size_t i = 0; i < committed.size(); ++i) {
    TouchedPath& touched = committed[i];
    SnapshotEntry& entry = snapshot_[allowlist_.at(PathKey::of(touched.path))];
    // What the verifier left is the task's own and what it has now seen, a formatter's changes
    // included.
    Result<std::optional<std::string>> left = read_content_digest(workspace, touched.path);
    const std::string own = left ? left.value().value_or("") : std::string();
    const bool mixed = i < foreign.size() && foreign[i];
    update_entries(touched.path, touched.prior.identity, [&](SnapshotEntry& same) {
      same.own = own;
      same.mixed |= mixed;
      if (left) {
        same.seen = own;
      } else {
        same.seen.reset();
      }
    });
    if (entry.state.bytes) continue;
    // What a restore may remove is what stands there now, after the verifier: the proposal's
    // file, or the one the verifier made of it; a link it planted is not followed.
    const auto current = [&]() -> std::optional<FileIdentity> {
      Result<FileIdentity> identity = workspace.identity(touched.path, touched.prior.through_link);
      return identity ? std::optional(identity.value()) : std::nullopt;
    };
    if (touched.created) {
      entry.created = current();
    } else if (entry.created && touched.prior.identity == entry.created) {
      entry.created = current();
    } else if (touched.prior.bytes) {
      entry.state = std::move(touched.prior);
    }
  }
}

Status AgentTask::copy_protected_files() {
  if (protected_ || !settings_->protected_copies) return {};
  Result<ProtectedSet> copied = settings_->protected_copies->snapshot(settings_->workspace);
  if (!copied) {
    return IoError{copied.error().kind,
                   "cannot keep a copy of the protected files: " + copied.error().message};
  }
  protected_ = std::move(copied).value();
  return {};
}

void AgentTask::check_protected_files(Verdict& verdict) {
  if (!protected_) return;
  Result<std::vector<std::string>> changed =
      undo_protected_changes(settings_->workspace, settings_->journal_for_writes(), *protected_);
  std::string line;
  if (!changed) {
    line = "could not put the protected files back: " + changed.error().message;
  } else if (!changed.value().empty()) {
    line = "the verifier changed protected files: ";
    for (const std::string& path : changed.value()) {
      line += (&path == &changed.value().front() ? "" : ", ") + path;
    }
  }
  if (line.empty()) return;
  verdict.passed = false;
  verdict.output = with_lines(std::move(verdict.output), {line});
}

Result<FileClaim> AgentTask::claim_changing(const EditSet& set) const {
  std::vector<std::string> paths;
  for (const FileEdit& edit : set.edits) paths.push_back(edit.path);
  return settings_->claim(paths, ClaimKind::Changing);
}

ProposeOutcome AgentTask::record(std::uint64_t attempt, std::string fingerprint, bool passed,
                                 std::string output, const Verdict* verdict) {
  attempts_.push_back(AttemptRecord{attempt, std::move(fingerprint), passed, std::move(output),
                                    verdict != nullptr && verdict->ran,
                                    verdict ? verdict->log : std::string()});
  ProposeOutcome outcome{attempts_.back(), max_attempts_ - proposal_count_};
  if (verdict != nullptr) outcome.report = verdict->report;
  return outcome;
}

ProposeOutcome AgentTask::refusal(std::string output) const {
  return ProposeOutcome{{proposal_count_, "", false, std::move(output)},
                        finished_ ? 0 : max_attempts_ - proposal_count_};
}

Result<std::vector<std::string>> AgentTask::finish(bool commit) {
  if (finished_) return saved_;
  // A failed rollback left bytes that no verifier accepted: they go back before anything else.
  if (Status retried = finish_rollbacks(nullptr); !retried) return retried.error();
  if (!commit) {
    if (Status saved = save_changed_files(); !saved) return saved.error();
    if (Status restored = restore(); !restored) return restored.error();
  }
  finished_ = true;
  return saved_;
}

void AgentTask::update_entries(const std::string& path, const std::optional<FileIdentity>& file,
                               const std::function<void(SnapshotEntry&)>& update) {
  SnapshotEntry& named = snapshot_[allowlist_.at(PathKey::of(path))];
  update(named);
  if (!file) return;
  for (SnapshotEntry& entry : snapshot_) {
    if (&entry != &named && entry.state.identity == file) update(entry);
  }
}

Status AgentTask::save_changed_files() {
  const Workspace& workspace = settings_->workspace;
  if (!settings_->journal) return IoError{ErrorKind::NotFound, "no directory to keep copies in"};
  JournalDirectory& directory = *settings_->journal;
  for (SnapshotEntry& entry : snapshot_) {
    // A path the restore leaves alone keeps whatever it holds.
    if (!entry.state.bytes && !entry.created) continue;
    Result<std::optional<std::string>> digest = read_content_digest(workspace, entry.path);
    if (!digest || !digest.value()) continue;
    // Even bytes the agent was told about, or built on, are someone's work.
    if (*digest.value() == entry.own && !entry.mixed) continue;
    Result<PriorState> now = read_prior_state(workspace, entry.path);
    if (!now || !now.value().bytes) continue;
    Result<std::string> kept =
        directory.keep_copy({kSavedArea, id_}, entry.path, *now.value().bytes);
    if (!kept) return kept.error();
    // Saved: a finish tried again does not save it twice.
    entry.own = std::move(*digest.value());
    entry.mixed = false;
    saved_.push_back(std::move(kept).value());
  }
  return {};
}

Status AgentTask::restore() {
  const Workspace& workspace = settings_->workspace;
  std::vector<SnapshotEntry*> entries;
  for (SnapshotEntry& entry : snapshot_) {
    // A path absent at start that nothing of this task created is left as it is.
    if (entry.state.bytes || entry.created) entries.push_back(&entry);
  }
  std::vector<std::string> paths;
  for (const SnapshotEntry* entry : entries) paths.push_back(entry->path);
  Result<FileClaim> changing = settings_->claim(paths, ClaimKind::Changing);
  if (!changing) return changing.error();
  // Journaled like a proposal, the accepted state being the prior one: killed part-way, the
  // restore is undone by recovery rather than leaving files between the two states.
  std::unique_ptr<Journal> journal;
  std::vector<bool> absent;  // before the restore
  if (JournalDirectory* journal_directory = settings_->journal_for_writes()) {
    std::vector<TouchedPath> touched;
    for (const SnapshotEntry* entry : entries) {
      Result<PriorState> accepted = read_prior_state(workspace, entry->path);
      if (!accepted) return accepted.error();
      absent.push_back(!accepted.value().bytes);
      touched.push_back(TouchedPath{entry->path, std::move(accepted).value(),
                                    content_digest(entry->state.bytes.value_or("")), std::nullopt});
    }
    Result<Journal> written = Journal::write(*journal_directory, workspace, touched);
    if (!written) return written.error();
    journal = std::make_unique<Journal>(std::move(written).value());
  }
  Status restored;
  for (std::size_t i = 0; i < entries.size() && restored; ++i) {
    SnapshotEntry& entry = *entries[i];
    const auto opened = [&](const FileIdentity& identity) {
      return absent[i] ? journal->mark_created(i, identity) : Status();
    };
    if (journal) static_cast<void>(journal->mark_putting_back(i));
    restored = put_back(workspace, entry.path, entry.state, entry.created,
                        journal ? OpenedFile(opened) : nullptr);
    if (restored) entry.seen = entry.own = digest_of(entry.state.bytes);
    if (restored && journal) static_cast<void>(journal->mark_put_back(i));
  }
  // A restore that failed is reported and may be tried again; recovery must not undo it later.
  if (journal) static_cast<void>(journal->remove());
  return restored;
}

void AgentTask::announce_attempt(std::uint64_t attempt, const std::string& fingerprint,
                                 const std::string& token) const {
  if (TaskKeeper* kept = keeper()) {
    kept->verifier_starting(id_, AttemptRecord{attempt, fingerprint, false, {}}, token);
  }
}

TaskRecord AgentTask::record() const {
  TaskRecord record;
  this->record(record);
  return record;
}

void AgentTask::record(TaskRecord& into) const {
  into.id = id_;
  into.goal = goal_;
  into.verify_cmd = verify_cmd_;
  into.min_mutation_score = min_mutation_score_;
  into.mutation_measurement = mutation_measurement_;
  into.max_attempts = max_attempts_;
  into.proposal_count = proposal_count_;
  into.files.resize(snapshot_.size());
  for (std::size_t i = 0; i < snapshot_.size(); ++i) {
    const SnapshotEntry& entry = snapshot_[i];
    KeptFile& file = into.files[i];
    file.path = entry.path;
    file.present = entry.state.bytes.has_value();
    file.mode = entry.state.mode;
    file.through_link = entry.state.through_link;
    file.identity = entry.state.identity;
    file.created = entry.created;
    file.seen = entry.seen;
    file.own = entry.own;
    file.mixed = entry.mixed;
  }
  into.rejected = memory_.rejected(goal_);
  into.saved = saved_;
  into.reference_tests = reference_tests_;
}

const std::optional<std::string>& AgentTask::start_bytes(std::size_t index) const {
  return snapshot_.at(index).state.bytes;
}

Result<AgentTask> AgentTask::from_record(TaskRecord record, std::vector<AttemptRecord> attempts,
                                         std::vector<std::optional<std::string>> start_bytes,
                                         std::shared_ptr<const TaskSettings> settings) {
  if (start_bytes.size() != record.files.size()) {
    return IoError{ErrorKind::InvalidInput, "start bytes for a different number of files"};
  }
  AgentTask task;
  for (std::size_t i = 0; i < record.files.size(); ++i) {
    KeptFile& file = record.files[i];
    if (file.present != start_bytes[i].has_value()) {
      return IoError{ErrorKind::InvalidInput, "start bytes that do not fit " + file.path};
    }
    if (!task.allowlist_.emplace(PathKey::of(file.path), i).second) {
      return IoError{ErrorKind::InvalidInput, "a path declared twice: " + file.path};
    }
    PriorState state{std::move(start_bytes[i]), file.mode, file.through_link, file.identity};
    task.snapshot_.push_back(SnapshotEntry{std::move(file.path), std::move(state), file.created,
                                           std::move(file.seen), std::move(file.own), file.mixed});
  }
  for (RejectedSet& rejected : record.rejected) {
    task.memory_.remember(record.goal, std::move(rejected));
  }
  task.settings_ = std::move(settings);
  task.id_ = std::move(record.id);
  task.goal_ = std::move(record.goal);
  task.verify_cmd_ = std::move(record.verify_cmd);
  task.min_mutation_score_ = record.min_mutation_score;
  task.mutation_measurement_ = std::move(record.mutation_measurement);
  task.attempts_ = std::move(attempts);
  task.max_attempts_ = std::max<std::uint64_t>(record.max_attempts, 1);
  task.proposal_count_ = record.proposal_count;
  task.saved_ = std::move(record.saved);
  task.reference_tests_ = record.reference_tests;
  if (task.settings_->journal) {
    task.logs_.emplace(task.settings_->journal.get(), task.id_, task.settings_->logs);
  }
  return task;
}

std::shared_ptr<TaskRegistry> TaskRegistry::create() {
  return std::make_shared<TaskRegistry>();
}

TaskRegistry::~TaskRegistry() {
  for (const auto& [id, task] : tasks_) {
    if (TaskKeeper* keeper = task.keeper()) keeper->settle(task);
  }
}

Status TaskRegistry::insert(AgentTask task) {
  std::lock_guard lock(mutex_);
  std::string id = task.id();
  // Kept where it stays: what the keeper goes on doing reads the task in place.
  const auto where = tasks_.insert_or_assign(std::move(id), std::move(task)).first;
  if (TaskKeeper* keeper = where->second.keeper()) {
    if (Status kept = keeper->keep(where->second); !kept) {
      tasks_.erase(where);
      return kept;
    }
  }
  return {};
}

std::optional<AgentTask> TaskRegistry::remove(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto found = tasks_.find(id);
  if (found == tasks_.end()) return std::nullopt;
  if (TaskKeeper* keeper = found->second.keeper()) keeper->forget(id);
  AgentTask task = std::move(found->second);
  tasks_.erase(found);
  return task;
}

bool TaskRegistry::contains(const std::string& id) {
  std::lock_guard lock(mutex_);
  return tasks_.contains(id);
}

}  // namespace quarry
