// Verdicts through the built server: in the sessions that carry them, the output cut head and
// tail with its log, what the runners printed, the loop's state, histories that fit and the texts
// that say so; in the older sessions, the bytes as they were.
#include <gtest/gtest.h>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agentic.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kSummary =
    "FAILED tests/test_a.py::test_x - AssertionError\n1 failed, 999 passed\n";
const std::string kError = "src/native.c:3:5: error: expected ';' before 'return'\n";

std::string initialize_as(const std::string& version) {
  return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":")" +
         version + R"(","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})";
}

json edits(const std::string& content) {
  return json::array({{{"path", "a"}, {"content", content}}});
}

class VerdictSession : public ::testing::Test {
 protected:
  // A server with `options`, in a session of `version`.
  void open(const std::string& version, const std::string& options = "") {
    server_ = std::make_unique<ServerSession>(dir_.path(), "", "exec \"$@\" " + options);
    server_->request(initialize_as(version));
  }
  json call(int id, const std::string& tool, const json& arguments) {
    return tool_text(server_->request(call_line(id, tool, arguments)));
  }
  // 200 KB of passing tests, pytest's failure and summary, a compiler error on stderr.
  std::string long_failing_run() {
    std::string noise;
    for (int i = 0; noise.size() < 200'000; ++i) {
      noise += "tests/test_b.py::test_case_" + std::to_string(i) + " PASSED\n";
    }
    write_file(dir_ / "noise", noise + kSummary);
    write_file(dir_ / "error", kError);
    return noise;
  }

  TempDir dir_;
  std::unique_ptr<ServerSession> server_;
};

// What an agent needs of a long failing run fits a client's cap on results: the failure, the
// summary and the compiler error survive the cut, the log holds every byte the verifier wrote,
// and ten such attempts fit one history.
TEST_F(VerdictSession, ALongFailingRunFitsAndKeepsItsFailure) {
  const std::string noise = long_failing_run();
  open("2025-06-18");
  const std::string task = start_task(*server_, "cat noise; cat error >&2; exit 1", {"a"}, 12);
  const std::string first = server_->request(propose_line(2, task, edits("1")));
  const std::string text = json::parse(first)["result"]["content"][0]["text"];
  const json result = json::parse(text);
  const std::string log = state_directory(dir_.path()) + "/logs/" + task + "/1.log";
  EXPECT_LE(text.size(), 10240u);
  const std::string output = result["output"];
  for (const std::string& kept :
       {kSummary, "\n--- stderr ---\n" + kError, "bytes omitted; whole log: " + log + "]...\n"}) {
    EXPECT_NE(output.find(kept), std::string::npos) << kept;
  }
  json members = result;
  members.erase("output");
  members.erase("fingerprint");
  EXPECT_EQ(members, (json{{"attempt", 1},
                           {"attempts_left", 11},
                           {"verified", true},
                           {"counts", {{"failed", 1}, {"passed", 999}}},
                           {"log", log},
                           {"failures", {"tests/test_a.py::test_x"}},
                           {"passed", false}}));
  EXPECT_EQ(read_file(log), noise + kSummary + "\n--- stderr ---\n" + kError);
  EXPECT_EQ(fs::status(log).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(fs::path(log).parent_path()).permissions(), fs::perms::owner_all);

  for (int attempt = 2; attempt <= 10; ++attempt) {
    server_->request(propose_line(attempt + 1, task, edits(std::to_string(attempt))));
  }
  const std::string history = server_->request(call_line(12, "task_history", {{"task_id", task}}));
  const std::string history_text = json::parse(history)["result"]["content"][0]["text"];
  EXPECT_LE(history_text.size(), 12288u);
  const json records = json::parse(history_text)["attempts"];
  for (const json& record : records) {
    const std::string kept = record["output"];
    EXPECT_LE(kept.size(), 1024u);
    EXPECT_TRUE(kept.starts_with("...[") && kept.ends_with(kError + "\n...[truncated]")) << kept;
    EXPECT_NE(kept.find("; whole log: "), std::string::npos);
  }
  const json one = call(13, "task_history", {{"task_id", task}, {"attempt", 1}})["attempts"];
  EXPECT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0]["output"], output);
  EXPECT_EQ(one[0]["log"], log);
}

// The older sessions keep their bytes: the output's first 8000 bytes, no new member, and an
// attempt argument left unread.
TEST_F(VerdictSession, OlderSessionsKeepTheirBytes) {
  const std::string noise = long_failing_run();
  for (const std::string version : {"2024-11-05", "2025-03-26"}) {
    SCOPED_TRACE(version);
    open(version);
    const std::string task = start_task(*server_, "cat noise; cat error >&2; exit 1", {"a"});
    const json attempt = outcome(1, EditSet{{FileEdit{"a", "1"}}}.fingerprint(),
                                 noise.substr(0, 8000) + "\n...[truncated]", false);
    EXPECT_EQ(server_->request(propose_line(2, task, edits("1"))), tool_line(2, attempt));
    EXPECT_EQ(server_->request(call_line(3, "task_history", {{"task_id", task}, {"attempt", 9}})),
              tool_line(3, json{{"attempts", {attempt}}}));
  }
}

// What common runners printed reaches the result, each member only where it was recognised; a
// summary that says no test ran is an empty counts.
TEST_F(VerdictSession, FailuresAndCountsAreThoseRecognised) {
  const auto fixture = [](const std::string& name) {
    return read_file(std::string(QUARRY_RUNNER_FIXTURES) + "/" + name + ".txt");
  };
  const std::vector<std::pair<std::string, json>> rows = {
      {fixture("pytest_failing"),
       {{"counts", {{"errors", 1}, {"failed", 2}, {"passed", 4}, {"skipped", 1}}},
        {"failures",
         {"tests/test_calc.py::test_subtract", "tests/test_calc.py::test_table[2-2-5]",
          "tests/test_calc.py::test_with_config"}}}},
      {std::string(30'000, '.') + "\n" + fixture("jest_failing"),
       {{"counts", {{"failed", 1}, {"passed", 3}, {"skipped", 1}}},
        {"failures", {"cart › applies a discount", "./receipt.test.js"}}}},
      {"====== no tests ran in 0.01s ======\n", {{"counts", json::object()}}},
      {"All 12 checks passed\n", json::object()},
  };
  open("2025-11-25");
  const std::string task = start_task(*server_, "cat a; exit 1", {"a"});
  int id = 2;
  for (const auto& [printed, expected] : rows) {
    SCOPED_TRACE(printed.substr(0, 100));
    json result = call(id++, "task_propose", {{"task_id", task}, {"edits", edits(printed)}});
    for (const char* member :
         {"attempt", "attempts_left", "fingerprint", "log", "output", "passed", "verified"}) {
      result.erase(member);
    }
    EXPECT_EQ(result, expected);
  }
}

// A passing run that counts fewer tests than the baseline, or than the first run whose counts
// were recognised, is told apart, a run whose whole output holds no summary counting none; under
// --min-tests baseline it is rejected and its set refused when proposed again. A refusal says the
// verifier did not run.
TEST_F(VerdictSession, FewerTestsThanTheBaselineWarnOrReject) {
  const std::string warning_text = "the verifier ran 1 tests; the baseline ran 3";
  for (const bool reject : {false, true}) {
    SCOPED_TRACE(reject);
    write_file(dir_ / "a", "3 passed in 0.1s\n");
    open("2025-06-18", reject ? "--min-tests baseline" : "");
    const json started =
        call(1, "task_start",
             {{"goal", "g"}, {"verify_cmd", "cat a"}, {"files", {"a"}}, {"baseline", true}});
    EXPECT_EQ(started["baseline"]["counts"], (json{{"passed", 3}}));
    const std::string task = started["task_id"];
    const json fewer = call(2, "task_propose", {{"task_id", task}, {"edits", edits("1 passed\n")}});
    EXPECT_EQ(fewer["warning"], warning_text);
    EXPECT_EQ(fewer["passed"], !reject);
    if (reject) {
      EXPECT_EQ(fewer["output"],
                "rejected by --min-tests baseline: " + warning_text + "\n1 passed\n");
      EXPECT_EQ(call(3, "task_propose", {{"task_id", task}, {"edits", edits("1 passed\n")}}),
                (json{{"attempt", 2},
                      {"attempts_left", 2},
                      {"fingerprint", fewer["fingerprint"]},
                      {"output", "identical edit-set already rejected; not re-applied"},
                      {"passed", false},
                      {"verified", false}}));
    } else {
      EXPECT_EQ(call(3, "task_propose", {{"task_id", task}, {"edits", edits("fine\n")}})["warning"],
                "the verifier ran 0 tests; the baseline ran 3");
    }
  }
}

// The texts of the sessions with verdicts tell the truth about the loop and name a verifier the
// operator fixed.
TEST_F(VerdictSession, TextsSayWhatTheServerDoes) {
  open("2025-06-18", "--verify 'make check'");
  const std::string said = server_->request(initialize_as("2025-06-18")) +
                           server_->request(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
  for (const std::string text :
       {"every proposal is verified with `make check`",
        "every proposal is verified with make check.",
        "Maximum proposals, refused ones included, before the task refuses more",
        R"("min_mutation_score":{"description")", "must still be finished"}) {
    EXPECT_NE(said.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(said.find("After a rejection, read task_history"), std::string::npos);
}

}  // namespace
}  // namespace quarry::testing
