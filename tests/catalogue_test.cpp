#include "catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server.h"

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

std::string reply_for(const std::string& id) {
  return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":)" + kCatalogue + "}";
}

TEST(Catalogue, ToolsListReplyIsFixedByteForByte) {
  for (const char* id : {"7", R"("a")", "null", R"({"a":[1]})"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(handle_tools_list(Json::parse(id)), reply_for(id));
  }
  // Built again for a later request, it has not changed.
  EXPECT_EQ(handle_tools_list(Json(7)), reply_for("7"));
}

// Counts the task operations called; tools/list must call none.
class CountingTasks final : public TaskOperations {
 public:
  int calls = 0;

  std::string new_task_id() override {
    ++calls;
    return "task-0-0";
  }
  std::optional<std::string> check_verifier_strength(const std::string&, const RunHooks&) override {
    ++calls;
    return std::nullopt;
  }
  Result<StartedTask> start(std::string, TaskStartParams, const RunHooks&) override {
    ++calls;
    return IoError{ErrorKind::Other, "unexpected"};
  }
  std::optional<ProposeOutcome> propose(const std::string&, std::vector<FileEdit>,
                                        const RunHooks&) override {
    ++calls;
    return std::nullopt;
  }
  std::optional<std::vector<AttemptRecord>> history(const std::string&) override {
    ++calls;
    return std::nullopt;
  }
  std::optional<Status> finish(const std::string&, bool) override {
    ++calls;
    return std::nullopt;
  }
};

TEST(Catalogue, ParamsOfToolsListAreIgnored) {
  CountingTasks tasks;
  for (const char* params :
       {"", R"(,"params":null)", R"(,"params":{})", R"(,"params":[1,2])", R"(,"params":"x")",
        R"(,"params":{"cursor":"next","name":"task_start"})"}) {
    SCOPED_TRACE(params);
    const std::string line =
        std::string(R"({"jsonrpc":"2.0","id":3,"method":"tools/list")") + params + "}";
    EXPECT_EQ(serve_line(tasks, RequestContext{}, line, 0), reply_for("3"));
  }
  EXPECT_EQ(tasks.calls, 0);
}

}  // namespace
}  // namespace quarry
