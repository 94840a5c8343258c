// The four task operations in their two request forms: "tools/call" and the direct methods.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent_task.h"
#include "args.h"
#include "io_error.h"
#include "json_text.h"
#include "mutation_gate.h"
#include "revision.h"

namespace quarry {

// What a start hands back to the reply.
struct StartedTask {
  std::string task_id;
  std::optional<double> min_mutation_score;
  std::optional<MutationMeasurement> mutation_measurement;
  std::optional<Verdict> baseline = std::nullopt;  // when the start asked for one
};

// The operations the handlers call: the task registry in the server; a stand-in that touches
// no file and starts no process under fuzzing. An empty optional means "no such task".
class TaskOperations {
 public:
  virtual ~TaskOperations() = default;
  virtual std::string new_task_id() = 0;
  // The verifier the operator fixed for every task of the server, or nullptr.
  virtual const std::string* fixed_verifier() const { return nullptr; }
  // What confines the children the tasks start, as `Sandbox::report` says it, or nullptr.
  virtual const std::string* sandbox_report() const { return nullptr; }
  // The project's state directory, where MCP task handles outlive the process, or nullptr.
  virtual JournalDirectory* state_directory() const { return nullptr; }
  virtual std::optional<std::string> check_verifier_strength(const std::string& verify_cmd,
                                                             const RunHooks& hooks) = 0;
  // Starts the task and, on success, registers it; a baseline's output is cut by `cut`.
  virtual Result<StartedTask> start(std::string task_id, TaskStartParams params,
                                    const RunHooks& hooks, OutputCut cut) = 0;
  // An error is a proposal refused as invalid, counted as no attempt. The verifier's output is
  // cut by `cut`.
  virtual std::optional<Result<ProposeOutcome>> propose(const std::string& task_id,
                                                        std::vector<FileEdit> edits,
                                                        const RunHooks& hooks, OutputCut cut) = 0;
  virtual std::optional<std::vector<AttemptRecord>> history(const std::string& task_id) = 0;
  // The proposals of the task counted so far, the one whose verifier runs included.
  virtual std::optional<std::uint64_t> proposal_count(const std::string& /*task_id*/) {
    return std::nullopt;
  }
  // Removes the task when the finish succeeds, and gives the paths a restore saved.
  virtual std::optional<Result<std::vector<std::string>>> finish(const std::string& task_id,
                                                                 bool commit) = 0;
};

// Per-request facilities of the loop.
struct RequestContext {
  // Writes one notification line (progress reports) while a request is being served.
  std::function<void(const std::string& line)> notify;
  // Readable when the process is asked to terminate; a running child is then abandoned.
  int interrupt_fd = -1;
  // Writes the replies held back so far; called before an operation that may take time.
  std::function<void()> flush;
  // Called just before a child starts: flushes, and takes the lines already read with the
  // request as if they had arrived while the child runs.
  std::function<void()> on_child_start;
  // The loop's input, read while a child runs (RunHooks::input_fd and on_input).
  int input_fd = -1;
  std::function<bool()> on_input;
  // True once the request is cancelled or the process is asked to terminate.
  std::function<bool()> abandoned;
  // Called about every second while a child runs.
  std::function<void()> on_tick;
  // The revision the request is served under, which shapes its reply.
  Revision revision = Revision::V2024_11_05;
};

// Each returns the whole reply line.
std::string handle_tools_call(TaskOperations& tasks, const RequestContext& context, const Json& id,
                              Json params);
std::string handle_start(TaskOperations& tasks, const RequestContext& context, const Json& id,
                         Json params);
std::string handle_propose(TaskOperations& tasks, const RequestContext& context, const Json& id,
                           Json params);
std::string handle_history(TaskOperations& tasks, const RequestContext& context, const Json& id,
                           Json params);
std::string handle_finish(TaskOperations& tasks, const RequestContext& context, const Json& id,
                          Json params);

// One attempt as task_history reports it.
Json attempt_result(const AttemptRecord& record);
// One attempt as task_propose reports it under `revision`, but for what only the proposal itself
// knew (attempts_left, the runners' report, a warning): for a result rebuilt from the history.
Json proposal_result(const AttemptRecord& record, Revision revision);

// The "mutation_gate" member of a start result, when the start asked for a minimum.
std::optional<Json> mutation_gate_result(const StartedTask& task);

}  // namespace quarry
