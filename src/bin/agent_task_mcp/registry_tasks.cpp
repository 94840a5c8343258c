#include "registry_tasks.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "verifier_strength.h"

namespace quarry {

std::string new_task_id() {
  static std::atomic<std::uint64_t> sequence{0};
  const std::uint64_t seq = sequence.fetch_add(1, std::memory_order_relaxed);
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  char text[64];
  std::snprintf(text, sizeof text, "task-%llx-%llu",
                static_cast<unsigned long long>(nanos < 0 ? 0 : nanos),
                static_cast<unsigned long long>(seq));
  return text;
}

RegistryTasks::RegistryTasks(std::shared_ptr<TaskRegistry> registry,
                             std::shared_ptr<const TaskSettings> settings,
                             std::optional<std::string> fixed_verifier, const Sandbox* sandbox,
                             std::shared_ptr<TaskStore> store)
    : registry_(std::move(registry)),
      settings_(std::move(settings)),
      fixed_verifier_(std::move(fixed_verifier)),
      sandbox_(sandbox),
      store_(std::move(store)) {}

void RegistryTasks::take_over(const std::string& task_id) {
  if (!store_ || registry_->held_by_this_thread() || registry_->contains(task_id)) return;
  if (std::optional<AgentTask> task = store_->take_over(task_id, settings_)) {
    static_cast<void>(registry_->insert(std::move(*task)));
  }
}

std::string RegistryTasks::new_task_id() {
  // A task taken over from a server whose clock ran ahead keeps the id that server made.
  std::string id = quarry::new_task_id();
  while (registry_->contains(id) || (store_ && store_->has_record(id))) id = quarry::new_task_id();
  return id;
}

const std::string* RegistryTasks::fixed_verifier() const {
  return fixed_verifier_ ? &*fixed_verifier_ : nullptr;
}

const std::string* RegistryTasks::sandbox_report() const {
  return sandbox_ != nullptr ? &sandbox_->report() : nullptr;
}

JournalDirectory* RegistryTasks::state_directory() const {
  return settings_->journal.get();
}

RunHooks RegistryTasks::confined(const RunHooks& hooks) const {
  RunHooks confined = hooks;
  confined.sandbox = sandbox_;
  return confined;
}

std::optional<std::string> RegistryTasks::check_verifier_strength(const std::string& verify_cmd,
                                                                  const RunHooks& hooks) {
  RunJournal runs(settings_->journal_for_writes(), settings_->workspace);
  RunHooks announced = confined(hooks);
  announced.announce = [&runs](const std::string& token) { return runs.announce(token); };
  return quarry::check_verifier_strength(verify_cmd, announced);
}

Result<StartedTask> RegistryTasks::start(std::string task_id, TaskStartParams params,
                                         const RunHooks& request_hooks, OutputCut cut) {
  const RunHooks hooks = confined(request_hooks);
  Result<AgentTask> task = AgentTask::start(
      std::move(task_id), std::move(params.goal), std::move(*params.verify_cmd), params.files,
      params.max_attempts, params.min_mutation_score, settings_, hooks);
  if (!task) return task.error();
  StartedTask started{task.value().id(), task.value().min_mutation_score(),
                      task.value().mutation_measurement()};
  if (params.baseline) {
    Verdict baseline = task.value().run_baseline(hooks, cut);
    // A cancelled baseline starts no task.
    if (baseline.interrupted) return IoError{ErrorKind::Interrupted, "start abandoned"};
    started.baseline = std::move(baseline);
  }
  if (Status kept = registry_->insert(std::move(task).value()); !kept) return kept.error();
  return started;
}

std::optional<Result<ProposeOutcome>> RegistryTasks::propose(const std::string& task_id,
                                                             std::vector<FileEdit> edits,
                                                             const RunHooks& hooks, OutputCut cut) {
  take_over(task_id);
  return registry_->with_task(task_id, [&](AgentTask& task) {
    return task.propose(std::move(edits), confined(hooks), cut);
  });
}

std::optional<std::vector<AttemptRecord>> RegistryTasks::history(const std::string& task_id) {
  // Asked while a proposal's verifier runs too, from within that proposal's operation.
  take_over(task_id);
  return registry_->read_task(task_id, [](const AgentTask& task) { return task.attempts(); });
}

std::optional<std::uint64_t> RegistryTasks::proposal_count(const std::string& task_id) {
  take_over(task_id);
  return registry_->read_task(task_id, [](const AgentTask& task) { return task.proposal_count(); });
}

std::optional<Result<std::vector<std::string>>> RegistryTasks::finish(const std::string& task_id,
                                                                      bool commit) {
  take_over(task_id);
  std::optional<Result<std::vector<std::string>>> finished =
      registry_->with_task(task_id, [commit](AgentTask& task) { return task.finish(commit); });
  if (finished && finished->ok()) (void)registry_->remove(task_id);
  return finished;
}

}  // namespace quarry
