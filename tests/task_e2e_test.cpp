// Whole task sessions through the built server: replies line by line, files on disk, standard
// error, with fake mutation tools on PATH.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "agentic.h"
#include "process.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

bool shell(const std::string& dir, const std::string& script) {
  Result<RunResult> ran = run(Command{"sh", {"-c", "cd \"$1\" || exit 99\n" + script, "sh", dir}});
  return ran && ran.value().status.success();
}

std::string print_of(std::vector<FileEdit> edits) {
  return EditSet{std::move(edits)}.fingerprint();
}

json edit(const std::string& path, const std::string& content) {
  return json{{"path", path}, {"content", content}};
}

json replace(const std::string& path, const std::string& old_text, const std::string& new_text,
             bool all = false) {
  return json{{"path", path}, {"old_text", old_text}, {"new_text", new_text}, {"replace_all", all}};
}

class TaskSession : public ::testing::Test {
 protected:
  std::string propose(ServerSession& server, int id, const std::string& task,
                      const std::vector<json>& edits) {
    return server.request(propose_line(id, task, edits));
  }
  std::string finish(ServerSession& server, int id, const std::string& task, bool commit) {
    return server.request(call_line(id, "task_finish", {{"task_id", task}, {"commit", commit}}));
  }

  TempDir dir_;
};

TEST_F(TaskSession, FailingProposalIsRolledBackAndPassingOneKept) {
  write_file(dir_ / "a.txt", "old\n");
  ServerSession server(dir_.path());
  const std::string task = start_task(server, "grep -q good a.txt", {"a.txt", "new/b.txt"});
  const json failing = outcome(1, print_of({{"a.txt", "bad\n"}, {"new/b.txt", "x"}}), "", false);
  EXPECT_EQ(propose(server, 2, task, {edit("a.txt", "bad\n"), edit("new/b.txt", "x")}),
            tool_line(2, failing));
  EXPECT_EQ(read_file(dir_ / "a.txt"), "old\n");
  EXPECT_FALSE(file_exists(dir_ / "new/b.txt"));
  const json passing = outcome(2, print_of({{"a.txt", "good\n"}}), "", true);
  EXPECT_EQ(propose(server, 3, task, {edit("a.txt", "good\n")}), tool_line(3, passing));
  EXPECT_EQ(server.request(call_line(4, "task_history", {{"task_id", task}})),
            tool_line(4, json{{"attempts", {failing, passing}}}));
  EXPECT_EQ(finish(server, 5, task, true), tool_line(5, json{{"committed", true}}));
  EXPECT_EQ(read_file(dir_ / "a.txt"), "good\n");
  EXPECT_EQ(server.wait().exit_code, 0);
  // Every journal was deleted by its commit or rollback, and the directory with them.
  EXPECT_FALSE(file_exists(dir_ / ".quarry-agent-task"));
}

// Every refusal and failure is recorded with its exact text and counts toward the limit; only
// the limit itself refuses without recording. A rejected set comes back reordered: refused
// without running the verifier again. One that failed to apply is applied again.
TEST_F(TaskSession, EveryRecordedOutcomeText) {
  std::filesystem::create_directory(dir_ / "dir");
  ServerSession server(dir_.path());
  const std::string task =
      start_task(server, "echo run >> runs; echo out; echo err >&2; exit 1", {"a", "b", "dir"}, 6);
  const std::string print = print_of({{"a", "1"}, {"b", "2"}});
  const std::string in_dir = print_of({{"dir", "x"}});
  const std::string apply_failed = "apply failed: Is a directory (os error 21)";
  const std::vector<std::pair<std::vector<json>, json>> rows = {
      {{edit("a", "1"), edit("c", "2")},
       outcome(1, "",
               "path 'c' not in task file allowlist;                          declare it in "
               "`files` at task_start to edit it",
               false)},
      {{}, outcome(2, "", "empty edit-set rejected", false)},
      {{edit("a", "1"), edit("b", "2")}, outcome(3, print, "out\n\n--- stderr ---\nerr\n", false)},
      {{edit("b", "2"), edit("a", "1")},
       outcome(4, print, "identical edit-set already rejected; not re-applied", false)},
      {{edit("dir", "x")}, outcome(5, in_dir, apply_failed, false)},
      {{edit("dir", "x")}, outcome(6, in_dir, apply_failed, false)},
      {{edit("a", "1")}, outcome(6, "", "max attempts (6) exceeded; task finished", false)},
  };
  int id = 2;
  for (const auto& [edits, expected] : rows) {
    SCOPED_TRACE(expected.dump());
    EXPECT_EQ(propose(server, id, task, edits), tool_line(id, expected));
    ++id;
  }
  EXPECT_EQ(
      tool_text(server.request(call_line(id, "task_history", {{"task_id", task}})))["attempts"]
          .size(),
      6u);
  EXPECT_EQ(read_file(dir_ / "runs"), "run\n");
  EXPECT_FALSE(file_exists(dir_ / "a") || file_exists(dir_ / "b"));
}

// A targeted edit is worked out on the file's bytes, and on the set's earlier edits of it; one
// that does not fit is refused as invalid and is no attempt. The fingerprint is that of the whole
// content it yields, so a rejected one comes back refused as a whole-file edit.
TEST_F(TaskSession, TargetedEdits) {
  write_file(dir_ / "a", "x x y\n");
  ServerSession server(dir_.path());
  const std::string task = start_task(server, "! grep -q bad a", {"a", "b"});
  const std::string bad = print_of({{"a", "bad bad y\n"}});
  const std::vector<std::pair<std::vector<json>, std::string>> rows = {
      {{replace("a", "x", "z")},
       tool_error_line(2, "edit 0: old_text occurs 2 times in a; add context or set replace_all")},
      {{edit("a", "q\n"), replace("a", "x", "z")},
       tool_error_line(2, "edit 1: old_text not found in a")},
      {{replace("a", "", "z")}, tool_error_line(2, "edit 0: old_text must not be empty")},
      // Overlapping occurrences count (twice here); replace_all goes left to right.
      {{edit("a", "aababab"), replace("a", "abab", "z")},
       tool_error_line(2, "edit 1: old_text occurs 2 times in a; add context or set replace_all")},
      {{replace("b", "x", "z")}, tool_error_line(2, "edit 0: b does not exist")},
      {{replace("a", "x", "bad", true)}, tool_line(2, outcome(1, bad, "", false))},
      {{edit("a", "bad bad y\n")},
       tool_line(2, outcome(2, bad, "identical edit-set already rejected; not re-applied", false))},
      {{replace("a", "x x", "x"), replace("a", "y", "w")},
       tool_line(2, outcome(3, print_of({{"a", "x w\n"}}), "", true))},
      {{edit("a", "ababab"), replace("a", "abab", "bad", true)},
       tool_line(2, outcome(4, print_of({{"a", "badab"}}), "", false))},
  };
  for (const auto& [edits, reply] : rows) {
    SCOPED_TRACE(reply);
    EXPECT_EQ(propose(server, 2, task, edits), reply);
  }
  EXPECT_EQ(server.request(direct_line(3, "task_propose",
                                       {{"task_id", task}, {"edits", {replace("a", "q", "")}}})),
            error_line(3, -32602, "edit 0: old_text not found in a"));
  EXPECT_EQ(read_file(dir_ / "a"), "x w\n");
}

// Bytes someone else wrote since the task last saw them are not overwritten by a whole-file
// edit (the task has seen them once refused), are kept around a targeted edit, and are saved
// before a restore puts the start state back, even once the agent was told about them. A file
// someone makes where the task saw none is such bytes too.
TEST_F(TaskSession, WorkChangedOutsideTheTaskIsNeitherOverwrittenNorLost) {
  write_file(dir_ / "a", "start\n");
  write_file(dir_ / "c", "c0\n");
  ServerSession server(dir_.path());
  const std::string task = start_task(server, "true", {"a", "b", "c", "d/f", "e/g"});
  const auto changed = [](int id, const std::string& path) {
    return tool_error_line(id, path +
                                   " changed outside this task since it last saw it; read it again "
                                   "and propose against its current content");
  };
  propose(server, 2, task, {edit("a", "v1\n")});
  write_file(dir_ / "a", "user\n");
  EXPECT_EQ(propose(server, 3, task, {edit("a", "v2\n")}), changed(3, "a"));
  EXPECT_EQ(read_file(dir_ / "a"), "user\n");
  EXPECT_EQ(propose(server, 4, task, {edit("a", "v2\n")}),
            tool_line(4, outcome(2, print_of({{"a", "v2\n"}}), "", true)));
  write_file(dir_ / "a", "user v2\n");
  EXPECT_TRUE(tool_text(propose(server, 5, task, {replace("a", "v2", "v3")}))["passed"]);
  EXPECT_EQ(read_file(dir_ / "a"), "user v3\n");
  write_file(dir_ / "c", "theirs\n");
  EXPECT_EQ(propose(server, 6, task, {edit("c", "c1\n")}), changed(6, "c"));
  write_file(dir_ / "d/f", "made\n");
  EXPECT_EQ(propose(server, 7, task, {edit("d/f", "x"), edit("e/g", "y")}), changed(7, "d/f"));
  EXPECT_FALSE(file_exists(dir_ / "e"));
  write_file(dir_ / "b", "new\n");
  const std::string saved = state_directory(dir_.path()) + "/saved/" + task;
  EXPECT_EQ(finish(server, 8, task, false),
            tool_line(8, json{{"committed", false}, {"saved", {saved + "/a", saved + "/c"}}}));
  const std::vector<std::pair<std::string, std::string>> files = {{"a", "start\n"},
                                                                  {"c", "c0\n"},
                                                                  {"b", "new\n"},
                                                                  {"d/f", "made\n"},
                                                                  {saved + "/a", "user v3\n"},
                                                                  {saved + "/c", "theirs\n"}};
  for (const auto& [path, bytes] : files) {
    EXPECT_EQ(read_file(path.starts_with("/") ? path : dir_ / path), bytes) << path;
  }
}

// The confinement cannot keep the code under test out of the root, so whatever a run does to the
// protected files fails it, even with exit status 0, and is undone; the set is remembered as
// rejected. Bytes written back unchanged are no change.
TEST_F(TaskSession, WhatARunDoesToProtectedFilesFailsItAndIsUndone) {
  write_file(dir_ / "tests/test_a.py", "assert real\n", 0644);
  write_file(dir_ / "tests/deeper/test_c.py", "assert deeper\n");
  ServerSession server(dir_.path(), "",
                       "exec \"$@\" --root . --protect 'tests/**' --protect conftest.py");
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"echo 'assert True' > tests/test_a.py", "tests/test_a.py"},
      {"echo 'import pytest' > conftest.py", "conftest.py"},
      {"chmod 600 tests/test_a.py", "tests/test_a.py"},
      {"echo 'assert 1' > tests/deeper/test_c.py", "tests/deeper/test_c.py"},
      {"mv tests/test_a.py tests/test_b.py", "tests/test_a.py, tests/test_b.py"},
      {"rm tests/test_a.py", "tests/test_a.py"},
      {"cat tests/test_a.py > t; cat t > tests/test_a.py; touch tests/test_a.py", ""},
  };
  int id = 1;
  for (const auto& [verify_cmd, changed] : rows) {
    SCOPED_TRACE(verify_cmd);
    const std::string task = start_task(server, verify_cmd, {"x"});
    const json verdict = tool_text(propose(server, ++id, task, {edit("x", "x")}));
    EXPECT_EQ(verdict["passed"], changed.empty());
    EXPECT_EQ(verdict["output"],
              changed.empty() ? "" : "the verifier changed protected files: " + changed);
    EXPECT_EQ(read_file(dir_ / "tests/test_a.py"), "assert real\n");
    EXPECT_EQ(read_file(dir_ / "tests/deeper/test_c.py"), "assert deeper\n");
    EXPECT_EQ(fs::status(dir_ / "tests/test_a.py").permissions(), fs::perms(0644));
    EXPECT_FALSE(file_exists(dir_ / "conftest.py") || file_exists(dir_ / "tests/test_b.py"));
    if (changed.empty()) continue;
    EXPECT_EQ(tool_text(propose(server, ++id, task, {edit("x", "x")}))["output"],
              "identical edit-set already rejected; not re-applied");
  }
  const json started = tool_text(server.request(call_line(++id, "task_start",
                                                          {{"goal", "g"},
                                                           {"verify_cmd", "rm tests/test_a.py"},
                                                           {"files", {"x"}},
                                                           {"baseline", true}})));
  EXPECT_EQ(started["baseline"],
            json({{"output", "the verifier changed protected files: tests/test_a.py"},
                  {"passed", false}}));
  EXPECT_EQ(read_file(dir_ / "tests/test_a.py"), "assert real\n");
}

// A baseline is the verifier's verdict on the untouched files, not an attempt; a history can be
// read from an attempt on and without outputs.
TEST_F(TaskSession, BaselineAndACompactHistory) {
  ServerSession server(dir_.path());
  const json started = tool_text(server.request(call_line(
      1, "task_start",
      {{"goal", "g"}, {"verify_cmd", "echo base; exit 1"}, {"files", {"a"}}, {"baseline", true}})));
  EXPECT_EQ(started["baseline"], json({{"output", "base\n"}, {"passed", false}}));
  const std::string task = started["task_id"];
  for (const char* content : {"1", "2", "3"}) propose(server, 2, task, {edit("a", content)});
  EXPECT_EQ(server.request(direct_line(3, "task_history",
                                       {{"task_id", task}, {"since", 1}, {"outputs", false}})),
            R"({"id":3,"jsonrpc":"2.0","result":{"attempts":[{"attempt":2,"fingerprint":")" +
                print_of({{"a", "2"}}) + R"(","passed":false},{"attempt":3,"fingerprint":")" +
                print_of({{"a", "3"}}) + R"(","passed":false}]}})");
}

// --verify fixes the verifier: a task that leaves it out gets it, one that names it is accepted,
// one that names another is refused; the catalogue no longer requires it.
TEST_F(TaskSession, TheOperatorFixesTheVerifier) {
  ServerSession server(dir_.path(), "", "exec \"$@\" --verify 'echo fixed'");
  const std::string task = tool_text(
      server.request(call_line(1, "task_start", {{"goal", "g"}, {"files", {"a"}}})))["task_id"];
  EXPECT_EQ(tool_text(propose(server, 2, task, {edit("a", "x")}))["output"], "fixed\n");
  EXPECT_TRUE(tool_text(server.request(call_line(3, "task_start",
                                                 {{"goal", "g"}, {"verify_cmd", "echo fixed"}})))
                  .contains("task_id"));
  EXPECT_EQ(
      server.request(direct_line(4, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}})),
      error_line(4, -32602, "task_start failed: the verifier is fixed by the server: echo fixed"));
  const json tools = json::parse(server.request(R"({"id":5,"method":"tools/list"})"));
  EXPECT_EQ(tools["result"]["tools"][0]["inputSchema"]["required"], json({"goal"}));
}

// A file whose rollback failed holds bytes no verifier accepted: a finish puts it back first,
// and fails while it cannot.
TEST_F(TaskSession, AFailedRollbackIsFinishedBeforeTheTask) {
  write_file(dir_ / "a", "keep");
  ServerSession server(dir_.path());
  const std::string task = start_task(server, "rm a; mkdir a; exit 1", {"a"});
  propose(server, 2, task, {edit("a", "new")});
  EXPECT_EQ(finish(server, 3, task, true),
            tool_error_line(3,
                            "finish failed, task retained for retry: rollback failed for a: "
                            "Is a directory (os error 21)"));
  std::filesystem::remove(dir_ / "a");
  EXPECT_EQ(finish(server, 4, task, true), tool_line(4, json{{"committed", true}}));
  EXPECT_EQ(read_file(dir_ / "a"), "keep");
  EXPECT_EQ(server.wait().exit_code, 0);
  EXPECT_FALSE(file_exists(dir_ / ".quarry-agent-task"));
}

// A restore that fails keeps the task, in both forms; a later one succeeds, bringing back the
// directory that was removed.
TEST_F(TaskSession, FailedFinishKeepsTheTaskForARetry) {
  write_file(dir_ / "d/f.txt", "start");
  ServerSession server(dir_.path());
  const std::string task = start_task(server, "true", {"d/f.txt"});
  propose(server, 2, task, {edit("d/f.txt", "changed")});
  std::filesystem::remove_all(dir_ / "d");
  write_file(dir_ / "d", "in the way");
  const std::string failed =
      "finish failed, task retained for retry: Not a directory (os error 20)";
  EXPECT_EQ(server.request(direct_line(3, "task_finish", {{"task_id", task}, {"commit", false}})),
            error_line(3, -32002, failed));
  EXPECT_EQ(finish(server, 4, task, false), tool_error_line(4, failed));
  std::filesystem::remove(dir_ / "d");
  EXPECT_EQ(finish(server, 5, task, false), tool_line(5, json{{"committed", false}}));
  EXPECT_EQ(read_file(dir_ / "d/f.txt"), "start");
  EXPECT_EQ(server.request(direct_line(6, "task_history", {{"task_id", task}})),
            error_line(6, -32001, "unknown task_id: " + task));
}

// Rollback and restore put back only what they recorded: they never delete a file that existed
// before, never write through a link planted since, and report what they could not put back.
TEST_F(TaskSession, RollbackAndRestoreTouchOnlyWhatTheyRecorded) {
  struct Row {
    json files;  // the last one is edited
    std::string verify_cmd;
    bool restore;  // finish with commit false after the proposal
    std::string output;
    std::string check;  // shell that must succeed at the end
  };
  const std::string kept = "[ \"$(cat a)\" = keep ] && [ \"$(cat out/x)\" = other ]";
  const std::vector<Row> rows = {
      // Read before d existed, d/../a looked absent; the write went through d/.. into a.
      {{"d/../a"}, "exit 1", false, "", kept},
      {{"a", "e/../a"}, "true", true, "", kept},
      // The bytes the proposal found there are what the restore puts back.
      {{"e/../a"}, "true", true, "", kept},
      // Links to another file planted over a new file, and over an existing one.
      {{"n"}, "rm n; ln -s out/x n; exit 1", false, "", kept + " && [ -L n ]"},
      {{"n"}, "rm n; ln -s out/x n", true, "", kept + " && [ -L n ]"},
      {{"a"}, "rm a; ln -s out/x a; exit 1", false, "", kept + " && [ ! -L a ]"},
      {{"a"},
       "rm a; mkdir a; exit 1",
       false,
       "rollback failed for a: Is a directory (os error 21)",
       "[ -d a ]"},
      // A file the task created goes at the restore; the directory made for it stays.
      {{"d/n"}, "true", true, "", kept + " && [ ! -e d/n ] && [ -d d ]"},
      // Written through a dangling link, the target it created goes; the link stays.
      {{"l"}, "exit 1", false, "", kept + " && [ -L l ] && [ ! -e t ]"},
      {{"l"}, "true", true, "", kept + " && [ -L l ] && [ ! -e t ]"},
      // A deleted executable comes back with its mode, and so does one whose mode was changed.
      {{"a"}, "rm a; exit 1", false, "", kept + " && [ \"$(stat -c %a a)\" = 775 ]"},
      {{"a"}, "chmod 600 a; exit 1", false, "", kept + " && [ \"$(stat -c %a a)\" = 775 ]"},
      {{"a"}, "chmod 600 a", true, "", kept + " && [ \"$(stat -c %a a)\" = 775 ]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.files.dump() + " " + row.verify_cmd);
    TempDir dir;
    write_file(dir / "a", "keep", 0775);
    write_file(dir / "out/x", "other");
    ASSERT_TRUE(shell(dir.path(), "ln -s t l"));
    ServerSession server(dir.path());
    const std::string task = start_task(server, row.verify_cmd, row.files);
    EXPECT_EQ(tool_text(propose(server, 2, task, {edit(row.files.back(), "new")}))["output"],
              row.output);
    if (row.restore) {
      EXPECT_EQ(server.request(call_line(3, "task_finish", {{"task_id", task}, {"commit", false}})),
                tool_line(3, json{{"committed", false}}));
    }
    EXPECT_TRUE(shell(dir.path(), row.check));
  }
}

// With --root every path stays beneath the root, through symbolic links too, at start and at
// every later write and restore; --protect refuses what the patterns match where it leads.
TEST(Confinement, PathsLeadingOutOrProtectedAreRefused) {
  TempDir outside;
  TempDir root;
  write_file(outside / "x", "outside");
  write_file(root / "a", "a");
  write_file(root / "tests/x.py", "test");
  ASSERT_TRUE(shell(root.path(), "mkdir sub journals && ln -s " + outside.path() +
                                     " out && ln -s tests/x.py t.py && ln -s journals j"));
  // Started elsewhere, as clients do.
  ServerSession server(outside.path(), "",
                       "exec \"$@\" --root " + root.path() +
                           " --protect 'tests/**' --journal-dir " + root.path() + "/journals");
  const auto start = [&](int id, const std::string& path) {
    return server.request(
        direct_line(id, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}, {"files", {path}}}));
  };
  const std::string escapes = "task_start failed: path escapes the root: ";
  const std::string protected_ = "task_start failed: path is protected: ";
  const std::string reserved = "task_start failed: path is reserved for the undo journal: ";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"a", ""},
      {"./a", ""},
      {"sub/../a", ""},
      {root / "a", ""},
      {"src/new.c", ""},
      {"/etc/hostname", escapes},
      {"../x", escapes},
      {"out/x", escapes},
      {"none/../../x", escapes},
      {"tests/x.py", protected_},
      {"t.py", protected_},
      {"./journals", reserved},
      {"j/1-0.journal", reserved},
  };
  for (const auto& [path, refusal] : rows) {
    SCOPED_TRACE(path);
    const std::string reply = start(2, path);
    if (refusal.empty()) {
      EXPECT_TRUE(json::parse(reply)["result"].contains("task_id")) << reply;
    } else {
      EXPECT_EQ(reply, error_line(2, -32602, refusal + path));
    }
  }

  // A link planted after the start leads out: the write and the restore are refused.
  const std::string task = json::parse(start(3, "sub/f"))["result"]["task_id"];
  EXPECT_TRUE(tool_text(
      server.request(propose_line(4, task, json::array({edit("sub/f", "v1")}))))["passed"]);
  ASSERT_TRUE(shell(root.path(), "rm -r sub && ln -s " + outside.path() + " sub"));
  EXPECT_EQ(tool_text(server.request(
                propose_line(5, task, json::array({edit("sub/f", "v2")}))))["output"],
            "apply failed: path escapes the root: sub/f");
  EXPECT_EQ(server.request(direct_line(6, "task_finish", {{"task_id", task}, {"commit", false}})),
            error_line(6, -32002,
                       "finish failed, task retained for retry: path escapes the root: sub/f"));
  EXPECT_FALSE(file_exists(outside / "f"));
  EXPECT_EQ(read_file(outside / "x"), "outside");

  ServerSession missing(outside.path(), "", "exec \"$@\" --root " + (outside / "none"));
  const ServerRun refused = missing.wait();
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_EQ(refused.err, "quarry_agent_task: --root " + (outside / "none") +
                             ": No such file or directory (os error 2)\n");
}

// Ids match by exact bytes; the counter counts starts the engine refused, not those that failed
// to decode.
TEST_F(TaskSession, UnknownTaskIdsAndTheIdCounter) {
  ServerSession server(dir_.path());
  const auto id_of = [](const std::string& reply) {
    return tool_text(reply)["task_id"].get<std::string>();
  };
  const std::string first =
      id_of(server.request(call_line(1, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}})));
  EXPECT_TRUE(first.ends_with("-0")) << first;
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef", 5), first.rfind('-'));

  EXPECT_EQ(server.request(call_line(2, "task_start", {{"goal", "g"}})),
            tool_error_line(2, "invalid arguments: missing field `verify_cmd`"));
  EXPECT_EQ(server.request(direct_line(3, "task_start", {{"goal", 1}})),
            error_line(3, -32602, "invalid params: invalid type: integer `1`, expected a string"));
  EXPECT_EQ(
      server.request(direct_line(
          4, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}, {"min_mutation_score", 1.5}})),
      error_line(4, -32602,
                 "task_start failed: min_mutation_score must be between 0.0 and 1.0, got 1.5"));
  EXPECT_EQ(
      server.request(call_line(
          5, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}, {"min_mutation_score", 80}})),
      tool_error_line(5,
                      "task_start failed: min_mutation_score must be between 0.0 and 1.0, got 80"));
  const std::string next =
      id_of(server.request(call_line(6, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}})));
  EXPECT_TRUE(next.ends_with("-3")) << next;
  for (const std::string& other : {first + " ", "TASK" + first.substr(4)}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(server.request(propose_line(7, other, json::array({edit("a", "x")}))),
              tool_error_line(7, "unknown task_id: " + other));
    EXPECT_EQ(server.request(direct_line(8, "task_history", {{"task_id", other}})),
              error_line(8, -32001, "unknown task_id: " + other));
  }
  EXPECT_FALSE(file_exists(dir_ / "a"));
}

// With a fake bitegauge on PATH, the gate measures, passes, rejects (-32000 direct) and skips;
// only the direct start warns.
TEST_F(TaskSession, MutationGateAndWarningInTheReplies) {
  write_script(dir_ / "bin/bitegauge",
               "case \"$1\" in --version) echo 1.0 ;; run) echo 'Mutation score: 55%' ;;\n"
               "  --format) echo 'killed: 45, survived: 5' ;; esac");
  ServerSession server(dir_.path(), dir_ / "bin");
  const json passing = {{"goal", "g"}, {"verify_cmd", "pytest -q"}, {"min_mutation_score", 0.5}};
  const json started = tool_text(server.request(call_line(1, "task_start", passing)));
  EXPECT_EQ(
      started["mutation_gate"],
      json({{"score", 0.9}, {"status", "measured"}, {"threshold", 0.5}, {"tool", "bitegauge"}}));
  EXPECT_FALSE(started.contains("verifier_warning"));
  const json direct = json::parse(server.request(direct_line(2, "task_start", passing)));
  EXPECT_EQ(direct["result"]["verifier_warning"],
            "Mutation score 55.0% is below 70% - verifier may be weak. Consider strengthening "
            "tests before relying on this gate. (Task started anyway; this is a warning, not a "
            "block.)");

  const json rejected = {{"goal", "g"}, {"verify_cmd", "pytest -q"}, {"min_mutation_score", 0.95}};
  const std::string message =
      "task_start failed: mutation gate rejected: verifier mutation score 90.0% below minimum "
      "95.0% (measured with bitegauge)";
  EXPECT_EQ(server.request(direct_line(3, "task_start", rejected)), error_line(3, -32000, message));
  EXPECT_EQ(server.request(call_line(4, "task_start", rejected)), tool_error_line(4, message));
  const json skipped = {{"goal", "g"}, {"verify_cmd", "make check"}, {"min_mutation_score", 0.5}};
  EXPECT_EQ(tool_text(server.request(call_line(5, "task_start", skipped)))["mutation_gate"],
            json({{"status", "skipped"}, {"threshold", 0.5}}));
  EXPECT_EQ(server.wait().err, "");
}

}  // namespace
}  // namespace quarry::testing
