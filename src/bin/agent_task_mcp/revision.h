// The protocol revisions the server speaks and everything that differs between them, in one
// table. The loop decides a request's revision once; the handshake results here, the catalogue,
// the envelope builders and task_start's `sandbox` member alone shape replies by it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json_text.h"

namespace quarry {

// Oldest first. A session starts at the first, which is what it gets until an initialize asks
// for another.
enum class Revision { V2024_11_05, V2025_03_26, V2025_06_18, V2025_11_25, V2026_07_28 };
inline constexpr std::size_t kRevisionCount = 5;

// What one revision asks of the replies.
struct RevisionTraits {
  std::string_view name;
  bool annotations;       // tool annotations (hints)
  bool titles;            // a title on each tool
  bool structured;        // outputSchema on tools, structuredContent on results
  bool batches;           // a JSON array of requests answered by one array
  bool invalid_requests;  // JSON that is no request object (nor a batch) is answered -32600
  bool instructions;      // instructions in the initialize result
  bool stateless;         // no handshake: resultType, serverInfo and cache fields on results
  bool sandbox;           // task_start's result says what confines the children ("sandbox")
  // MCP tasks of the core design: capabilities.tasks, taskSupport on the tools that may run
  // long, params.task, tasks/get, tasks/result, tasks/list, tasks/cancel.
  bool task_augmentation;
  // MCP tasks of the extension io.modelcontextprotocol/tasks: listed by server/discover, asked
  // for in a request's client capabilities; tasks/get, tasks/cancel, tasks/update.
  bool task_extension;
  // Verdicts an agent can act on: a verifier output cut head and tail with its log, the failures,
  // counts and loop state in results, history outputs cut short, the texts that say so.
  bool verdicts;
};

const RevisionTraits& traits(Revision revision);

// `make(revision)` for every revision, indexed by revision: the tables made once per process.
template <typename Make>
auto for_every_revision(Make&& make) {
  std::array<decltype(make(Revision{})), kRevisionCount> made;
  for (std::size_t i = 0; i < kRevisionCount; ++i) made[i] = make(static_cast<Revision>(i));
  return made;
}

// The revision an initialize asking for `version` negotiates: the newest handshake-era revision
// not newer than that date (the asked one where it is spoken, the newest for a later or a
// stateless-era version), else the oldest: for an earlier version, a missing one or no date.
Revision negotiate(const Json& version);

// The member of a request's params._meta that names its revision in the stateless era.
inline constexpr const char* kProtocolVersionMeta = "io.modelcontextprotocol/protocolVersion";
// The member of a request's params._meta that holds its client's capabilities in that era, and
// the name of the MCP task extension among their "extensions".
inline constexpr const char* kClientCapabilitiesMeta = "io.modelcontextprotocol/clientCapabilities";
inline constexpr const char* kTaskExtension = "io.modelcontextprotocol/tasks";
// The revision a stateless-era request's metadata names, when this server speaks it.
std::optional<Revision> stateless_revision(const Json& version);

// The verifier the operator fixed for every task, which the instructions of the revisions with
// verdicts name. Set once at start-up, before any result is built.
void name_fixed_verifier(std::string verifier);

// The results of the handshake: initialize under the revision it negotiated, and
// server/discover, the same whatever the request's metadata.
const Json& initialize_result(Revision revision);
const std::string& discover_result_text();
// Data of the refusal of a stateless-era version this server does not speak.
Json unsupported_version_data(std::string_view requested);

// How long a client may keep a stateless-era tools/list or server/discover result.
inline constexpr int kCacheTtlMs = 3600000;

// Members every result of a stateless-era revision carries ("_meta" and "resultType"), merged
// into `result`, an object.
void add_stateless_members(Json& result);
// The "_meta" member alone as JSON text, for results written as text: its name sorts before
// every other member's.
const std::string& stateless_meta_member();

}  // namespace quarry
