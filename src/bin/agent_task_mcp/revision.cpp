#include "revision.h"

#include <array>
#include <optional>
#include <string>
#include <utility>

namespace quarry {
namespace {

constexpr std::array<RevisionTraits, kRevisionCount> kRevisions = {{
    // name  annotations titles structured batches invalid_requests instructions stateless sandbox
    // task_augmentation task_extension verdicts
    {"2024-11-05", false, false, false, false, false, false, false, false, false, false, false},
    {"2025-03-26", true, false, false, true, true, true, false, false, false, false, false},
    {"2025-06-18", true, true, true, false, true, true, false, true, false, false, true},
    {"2025-11-25", true, true, true, false, true, true, false, true, true, false, true},
    {"2026-07-28", true, true, true, false, true, true, true, true, false, true, true},
}};

constexpr const char* kServerInfoMeta = "io.modelcontextprotocol/serverInfo";

// Sent to every model that connects, so it says only what the tool descriptions do not.
constexpr const char* kInstructions =
    "Make every file change through a task, so that a verifier judges it and a failure is "
    "undone byte for byte.\n"
    "- task_start: declare in files every file the change may touch, new ones included, and a "
    "verify_cmd that fails while the goal is unmet.\n"
    "- task_propose: send all the edits of one change together; a set the verifier rejects is "
    "rolled back, and the same set again is refused.\n"
    "- After a rejection, read task_history for the verifier's output before proposing again.\n"
    "- End with task_finish: commit=true keeps the files, commit=false restores them.";

std::optional<std::string>& fixed_verifier() {
  static std::optional<std::string> verifier;
  return verifier;
}

// The instructions of the revisions whose results carry the whole verdict.
std::string verdict_instructions() {
  const std::optional<std::string>& fixed = fixed_verifier();
  std::string text =
      "Make every file change through a task, so that a verifier judges it and a failure is "
      "undone byte for byte.\n"
      "- task_start: declare in files every file the change may touch, new ones included";
  text += fixed ? ". The verifier is fixed by the server: every proposal is verified with `" +
                      *fixed + "`, so leave verify_cmd out.\n"
                : ", and a verify_cmd that fails while the goal is unmet.\n";
  text +=
      "- task_propose: send all the edits of one change together; a set the verifier rejects is "
      "rolled back, and the same set again is refused. Its result is the verdict: the verifier's "
      "output (the head and tail of each stream, and the path of the whole log), the failures "
      "and counts recognised in it, whether the verifier ran (verified) and attempts_left. Act "
      "on it; task_history is for looking back.\n"
      "- End with task_finish, also once the attempt limit is reached: commit=true keeps the "
      "files, commit=false restores them.";
  return text;
}

const std::string& instructions(Revision revision) {
  static const std::string verdicts = verdict_instructions();
  static const std::string older = kInstructions;
  return traits(revision).verdicts ? verdicts : older;
}

Json server_info() {
  return Json{{"name", "quarry-agent-task"}, {"version", "0.5.0"}};
}

// The capabilities a revision's handshake result lists: the tools, and the MCP tasks of the
// revision's design.
Json capabilities(const RevisionTraits& shape) {
  Json listed = {{"tools", Json::object()}};
  if (shape.task_augmentation) {
    listed["tasks"] = Json{{"cancel", Json::object()},
                           {"list", Json::object()},
                           {"requests", {{"tools", {{"call", Json::object()}}}}}};
  }
  if (shape.task_extension) listed["extensions"] = Json{{kTaskExtension, Json::object()}};
  return listed;
}

// A version in the protocol's form, YYYY-MM-DD.
bool is_date(std::string_view text) {
  if (text.size() != 10) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 4 || i == 7;
    if (dash ? text[i] != '-' : (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

Json build_initialize_result(Revision revision) {
  const RevisionTraits& wanted = traits(revision);
  Json result = {{"capabilities", capabilities(wanted)},
                 {"protocolVersion", wanted.name},
                 {"serverInfo", server_info()}};
  if (wanted.instructions) result["instructions"] = instructions(revision);
  return result;
}

}  // namespace

void name_fixed_verifier(std::string verifier) {
  fixed_verifier() = std::move(verifier);
}

const RevisionTraits& traits(Revision revision) {
  return kRevisions[static_cast<std::size_t>(revision)];
}

Revision negotiate(const Json& version) {
  Revision chosen = Revision::V2024_11_05;
  if (!version.is_string()) return chosen;
  const std::string& asked = version.get_ref<const std::string&>();
  if (!is_date(asked)) return chosen;
  // Dates in this form compare as text; the table is oldest first.
  for (std::size_t i = 0; i < kRevisionCount; ++i) {
    if (kRevisions[i].name <= asked && !kRevisions[i].stateless) chosen = static_cast<Revision>(i);
  }
  return chosen;
}

std::optional<Revision> stateless_revision(const Json& version) {
  if (version.is_string() &&
      version.get_ref<const std::string&>() == traits(Revision::V2026_07_28).name) {
    return Revision::V2026_07_28;
  }
  return std::nullopt;
}

const Json& initialize_result(Revision revision) {
  static const auto results = for_every_revision(build_initialize_result);
  return results[static_cast<std::size_t>(revision)];
}

const std::string& discover_result_text() {
  static const std::string text = [] {
    Json result = {{"cacheScope", "public"},
                   {"capabilities", capabilities(traits(Revision::V2026_07_28))},
                   {"instructions", instructions(Revision::V2026_07_28)},
                   {"supportedVersions", Json::array({traits(Revision::V2026_07_28).name})},
                   {"ttlMs", kCacheTtlMs}};
    add_stateless_members(result);
    return write_json(result);
  }();
  return text;
}

Json unsupported_version_data(std::string_view requested) {
  return Json{{"requested", requested},
              {"supported", Json::array({traits(Revision::V2026_07_28).name})}};
}

void add_stateless_members(Json& result) {
  result["_meta"] = Json{{kServerInfoMeta, server_info()}};
  result["resultType"] = "complete";
}

const std::string& stateless_meta_member() {
  static const std::string text = "\"_meta\":" + write_json(Json{{kServerInfoMeta, server_info()}});
  return text;
}

}  // namespace quarry
