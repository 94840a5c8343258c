#include "agent_task.h"

#include <cstddef>
#include <string_view>
#include <utility>

#include "text.h"

namespace quarry {
namespace {

constexpr std::size_t kVerifierOutputLimit = 8000;
constexpr std::string_view kStderrSeparator = "\n--- stderr ---\n";
constexpr std::string_view kTruncationMarker = "\n...[truncated]";

// Decoding never shrinks text and no character takes more than four bytes, so the first 8000
// decoded bytes, and whether byte 8000 starts a character, depend only on the first 8003 bytes
// of a stream: keeping that many records exactly what cutting the whole output would.
constexpr std::size_t kVerifierCaptureLimit = kVerifierOutputLimit + 3;

}  // namespace

Verdict run_verifier(const std::string& verify_cmd, const RunHooks& hooks,
                     std::optional<std::chrono::seconds> time_limit) {
  Command command;
  command.program = "sh";
  command.args = {"-c", verify_cmd};
  command.own_process_group = true;
  RunOptions options;
  options.time_limit = time_limit;
  options.capture_limit = kVerifierCaptureLimit;
  options.hooks = hooks;

  Result<RunResult> ran = run(command, options);
  if (!ran) return Verdict{false, "failed to run verifier: " + ran.error().message};
  const RunResult& result = ran.value();

  std::string output = utf8_lossy(result.out);
  if (!result.err.empty()) {
    output.append(kStderrSeparator);
    output.append(utf8_lossy(result.err));
  }
  output = truncate_utf8(std::move(output), kVerifierOutputLimit, kTruncationMarker);
  // An attempt record keeps this text for the life of its task; the capacity that decoding and
  // joining grew must not come with it.
  output.shrink_to_fit();
  return Verdict{result.status.success(), std::move(output), result.interrupted, result.timed_out};
}

}  // namespace quarry

namespace quarry {
namespace {

constexpr std::string_view kAllowlistMessage =
    "' not in task file allowlist;                          declare it in `files` at "
    "task_start to edit it";

// A proposal abandoned while its verifier runs (the process is asked to terminate, or the client
// cancelled the request) has its edits rolled back; the attempt is neither recorded nor counted,
// since nobody will read it.
constexpr std::string_view kInterruptedMessage = "verifier interrupted; edits rolled back";

// The time limit says nothing about the edits, so a timed-out set is not remembered as rejected:
// proposing it again runs the verifier again.
std::string timed_out_output(std::chrono::seconds limit, std::string_view captured) {
  std::string text =
      "verifier timed out after " + std::to_string(limit.count()) + " s; edits rolled back";
  if (!captured.empty()) {
    text.reserve(text.size() + 1 + captured.size());
    text += '\n';
    text += captured;
  }
  return text;
}

}  // namespace

Result<AgentTask> AgentTask::start(std::string id, std::string goal, std::string verify_cmd,
                                   const std::vector<std::string>& files,
                                   std::uint64_t max_attempts,
                                   std::optional<double> min_mutation_score,
                                   std::shared_ptr<const TaskSettings> settings,
                                   const RunHooks& hooks) {
  Result<std::optional<MutationMeasurement>> gate =
      run_mutation_gate(min_mutation_score, verify_cmd, hooks);
  if (!gate) return gate.error();
  if (hooks.is_abandoned()) return IoError{ErrorKind::Interrupted, "start abandoned"};

  AgentTask task;
  for (const std::string& path : files) {
    PathKey key = PathKey::of(path);
    if (task.allowlist_.contains(key)) continue;
    Result<std::string> bytes = read_whole_file(path);
    std::optional<std::string> prior;
    if (bytes) {
      prior = std::move(bytes).value();
    } else if (bytes.error().kind != ErrorKind::NotFound &&
               bytes.error().kind != ErrorKind::IsADirectory) {
      return bytes.error();
    }
    task.allowlist_.emplace(std::move(key), task.snapshot_.size());
    task.snapshot_.push_back(SnapshotEntry{path, std::move(prior)});
  }
  task.settings_ = std::move(settings);
  task.id_ = std::move(id);
  task.goal_ = std::move(goal);
  task.verify_cmd_ = std::move(verify_cmd);
  task.min_mutation_score_ = min_mutation_score;
  task.mutation_measurement_ = std::move(gate).value();
  task.max_attempts_ = max_attempts == 0 ? 1 : max_attempts;
  return task;
}

ProposeOutcome AgentTask::propose(std::vector<FileEdit> edits, const RunHooks& hooks) {
  if (finished_) return ProposeOutcome{proposal_count_, "", false, "task already finished"};
  if (proposal_count_ >= max_attempts_) {
    return ProposeOutcome{
        proposal_count_, "", false,
        "max attempts (" + std::to_string(max_attempts_) + ") exceeded; task finished"};
  }
  const std::uint64_t attempt = ++proposal_count_;

  for (const FileEdit& edit : edits) {
    if (!allowlist_.contains(PathKey::of(edit.path))) {
      return record(attempt, "", false, "path '" + edit.path + std::string(kAllowlistMessage));
    }
  }
  EditSet set{std::move(edits)};
  if (set.edits.empty()) return record(attempt, "", false, "empty edit-set rejected");

  std::string fingerprint = set.fingerprint();
  if (memory_.was_rejected(goal_, set, fingerprint)) {
    return record(attempt, std::move(fingerprint), false,
                  "identical edit-set already rejected; not re-applied");
  }
  Result<Transaction> transaction = Transaction::apply(set);
  if (!transaction) {
    return record(attempt, std::move(fingerprint), false,
                  "apply failed: " + transaction.error().message);
  }
  const std::optional<std::chrono::seconds> time_limit =
      settings_ ? settings_->verify_timeout : std::nullopt;
  Verdict verdict = run_verifier(verify_cmd_, hooks, time_limit);
  if (verdict.interrupted) {
    transaction.value().rollback();
    --proposal_count_;
    return ProposeOutcome{attempt, std::move(fingerprint), false, std::string(kInterruptedMessage)};
  }
  if (verdict.timed_out) {
    transaction.value().rollback();
    return record(attempt, std::move(fingerprint), false,
                  timed_out_output(*time_limit, verdict.output));
  }
  if (verdict.passed) {
    std::move(transaction).value().commit();
  } else {
    transaction.value().rollback();
    memory_.record_rejected(goal_, set);
  }
  return record(attempt, std::move(fingerprint), verdict.passed, std::move(verdict.output));
}

ProposeOutcome AgentTask::record(std::uint64_t attempt, std::string fingerprint, bool passed,
                                 std::string output) {
  attempts_.push_back(AttemptRecord{attempt, std::move(fingerprint), passed, std::move(output)});
  return attempts_.back();
}

Status AgentTask::finish(bool commit) {
  if (finished_) return {};
  if (!commit) {
    if (Status restored = restore(); !restored) return restored;
  }
  finished_ = true;
  return {};
}

Status AgentTask::restore() {
  for (const SnapshotEntry& entry : snapshot_) {
    if (entry.prior) {
      if (Status written = write_whole_file(entry.path, *entry.prior); !written) return written;
      continue;
    }
    Status removed = remove_file(entry.path);
    if (!removed && removed.error().kind != ErrorKind::NotFound &&
        removed.error().kind != ErrorKind::IsADirectory) {
      return removed;
    }
  }
  return {};
}

std::shared_ptr<TaskRegistry> TaskRegistry::create() {
  return std::make_shared<TaskRegistry>();
}

void TaskRegistry::insert(AgentTask task) {
  std::lock_guard lock(mutex_);
  std::string id = task.id();
  tasks_.insert_or_assign(std::move(id), std::move(task));
}

std::optional<AgentTask> TaskRegistry::remove(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto found = tasks_.find(id);
  if (found == tasks_.end()) return std::nullopt;
  AgentTask task = std::move(found->second);
  tasks_.erase(found);
  return task;
}

}  // namespace quarry
