// Open tasks outlive their server: a server started in the same project takes over those of one
// that was killed or ended at end of input, and leaves alone a kept task that does not check.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "agentic.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr char kInterrupted[] =
    "interrupted: the server stopped while the verifier ran; its edits were rolled back";

std::string fingerprint(const std::string& path, const std::string& content) {
  return EditSet{{FileEdit{path, content}}}.fingerprint();
}

std::string kept_directory(const TempDir& dir, const std::string& task) {
  return state_directory(dir.path()) + "/tasks/" + task;
}

// A server started in `dir` with `options`, its standard error once it has ended.
std::string next_server_err(const TempDir& dir, const std::string& options = "") {
  ServerSession next(dir.path(), "", "exec \"$@\" " + options);
  return next.wait().err;
}

// The interrupted attempt keeps its number and is not counted: with a limit of 2 the proposal
// after it is admitted, as attempt 2. The new server never saw the start bytes it restores.
TEST(KeptTask, AProposalCutByAKillIsInterruptedAndTheTaskGoesOn) {
  TempDir dir;
  write_file(dir / "a", "start\n");
  auto server = std::make_unique<ServerSession>(dir.path());
  const std::string task =
      start_task(*server, "if grep -q hang a; then echo $$ > pid; exec sleep 30; fi", {"a"}, 2);
  const json passed = outcome(1, fingerprint("a", "one\n"), "", true);
  EXPECT_EQ(server->request(propose_line(2, task, {{{"path", "a"}, {"content", "one\n"}}})),
            tool_line(2, passed));
  server->send(propose_line(3, task, {{{"path", "a"}, {"content", "hang\n"}}}));
  ASSERT_TRUE(wait_until([&] { return file_exists(dir / "pid"); }, 5s));
  server.reset();

  ServerSession next(dir.path());
  EXPECT_EQ(
      next.request(call_line(4, "task_history", {{"task_id", task}})),
      tool_line(4, {{"attempts",
                     {passed, outcome(2, fingerprint("a", "hang\n"), kInterrupted, false)}}}));
  EXPECT_EQ(read_file(dir / "a"), "one\n");
  EXPECT_EQ(next.request(propose_line(5, task, {{{"path", "a"}, {"content", "two\n"}}})),
            tool_line(5, outcome(2, fingerprint("a", "two\n"), "", true)));
  EXPECT_EQ(next.request(call_line(6, "task_finish", {{"task_id", task}, {"commit", false}})),
            tool_line(6, {{"committed", false}}));
  EXPECT_EQ(read_file(dir / "a"), "start\n");
  EXPECT_EQ(next.wait().err, "quarry_agent_task: recovered a: prior bytes restored\n");
  EXPECT_FALSE(file_exists(kept_directory(dir, task)));
}

// Clients reconnect by closing the server's input and starting another: the tasks of each go to
// the next, and a task finished there is gone for good. Ids made later never meet those taken.
// A task is taken over by the first server a request names it to, not by every one started.
TEST(KeptTask, AServerEndingAtEndOfInputLeavesItsTasksToTheNext) {
  TempDir dir;
  std::string first;
  {
    ServerSession server(dir.path());
    first = start_task(server, "true", {"a"});
    server.request(propose_line(2, first, {{{"path", "a"}, {"content", "one"}}}));
    EXPECT_EQ(server.wait().err, "");
  }
  std::string second;
  {
    // A client's short-lived probe beside the server it keeps takes over no task it is not
    // asked about.
    ServerSession probe(dir.path());
    EXPECT_EQ(probe.request(initialize_line("1")), initialize_reply("1"));
    ServerSession server(dir.path());
    second = start_task(server, "true", {"b"});
    EXPECT_NE(second, first);
    EXPECT_EQ(server.request(call_line(2, "task_history", {{"task_id", first}})),
              tool_line(2, {{"attempts", {outcome(1, fingerprint("a", "one"), "", true)}}}));
    EXPECT_EQ(server.request(call_line(3, "task_finish", {{"task_id", first}, {"commit", false}})),
              tool_line(3, {{"committed", false}}));
    EXPECT_FALSE(file_exists(dir / "a"));
    EXPECT_EQ(server.wait().err, "");
  }
  ServerSession server(dir.path());
  EXPECT_EQ(server.request(call_line(1, "task_history", {{"task_id", first}})),
            tool_error_line(1, "unknown task_id: " + first));
  EXPECT_EQ(server.request(call_line(2, "task_history", {{"task_id", second}})),
            tool_line(2, {{"attempts", json::array()}}));
}

// A kept task is input anyone able to write into the state directory may have planted: one that
// a new task_start would refuse, or whose record or start bytes do not check, stays as it is.
TEST(KeptTask, ARecordThatDoesNotCheckIsLeftAloneWithOneLine) {
  struct Row {
    std::string name;
    std::string file;
    std::function<void(const std::string& kept)> tamper;
    std::string options;  // of the server taking over
    std::string why;
  };
  const auto nothing = [](const std::string&) {};
  const std::vector<Row> rows = {
      {"a path outside the root", "../outside", nothing, "--root .",
       "path escapes the root: ../outside"},
      {"a protected path", "tests/t", nothing, "--root . --protect 'tests/**'",
       "path is protected: tests/t"},
      {"start bytes that do not match", "a",
       [](const std::string& kept) { write_file(kept + "/0", "start bytes!"); }, "",
       "the start bytes of a do not match their digest"},
      {"a record cut short", "a",
       [](const std::string& kept) {
         fs::resize_file(kept + "/record", fs::file_size(kept + "/record") / 2);
       },
       "", "its record is cut short"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    write_file(dir / "a", "start bytes\n");
    ServerSession server(dir.path());
    const std::string task = start_task(server, "true", {row.file});
    EXPECT_EQ(server.wait().err, "");
    row.tamper(kept_directory(dir, task));
    // Said once, when the first request names it (or at start, for a record that does not read).
    ServerSession next(dir.path(), "", "exec \"$@\" " + row.options);
    for (int id : {1, 2}) {
      EXPECT_EQ(next.request(call_line(id, "task_history", {{"task_id", task}})),
                tool_error_line(id, "unknown task_id: " + task));
    }
    EXPECT_EQ(next.wait().err, "quarry_agent_task: left the task " + kept_directory(dir, task) +
                                   ": " + row.why + "\n");
    EXPECT_TRUE(file_exists(kept_directory(dir, task) + "/record"));
  }
}

TEST(KeptTask, AnOpenTaskUntouchedForSevenDaysIsDropped) {
  for (const int days : {6, 8}) {
    SCOPED_TRACE(days);
    TempDir dir;
    ServerSession server(dir.path());
    const std::string task = start_task(server, "true", {"a"});
    server.request(propose_line(2, task, {{{"path", "a"}, {"content", "kept"}}}));
    EXPECT_EQ(server.wait().err, "");
    const std::string record = kept_directory(dir, task) + "/record";
    fs::last_write_time(record, fs::file_time_type::clock::now() - days * 24h);
    EXPECT_EQ(next_server_err(dir),
              days < 7 ? ""
                       : "quarry_agent_task: dropped the task " + task +
                             ", untouched for 7 days; its files keep their state\n");
    EXPECT_EQ(file_exists(record), days < 7);
    EXPECT_EQ(read_file(dir / "a"), "kept");
  }
}

}  // namespace
}  // namespace quarry::testing
