#include "server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace quarry {
namespace {

using testing::error_line;
using testing::tool_error_line;
using testing::tool_line;

// Stands in for the task registry: records every call and answers with canned outcomes, so
// the replies depend on nothing but the handlers.
class FakeTasks final : public TaskOperations {
 public:
  std::vector<std::string> calls;
  std::optional<std::string> warning;
  std::optional<IoError> start_error;
  std::optional<MutationMeasurement> measurement;
  std::set<std::string> open_tasks = {"task-open"};
  ProposeOutcome outcome{3, "ab12", false, "verifier said \"no\"\n"};
  std::vector<AttemptRecord> records;
  std::optional<IoError> finish_error;

  std::string new_task_id() override {
    calls.push_back("new_task_id");
    return "task-fake-" + std::to_string(ids_++);
  }
  std::optional<std::string> check_verifier_strength(const std::string& verify_cmd,
                                                     const RunHooks&) override {
    calls.push_back("check " + verify_cmd);
    return warning;
  }
  Result<StartedTask> start(std::string task_id, TaskStartParams params, const RunHooks&) override {
    std::string call = "start " + task_id + " " + params.goal + " " + params.verify_cmd + " [";
    for (const std::string& file : params.files) call += file + ";";
    call += "] " + std::to_string(params.max_attempts);
    if (params.min_mutation_score) call += " " + format_double(*params.min_mutation_score);
    calls.push_back(call);
    if (start_error) return *start_error;
    open_tasks.insert(task_id);
    return StartedTask{task_id, params.min_mutation_score,
                       params.min_mutation_score ? measurement : std::nullopt};
  }
  std::optional<ProposeOutcome> propose(const std::string& task_id, std::vector<FileEdit> edits,
                                        const RunHooks&) override {
    std::string call = "propose " + task_id;
    for (const FileEdit& edit : edits) call += " " + edit.path + "=" + edit.content;
    calls.push_back(call);
    if (!open_tasks.contains(task_id)) return std::nullopt;
    return outcome;
  }
  std::optional<std::vector<AttemptRecord>> history(const std::string& task_id) override {
    calls.push_back("history " + task_id);
    if (!open_tasks.contains(task_id)) return std::nullopt;
    return records;
  }
  std::optional<Status> finish(const std::string& task_id, bool commit) override {
    calls.push_back("finish " + task_id + (commit ? " commit" : " restore"));
    if (!open_tasks.contains(task_id)) return std::nullopt;
    if (finish_error) return Status(*finish_error);
    open_tasks.erase(task_id);
    return Status();
  }

 private:
  int ids_ = 0;
};

constexpr const char* kNoReply = "<no reply>";

std::string reply_to(TaskOperations& tasks, std::string_view line) {
  std::optional<std::string> reply = serve_line(tasks, RequestContext{}, line, 0);
  return reply ? *reply : kNoReply;
}

struct Exchange {
  std::string request;
  std::string reply;
};

void expect_replies(TaskOperations& tasks, const std::vector<Exchange>& rows) {
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request);
    EXPECT_EQ(reply_to(tasks, row.request), row.reply);
  }
}

// Direct requests carry id 1, tools/call requests id 2.
std::string direct(const std::string& method, const std::string& params) {
  return R"({"jsonrpc":"2.0","id":1,"method":")" + method + R"(","params":)" + params + "}";
}

std::string tool(const std::string& name, const std::string& arguments) {
  return R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":")" + name +
         R"(","arguments":)" + arguments + "}}";
}

// ---- the loop's own methods and dispatch ----

TEST(ServeLine, LoopMethodsAndUnknownMethods) {
  FakeTasks tasks;
  const auto unknown = [](const std::string& method) {
    return error_line(7, -32601, "unknown method: " + method);
  };
  expect_replies(
      tasks,
      {
          // initialize ignores its params, whatever their type.
          {R"({"id":1,"method":"initialize","params":[1,2,3]})", testing::initialize_reply("1")},
          {R"({"id":1,"method":"initialize","params":{"protocolVersion":"2099"}})",
           testing::initialize_reply("1")},
          // The jsonrpc member is never checked.
          {R"({"jsonrpc":"1.0","id":4,"method":"ping"})", testing::pong_line("4")},
          {R"({"id":7})", unknown("")},
          {R"({"id":7,"method":["ping"]})", unknown("")},
          // Compared whole and case-sensitively, without trimming.
          {R"({"id":7,"method":"Initialize"})", unknown("Initialize")},
          {R"({"id":7,"method":" ping"})", unknown(" ping")},
          {R"({"id":7,"method":"a\"b\n日"})", unknown("a\"b\n日")},
      });
  EXPECT_TRUE(tasks.calls.empty());
}

// ---- handler reply forms ----

constexpr const char* kStart = R"({"goal":"g","verify_cmd":"pytest -q"})";

// One request against a fake set up with the row's failures and measurement. The fake is
// shared, so the task ids show which rows took one.
struct HandlerRow {
  std::string request;
  std::string reply;
  std::optional<IoError> start_error = std::nullopt;
  std::optional<IoError> finish_error = std::nullopt;
  std::optional<MutationMeasurement> measurement = std::nullopt;
};

TEST(Handlers, DecodingAndFailureForms) {
  const IoError invalid{ErrorKind::InvalidInput, "bad input"};
  const IoError denied{ErrorKind::PermissionDenied, "Permission denied (os error 13)"};
  const MutationMeasurement measured{"bitegauge", 0.9};
  const auto started = [](const std::string& members) {
    return R"({"id":1,"jsonrpc":"2.0","result":{)" + members + R"(,"verifier_warning":"w"}})";
  };
  const std::vector<HandlerRow> rows = {
      // Direct methods: params that fail to decode are invalid params.
      {direct("task_start", "null"),
       error_line(1, -32602,
                  "invalid params: invalid type: null, expected struct TaskStartParams")},
      {R"({"id":1,"method":"task_start"})",
       error_line(1, -32602,
                  "invalid params: invalid type: null, expected struct TaskStartParams")},
      {direct("task_start", R"({"goal":"g"})"),
       error_line(1, -32602, "invalid params: missing field `verify_cmd`")},
      {direct("task_finish", R"({"task_id":"task-open","commit":"no"})"),
       error_line(1, -32602, "invalid params: invalid type: string \"no\", expected a boolean")},
      {direct("tools/call", R"({"name":7})"),
       error_line(1, -32602, "invalid params: invalid type: integer `7`, expected a string")},
      // Tools: arguments that fail to decode are a tool error; absent or null is an empty object.
      {R"({"id":2,"method":"tools/call","params":{"name":"task_history"}})",
       tool_error_line(2, "invalid arguments: missing field `task_id`")},
      {tool("task_start", "null"), tool_error_line(2, "invalid arguments: missing field `goal`")},
      {tool("task_propose", R"({"task_id":"task-open","edits":[{"path":"a"}]})"),
       tool_error_line(2, "invalid arguments: missing field `content`")},
      {tool("task_history", R"("task-open")"),
       tool_error_line(2,
                       "invalid arguments: invalid type: string \"task-open\", expected struct "
                       "TaskHistoryParams")},
      // An unknown tool is invalid params, not a tool error.
      {tool("Task_start", kStart), error_line(2, -32602, "unknown tool: Task_start")},
      {R"({"id":2,"method":"tools/call","params":["task_stop",{}]})",
       error_line(2, -32602, "unknown tool: task_stop")},
      // No start above took an id; the warning is only in the direct form.
      {direct("task_start", kStart), started(R"("task_id":"task-fake-0")")},
      {tool("task_start", kStart), tool_line(2, {{"task_id", "task-fake-1"}})},
      {direct("task_history", R"({"task_id":"task-gone"})"),
       error_line(1, -32001, "unknown task_id: task-gone")},
      {tool("task_finish", R"({"task_id":"task-gone"})"),
       tool_error_line(2, "unknown task_id: task-gone")},
      // A failed start: InvalidInput is invalid params, any other kind -32000. Each used an id.
      {direct("task_start", kStart), error_line(1, -32602, "task_start failed: bad input"),
       invalid},
      {direct("task_start", kStart),
       error_line(1, -32000, "task_start failed: Permission denied (os error 13)"), denied},
      {tool("task_start", kStart), tool_error_line(2, "task_start failed: bad input"), invalid},
      {direct("task_finish", R"({"task_id":"task-open"})"),
       error_line(1, -32002,
                  "finish failed, task retained for retry: Permission denied (os error 13)"),
       std::nullopt, denied},
      // mutation_gate: absent without a minimum, even with a measurement at hand; skipped
      // without a measurement; measured otherwise.
      {direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":null})"),
       started(R"("task_id":"task-fake-5")"), std::nullopt, std::nullopt, measured},
      {direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":0})"),
       started(R"("mutation_gate":{"status":"skipped","threshold":0.0},"task_id":"task-fake-6")")},
      {direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":1})"),
       started(R"("mutation_gate":{"score":0.9,"status":"measured","threshold":1.0,)"
               R"("tool":"bitegauge"},"task_id":"task-fake-7")"),
       std::nullopt, std::nullopt, measured},
  };
  FakeTasks tasks;
  tasks.warning = "w";
  for (const HandlerRow& row : rows) {
    SCOPED_TRACE(row.request);
    tasks.start_error = row.start_error;
    tasks.finish_error = row.finish_error;
    tasks.measurement = row.measurement;
    EXPECT_EQ(reply_to(tasks, row.request), row.reply);
  }
}

TEST(Handlers, DecodedArgumentsReachTheTasksInOrder) {
  FakeTasks tasks;
  tasks.open_tasks = {"task-open", "t2"};
  tasks.records = {{1, "f1", false, "fail"}, {2, "", true, ""}};
  expect_replies(
      tasks,
      {
          {direct("task_start",
                  R"({"goal":"g","verify_cmd":"v","files":["b","a"],"max_attempts":2})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"task_id":"task-fake-0"}})"},
          {tool("task_start", R"({"goal":"g3","verify_cmd":"v3","min_mutation_score":0.75})"),
           tool_line(2, {{"mutation_gate", {{"status", "skipped"}, {"threshold", 0.75}}},
                         {"task_id", "task-fake-1"}})},
          // The outcome's text is escaped a second time inside the tool result.
          {tool("task_propose", R"({"task_id":"task-open","edits":[{"path":"b","content":"2"},)"
                                R"({"path":"a","content":"1"},{"path":"b","content":""}]})"),
           tool_line(2, {{"attempt", 3},
                         {"fingerprint", "ab12"},
                         {"output", "verifier said \"no\"\n"},
                         {"passed", false}})},
          {direct("task_history", R"({"task_id":"task-open"})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"attempts":[{"attempt":1,"fingerprint":"f1",)"
           R"("output":"fail","passed":false},{"attempt":2,"fingerprint":"","output":"",)"
           R"("passed":true}]}})"},
          {direct("task_finish", R"({"task_id":"task-open","commit":false})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"committed":false}})"},
          {tool("task_finish", R"({"task_id":"t2"})"), tool_line(2, {{"committed", true}})},
      });
  EXPECT_EQ(tasks.calls, (std::vector<std::string>{
                             "new_task_id",
                             "check v",
                             "start task-fake-0 g v [b;a;] 2",
                             // The tool form runs no strength check.
                             "new_task_id",
                             "start task-fake-1 g3 v3 [] 4 0.75",
                             "propose task-open b=2 a=1 b=",
                             "history task-open",
                             "finish task-open restore",
                             "finish t2 commit",
                         }));
}

// ---- reading lines ----

// Feeds `input` through a pipe from another thread, as a client writing in `chunk`-byte pieces.
std::vector<std::string> lines_read(const std::string& input, std::size_t chunk) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::thread writer([&input, chunk, fd = fds[1]] {
    for (std::size_t at = 0; at < input.size(); at += chunk) {
      const std::size_t size = std::min(chunk, input.size() - at);
      std::size_t done = 0;
      while (done < size) {
        const ssize_t wrote = ::write(fd, input.data() + at + done, size - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
      }
    }
    ::close(fd);
  });
  std::vector<std::string> lines;
  {
    LineReader reader(fds[0]);
    while (std::optional<std::string_view> line = reader.next_line()) lines.emplace_back(*line);
  }
  writer.join();
  ::close(fds[0]);
  return lines;
}

TEST(LineReader, SplitsAtNewlinesAndDropsTheCarriageReturnBeforeThem) {
  struct Row {
    std::string input;
    std::vector<std::string> lines;
  };
  const std::vector<Row> rows = {
      {"", {}},
      {"\n\n", {"", ""}},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},
      // The last line may lack its newline.
      {"a\nlast", {"a", "last"}},
      // Only a carriage return right before the newline belongs to the line end.
      {"a\rb\n\r\r\n", {"a\rb", "\r"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    // One-byte writes split every "\r\n" across two reads.
    for (std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
      EXPECT_EQ(lines_read(row.input, chunk), row.lines);
    }
  }
}

// A buffer compacted or grown wrongly loses or repeats bytes where a line straddles two reads.
TEST(LineReader, ReadsManySmallLinesAcrossReadBoundaries) {
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 100000; ++i) {
    expected.push_back("line " + std::to_string(i));
    input += expected.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  for (std::size_t chunk : {std::size_t{7}, std::size_t{1} << 20}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(lines_read(input, chunk), expected);
  }
}

TEST(LineReader, HasNoLineLengthLimit) {
  const std::string big(std::size_t{10} << 20, 'x');
  // EXPECT_TRUE: a failure must not print ten megabytes.
  EXPECT_TRUE(lines_read("a\n" + big + "\r\nb", 1 << 16) ==
              (std::vector<std::string>{"a", big, "b"}));
}

// A read error taken for "no data yet" would spin forever.
TEST(LineReader, ReadErrorEndsTheInput) {
  testing::TempDir dir;
  // Reading a directory fails with EISDIR.
  const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  LineReader reader(fd);
  EXPECT_FALSE(reader.next_line().has_value());
  EXPECT_FALSE(reader.next_line().has_value());
  ::close(fd);
}

}  // namespace
}  // namespace quarry
