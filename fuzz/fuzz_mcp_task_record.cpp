// The reader of MCP task records on arbitrary bytes: a record in the state directory is input
// the verifier may have written where the confinement is unavailable. A record it takes holds
// only what this server writes, and reads back the same once written again.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "check.h"
#include "mcp_task_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kHandle = "0123456789abcdef0123456789abcdef";
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<quarry::McpTaskRecord> record = quarry::parse_record(bytes, kHandle);
  if (!record) return 0;
  FUZZ_CHECK(record->handle == kHandle);
  FUZZ_CHECK(record->ttl_ms >= quarry::kShortestTtlMs && record->ttl_ms <= quarry::kLongestTtlMs);
  const bool ended = record->status == quarry::McpTaskStatus::Completed ||
                     record->status == quarry::McpTaskStatus::Failed;
  FUZZ_CHECK(ended == record->result.is_object());
  const std::optional<quarry::McpTaskRecord> again =
      quarry::parse_record(quarry::record_text(*record), kHandle);
  FUZZ_CHECK(again && quarry::record_text(*again) == quarry::record_text(*record));
  return 0;
}
