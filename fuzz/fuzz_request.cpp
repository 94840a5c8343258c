// Request lines through the server: parsing, dispatch, argument decoding and reply building,
// over task operations with canned outcomes that touch no file and start no process. The first
// input byte picks the outcomes; the rest is the input stream, one request per line.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agentic.h"
#include "check.h"
#include "envelopes.h"
#include "handlers.h"
#include "json_text.h"
#include "mutation_gate.h"
#include "server.h"
#include "text.h"
#include "verifier_strength.h"

namespace {

using quarry::Json;

constexpr std::size_t kPadding = quarry::LineReader::kLinePadding;

// Bits of the first input byte.
enum Choice : std::uint8_t {
  kStartOutcome = 0x03,  // 0 started, 1 invalid input, 2 refused, 3 started and measured
  kWarn = 0x04,          // the strength check warns
  kEveryTaskKnown = 0x08,
  kFinishFails = 0x10,
  kProposalsPass = 0x20,
  kTick = 0x40,        // operations report progress while they "run"
  kOddTaskIds = 0x80,  // task ids that need escaping in JSON
};

class CannedTasks final : public quarry::TaskOperations {
 public:
  explicit CannedTasks(std::uint8_t choice) : choice_(choice) {}

  std::string new_task_id() override {
    const std::string sequence = std::to_string(next_id_++);
    return (choice_ & kOddTaskIds) ? "task-\"\\\t\xC3\xA9\xE2\x80\xA8-" + sequence
                                   : "task-0-" + sequence;
  }

  std::optional<std::string> check_verifier_strength(const std::string& verify_cmd,
                                                     const quarry::RunHooks& hooks) override {
    tick(hooks);
    // The readers of mutation-tool reports get arbitrary text here: a score they find is
    // finite, and outside 0..100 % only from a ratio on a line that mentions "killed".
    const bool killed = quarry::lowercase(verify_cmd).find("killed") != std::string::npos;
    if (const std::optional<double> score = quarry::parse_score(verify_cmd)) {
      FUZZ_CHECK(std::isfinite(*score) && (killed || (*score >= 0.0 && *score <= 100.0)));
    }
    if (const std::optional<double> score = quarry::parse_summary_score(verify_cmd)) {
      FUZZ_CHECK(std::isfinite(*score) && (killed || (*score >= 0.0 && *score <= 1.0)));
    }
    if (!(choice_ & kWarn)) return std::nullopt;
    return "Mutation score 42.5% is below 70% for " + verify_cmd;
  }

  quarry::Result<quarry::StartedTask> start(std::string task_id, quarry::TaskStartParams params,
                                            const quarry::RunHooks& hooks,
                                            quarry::OutputCut) override {
    tick(hooks);
    switch (choice_ & kStartOutcome) {
      case 1:
        return quarry::IoError{quarry::ErrorKind::InvalidInput,
                               "invalid minimum for " + params.goal};
      case 2:
        return quarry::IoError{quarry::ErrorKind::PermissionDenied,
                               "mutation gate rejected " + params.verify_cmd.value_or("")};
      default:
        break;
    }
    quarry::StartedTask started{task_id, params.min_mutation_score, std::nullopt};
    if ((choice_ & kStartOutcome) == 3 && params.min_mutation_score) {
      started.mutation_measurement =
          quarry::MutationMeasurement{"bitegauge", *params.min_mutation_score / 3};
    }
    histories_[std::move(task_id)];
    return started;
  }

  std::optional<quarry::Result<quarry::ProposeOutcome>> propose(const std::string& task_id,
                                                                std::vector<quarry::FileEdit> edits,
                                                                const quarry::RunHooks& hooks,
                                                                quarry::OutputCut cut) override {
    std::vector<quarry::AttemptRecord>* history = find(task_id);
    if (history == nullptr) return std::nullopt;
    tick(hooks);
    // The edits stand in for what a verifier printed: cut, logged and read as a run's output.
    quarry::StreamEndsKeeper printed;
    for (const quarry::FileEdit& edit : edits) printed.add(edit.content);
    const quarry::EditSet set{std::move(edits)};
    const std::string log = "/state/logs/" + task_id + "/1.log";
    quarry::ProposeOutcome outcome;
    static_cast<quarry::AttemptRecord&>(outcome) = {
        history->size() + 1,
        set.fingerprint(),
        (choice_ & kProposalsPass) != 0,
        quarry::cut_output(cut, printed.take(), {}, log),
        true,
        log};
    outcome.report = quarry::recognise_runner_output(outcome.output);
    history->push_back(outcome);
    return outcome;
  }

  std::optional<std::vector<quarry::AttemptRecord>> history(const std::string& task_id) override {
    const std::vector<quarry::AttemptRecord>* history = find(task_id);
    if (history == nullptr) return std::nullopt;
    return *history;
  }

  std::optional<quarry::Result<std::vector<std::string>>> finish(const std::string& task_id,
                                                                 bool commit) override {
    if (find(task_id) == nullptr) return std::nullopt;
    if (choice_ & kFinishFails) {
      return quarry::IoError{quarry::ErrorKind::PermissionDenied,
                             std::string(commit ? "keep " : "restore ") + task_id +
                                 ": Permission denied (os error 13)"};
    }
    histories_.erase(task_id);
    return std::vector<std::string>();
  }

 private:
  std::vector<quarry::AttemptRecord>* find(const std::string& task_id) {
    if (choice_ & kEveryTaskKnown) return &histories_[task_id];
    const auto found = histories_.find(task_id);
    return found == histories_.end() ? nullptr : &found->second;
  }

  void tick(const quarry::RunHooks& hooks) const {
    if (!(choice_ & kTick) || !hooks.on_tick) return;
    hooks.on_tick();
    hooks.on_tick();
  }

  std::uint8_t choice_;
  std::uint64_t next_id_ = 0;
  std::map<std::string, std::vector<quarry::AttemptRecord>> histories_;
};

// One line of compact JSON as our writer lays it out, read back with nlohmann.
Json read_line(const std::string& line) {
  FUZZ_CHECK(line.find('\n') == std::string::npos);
  Json value = Json::parse(line, nullptr, false);
  FUZZ_CHECK(!value.is_discarded() && quarry::write_json(value) == line);
  return value;
}

// A tool result as its revision shapes it: the stateless era adds "_meta" and "resultType", and a
// success's "structuredContent", where there is one, is the JSON of its text block.
void check_tool_content(const Json& result) {
  const auto content = result.find("content");
  if (content == result.end()) return;
  FUZZ_CHECK(content->is_array() && content->size() == 1);
  const Json& block = content->front();
  FUZZ_CHECK(block.is_object() && block.size() == 2 && block.value("type", "") == "text" &&
             block.contains("text") && block["text"].is_string());
  std::size_t members = 1;
  if (result.contains("resultType")) {
    FUZZ_CHECK(result["resultType"] == "complete" && result.contains("_meta"));
    members += 2;
  }
  const auto is_error = result.find("isError");
  if (is_error != result.end()) {
    FUZZ_CHECK(*is_error == true && result.size() == members + 1);
    return;
  }
  const Json value = read_line(block["text"].get<std::string>());
  if (result.contains("structuredContent")) {
    FUZZ_CHECK(result["structuredContent"] == value);
    ++members;
  }
  FUZZ_CHECK(result.size() == members);
}

void check_envelope(const Json& envelope) {
  FUZZ_CHECK(envelope.is_object() && envelope.value("jsonrpc", "") == "2.0" &&
             envelope.contains("id") && envelope.size() == 3);
  if (const auto error = envelope.find("error"); error != envelope.end()) {
    const bool has_data = (*error)["code"] == quarry::kUnsupportedProtocolVersion;
    FUZZ_CHECK(error->is_object() && error->size() == (has_data ? 3u : 2u) &&
               (*error)["code"].is_number_integer() && (*error)["message"].is_string());
    return;
  }
  FUZZ_CHECK(envelope.contains("result"));
  if (envelope["result"].is_object()) check_tool_content(envelope["result"]);
}

// The reply to one request, or its absence, against the request as nlohmann reads it (with its
// lone surrogate escapes replaced, where they alone make it refuse the line), under `session`.
void check_reply(std::string_view line, const std::optional<std::string>& reply,
                 quarry::Revision session) {
  const std::string_view text = quarry::trim_white_space(line);
  if (text.empty()) {
    FUZZ_CHECK(!reply);
    return;
  }
  // nlohmann takes a NUL byte for the end of its input; no JSON text holds one.
  Json request = text.find('\0') == std::string_view::npos ? Json::parse(text, nullptr, false)
                                                           : Json(Json::value_t::discarded);
  const std::optional<std::string> replaced =
      request.is_discarded() ? quarry::replace_lone_surrogates(text, "fffd") : std::nullopt;
  if (replaced) request = Json::parse(*replaced, nullptr, false);
  const bool lone = replaced && !request.is_discarded();
  std::optional<Json> parsed_reply;
  if (reply) {
    parsed_reply = read_line(*reply);
    const Json& envelope = *parsed_reply;
    // A batch's replies, in a session that accepts batches: one array, never empty.
    if (envelope.is_array()) {
      FUZZ_CHECK(request.is_array() && !envelope.empty());
      for (const Json& member : envelope) check_envelope(member);
      return;
    }
    check_envelope(envelope);
    // Only the depth limit refuses a line nlohmann alone accepts (the message of one with lone
    // surrogates too may name them, as the fault found first).
    if (envelope.contains("error") && envelope["error"]["code"] == quarry::kParseError) {
      FUZZ_CHECK(envelope["id"].is_null());
      FUZZ_CHECK(
          request.is_discarded() || lone ||
          envelope["error"]["message"].get<std::string>().starts_with("parse error: nesting"));
      return;
    }
    if (!request.is_object()) {
      FUZZ_CHECK(envelope["error"]["code"] == quarry::kInvalidRequest && envelope["id"].is_null());
      return;
    }
  }
  FUZZ_CHECK(!request.is_discarded());
  // A batch may be owed no reply; other JSON that is no request is refused where the revision
  // says so.
  if (!request.is_object()) {
    FUZZ_CHECK(!quarry::traits(session).invalid_requests ||
               (request.is_array() && quarry::traits(session).batches));
    return;
  }
  const bool has_id = request.is_object() && request.contains("id");
  const bool notification = has_id && request.contains("method") &&
                            (request["method"] == "notifications/initialized" ||
                             request["method"] == "notifications/cancelled");
  FUZZ_CHECK(reply.has_value() == (has_id && !notification));
  // An id holding a lone surrogate cannot be written back: the refusal names none.
  if (reply && (*parsed_reply)["id"] != request["id"]) {
    FUZZ_CHECK(lone && (*parsed_reply)["id"].is_null() &&
               (*parsed_reply)["error"]["code"] == quarry::kInvalidRequest);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  CannedTasks tasks(data[0]);
  std::vector<std::string> notifications;
  quarry::RequestContext context;
  quarry::Revision session = quarry::Revision::V2024_11_05;
  context.notify = [&notifications](const std::string& line) { notifications.push_back(line); };

  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t begin = 0;
  while (begin < stream.size()) {
    std::size_t end = stream.find('\n', begin);
    if (end == std::string_view::npos) end = stream.size();
    std::size_t length = end - begin;
    if (length > 0 && stream[begin + length - 1] == '\r') --length;
    const std::string_view raw = stream.substr(begin, length);
    // What a verifier prints is decoded lossily and cut on a character boundary.
    const std::string decoded = quarry::utf8_lossy(raw);
    FUZZ_CHECK(quarry::is_valid_utf8(decoded) && decoded.size() >= raw.size());
    FUZZ_CHECK(quarry::is_valid_utf8(quarry::truncate_utf8(decoded, data[0] % 32, "...")));
    // The loop ends at a line of invalid UTF-8, before serving it.
    if (!quarry::is_valid_utf8(raw)) break;

    // The line sits in its own allocation so that a read past the padding is caught; the
    // padding holds what follows it in the stream, as in the line reader's buffer.
    const auto buffer = std::make_unique<char[]>(length + kPadding);
    std::memset(buffer.get(), 0, length + kPadding);
    std::memcpy(buffer.get(), raw.data(), length);
    const std::string_view after = stream.substr(begin + length, kPadding);
    std::memcpy(buffer.get() + length, after.data(), after.size());
    const std::string_view line(buffer.get(), length);

    notifications.clear();
    const std::optional<std::string> reply =
        quarry::serve_line(tasks, context, session, line, kPadding);
    check_reply(line, reply, session);
    for (const std::string& notification : notifications) {
      FUZZ_CHECK(read_line(notification)["params"].contains("progressToken"));
    }
    begin = end + 1;
  }
  return 0;
}
