#include "catalogue.h"

#include <gtest/gtest.h>

#include <string>

namespace quarry {
namespace {

// The catalogue's "result" member as clients receive it.
const std::string kCatalogue =
    R"({"tools":[{"description":"Start a verifier-gated agent task. Snapshots the listed )"
    R"(files and returns a task_id.","inputSchema":{"properties":{"files":{"description":"File )"
    R"(paths the task may modify.","items":{"type":"string"},"type":"array"},)"
    R"("goal":{"description":"What the task should achieve.","type":"string"},)"
    R"("max_attempts":{"default":4,"description":"Maximum distinct proposals before the )"
    R"(task refuses more.","type":"integer"},"verify_cmd":{"description":"Shell command )"
    R"(run to verify each proposal; exit 0 means pass.","type":"string"}},)"
    R"("required":["goal","verify_cmd"],"type":"object"},"name":"task_start"},)"
    R"({"description":"Propose an edit-set for a task. The edits are applied transactionally )"
    R"(and the verifier runs; failures roll back byte-for-byte.","inputSchema":{"properties":)"
    R"({"edits":{"description":"Edits to apply atomically.","items":{"properties":{"content":)"
    R"({"type":"string"},"path":{"type":"string"}},"required":["path",)"
    R"("content"],"type":"object"},"type":"array"},"task_id":{"description":"Task ID )"
    R"(from task_start.","type":"string"}},"required":["task_id","edits"],)"
    R"("type":"object"},"name":"task_propose"},{"description":"Return all recorded attempts )"
    R"(for a task in order.","inputSchema":{"properties":{"task_id":{"description":"Task )"
    R"(ID from task_start.","type":"string"}},"required":["task_id"],)"
    R"("type":"object"},"name":"task_history"},{"description":"Finish a task. commit=true )"
    R"(keeps the last passing edits; commit=false restores the pre-task snapshot.",)"
    R"("inputSchema":{"properties":{"commit":{"default":true,"description":"Keep edits )"
    R"((true) or restore snapshot (false).","type":"boolean"},"task_id":{"description":"Task )"
    R"(ID from task_start.","type":"string"}},"required":["task_id"],)"
    R"("type":"object"},"name":"task_finish"}]})";

// The text is written once and cached: a cache moved from or cut would change the second reply.
TEST(Catalogue, ToolsListReplyIsFixedByteForByte) {
  const std::string reply = R"({"id":7,"jsonrpc":"2.0","result":)" + kCatalogue + "}";
  EXPECT_EQ(handle_tools_list(Json(7)), reply);
  EXPECT_EQ(handle_tools_list(Json(7)), reply);
}

}  // namespace
}  // namespace quarry
