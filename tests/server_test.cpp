#include "server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace quarry {
namespace {

using testing::TempDir;

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

constexpr const char* kInitializeResult =
    R"({"capabilities":{"tools":{}},"protocolVersion":"2024-11-05",)"
    R"("serverInfo":{"name":"quarry-agent-task","version":"0.5.0"}})";

// ---- the loop's own methods and dispatch ----

TEST(ServeLine, InitializeAnswersTheSameResultWhateverItsParams) {
  FakeTasks tasks;
  const std::string reply =
      std::string(R"({"id":1,"jsonrpc":"2.0","result":)") + kInitializeResult + "}";
  for (const char* request : {
           R"({"jsonrpc":"2.0","id":1,"method":"initialize"})",
           R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":null})",
           R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
           R"("2099-01-01","capabilities":{"roots":{}},"clientInfo":{"name":"c","version":"9"}}})",
           R"({"id":1,"method":"initialize","params":[1,2,3]})",
           R"({"id":1,"method":"initialize","params":"x"})",
       }) {
    SCOPED_TRACE(request);
    EXPECT_EQ(reply_to(tasks, request), reply);
  }
  EXPECT_TRUE(tasks.calls.empty());
}

TEST(ServeLine, PingAndTheInitializedNotification) {
  FakeTasks tasks;
  expect_replies(
      tasks, {
                 {R"({"jsonrpc":"2.0","id":4,"method":"ping"})",
                  R"({"id":4,"jsonrpc":"2.0","result":{}})"},
                 {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", kNoReply},
                 // An id does not turn the notification into a request.
                 {R"({"jsonrpc":"2.0","id":5,"method":"notifications/initialized"})", kNoReply},
                 {R"({"jsonrpc":"2.0","id":null,"method":"notifications/initialized"})", kNoReply},
             });
}

TEST(ServeLine, UnknownMethodsAreMethodNotFound) {
  FakeTasks tasks;
  const auto unknown = [](const std::string& id, const std::string& method_text) {
    return R"({"error":{"code":-32601,"message":"unknown method: )" + method_text + R"("},"id":)" +
           id + R"(,"jsonrpc":"2.0"})";
  };
  expect_replies(
      tasks, {
                 {R"({"jsonrpc":"2.0","id":7,"method":"foo"})", unknown("7", "foo")},
                 {R"({"jsonrpc":"2.0","id":7})", unknown("7", "")},
                 {R"({"jsonrpc":"2.0","id":7,"method":null})", unknown("7", "")},
                 {R"({"jsonrpc":"2.0","id":7,"method":5})", unknown("7", "")},
                 {R"({"jsonrpc":"2.0","id":7,"method":["ping"]})", unknown("7", "")},
                 {R"({"jsonrpc":"2.0","id":7,"method":""})", unknown("7", "")},
                 // Compared whole and case-sensitively, without trimming.
                 {R"({"id":7,"method":"Initialize"})", unknown("7", "Initialize")},
                 {R"({"id":7,"method":"tools/List"})", unknown("7", "tools/List")},
                 {R"({"id":7,"method":" ping"})", unknown("7", " ping")},
                 {R"({"id":7,"method":"task_start\u0000"})", unknown("7", R"(task_start\u0000)")},
                 {R"({"id":7,"method":"a\"b\nc"})", unknown("7", R"(a\"b\nc)")},
                 {R"({"id":"x","method":"résumé/日本"})", unknown(R"("x")", "résumé/日本")},
             });
}

TEST(ServeLine, JsonrpcMemberIsNeverChecked) {
  FakeTasks tasks;
  expect_replies(tasks,
                 {
                     {R"({"id":1,"method":"ping"})", R"({"id":1,"jsonrpc":"2.0","result":{}})"},
                     {R"({"jsonrpc":"1.0","id":1,"method":"ping"})",
                      R"({"id":1,"jsonrpc":"2.0","result":{}})"},
                     {R"({"jsonrpc":2,"id":1,"method":"ping","extra":[1]})",
                      R"({"id":1,"jsonrpc":"2.0","result":{}})"},
                 });
}

TEST(ServeLine, RepliesEchoIdsOfEveryType) {
  FakeTasks tasks;
  struct Row {
    const char* id;
    const char* echoed;
  };
  const std::vector<Row> rows = {
      {R"("abc")", R"("abc")"},
      {R"("")", R"("")"},
      {R"("\u00e9\n\/")", "\"é\\n/\""},
      {"0", "0"},
      {"-12", "-12"},
      {"18446744073709551615", "18446744073709551615"},
      {"123456789012345678901234567890", "1.2345678901234568e+29"},
      {"2.5", "2.5"},
      {"1e2", "100.0"},
      {"null", "null"},
      {"true", "true"},
      {R"({"b":1,"a":[2,{"d":0,"c":1}]})", R"({"a":[2,{"c":1,"d":0}],"b":1})"},
      {R"([1,"two",null])", R"([1,"two",null])"},
      {"{}", "{}"},
      {"[]", "[]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    const std::string id = row.echoed;
    EXPECT_EQ(reply_to(tasks, std::string(R"({"method":"ping","id":)") + row.id + "}"),
              R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(reply_to(tasks, std::string(R"({"method":"nope","id":)") + row.id + "}"),
              R"({"error":{"code":-32601,"message":"unknown method: nope"},"id":)" + id +
                  R"(,"jsonrpc":"2.0"})");
  }
  // An id given twice is the last one, as for every member.
  EXPECT_EQ(reply_to(tasks, R"({"id":1,"method":"ping","id":"second"})"),
            R"({"id":"second","jsonrpc":"2.0","result":{}})");
}

TEST(ServeLine, RequestsWithoutIdAreCarriedOutWithoutReply) {
  FakeTasks tasks;
  expect_replies(
      tasks,
      {
          {R"({"jsonrpc":"2.0","method":"ping"})", kNoReply},
          {R"({"jsonrpc":"2.0","method":"nope"})", kNoReply},
          {R"({"jsonrpc":"2.0","method":"task_history","params":{"task_id":"missing"}})", kNoReply},
          {R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"task_start","arguments":{"goal":"g","verify_cmd":"v"}}})",
           kNoReply},
          {R"({"jsonrpc":"2.0","method":"tools/call","params":null})", kNoReply},
      });
  // The start took place: its task is registered even though nobody learnt its id.
  EXPECT_EQ(tasks.calls, (std::vector<std::string>{"history missing", "new_task_id",
                                                   "start task-fake-0 g v [] 4"}));
  EXPECT_TRUE(tasks.open_tasks.contains("task-fake-0"));
}

TEST(ServeLine, ValuesOtherThanObjectsGetNoReply) {
  FakeTasks tasks;
  for (const char* line :
       {"[]", "[1]", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", "1", "-2.5", R"("ping")",
        "true", "false", "null", "123456789012345678901234567890"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(reply_to(tasks, line), kNoReply);
  }
}

TEST(ServeLine, UnparsableLinesGetAParseErrorWithNullId) {
  FakeTasks tasks;
  EXPECT_EQ(
      reply_to(tasks, R"({"id":1)"),
      R"({"error":{"code":-32700,"message":"parse error: syntax error while parsing object )"
      R"(- unexpected end of input; expected '}' at line 1 column 8"},"id":null,"jsonrpc":"2.0"})");

  constexpr std::string_view kHead = R"({"error":{"code":-32700,"message":"parse error: )";
  constexpr std::string_view kTail = R"("},"id":null,"jsonrpc":"2.0"})";
  for (const std::string& line : std::vector<std::string>{
           R"({"id":1,"method":"ping"}{"id":2,"method":"ping"})",
           R"({"id":1,"method":"ping"} x)",
           R"({"id":1,"method":"ping"},)",
           R"({'id':1})",
           R"({"id":1,"method":"ping",})",
           R"({"id":1,"method":"ping","params":1e400})",
           R"({"id":1,"method":"ping","params":"\ud800"})",
           "{\"id\":1,\"method\":\"pi\tng\"}",
           std::string(R"({"id":1,"method":"ping","params":)") + std::string(128, '[') +
               std::string(128, ']') + "}",
           "nul",
           "}",
           "\xEF\xBB\xBF",
       }) {
    SCOPED_TRACE(line);
    const std::string reply = reply_to(tasks, line);
    EXPECT_TRUE(reply.starts_with(kHead)) << reply;
    EXPECT_TRUE(reply.ends_with(kTail)) << reply;
    EXPECT_GT(reply.size(), kHead.size() + kTail.size()) << reply;
    EXPECT_EQ(reply.find('\n'), std::string::npos);
  }
  EXPECT_TRUE(tasks.calls.empty());
}

TEST(ServeLine, NestingOf128LevelsIsServed) {
  FakeTasks tasks;
  // The request object is one level, so its params hold 127 more.
  const std::string params = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(reply_to(tasks, R"({"id":1,"method":"ping","params":)" + params + "}"),
            R"({"id":1,"jsonrpc":"2.0","result":{}})");
}

TEST(ServeLine, WhiteSpaceOnlyLinesGetNoReply) {
  FakeTasks tasks;
  for (const char* line : {"", " ", "\t", " \t \t", "\r", "\x0b\x0c", "\u00a0", "\u0085",
                           "\u2028\u2029", "\u3000", "\u1680\u2000\u200a\u202f\u205f"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(reply_to(tasks, line), kNoReply);
  }
}

TEST(ServeLine, UnicodeWhiteSpaceAroundARequestIsTrimmed) {
  FakeTasks tasks;
  const std::string request = R"({"id":1,"method":"ping"})";
  for (const char* space : {" \t", "\u00a0", "\u2028", "\u3000\u0085", "\u205f\u2029 "}) {
    SCOPED_TRACE(space);
    EXPECT_EQ(reply_to(tasks, space + request + space), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  }
}

// ---- trimming ----

TEST(TrimWhiteSpace, RemovesWhiteSpaceCharactersAtBothEnds) {
  // Every character with the White_Space property, in its UTF-8 form.
  const std::vector<std::string> spaces = {
      "\t",     "\n",     "\x0b",   "\x0c",   "\r",     " ",      "\u0085", "\u00a0", "\u1680",
      "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
      "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
  };
  for (const std::string& space : spaces) {
    SCOPED_TRACE(space);
    EXPECT_EQ(trim_white_space(space + "x" + space), "x");
    EXPECT_EQ(trim_white_space(space + space), "");
    EXPECT_EQ(trim_white_space("a" + space + "b"), "a" + space + "b");
  }
}

TEST(TrimWhiteSpace, KeepsCharactersWithoutTheProperty) {
  // Each one shares bytes with a white-space character or is white space elsewhere.
  for (const std::string& kept : std::vector<std::string>{
           std::string("\0", 1),
           "\x1c",
           "\x1d",
           "\x1e",
           "\x1f",    // separators, white space to some libraries
           "\u180e",  // lost the property in Unicode 6.3
           "\u200b",  // zero width space
           "\u2060",
           "\ufeff",
           "\u00e0",  // C3 A0: ends in the byte of U+00A0
           "\u00c5",  // C3 85: ends in the byte of U+0085
           "\u0100",
           "\u1681",
           "\u20a8",
           "\u2128",
           "\u3080",
           "\u3001",
       }) {
    SCOPED_TRACE(kept);
    EXPECT_EQ(trim_white_space(" " + kept + " "), kept);
    EXPECT_EQ(trim_white_space(kept), kept);
  }
}

// ---- handler reply forms ----

constexpr const char* kStartArguments = R"({"goal":"g","verify_cmd":"pytest -q"})";

std::string direct(const std::string& method, const std::string& params) {
  return R"({"jsonrpc":"2.0","id":1,"method":")" + method + R"(","params":)" + params + "}";
}

std::string tool(const std::string& name, const std::string& arguments) {
  return R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":")" + name +
         R"(","arguments":)" + arguments + "}}";
}

std::string error_line(int code, const std::string& message) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"message":)" + message +
         R"(},"id":1,"jsonrpc":"2.0"})";
}

std::string tool_error_line(const std::string& text) {
  return R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":)" + text +
         R"(,"type":"text"}],"isError":true}})";
}

std::string tool_result_line(const std::string& text) {
  return R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":)" + text +
         R"(,"type":"text"}]}})";
}

TEST(Handlers, UndecodableParamsOfDirectMethodsAreInvalidParams) {
  FakeTasks tasks;
  expect_replies(
      tasks,
      {
          {direct("task_start", "null"),
           error_line(-32602,
                      R"("invalid params: invalid type: null, expected struct TaskStartParams")")},
          {R"({"id":1,"method":"task_start"})",
           error_line(-32602,
                      R"("invalid params: invalid type: null, expected struct TaskStartParams")")},
          {direct("task_start", R"({"goal":"g"})"),
           error_line(-32602, R"("invalid params: missing field `verify_cmd`")")},
          {direct("task_propose", R"({"task_id":"task-open"})"),
           error_line(-32602, R"("invalid params: missing field `edits`")")},
          {direct("task_history", "{}"),
           error_line(-32602, R"("invalid params: missing field `task_id`")")},
          {direct("task_finish", R"({"task_id":"task-open","commit":"no"})"),
           error_line(-32602,
                      R"("invalid params: invalid type: string \"no\", expected a boolean")")},
          {direct("tools/call", "null"),
           error_line(-32602,
                      R"("invalid params: invalid type: null, expected struct ToolsCallParams")")},
          {direct("tools/call", R"({"arguments":{}})"),
           error_line(-32602, R"("invalid params: missing field `name`")")},
          {direct("tools/call", R"({"name":7})"),
           error_line(-32602, R"("invalid params: invalid type: integer `7`, expected a string")")},
      });
  // Nothing reached the tasks: a start that fails to decode uses up no task id.
  EXPECT_TRUE(tasks.calls.empty());
}

TEST(Handlers, UndecodableArgumentsOfToolsAreToolErrors) {
  FakeTasks tasks;
  const std::string missing_task_id =
      tool_error_line(R"("invalid arguments: missing field `task_id`")");
  expect_replies(
      tasks,
      {
          {tool("task_history", "{}"), missing_task_id},
          // Absent or null arguments are an empty object.
          {R"({"id":2,"method":"tools/call","params":{"name":"task_history"}})", missing_task_id},
          {tool("task_history", "null"), missing_task_id},
          {tool("task_finish", "null"), missing_task_id},
          {tool("task_start", "null"),
           tool_error_line(R"("invalid arguments: missing field `goal`")")},
          {tool("task_propose", R"({"task_id":"task-open","edits":[{"path":"a"}]})"),
           tool_error_line(R"("invalid arguments: missing field `content`")")},
          {tool("task_finish", R"({"task_id":"task-open","commit":"yes"})"),
           tool_error_line(
               R"("invalid arguments: invalid type: string \"yes\", expected a boolean")")},
          {tool("task_history", R"("task-open")"),
           tool_error_line(
               R"("invalid arguments: invalid type: string \"task-open\", expected struct TaskHistoryParams")")},
      });
  EXPECT_TRUE(tasks.calls.empty());
}

TEST(Handlers, UnknownToolIsInvalidParamsWhateverTheArguments) {
  FakeTasks tasks;
  const auto unknown_tool = [](const std::string& name) {
    return R"({"error":{"code":-32602,"message":"unknown tool: )" + name +
           R"("},"id":2,"jsonrpc":"2.0"})";
  };
  expect_replies(
      tasks,
      {
          {tool("task_list", "{}"), unknown_tool("task_list")},
          {tool("Task_start", kStartArguments), unknown_tool("Task_start")},
          {tool("task_start ", kStartArguments), unknown_tool("task_start ")},
          {tool("", "null"), unknown_tool("")},
          {tool("tools/list", "[1,2]"), unknown_tool("tools/list")},
          {R"({"id":2,"method":"tools/call","params":{"name":"x\"y"}})", unknown_tool(R"(x\"y)")},
          {R"({"id":2,"method":"tools/call","params":["task_stop",{"task_id":"t"}]})",
           unknown_tool("task_stop")},
      });
  EXPECT_TRUE(tasks.calls.empty());
}

TEST(Handlers, UnknownTaskIdInBothForms) {
  FakeTasks tasks;
  expect_replies(
      tasks,
      {
          {direct("task_propose", R"({"task_id":"task-gone","edits":[]})"),
           error_line(-32001, R"("unknown task_id: task-gone")")},
          {direct("task_history", R"({"task_id":"task-gone"})"),
           error_line(-32001, R"("unknown task_id: task-gone")")},
          {direct("task_finish", R"({"task_id":"task-gone","commit":false})"),
           error_line(-32001, R"("unknown task_id: task-gone")")},
          {direct("task_history", R"({"task_id":"a\"b\u00e9"})"),
           error_line(-32001, R"("unknown task_id: a\"bé")")},
          {tool("task_propose", R"({"task_id":"task-gone","edits":[{"path":"p","content":"c"}]})"),
           tool_error_line(R"("unknown task_id: task-gone")")},
          {tool("task_history", R"({"task_id":"task-gone"})"),
           tool_error_line(R"("unknown task_id: task-gone")")},
          {tool("task_finish", R"({"task_id":"task-gone"})"),
           tool_error_line(R"("unknown task_id: task-gone")")},
      });
}

TEST(Handlers, StartFailureCodeFollowsTheErrorKind) {
  struct Row {
    ErrorKind kind;
    int code;
  };
  for (const Row& row : {Row{ErrorKind::InvalidInput, -32602},
                         Row{ErrorKind::PermissionDenied, -32000}, Row{ErrorKind::NotFound, -32000},
                         Row{ErrorKind::IsADirectory, -32000}, Row{ErrorKind::Other, -32000}}) {
    SCOPED_TRACE(row.code);
    FakeTasks tasks;
    tasks.start_error = IoError{row.kind, "refused \"here\"\nfor a reason"};
    // The warning of a start that then fails is dropped.
    tasks.warning = "weak";
    expect_replies(
        tasks, {
                   {direct("task_start", kStartArguments),
                    error_line(row.code, R"("task_start failed: refused \"here\"\nfor a reason")")},
                   {tool("task_start", kStartArguments),
                    tool_error_line(R"("task_start failed: refused \"here\"\nfor a reason")")},
               });
    EXPECT_TRUE(tasks.open_tasks == std::set<std::string>{"task-open"});
  }
}

TEST(Handlers, StartCallsInOrderAndFailedStartsUseUpAnId) {
  FakeTasks tasks;
  tasks.start_error = IoError{ErrorKind::InvalidInput, "bad"};
  (void)reply_to(tasks,
                 direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":1.5})"));
  (void)reply_to(tasks, direct("task_start", R"({"goal":"g"})"));
  tasks.start_error.reset();
  EXPECT_EQ(
      reply_to(tasks,
               direct("task_start",
                      R"({"goal":"g2","verify_cmd":"v2","files":["b","a"],"max_attempts":2})")),
      R"({"id":1,"jsonrpc":"2.0","result":{"task_id":"task-fake-1"}})");
  EXPECT_EQ(reply_to(tasks, tool("task_start", R"({"goal":"g3","verify_cmd":"v3"})")),
            tool_result_line(R"("{\"task_id\":\"task-fake-2\"}")"));
  EXPECT_EQ(tasks.calls, (std::vector<std::string>{
                             "new_task_id",
                             "check v",
                             "start task-fake-0 g v [] 4 1.5",
                             "new_task_id",
                             "check v2",
                             "start task-fake-1 g2 v2 [b;a;] 2",
                             // The tool form runs no strength check.
                             "new_task_id",
                             "start task-fake-2 g3 v3 [] 4",
                         }));
}

TEST(Handlers, VerifierWarningOnlyInTheDirectStart) {
  FakeTasks tasks;
  tasks.warning = "Mutation score 42.5% is below 70% - \"weak\"";
  expect_replies(
      tasks,
      {
          {direct("task_start", kStartArguments),
           R"({"id":1,"jsonrpc":"2.0","result":{"task_id":"task-fake-0","verifier_warning":"Mutation score 42.5% is below 70% - \"weak\""}})"},
          {tool("task_start", kStartArguments),
           tool_result_line(R"("{\"task_id\":\"task-fake-1\"}")")},
      });
}

TEST(Handlers, MutationGateMemberByCase) {
  FakeTasks tasks;
  tasks.warning = "w";
  expect_replies(
      tasks,
      {
          // No minimum: no member at all, even with a measurement at hand.
          {direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":null})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"task_id":"task-fake-0","verifier_warning":"w"}})"},
          {direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":0.5})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"mutation_gate":{"status":"skipped","threshold":0.5},)"
           R"("task_id":"task-fake-1","verifier_warning":"w"}})"},
          {direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":0})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"mutation_gate":{"status":"skipped","threshold":0.0},)"
           R"("task_id":"task-fake-2","verifier_warning":"w"}})"},
      });
  tasks.measurement = MutationMeasurement{"bitegauge", 0.9};
  expect_replies(
      tasks,
      {
          {direct("task_start", R"({"goal":"g","verify_cmd":"v"})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"task_id":"task-fake-3","verifier_warning":"w"}})"},
          {direct("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":1})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"mutation_gate":{"score":0.9,"status":"measured",)"
           R"("threshold":1.0,"tool":"bitegauge"},"task_id":"task-fake-4","verifier_warning":"w"}})"},
          {tool("task_start", R"({"goal":"g","verify_cmd":"v","min_mutation_score":0.75})"),
           tool_result_line(
               R"("{\"mutation_gate\":{\"score\":0.9,\"status\":\"measured\",)"
               R"(\"threshold\":0.75,\"tool\":\"bitegauge\"},\"task_id\":\"task-fake-5\"}")")},
      });
}

TEST(Handlers, ProposeHandsTheEditsOverInOrderAndCopiesTheOutcome) {
  FakeTasks tasks;
  expect_replies(
      tasks,
      {
          {direct(
               "task_propose",
               R"({"task_id":"task-open","edits":[{"path":"b.txt","content":"2"},{"path":"a.txt","content":"1"},{"path":"b.txt","content":""}]})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"attempt":3,"fingerprint":"ab12","output":"verifier said \"no\"\n","passed":false}})"},
          {tool("task_propose", R"({"task_id":"task-open","edits":[]})"),
           tool_result_line(
               R"("{\"attempt\":3,\"fingerprint\":\"ab12\",\"output\":\"verifier said \\\"no\\\"\\n\",\"passed\":false}")")},
      });
  EXPECT_EQ(tasks.calls, (std::vector<std::string>{"propose task-open b.txt=2 a.txt=1 b.txt=",
                                                   "propose task-open"}));
}

TEST(Handlers, HistoryListsTheRecordsInOrder) {
  FakeTasks tasks;
  EXPECT_EQ(reply_to(tasks, direct("task_history", R"({"task_id":"task-open"})")),
            R"({"id":1,"jsonrpc":"2.0","result":{"attempts":[]}})");
  tasks.records = {{1, "f1", false, "fail"}, {2, "", false, "refused"}, {3, "f3", true, ""}};
  EXPECT_EQ(
      reply_to(tasks, direct("task_history", R"({"task_id":"task-open"})")),
      R"({"id":1,"jsonrpc":"2.0","result":{"attempts":[{"attempt":1,"fingerprint":"f1","output":"fail","passed":false},)"
      R"({"attempt":2,"fingerprint":"","output":"refused","passed":false},{"attempt":3,"fingerprint":"f3","output":"","passed":true}]}})");
  EXPECT_EQ(
      reply_to(tasks, tool("task_history", R"({"task_id":"task-open"})")),
      tool_result_line(
          R"("{\"attempts\":[{\"attempt\":1,\"fingerprint\":\"f1\",\"output\":\"fail\",\"passed\":false},)"
          R"({\"attempt\":2,\"fingerprint\":\"\",\"output\":\"refused\",\"passed\":false},)"
          R"({\"attempt\":3,\"fingerprint\":\"f3\",\"output\":\"\",\"passed\":true}]}")"));
}

TEST(Handlers, FinishEchoesCommitAndAFailedFinishKeepsTheTask) {
  FakeTasks tasks;
  tasks.open_tasks = {"t1", "t2"};
  tasks.finish_error = IoError{ErrorKind::PermissionDenied, "Permission denied (os error 13)"};
  expect_replies(
      tasks,
      {
          {direct("task_finish", R"({"task_id":"t1","commit":false})"),
           error_line(
               -32002,
               R"x("finish failed, task retained for retry: Permission denied (os error 13)")x")},
          {tool("task_finish", R"({"task_id":"t1","commit":false})"),
           tool_error_line(
               R"x("finish failed, task retained for retry: Permission denied (os error 13)")x")},
          {direct("task_history", R"({"task_id":"t1"})"),
           R"({"id":1,"jsonrpc":"2.0","result":{"attempts":[]}})"},
      });
  tasks.finish_error.reset();
  expect_replies(tasks, {
                            {direct("task_finish", R"({"task_id":"t1","commit":false})"),
                             R"({"id":1,"jsonrpc":"2.0","result":{"committed":false}})"},
                            {tool("task_finish", R"({"task_id":"t2"})"),
                             tool_result_line(R"("{\"committed\":true}")")},
                            {direct("task_history", R"({"task_id":"t1"})"),
                             error_line(-32001, R"("unknown task_id: t1")")},
                        });
  EXPECT_EQ(tasks.calls,
            (std::vector<std::string>{"finish t1 restore", "finish t1 restore", "history t1",
                                      "finish t1 restore", "finish t2 commit", "history t1"}));
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
      {"\n", {""}},
      {"\n\n", {"", ""}},
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      // The last line may lack its newline.
      {"a\nlast", {"a", "last"}},
      {"only", {"only"}},
      // Only a carriage return right before the newline belongs to the line end.
      {"a\rb\n\r\r\n", {"a\rb", "\r"}},
      {"x\r\n", {"x"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{4096}}) {
      EXPECT_EQ(lines_read(row.input, chunk), row.lines);
    }
  }
}

TEST(LineReader, ReadsManySmallLinesAcrossReadBoundaries) {
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 100000; ++i) {
    expected.push_back("line " + std::to_string(i));
    input += expected.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  for (std::size_t chunk : {std::size_t{7}, std::size_t{65536}, std::size_t{1} << 20}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(lines_read(input, chunk), expected);
  }
}

TEST(LineReader, HasNoLineLengthLimit) {
  const std::string big(std::size_t{10} << 20, 'x');
  const std::vector<std::string> lines = lines_read("a\n" + big + "\r\nb", 1 << 16);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "a");
  EXPECT_EQ(lines[1].size(), big.size());
  EXPECT_TRUE(lines[1] == big);
  EXPECT_EQ(lines[2], "b");
}

TEST(LineReader, ReadErrorEndsTheInput) {
  TempDir dir;
  // Reading a directory fails with EISDIR.
  const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  LineReader reader(fd);
  EXPECT_FALSE(reader.next_line().has_value());
  EXPECT_FALSE(reader.next_line().has_value());
  ::close(fd);
}

// ---- the whole loop ----

std::string serve_text(FakeTasks& tasks, const std::string& input) {
  TempDir dir;
  testing::write_file(dir / "in", input);
  const int in = ::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  EXPECT_GE(in, 0);
  EXPECT_GE(out, 0);
  serve(tasks, in, out);
  ::close(in);
  ::close(out);
  return testing::read_file(dir / "out");
}

TEST(Serve, RepliesFollowTheInputLineByLine) {
  FakeTasks tasks;
  EXPECT_EQ(serve_text(tasks,
                       "{\"id\":1,\"method\":\"ping\"}\r\n"
                       "\n"
                       "   \n"
                       "{\"method\":\"ping\"}\n"
                       "[1]\n"
                       "{\"id\":1\n"
                       "{\"id\":2,\"method\":\"task_history\",\"params\":{\"task_id\":\"nope\"}}"),
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n"
            "{\"error\":{\"code\":-32700,\"message\":\"parse error: syntax error while parsing "
            "object - unexpected end of input; expected '}' at line 1 column 8\"},\"id\":null,"
            "\"jsonrpc\":\"2.0\"}\n"
            "{\"error\":{\"code\":-32001,\"message\":\"unknown task_id: nope\"},\"id\":2,"
            "\"jsonrpc\":\"2.0\"}\n");
}

TEST(Serve, ALineOfInvalidUtf8EndsTheLoopThere) {
  for (const std::string& bad :
       std::vector<std::string>{"\xff", "\xc3", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80",
                                "\xf4\x90\x80\x80", "\x80", "\xf8\x88\x80\x80\x80"}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    FakeTasks tasks;
    const std::string output = serve_text(
        tasks,
        "{\"id\":1,\"method\":\"ping\"}\n"
        "{\"id\":2,\"method\":\"task_history\",\"params\":{\"task_id\":\"" +
            bad +
            "\"}}\n"
            "{\"id\":3,\"method\":\"task_history\",\"params\":{\"task_id\":\"after\"}}\n");
    EXPECT_EQ(output, "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
    // Neither the bad line nor any later one reached the tasks.
    EXPECT_TRUE(tasks.calls.empty());
  }
}

TEST(Serve, ALargeRequestIsParsedWhereItLies) {
  FakeTasks tasks;
  const std::string content(std::size_t{10} << 20, 'c');
  const std::string output =
      serve_text(tasks,
                 "{\"id\":1,\"method\":\"task_propose\",\"params\":{\"task_id\":\"task-open\","
                 "\"edits\":[{\"path\":\"big\",\"content\":\"" +
                     content + "\"}]}}\n");
  EXPECT_EQ(output,
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"attempt\":3,\"fingerprint\":\"ab12\","
            "\"output\":\"verifier said \\\"no\\\"\\n\",\"passed\":false}}\n");
  ASSERT_EQ(tasks.calls.size(), 1u);
  EXPECT_TRUE(tasks.calls[0] == "propose task-open big=" + content);
}

}  // namespace
}  // namespace quarry
