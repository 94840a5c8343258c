#include "background_runs.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <variant>

#include "envelopes.h"

namespace quarry {
namespace {

// Under the extension a run answers as ever until it has taken this long.
constexpr auto kQuickRun = std::chrono::seconds(1);
constexpr int kPollIntervalMs = 1000;
constexpr std::size_t kListPage = 50;
// Ended runs held in memory beyond this many are read back from their records when asked for.
constexpr std::size_t kRunsInMemory = 64;
constexpr const char* kRelatedTaskMeta = "io.modelcontextprotocol/related-task";
constexpr const char* kInterrupted =
    "interrupted: the server stopped while the verifier ran; its edits were rolled back";

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ISO 8601 in UTC, to the millisecond.
std::string iso_time(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

const Json* member(const Json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

const std::string* text_member(const Json& object, const char* name) {
  const Json* found = member(object, name);
  return found != nullptr && found->is_string() ? &found->get_ref<const std::string&>() : nullptr;
}

// Whether a stateless-era request's client capabilities list the MCP task extension.
bool lists_extension(const Json& params) {
  const Json* meta = member(params, "_meta");
  const Json* capabilities = meta != nullptr ? member(*meta, kClientCapabilitiesMeta) : nullptr;
  const Json* extensions = capabilities != nullptr ? member(*capabilities, "extensions") : nullptr;
  const Json* tasks = extensions != nullptr ? member(*extensions, kTaskExtension) : nullptr;
  return tasks != nullptr && tasks->is_object();
}

bool has_ended(const McpTaskRecord& record) {
  return record.status != McpTaskStatus::Working;
}

bool has_expired(const McpTaskRecord& record) {
  return has_ended(record) && now_ms() >= record.created_ms + record.ttl_ms;
}

bool is_error(const Json& result) {
  const Json* flag = member(result, "isError");
  return flag != nullptr && flag->is_boolean() && flag->get<bool>();
}

// How long to keep a task whose core-design request asked for `task`: what it asked within the
// bounds kept (a negative time the shortest), else the longest.
std::int64_t time_to_live(const Json* task) {
  const Json* ttl = task != nullptr ? member(*task, "ttl") : nullptr;
  if (ttl == nullptr || !ttl->is_number_integer()) return kLongestTtlMs;
  const std::uint64_t wanted = ttl->is_number_unsigned() ? ttl->get<std::uint64_t>() : 0;
  return static_cast<std::int64_t>(
      std::clamp<std::uint64_t>(wanted, kShortestTtlMs, kLongestTtlMs));
}

Json parsed(const std::string& text) {
  std::variant<Json, std::string> value = parse_json(text);
  return std::holds_alternative<Json>(value) ? std::move(std::get<Json>(value)) : Json();
}

}  // namespace

BackgroundRuns::BackgroundRuns(TaskOperations& tasks)
    : tasks_(tasks), records_(tasks.state_directory()) {}

std::optional<std::string> BackgroundRuns::offer(const Request& request, Revision revision) {
  if (!request.has_id || request.method != "tools/call") return std::nullopt;
  const RevisionTraits& shape = traits(revision);
  const Json* task = shape.task_augmentation ? member(request.params, "task") : nullptr;
  const bool asked = (task != nullptr && task->is_object()) ||
                     (shape.task_extension && lists_extension(request.params));
  const std::string* tool = text_member(request.params, "name");
  if (!asked || tool == nullptr) return std::nullopt;
  if (*tool == "task_history" || *tool == "task_finish") {
    // The extension leaves the choice to the server; the core design lets a client ask.
    if (!shape.task_augmentation) return std::nullopt;
    return err(request.id, kMethodNotFound, *tool + " does not run as an MCP task");
  }
  if (offer_ || (*tool != "task_propose" && *tool != "task_start")) return std::nullopt;
  const Json empty = Json::object();
  const Json* arguments = member(request.params, "arguments");
  const Json& given = arguments != nullptr && arguments->is_object() ? *arguments : empty;
  const Json* task_id = *tool == "task_propose" ? member(given, "task_id") : nullptr;
  const Json* minimum = member(given, "min_mutation_score");
  offer_ = Offer{request.id,
                 revision,
                 *tool,
                 task_id != nullptr && task_id->is_string() ? task_id->get<std::string>() : "",
                 minimum != nullptr && !minimum->is_null() ? "mutation tool" : "verifier",
                 time_to_live(task),
                 std::chrono::steady_clock::now(),
                 std::nullopt};
  return std::nullopt;
}

bool BackgroundRuns::answered_at_once(const Request& request) {
  const std::string& method = request.method;
  if (method.starts_with("tasks/") || method == "tools/list" || method == "server/discover" ||
      method == "task_history") {
    return true;
  }
  const std::string* tool = text_member(request.params, "name");
  return method == "tools/call" && tool != nullptr && *tool == "task_history";
}

std::optional<std::string> BackgroundRuns::hand_out() {
  if (!offer_ || offer_->handle) return std::nullopt;
  if (traits(offer_->revision).task_extension &&
      std::chrono::steady_clock::now() - offer_->started < kQuickRun) {
    return std::nullopt;
  }
  records_.sweep(std::chrono::milliseconds(kLongestTtlMs));
  Run& run = add(new_record(*offer_));
  if (run.record.tool == "task_propose") {
    // The attempt the proposal is recorded as, should its server die before it ends.
    run.record.attempt = tasks_.proposal_count(run.record.task_id).value_or(0);
  }
  // Only once its record is written, so that tasks/get answers for it even after a restart.
  records_.keep(run.record);
  offer_->handle = run.record.handle;
  return created_reply(offer_->id, run);
}

bool BackgroundRuns::answered_for_good() const {
  return offer_ && offer_->handle && traits(offer_->revision).task_extension;
}

BackgroundRuns::Settled BackgroundRuns::settle(std::optional<std::string> reply, bool abandoned) {
  const Offer offer = std::move(*offer_);
  offer_.reset();
  const bool cancelled = std::exchange(cancel_requested_, false);
  if (!offer.handle) {
    // A quick run under the extension is answered as ever; a client that asked for a task in
    // the core design gets one, already ended.
    if (abandoned || !reply || traits(offer.revision).task_extension) return {std::move(reply), {}};
    Run& run = add(new_record(offer));
    end(run, *reply);
    return {created_reply(offer.id, run), {}};
  }
  Run* run = find(*offer.handle, offer.revision);
  // Abandoned for the process's end: the record stays working, for the next server to resolve.
  if (run == nullptr || (abandoned && !cancelled) || (!abandoned && !reply)) return {};
  if (abandoned) {
    run->record.status = McpTaskStatus::Cancelled;
    run->record.updated_ms = now_ms();
    records_.keep(run->record);
  } else {
    end(*run, *reply);
  }
  return {std::nullopt, owed_lines(*run)};
}

std::optional<std::string> BackgroundRuns::serve(const std::string& method, const Json& id,
                                                 const Json& params, Revision revision) {
  const RevisionTraits& shape = traits(revision);
  const bool known =
      shape.task_augmentation
          ? method == "tasks/get" || method == "tasks/result" || method == "tasks/list" ||
                method == "tasks/cancel"
          : shape.task_extension &&
                (method == "tasks/get" || method == "tasks/cancel" || method == "tasks/update");
  if (!known) return err(id, kMethodNotFound, "unknown method: " + method);
  if (shape.task_extension && !lists_extension(params)) {
    return err_with_data(
        id, kMissingClientCapability, "missing required client capability",
        Json{{"requiredCapabilities", {{"extensions", {{kTaskExtension, Json::object()}}}}}});
  }
  if (method == "tasks/list") return list_reply(id, params, revision);
  const std::string* handle = text_member(params, "taskId");
  if (handle == nullptr) return err(id, kInvalidParams, "invalid params: taskId must be a string");
  Run* run = find(*handle, revision);
  if (run == nullptr) return err(id, kInvalidParams, "unknown MCP task: " + *handle);
  return serve_run(method, id, *run);
}

std::optional<std::string> BackgroundRuns::serve_run(const std::string& method, const Json& id,
                                                     Run& run) {
  const Revision revision = run.record.revision;
  const bool core = traits(revision).task_augmentation;
  const bool running_here = !has_ended(run.record) && is_in_flight(run);
  if (method == "tasks/get") return ok(id, task_json(run), revision);
  if (method == "tasks/result" && running_here) {
    run.result_waiters.push_back(id);
    return std::nullopt;
  }
  if (method == "tasks/result") return result_reply(id, run);
  if (method == "tasks/cancel" && running_here) {
    // The loop abandons the run as a cancellation does: the child is killed, the edits rolled
    // back. A core client hears once it is so; under the extension an acknowledgement suffices.
    cancel_requested_ = true;
    if (core) {
      run.cancel_waiters.push_back(id);
      return std::nullopt;
    }
  }
  if (method == "tasks/cancel" && core) return cancel_reply(id, run);
  // tasks/cancel and tasks/update under the extension: no run here ever waits for input.
  return ok(id, Json::object(), revision);
}

McpTaskRecord BackgroundRuns::new_record(const Offer& offer) {
  McpTaskRecord record;
  record.handle = new_run_token();
  record.revision = offer.revision;
  record.tool = offer.tool;
  record.task_id = offer.task_id;
  record.what = offer.what;
  record.created_ms = record.updated_ms = now_ms();
  record.ttl_ms = offer.ttl_ms;
  return record;
}

BackgroundRuns::Run& BackgroundRuns::add(McpTaskRecord record) {
  forget_old_runs();
  runs_.push_back(Run{std::move(record), next_sequence_++, {}, {}});
  return runs_.back();
}

BackgroundRuns::Run* BackgroundRuns::find(const std::string& handle, Revision revision) {
  forget_old_runs();
  for (Run& run : runs_) {
    if (run.record.handle == handle) return run.record.revision == revision ? &run : nullptr;
  }
  std::optional<McpTaskRecords::Found> found = records_.find(handle);
  if (!found || found->record.revision != revision) return nullptr;
  if (has_expired(found->record)) {
    records_.remove(handle);
    return nullptr;
  }
  if (found->running_elsewhere) {
    elsewhere_ = Run{std::move(found->record), 0, {}, {}};
    return &*elsewhere_;
  }
  if (!has_ended(found->record)) {
    resolve(found->record);
    records_.keep(found->record);
  }
  return &add(std::move(found->record));
}

void BackgroundRuns::resolve(McpTaskRecord& record) {
  if (record.tool == "task_propose") {
    Json outcome =
        proposal_result(AttemptRecord{record.attempt, "", false, kInterrupted}, record.revision);
    // The task kept beyond its server says how the attempt ended, interrupted or not; an
    // interrupted attempt counts for nothing, so the proposal after it has the same number.
    if (std::optional<std::vector<AttemptRecord>> history = tasks_.history(record.task_id)) {
      const auto first = std::find_if(history->begin(), history->end(), [&](const auto& attempt) {
        return attempt.attempt == record.attempt;
      });
      if (first != history->end()) outcome = proposal_result(*first, record.revision);
    }
    record.result = parsed(tool_result_text(outcome, record.revision));
  } else {
    record.result = parsed(
        tool_error_text("task_start failed: the server stopped while the " + record.what + " ran",
                        record.revision));
  }
  record.status = traits(record.revision).task_augmentation && is_error(record.result)
                      ? McpTaskStatus::Failed
                      : McpTaskStatus::Completed;
  record.updated_ms = now_ms();
}

void BackgroundRuns::end(Run& run, const std::string& reply) {
  // The reply to a tools/call of a task tool always holds a result: a tool error at worst.
  Json line = parsed(reply);
  run.record.result = std::move(line["result"]);
  // The core design's clients throw a failed task's result away: only a tool error fails one.
  run.record.status = traits(run.record.revision).task_augmentation && is_error(run.record.result)
                          ? McpTaskStatus::Failed
                          : McpTaskStatus::Completed;
  run.record.updated_ms = now_ms();
  records_.keep(run.record);
}

bool BackgroundRuns::is_in_flight(const Run& run) const {
  return offer_ && offer_->handle == run.record.handle;
}

Json BackgroundRuns::task_json(const Run& run) const {
  const McpTaskRecord& record = run.record;
  const bool extension = traits(record.revision).task_extension;
  Json task = {{"createdAt", iso_time(record.created_ms)},
               {"lastUpdatedAt", iso_time(record.updated_ms)},
               {extension ? "pollIntervalMs" : "pollInterval", kPollIntervalMs},
               {"status", status_name(record.status)},
               {"taskId", record.handle},
               {extension ? "ttlMs" : "ttl", record.ttl_ms}};
  if (!has_ended(record)) {
    // What a progress notification says.
    const std::int64_t since_ms = is_in_flight(run)
                                      ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - offer_->started)
                                            .count()
                                      : now_ms() - record.created_ms;
    task["statusMessage"] = record.what + " running for " +
                            std::to_string(std::max<std::int64_t>(since_ms, 0) / 1000) + " s";
  }
  // The extension carries the result inline, exactly what the plain call returns.
  if (extension && record.status == McpTaskStatus::Completed) task["result"] = record.result;
  return task;
}

std::string BackgroundRuns::created_reply(const Json& id, const Run& run) const {
  if (traits(run.record.revision).task_augmentation) {
    return ok(id, Json{{"task", task_json(run)}}, run.record.revision);
  }
  Json created = task_json(run);
  add_stateless_members(created);
  created["resultType"] = "task";
  return ok_with_text(id, write_json(created));
}

std::string BackgroundRuns::result_reply(const Json& id, const Run& run) const {
  const std::string& handle = run.record.handle;
  if (run.record.status == McpTaskStatus::Cancelled) {
    return err(id, kInvalidParams, "MCP task " + handle + " was cancelled: it has no result");
  }
  if (!has_ended(run.record)) {
    return err(id, kInvalidParams,
               "MCP task " + handle + " runs in another server: ask tasks/get until it ends");
  }
  Json result = run.record.result;
  result["_meta"][kRelatedTaskMeta] = Json{{"taskId", handle}};
  return ok(id, result, run.record.revision);
}

std::string BackgroundRuns::cancel_reply(const Json& id, const Run& run) const {
  if (run.record.status == McpTaskStatus::Cancelled) {
    return ok(id, task_json(run), run.record.revision);
  }
  const std::string state = has_ended(run.record)
                                ? "is already " + std::string(status_name(run.record.status))
                                : "runs in another server";
  return err(id, kInvalidParams, "cannot cancel MCP task " + run.record.handle + ": it " + state);
}

std::string BackgroundRuns::list_reply(const Json& id, const Json& params, Revision revision) {
  std::uint64_t after = 0;
  if (const Json* cursor = member(params, "cursor"); cursor != nullptr && !cursor->is_null()) {
    const std::string* text =
        cursor->is_string() ? &cursor->get_ref<const std::string&>() : nullptr;
    if (text == nullptr || text->empty() || text->size() > 19 ||
        text->find_first_not_of("0123456789") != std::string::npos) {
      return err(id, kInvalidParams, "invalid params: unknown cursor");
    }
    after = std::stoull(*text);
  }
  forget_old_runs();
  Json tasks = Json::array();
  Json result = Json::object();
  for (const Run& run : runs_) {
    if (run.sequence <= after || run.record.revision != revision) continue;
    if (tasks.size() == kListPage) {
      result["nextCursor"] = std::to_string(after);
      break;
    }
    tasks.push_back(task_json(run));
    after = run.sequence;
  }
  result["tasks"] = std::move(tasks);
  return ok(id, result, revision);
}

std::vector<std::string> BackgroundRuns::owed_lines(Run& run) {
  std::vector<std::string> lines;
  if (traits(run.record.revision).task_augmentation) {
    lines.push_back(write_json(Json{
        {"jsonrpc", "2.0"}, {"method", "notifications/tasks/status"}, {"params", task_json(run)}}));
  }
  for (const Json& id : std::exchange(run.result_waiters, {})) {
    lines.push_back(result_reply(id, run));
  }
  for (const Json& id : std::exchange(run.cancel_waiters, {})) {
    lines.push_back(cancel_reply(id, run));
  }
  return lines;
}

void BackgroundRuns::forget_old_runs() {
  std::size_t ended = 0;
  for (const Run& run : runs_) ended += has_ended(run.record) ? 1 : 0;
  for (auto run = runs_.begin(); run != runs_.end();) {
    const bool expired = has_expired(run->record);
    if (expired) records_.remove(run->record.handle);
    if (expired || (has_ended(run->record) && ended > kRunsInMemory)) {
      ended -= 1;
      run = runs_.erase(run);
    } else {
      ++run;
    }
  }
}

}  // namespace quarry
