// MCP tasks through the built server: a long proposal answered with a handle in each design, the
// tasks/* methods while and after it runs, its cancellation, and handles that outlive their
// server, read back from records that may have been planted. Whole reply lines, with each
// handle written H and each time T.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "agentic.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

using nlohmann::json;

const json kExtension = {{"io.modelcontextprotocol/protocolVersion", "2026-07-28"},
                         {"io.modelcontextprotocol/clientCapabilities",
                          {{"extensions", {{"io.modelcontextprotocol/tasks", json::object()}}}}}};
const std::string kServerInfo =
    R"("_meta":{"io.modelcontextprotocol/serverInfo":{"name":"quarry-agent-task","version":"0.5.0"}})";
const std::string kInterrupted =
    "interrupted: the server stopped while the verifier ran; its edits were rolled back";

// A reply line with its handles, its times and the seconds a run has taken named.
std::string normalized(const std::string& line) {
  static const std::regex handle(R"(\b[0-9a-f]{32}\b)");
  static const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  static const std::regex running(R"(running for \d+ s)");
  return std::regex_replace(std::regex_replace(std::regex_replace(line, handle, "H"), time, "T"),
                            running, "running for N s");
}

// A tools/call line whose params hold `extra` too: params.task, or the extension's _meta.
std::string call_with(int id, const std::string& tool, const json& arguments, json extra) {
  extra["name"] = tool;
  extra["arguments"] = arguments;
  return direct_line(id, "tools/call", extra);
}

json propose_arguments(const std::string& task, const std::string& content) {
  return {{"task_id", task}, {"edits", {{{"path", "f.txt"}, {"content", content}}}}};
}

// A tools/call success of a revision with structured content, `meta` members first.
std::string structured(const json& value, const std::string& meta = "", bool stateless = false) {
  return "{" + meta + R"("content":[{"text":)" + json(value.dump()).dump() +
         R"(,"type":"text"}],)" + (stateless ? R"("resultType":"complete",)" : "") +
         R"("structuredContent":)" + value.dump() + "}";
}

std::string stateless(const json& value) {
  return structured(value, kServerInfo + ",", true);
}

// A task's members in the order they are written, `between` its poll interval and its status; a
// working one says how long it has run.
std::string task_members(const std::string& status, bool extension, const std::string& between = "",
                         std::int64_t ttl = 86400000) {
  return std::string(R"("createdAt":"T","lastUpdatedAt":"T",)") +
         (extension ? R"("pollIntervalMs":1000,)" : R"("pollInterval":1000,)") + between +
         R"("status":")" + status + R"(",)" +
         (status == "working" ? R"("statusMessage":"verifier running for N s",)" : "") +
         R"("taskId":"H",)" + (extension ? R"("ttlMs":)" : R"("ttl":)") + std::to_string(ttl);
}

std::string reply(int id, const std::string& result) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":)" + result + "}";
}

std::string status_notification(const std::string& members) {
  return R"({"jsonrpc":"2.0","method":"notifications/tasks/status","params":{)" + members + "}}";
}

std::string fingerprint(const std::string& content) {
  return EditSet{{{"f.txt", content}}}.fingerprint();
}

// A proposal's result where the revision reports verdicts.
json verdict(json result, std::optional<int> attempts_left, bool verified = true) {
  if (attempts_left) result["attempts_left"] = *attempts_left;
  result["verified"] = verified;
  return result;
}

std::string handle_of(const std::string& reply) {
  const json result = json::parse(reply)["result"];
  return (result.contains("task") ? result["task"] : result)["taskId"].get<std::string>();
}

class McpTasks : public ::testing::Test {
 protected:
  std::string records() const { return state_directory(dir_.path()) + "/mcp-tasks/"; }
  TempDir dir_;
};

// 2025-11-25: a handle at once, reads answered while the verifier runs, tasks/result waiting for
// the end, a rejection completed and a tool error failed; tasks/cancel kills the verifier's group
// and rolls back before it is answered, and the attempt is neither recorded nor counted.
TEST_F(McpTasks, CoreDesignHandsOutAtOnceAndAnswersWhileTheVerifierRuns) {
  ServerSession server(dir_.path());
  server.request(direct_line(1, "initialize", {{"protocolVersion", "2025-11-25"}}));
  const std::string task = start_task(
      server, "if grep -qx x f.txt; then sleep 1; exit 1; fi; echo $$ > pid; exec sleep 30",
      {"f.txt"});
  const std::string handed = server.request(
      call_with(2, "task_propose", propose_arguments(task, "x"), {{"task", {{"ttl", 5}}}}));
  EXPECT_EQ(normalized(handed),
            reply(2, "{\"task\":{" + task_members("working", false, "", 60000) + "}}"));
  const std::string handle = handle_of(handed);
  server.send(direct_line(3, "tasks/result", {{"taskId", handle}}));
  server.send(call_line(4, "task_history", {{"task_id", task}}));
  server.send(direct_line(5, "tasks/get", {{"taskId", handle}}));
  const std::string related = R"("_meta":{"io.modelcontextprotocol/related-task":{"taskId":"H"}},)";
  for (const std::string& want :
       {reply(4, structured({{"attempts", json::array()}})),
        reply(5, "{" + task_members("working", false, "", 60000) + "}"),
        status_notification(task_members("completed", false, "", 60000)),
        reply(3, structured(verdict(outcome(1, fingerprint("x"), "", false), 9), related))}) {
    EXPECT_EQ(normalized(server.read_line()), want);
  }
  const std::vector<std::pair<std::string, std::string>> rows = {
      {direct_line(6, "tasks/cancel", {{"taskId", handle}}),
       error_line(6, -32602, "cannot cancel MCP task H: it is already completed")},
      {direct_line(7, "tasks/list", json::object()),
       reply(7, "{\"tasks\":[{" + task_members("completed", false, "", 60000) + "}]}")},
      {call_with(8, "task_propose", propose_arguments("nope", "y"), {{"task", json::object()}}),
       reply(8, "{\"task\":{" + task_members("failed", false) + "}}")},
      {call_with(9, "task_history", {{"task_id", task}}, {{"task", json::object()}}),
       error_line(9, -32601, "task_history does not run as an MCP task")},
      {direct_line(10, "tasks/get", {{"taskId", "../x"}}),
       error_line(10, -32602, "unknown MCP task: ../x")},
  };
  for (const auto& [request, want] : rows) {
    SCOPED_TRACE(request);
    EXPECT_EQ(normalized(server.request(request)), want);
  }
  const std::string running = handle_of(server.request(
      call_with(11, "task_propose", propose_arguments(task, "y"), {{"task", json::object()}})));
  ASSERT_TRUE(
      wait_until([&] { return !read_file(dir_ / "pid").empty(); }, std::chrono::seconds(5)));
  server.send(direct_line(12, "tasks/cancel", {{"taskId", running}}));
  EXPECT_EQ(normalized(server.read_line()), status_notification(task_members("cancelled", false)));
  EXPECT_EQ(normalized(server.read_line()),
            reply(12, "{" + task_members("cancelled", false) + "}"));
  EXPECT_TRUE(process_group_gone(std::stoi(read_file(dir_ / "pid"))));
  EXPECT_FALSE(file_exists(dir_ / "f.txt"));
  EXPECT_EQ(server.request(call_line(13, "task_history", {{"task_id", task}, {"since", 1}})),
            reply(13, structured({{"attempts", json::array()}})));
}

// 2026-07-28: a quick run answered as ever, a long one with a handle, its result inline exactly
// as the plain call's; only clients listing the extension follow it, and other revisions know
// no tasks/* method and no params.task.
TEST_F(McpTasks, ExtensionHandsOutOnlyLongRunsAndCarriesTheResultInline) {
  ServerSession server(dir_.path());
  const std::string task = start_task(server, "grep -qx wait f.txt && sleep 2; exit 1", {"f.txt"});
  const json meta = {{"_meta", kExtension}};
  EXPECT_EQ(server.request(call_with(2, "task_propose", propose_arguments(task, "now\n"), meta)),
            reply(2, stateless(verdict(outcome(1, fingerprint("now\n"), "", false), 9))));
  const std::string handed =
      server.request(call_with(3, "task_propose", propose_arguments(task, "wait\n"), meta));
  EXPECT_EQ(normalized(handed),
            reply(3, "{" + kServerInfo + "," +
                         task_members("working", true, R"("resultType":"task",)") + "}"));
  const json get = {{"taskId", handle_of(handed)}, {"_meta", kExtension}};
  std::string done;
  ASSERT_TRUE(wait_until(
      [&] {
        done = server.request(direct_line(4, "tasks/get", get));
        return done.find("working") == std::string::npos;
      },
      std::chrono::seconds(10)));
  const std::string inline_result =
      R"("result":)" + stateless(verdict(outcome(2, fingerprint("wait\n"), "", false), 8)) + ",";
  EXPECT_EQ(
      normalized(done),
      reply(4, "{" + kServerInfo + "," +
                   task_members("completed", true, inline_result + R"("resultType":"complete",)") +
                   "}"));
  const std::vector<std::pair<std::string, std::string>> rows = {
      {direct_line(5, "tasks/get", {{"taskId", get["taskId"]}}),
       error_line(5, -32601, "unknown method: tasks/get")},
      {direct_line(6, "tasks/get",
                   {{"taskId", get["taskId"]},
                    {"_meta", {{"io.modelcontextprotocol/protocolVersion", "2026-07-28"}}}}),
       R"({"error":{"code":-32021,"data":{"requiredCapabilities":{"extensions":{"io.modelcontextprotocol/tasks":{}}}},"message":"missing required client capability"},"id":6,"jsonrpc":"2.0"})"},
      {direct_line(7, "tasks/result", get), error_line(7, -32601, "unknown method: tasks/result")},
      {call_with(8, "task_propose", propose_arguments(task, "now\n"), {{"task", json::object()}}),
       tool_line(8, outcome(3, fingerprint("now\n"),
                            "identical edit-set already rejected; not re-applied", false))},
  };
  for (const auto& [request, want] : rows) {
    SCOPED_TRACE(request);
    EXPECT_EQ(server.request(request), want);
  }
}

// A server killed while a background run's verifier runs: the next one answers for the handle
// with the interrupted attempt, as the task's history has it, and restores the task's files.
TEST_F(McpTasks, AHandleOutlivesItsServer) {
  write_file(dir_ / "f.txt", "zero\n");
  std::string task, handle;
  {
    ServerSession server(dir_.path());
    task = start_task(server, "grep -qx one f.txt || exec sleep 30", {"f.txt"});
    server.request(propose_line(2, task, {{{"path", "f.txt"}, {"content", "one\n"}}}));
    handle = handle_of(server.request(
        call_with(3, "task_propose", propose_arguments(task, "two\n"), {{"_meta", kExtension}})));
    struct stat record;
    ASSERT_EQ(::stat((records() + handle).c_str(), &record), 0);
    EXPECT_EQ(record.st_mode & 0777, 0600);
  }
  ServerSession server(dir_.path());
  const json interrupted = outcome(2, fingerprint("two\n"), kInterrupted, false);
  EXPECT_EQ(normalized(server.request(
                direct_line(4, "tasks/get", {{"taskId", handle}, {"_meta", kExtension}}))),
            reply(4, "{" + kServerInfo + "," +
                         task_members("completed", true,
                                      R"("result":)" +
                                          stateless(verdict(interrupted, std::nullopt, false)) +
                                          R"(,"resultType":"complete",)") +
                         "}"));
  EXPECT_EQ(server.request(call_line(5, "task_history", {{"task_id", task}, {"since", 1}})),
            tool_line(5, {{"attempts", {interrupted}}}));
  EXPECT_EQ(read_file(dir_ / "f.txt"), "one\n");
  EXPECT_EQ(server.request(call_line(6, "task_finish", {{"task_id", task}, {"commit", false}})),
            tool_line(6, {{"committed", false}}));
  EXPECT_EQ(read_file(dir_ / "f.txt"), "zero\n");
}

// A record is read only when it checks, from a regular file of at most 1 MiB reached without a
// link; one past its time to live is removed.
TEST_F(McpTasks, RecordsThatDoNotCheckAreUnknownAndExpiredOnesRemoved) {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const std::string result = R"({"content":[{"text":"{}","type":"text"}]})";
  const auto record = [&](const std::string& handle, const json& change) {
    json text =
        json::parse(R"({"attempt":0,"revision":"2026-07-28","status":"completed",)"
                    R"("task_id":"","tool":"task_start","ttl_ms":60000,"what":"verifier"})");
    text.update({{"created_ms", now.count()},
                 {"handle", handle},
                 {"result", json::parse(result)},
                 {"updated_ms", now.count()}});
    text.merge_patch(change);
    write_file(records() + handle, text.dump(), 0600);
  };
  const std::string good(32, 'a');
  record(good, json::object());
  std::filesystem::create_symlink(good, records() + std::string(32, 'b'));
  ASSERT_EQ(::mkfifo((records() + std::string(32, 'c')).c_str(), 0600), 0);
  record(std::string(32, 'd'), {{"handle", good}});
  record(std::string(32, 'e'), {{"status", "done"}});
  record(std::string(32, 'f'), {{"result", {{"isError", "yes"}}}});
  const json big = {{"text", std::string(1 << 20, 'x')}, {"type", "text"}};
  record("0" + good.substr(1), {{"result", {{"content", {big}}}}});
  record("1" + good.substr(1), {{"created_ms", now.count() - 60000}});
  ServerSession server(dir_.path());
  const auto get = [&](const std::string& handle) {
    return server.request(direct_line(1, "tasks/get", {{"taskId", handle}, {"_meta", kExtension}}));
  };
  const std::string inline_result = R"("result":)" + result + R"(,"resultType":"complete",)";
  EXPECT_EQ(normalized(get(good)),
            reply(1, "{" + kServerInfo + "," +
                         task_members("completed", true, inline_result, 60000) + "}"));
  for (const char first : std::string("bcdef01")) {
    const std::string handle = first + std::string(31, first > '9' ? first : 'a');
    SCOPED_TRACE(handle);
    EXPECT_EQ(get(handle), error_line(1, -32602, "unknown MCP task: " + handle));
  }
  EXPECT_FALSE(file_exists(records() + "1" + good.substr(1)));
}

}  // namespace
}  // namespace quarry::testing
