// Faults around a proposal through the built server: a disk that fills part-way through an
// edit-set, verifiers that die, close their output, leave children behind or read their input,
// and a client that stops reading replies.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agentic.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string propose(int id, const std::string& task, const std::vector<FileEdit>& edits) {
  json list = json::array();
  for (const FileEdit& e : edits) list.push_back({{"path", e.path}, {"content", e.content}});
  return propose_line(id, task, list);
}

// A write that fails part-way (here the file-size limit, 512-byte blocks, with SIGXFSZ at its
// default disposition: it must not end the server mid-transaction) must undo the edits before
// it, delete the file it was creating, and not remember the set as rejected.
TEST(DiskFault, WriteFailingPartWayRollsBackAndStaysRetryable) {
  TempDir dir;
  write_file(dir / "a", "a at start\n");
  ServerSession server(dir.path(), "", "ulimit -f 2; exec \"$@\"");
  const std::string task = start_task(server, "true", {"a", "b"});
  const std::vector<FileEdit> too_big = {{"a", "small"}, {"b", std::string(64 * 1024, 'x')}};
  for (int attempt = 1; attempt <= 2; ++attempt) {
    EXPECT_EQ(server.request(propose(attempt + 1, task, too_big)),
              tool_line(attempt + 1, outcome(attempt, EditSet{too_big}.fingerprint(),
                                             "apply failed: File too large (os error 27)", false)));
    EXPECT_EQ(read_file(dir / "a"), "a at start\n");
    EXPECT_FALSE(file_exists(dir / "b"));
  }
  const ServerRun run = server.wait();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
}

// Each verifier runs on a proposal of a → "new". The verdict is the shell's own exit status,
// taken when the shell exits; a failing verdict leaves a as it was; neither the reply nor the
// server's exit waits on anything the verifier left behind.
TEST(VerifierFault, VerdictIsTheShellsOwnExitStatus) {
  struct Row {
    std::string verify_cmd;
    std::string output;
    bool passed;
  };
  const std::vector<Row> rows = {
      // Death by a signal has no exit code; reading it as one (WEXITSTATUS of a signalled
      // status is 0) would keep the edits.
      {"echo before; kill -TERM $$", "before\n", false},
      // End of file on both pipes is not the child's exit: the verdict must wait for the status.
      {"exec >&- 2>&-; sleep 0.2; exit 3", "", false},
      {"exec >&- 2>&-; sleep 0.2; exit 0", "", true},
      // A straggler holds the pipes open for seconds; waiting for their end of file would stall
      // every client.
      {"(sleep 3; echo late) & echo done; exit 0", "done\n", true},
      // Standard input is the null device, never the protocol stream: a verifier that reads it
      // would otherwise block, or swallow the requests queued behind its proposal.
      {"timeout 2 cat; echo \"cat exit $?\"", "cat exit 0\n", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.verify_cmd);
    TempDir dir;
    write_file(dir / "a", "old");
    ServerSession server(dir.path());
    const std::string task = start_task(server, row.verify_cmd, {"a"});
    const std::vector<FileEdit> edits = {{"a", "new"}};
    const Clock::time_point sent = Clock::now();
    EXPECT_EQ(server.request(propose(2, task, edits)),
              tool_line(2, outcome(1, EditSet{edits}.fingerprint(), row.output, row.passed)));
    const ServerRun run = server.wait();
    EXPECT_LT(Clock::now() - sent, std::chrono::seconds(2));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(read_file(dir / "a"), row.passed ? "new" : "old");
  }
}

// Background jobs of a verifier would rewrite a file after its rollback, or pile up.
TEST(VerifierFault, NothingTheVerifierStartedOutlivesItsVerdict) {
  TempDir dir;
  write_file(dir / "a", "old");
  ServerSession server(dir.path());
  const std::string task = start_task(
      server, "echo $$ > pgid; (sleep 1; echo late > a) >/dev/null 2>&1 & sleep 20 & exit 1",
      {"a"});
  const std::vector<FileEdit> edits = {{"a", "new"}};
  EXPECT_EQ(server.request(propose(2, task, edits)),
            tool_line(2, outcome(1, EditSet{edits}.fingerprint(), "", false)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(read_file(dir / "a"), "old");
  EXPECT_TRUE(process_group_gone(std::stoi(read_file(dir / "pgid"))));
}

// A verifier that never ends (a test runner in watch mode) would hold every later request. The
// limit says nothing about the edits, so the same set is verified again, not refused.
TEST(VerifierFault, TimeLimitKillsTheVerifierAndTheSameSetRunsAgain) {
  TempDir dir;
  write_file(dir / "a", "old");
  ServerSession server(dir.path(), "", "exec \"$@\" --verify-timeout 1");
  const std::string task = start_task(server, "echo $$ > pgid; echo partial; sleep 30", {"a"});
  const std::vector<FileEdit> edits = {{"a", "new"}};
  for (int attempt = 1; attempt <= 2; ++attempt) {
    EXPECT_EQ(
        server.request(propose(attempt + 1, task, edits)),
        tool_line(attempt + 1,
                  outcome(attempt, EditSet{edits}.fingerprint(),
                          "verifier timed out after 1 s; edits rolled back\npartial\n", false)));
    EXPECT_EQ(read_file(dir / "a"), "old");
    EXPECT_TRUE(process_group_gone(std::stoi(read_file(dir / "pgid"))));
  }
}

}  // namespace
}  // namespace quarry::testing
