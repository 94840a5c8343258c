// MCP tasks kept on disk, one small file per handle in the project's state directory
// (STATE/mcp-tasks/HANDLE, mode 0600, each written whole under another name and then renamed),
// so that a client holding a handle learns its run's outcome from the next server after a
// restart. Where the confinement is unavailable those files are input the verifier may have
// written: each is read bounded in size and checked, and one that fails is as good as none.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "journal.h"
#include "json_text.h"
#include "revision.h"

namespace quarry {

enum class McpTaskStatus { Working, Completed, Failed, Cancelled };

// The protocol's name of a status ("working", ...).
std::string_view status_name(McpTaskStatus status);

// One MCP task: the run of one tools/call answered with a handle.
struct McpTaskRecord {
  std::string handle;  // 128 random bits, as 32 lower-case hexadecimal digits
  Revision revision = Revision::V2025_11_25;  // whose design the task follows
  std::string tool;                           // "task_propose" or "task_start"
  std::string task_id;                        // the proposal's task; empty for a start
  std::uint64_t attempt = 0;                  // the proposal's attempt number; 0 for a start
  std::string what;                           // what runs: "verifier" or "mutation tool"
  std::int64_t created_ms = 0;                // milliseconds since the epoch
  std::int64_t updated_ms = 0;
  std::int64_t ttl_ms = 0;
  McpTaskStatus status = McpTaskStatus::Working;
  Json result;  // the tools/call result once completed or failed; null before
};

// How long a task may be kept: a client's request is held within these bounds.
inline constexpr std::int64_t kShortestTtlMs = 60'000;
inline constexpr std::int64_t kLongestTtlMs = 86'400'000;
// The largest record read back: a result holds at most a few verifier outputs.
inline constexpr std::size_t kLargestRecord = std::size_t{1} << 20;

// Whether `text` has the form of a handle; no other text is ever used as a file name.
bool is_handle(std::string_view text);

// The record as its file holds it, and back: nothing for bytes that do not parse or do not
// check (another handle, an unknown status, a result that is no tool result, ...).
std::string record_text(const McpTaskRecord& record);
std::optional<McpTaskRecord> parse_record(std::string_view bytes, std::string_view handle);

class McpTaskRecords {
 public:
  // Records kept in `state`'s directory; nullptr: none are kept.
  explicit McpTaskRecords(JournalDirectory* state) : state_(state) {}

  // Writes the record over any earlier one of its handle, whole or not at all. A working
  // record stays locked until it is written again: a server reading it then knows its run goes
  // on elsewhere. A record that cannot be written is kept only in memory.
  void keep(const McpTaskRecord& record);

  struct Found {
    McpTaskRecord record;
    bool running_elsewhere = false;  // working, and the server running it is alive
  };
  std::optional<Found> find(const std::string& handle);
  void remove(const std::string& handle);
  // Removes the records not written for `age` whose server is gone.
  void sweep(std::chrono::milliseconds age);

 private:
  // The records' directory, made when `create` asks for it and it is missing.
  Fd directory(bool create);

  JournalDirectory* state_;
  std::map<std::string, Fd> held_;  // the working records this server keeps locked
};

}  // namespace quarry
