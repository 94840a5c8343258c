// The verifier run and AgentTask in process: what the server's replies cannot show (how the
// verifier's child is started, the bytes on disk after a rollback) and the attempt rules.
#include "agent_task.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <tuple>

#include "test_support.h"

namespace quarry::testing {
namespace {

namespace fs = std::filesystem;

const std::string kMarker = "\n...[truncated]";

std::string print_a(int count) {
  return "head -c " + std::to_string(count) + " /dev/zero | tr '\\0' a";
}

// The output is cut on the joined text at 8000 bytes, stepping back to a character boundary,
// with invalid bytes counted as the three of U+FFFD. The child starts with SIGPIPE at its default
// although the server ignores it (else `producer | head` never ends), and with no descriptor of
// the server; a death by a signal is a failure (WEXITSTATUS of it reads 0); megabytes on both
// streams are drained together, or the child blocks on a full pipe, and only the bounded text is
// held on to. (Standard input at end of file is tested end to end, where it is the protocol.)
TEST(VerifierRun, VerdictAndOutput) {
  const std::string a(8000, 'a');
  std::string replaced;
  for (int i = 0; i < 2666; ++i) replaced += "\xEF\xBF\xBD";
  const std::tuple<std::string, bool, std::string> rows[] = {
      {"true", true, ""},
      {"echo oops >&2", true, "\n--- stderr ---\noops\n"},
      {"kill -PIPE $$; exit 0", false, ""},
      {"exec ls /proc/self/fd", true, "0\n1\n2\n3\n"},
      {print_a(8000), true, a},
      {print_a(8001), true, a + kMarker},
      {print_a(7999) + "; printf '\\303\\251tail'", true, a.substr(1) + kMarker},
      {"head -c 3000 /dev/zero | tr '\\0' '\\377'", true, replaced + kMarker},
      {print_a(9000) + "; echo err >&2", true, a + kMarker},
      {print_a(7990) + "; echo 0123456789 >&2", true, a.substr(10) + "\n--- stder" + kMarker},
      {"head -c 9000000 /dev/zero >&2; head -c 9000000 /dev/zero", true,
       std::string(8000, '\0') + kMarker},
  };
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  const int inheritable = ::open("/dev/null", O_RDONLY);
  for (const auto& [cmd, passed, output] : rows) {
    SCOPED_TRACE(cmd);
    const Verdict verdict = run_verifier(cmd);
    EXPECT_EQ(verdict.passed, passed);
    EXPECT_EQ(verdict.output, output);
    EXPECT_LT(verdict.output.capacity(), 8100u);
  }
  ::close(inheritable);
  std::signal(SIGPIPE, previous);
}

// Tasks work on paths relative to the working directory, as in the server.
class AgentTaskTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::current_path(dir_.path()); }
  void TearDown() override { fs::current_path(previous_); }

  static AgentTask start(const std::vector<std::string>& files, std::uint64_t max_attempts,
                         const std::string& verify_cmd) {
    Result<AgentTask> task = AgentTask::start("t", "goal", verify_cmd, files, max_attempts,
                                              std::nullopt, std::make_shared<TaskSettings>());
    EXPECT_TRUE(task.ok()) << (task.ok() ? "" : task.error().message);
    return std::move(task).value();
  }

  fs::path previous_ = fs::current_path();
  TempDir dir_;
};

TEST_F(AgentTaskTest, ZeroMaxAttemptsAdmitsOneProposal) {
  AgentTask task = start({"a"}, 0, "true");
  EXPECT_TRUE(task.propose({{"a", "x"}}).value().passed);
  EXPECT_EQ(task.propose({{"a", "y"}}).value().output, "max attempts (1) exceeded; task finished");
}

// A passing set proposed again is verified again; a rejected one is refused without a run, by
// its own task only, even when another task has the same goal.
TEST_F(AgentTaskTest, OnlyRejectedSetsAreRefusedAndOnlyByTheirTask) {
  AgentTask passing = start({"p"}, 4, "echo run >> log");
  AgentTask failing = start({"a"}, 4, "echo run >> log; false");
  AgentTask other = start({"a"}, 4, "echo run >> log; false");
  const std::pair<AgentTask*, const char*> proposals[] = {
      {&passing, "p"}, {&passing, "p"}, {&failing, "a"}, {&failing, "a"}, {&other, "a"}};
  for (const auto& [task, path] : proposals) static_cast<void>(task->propose({{path, "x"}}));
  EXPECT_EQ(read_file("log"), "run\nrun\nrun\nrun\n");
}

// A rollback puts back every byte value over several reads (a read stopping at a NUL or after
// one chunk loses the rest) and an empty file as empty, not absent; an edit keeps the file's
// mode. /proc files report size 0: a read trusting the size would snapshot them empty.
TEST_F(AgentTaskTest, RollbackPutsBackExactBytesAndEditsKeepTheMode) {
  std::string binary;
  for (int i = 0; i < 300000; ++i) binary.push_back(static_cast<char>(i * 131 + i / 977));
  write_file("bin", binary);
  write_file("empty", "");
  write_file("script", "", 0750);
  AgentTask task = start({"bin", "empty", "script"}, 4, "stat -c %a script; false");
  EXPECT_EQ(task.propose({{"bin", "x"}, {"empty", "y"}, {"script", "z"}}).value().output, "750\n");
  EXPECT_TRUE(read_file("bin") == binary);
  EXPECT_TRUE(file_exists("empty") && read_file("empty").empty());
  const Result<PriorState> proc = read_prior_state(Workspace::unconfined(), "/proc/self/status");
  ASSERT_TRUE(proc.ok());
  EXPECT_NE(proc.value().bytes->find("Name:"), std::string::npos);
}

}  // namespace
}  // namespace quarry::testing
