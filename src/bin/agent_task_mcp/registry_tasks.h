// The task operations of the running server: tasks held in the process's TaskRegistry.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "handlers.h"
#include "sandbox.h"
#include "task_store.h"

namespace quarry {

// "task-{hex nanoseconds since the epoch}-{sequence}"; the sequence starts at 0 per process.
std::string new_task_id();

class RegistryTasks final : public TaskOperations {
 public:
  // `fixed_verifier`: the verifier of every task, when the operator fixed one. `sandbox`, which
  // must outlive the tasks, confines every child they start; nothing: none is confined.
  RegistryTasks(std::shared_ptr<TaskRegistry> registry,
                std::shared_ptr<const TaskSettings> settings,
                std::optional<std::string> fixed_verifier = std::nullopt,
                const Sandbox* sandbox = nullptr, std::shared_ptr<TaskStore> store = nullptr);

  std::string new_task_id() override;
  const std::string* fixed_verifier() const override;
  const std::string* sandbox_report() const override;
  JournalDirectory* state_directory() const override;
  std::optional<std::string> check_verifier_strength(const std::string& verify_cmd,
                                                     const RunHooks& hooks) override;
  Result<StartedTask> start(std::string task_id, TaskStartParams params, const RunHooks& hooks,
                            OutputCut cut) override;
  std::optional<Result<ProposeOutcome>> propose(const std::string& task_id,
                                                std::vector<FileEdit> edits, const RunHooks& hooks,
                                                OutputCut cut) override;
  std::optional<std::vector<AttemptRecord>> history(const std::string& task_id) override;
  std::optional<std::uint64_t> proposal_count(const std::string& task_id) override;
  std::optional<Result<std::vector<std::string>>> finish(const std::string& task_id,
                                                         bool commit) override;

 private:
  // A task named by a request and not held here may be one a server that is gone left: it is
  // taken over now, unless a request this thread is serving holds the registry.
  void take_over(const std::string& task_id);

  // `hooks` with the children confined.
  RunHooks confined(const RunHooks& hooks) const;

  std::shared_ptr<TaskRegistry> registry_;
  std::shared_ptr<const TaskSettings> settings_;
  std::optional<std::string> fixed_verifier_;
  const Sandbox* sandbox_;
  std::shared_ptr<TaskStore> store_;
};

}  // namespace quarry
