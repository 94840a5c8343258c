#include "handlers.h"

#include "envelopes.h"
#include "output_cut.h"

namespace quarry {
namespace {

// How a request wants its outcome wrapped.
enum class Form { Tool, Direct };

// The outcome of one operation: a result object, or a message with the direct form's code.
struct Outcome {
  std::optional<Json> result;
  int32_t code = 0;
  std::string message;

  static Outcome success(Json result) { return Outcome{std::move(result), 0, {}}; }
  static Outcome failure(int32_t code, std::string message) {
    return Outcome{std::nullopt, code, std::move(message)};
  }
};

std::string reply(Form form, const Json& id, Revision revision, Outcome outcome) {
  if (outcome.result) {
    return form == Form::Tool ? tool_result(id, *outcome.result, revision)
                              : ok(id, *outcome.result, revision);
  }
  return form == Form::Tool ? tool_error(id, outcome.message, revision)
                            : err(id, outcome.code, outcome.message);
}

Outcome unknown_task(const std::string& task_id) {
  return Outcome::failure(kUnknownTask, "unknown task_id: " + task_id);
}

// With two or more attempts in a history, each output is cut to this many bytes at its end, so
// that ten fit under a client's cap on results.
constexpr std::size_t kHistoryOutputLimit = 1024;

// Where a revision has verdicts: what the runners printed, each member only where recognised.
void add_report(Json& result, const RunnerReport& report) {
  if (!report.failures.empty()) result["failures"] = report.failures;
  if (!report.counts) return;
  // A summary that said no test ran is an empty object: no count is invented.
  Json counts = Json::object();
  const std::pair<const char*, const std::optional<std::uint64_t>*> members[] = {
      {"passed", &report.counts->passed},
      {"failed", &report.counts->failed},
      {"skipped", &report.counts->skipped},
      {"errors", &report.counts->errors}};
  for (const auto& [name, count] : members) {
    if (*count) counts[name] = **count;
  }
  result["counts"] = std::move(counts);
}

Json outcome_json(const ProposeOutcome& outcome, Revision revision) {
  Json result = proposal_result(outcome, revision);
  if (!traits(revision).verdicts) return result;
  result["attempts_left"] = outcome.attempts_left;
  add_report(result, outcome.report);
  if (outcome.warning) result["warning"] = *outcome.warning;
  return result;
}

Json baseline_json(const Verdict& baseline, bool verdicts) {
  Json result = {{"output", baseline.output}, {"passed", baseline.passed}};
  if (!verdicts) return result;
  if (!baseline.log.empty()) result["log"] = baseline.log;
  add_report(result, baseline.report);
  return result;
}

OutputCut cut_of(Revision revision) {
  return traits(revision).verdicts ? OutputCut::HeadAndTail : OutputCut::Head;
}

// Progress notifications for a request that carries `_meta.progressToken`: the client's
// request time-out is reset by them while a verifier or mutation tool runs. Nothing without one.
std::function<void()> progress_reporter(const RequestContext& context, const Json& params,
                                        const char* what) {
  if (!params.is_object() || !context.notify) return {};
  const auto meta = params.find("_meta");
  if (meta == params.end() || !meta->is_object()) return {};
  const auto token = meta->find("progressToken");
  if (token == meta->end() || !(token->is_string() || token->is_number_integer())) return {};
  const auto started = std::chrono::steady_clock::now();
  return [notify = context.notify, token = *token, what, started,
          last = std::uint64_t{0}]() mutable {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    // Progress must increase strictly, even when two ticks land in the same second.
    last = std::max<std::uint64_t>(last + 1, static_cast<std::uint64_t>(elapsed));
    Json params = {{"progressToken", token},
                   {"progress", last},
                   {"message", std::string(what) + " running for " + std::to_string(last) + " s"}};
    notify(write_json(
        Json{{"jsonrpc", "2.0"}, {"method", "notifications/progress"}, {"params", params}}));
  };
}

// The loop's tick every second while a child runs, and a progress report every other one.
RunHooks hooks_for(const RequestContext& context, const Json& params, const char* what) {
  RunHooks hooks;
  hooks.interrupt_fd = context.interrupt_fd;
  hooks.input_fd = context.input_fd;
  hooks.on_input = context.on_input;
  hooks.abandoned = context.abandoned;
  // Replies to earlier pipelined requests must not wait for a verifier or a mutation tool.
  hooks.on_start = context.on_child_start;
  hooks.tick_interval = std::chrono::seconds(1);
  std::function<void()> progress = progress_reporter(context, params, what);
  if (!progress && !context.on_tick) return hooks;
  hooks.on_tick = [progress = std::move(progress), tick = context.on_tick,
                   count = std::uint64_t{0}]() mutable {
    if (tick) tick();
    if (progress && ++count % 2 == 0) progress();
  };
  return hooks;
}

Outcome start(TaskOperations& tasks, Form form, Revision revision, TaskStartParams params,
              const RunHooks& hooks) {
  std::string task_id = tasks.new_task_id();
  if (const std::string* fixed = tasks.fixed_verifier()) {
    if (params.verify_cmd && *params.verify_cmd != *fixed) {
      return Outcome::failure(kInvalidParams,
                              "task_start failed: the verifier is fixed by the server: " + *fixed);
    }
    params.verify_cmd = *fixed;
  }
  std::optional<std::string> warning;
  if (form == Form::Direct) warning = tasks.check_verifier_strength(*params.verify_cmd, hooks);
  Result<StartedTask> started =
      tasks.start(std::move(task_id), std::move(params), hooks, cut_of(revision));
  if (!started) {
    const IoError& error = started.error();
    return Outcome::failure(error.kind == ErrorKind::InvalidInput ? kInvalidParams : kStartFailed,
                            "task_start failed: " + error.message);
  }
  Json result = {{"task_id", started.value().task_id}};
  if (warning) result["verifier_warning"] = *warning;
  if (std::optional<Json> gate = mutation_gate_result(started.value())) {
    result["mutation_gate"] = std::move(*gate);
  }
  if (const std::optional<Verdict>& baseline = started.value().baseline) {
    result["baseline"] = baseline_json(*baseline, traits(revision).verdicts);
  }
  const std::string* sandbox = tasks.sandbox_report();
  if (sandbox != nullptr && traits(revision).sandbox) result["sandbox"] = *sandbox;
  return Outcome::success(std::move(result));
}

Outcome propose(TaskOperations& tasks, Revision revision, TaskProposeParams params,
                const RunHooks& hooks) {
  std::vector<FileEdit> edits;
  edits.reserve(params.edits.size());
  for (EditParam& edit : params.edits) {
    edits.push_back(
        FileEdit{std::move(edit.path), std::move(edit.content), std::move(edit.replacement)});
  }
  std::optional<Result<ProposeOutcome>> outcome =
      tasks.propose(params.task_id, std::move(edits), hooks, cut_of(revision));
  if (!outcome) return unknown_task(params.task_id);
  if (!outcome->ok()) return Outcome::failure(kInvalidParams, outcome->error().message);
  return Outcome::success(outcome_json(outcome->value(), revision));
}

Outcome history(TaskOperations& tasks, Revision revision, const TaskHistoryParams& params) {
  std::optional<std::vector<AttemptRecord>> records = tasks.history(params.task_id);
  if (!records) return unknown_task(params.task_id);
  std::vector<const AttemptRecord*> shown;
  for (const AttemptRecord& record : *records) {
    if (record.attempt <= params.since) continue;
    if (params.attempt && record.attempt != *params.attempt) continue;
    shown.push_back(&record);
  }
  const bool verdicts = traits(revision).verdicts;
  const bool cut = verdicts && shown.size() >= 2;
  Json attempts = Json::array();
  for (const AttemptRecord* record : shown) {
    Json entry = attempt_result(*record);
    if (!params.outputs) {
      entry.erase("output");
    } else if (cut) {
      entry["output"] = keep_last(record->output, kHistoryOutputLimit, record->log);
    }
    if (verdicts && params.attempt && !record->log.empty()) entry["log"] = record->log;
    attempts.push_back(std::move(entry));
  }
  return Outcome::success(Json{{"attempts", std::move(attempts)}});
}

Outcome finish(TaskOperations& tasks, const TaskFinishParams& params) {
  std::optional<Result<std::vector<std::string>>> finished =
      tasks.finish(params.task_id, params.commit);
  if (!finished) return unknown_task(params.task_id);
  if (!finished->ok()) {
    return Outcome::failure(kFinishFailed,
                            "finish failed, task retained for retry: " + finished->error().message);
  }
  Json result = {{"committed", params.commit}};
  if (!finished->value().empty()) result["saved"] = finished->value();
  return Outcome::success(std::move(result));
}

// Decodes the arguments of one operation and carries it out; the decoding failure's reply
// differs between the forms.
template <typename Decoded, typename Operation>
std::string decode_and_run(Form form, const Json& id, Revision revision,
                           DecodeResult<Decoded> decoded, Operation&& operation) {
  if (!decoded) {
    return form == Form::Tool
               ? tool_error(id, "invalid arguments: " + decoded.error().message, revision)
               : err(id, kInvalidParams, "invalid params: " + decoded.error().message);
  }
  return reply(form, id, revision, operation(std::move(decoded).value()));
}

std::string serve_operation(TaskOperations& tasks, const RequestContext& context, Form form,
                            const std::string& name, const Json& id, Json arguments,
                            const Json& params) {
  // A restore may take a moment: replies to earlier pipelined requests go out first.
  if (name == "task_finish" && context.flush) context.flush();
  if (name == "task_propose") {
    const RunHooks hooks = hooks_for(context, params, "verifier");
    return decode_and_run(
        form, id, context.revision, decode_task_propose(std::move(arguments)),
        [&](TaskProposeParams p) { return propose(tasks, context.revision, std::move(p), hooks); });
  }
  if (name == "task_start") {
    const VerifierArgument verifier =
        tasks.fixed_verifier() != nullptr ? VerifierArgument::Optional : VerifierArgument::Required;
    return decode_and_run(
        form, id, context.revision, decode_task_start(std::move(arguments), verifier),
        [&](TaskStartParams p) {
          // A tool-form start without a minimum score runs only its baseline.
          const bool verifier_only = form == Form::Tool && p.baseline && !p.min_mutation_score;
          const RunHooks hooks =
              hooks_for(context, params, verifier_only ? "verifier" : "mutation tool");
          return start(tasks, form, context.revision, std::move(p), hooks);
        });
  }
  if (name == "task_history") {
    // Older revisions never read an attempt argument: it stays ignored there, whatever it holds.
    if (!traits(context.revision).verdicts && arguments.is_object()) arguments.erase("attempt");
    return decode_and_run(form, id, context.revision, decode_task_history(std::move(arguments)),
                          [&](TaskHistoryParams p) { return history(tasks, context.revision, p); });
  }
  return decode_and_run(form, id, context.revision, decode_task_finish(std::move(arguments)),
                        [&](TaskFinishParams p) { return finish(tasks, p); });
}

// Only the _meta member of the params matters once the arguments have been taken out.
Json meta_of(const Json& params) {
  if (!params.is_object()) return Json(nullptr);
  const auto meta = params.find("_meta");
  return meta == params.end() ? Json(nullptr) : Json{{"_meta", *meta}};
}

}  // namespace

Json attempt_result(const AttemptRecord& record) {
  return Json{{"attempt", record.attempt},
              {"fingerprint", record.fingerprint},
              {"output", record.output},
              {"passed", record.passed}};
}

Json proposal_result(const AttemptRecord& record, Revision revision) {
  Json result = attempt_result(record);
  if (!traits(revision).verdicts) return result;
  result["verified"] = record.verified;
  if (!record.log.empty()) result["log"] = record.log;
  return result;
}

std::optional<Json> mutation_gate_result(const StartedTask& task) {
  if (!task.min_mutation_score) return std::nullopt;
  Json gate = {{"threshold", *task.min_mutation_score}};
  if (task.mutation_measurement) {
    gate["status"] = "measured";
    gate["score"] = task.mutation_measurement->score;
    gate["tool"] = task.mutation_measurement->tool;
  } else {
    gate["status"] = "skipped";
  }
  return gate;
}

std::string handle_tools_call(TaskOperations& tasks, const RequestContext& context, const Json& id,
                              Json params) {
  const Json meta = meta_of(params);
  DecodeResult<ToolsCallParams> call = decode_tools_call(std::move(params));
  if (!call) return err(id, kInvalidParams, "invalid params: " + call.error().message);
  ToolsCallParams& tool = call.value();
  if (tool.name != "task_start" && tool.name != "task_propose" && tool.name != "task_history" &&
      tool.name != "task_finish") {
    return err(id, kInvalidParams, "unknown tool: " + tool.name);
  }
  Json arguments = tool.arguments.is_null() ? Json::object() : std::move(tool.arguments);
  return serve_operation(tasks, context, Form::Tool, tool.name, id, std::move(arguments), meta);
}

std::string handle_start(TaskOperations& tasks, const RequestContext& context, const Json& id,
                         Json params) {
  const Json meta = meta_of(params);
  return serve_operation(tasks, context, Form::Direct, "task_start", id, std::move(params), meta);
}

std::string handle_propose(TaskOperations& tasks, const RequestContext& context, const Json& id,
                           Json params) {
  const Json meta = meta_of(params);
  return serve_operation(tasks, context, Form::Direct, "task_propose", id, std::move(params), meta);
}

std::string handle_history(TaskOperations& tasks, const RequestContext& context, const Json& id,
                           Json params) {
  return serve_operation(tasks, context, Form::Direct, "task_history", id, std::move(params),
                         Json(nullptr));
}

std::string handle_finish(TaskOperations& tasks, const RequestContext& context, const Json& id,
                          Json params) {
  return serve_operation(tasks, context, Form::Direct, "task_finish", id, std::move(params),
                         Json(nullptr));
}

}  // namespace quarry
