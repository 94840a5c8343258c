// Clients stop servers with SIGTERM, SIGINT or SIGHUP. One that arrives while the verifier
// runs must not leave the declared files holding an unverified edit-set.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace quarry::testing {
namespace {

using namespace std::chrono_literals;

TEST(TerminationSignal, DuringTheVerifierRollsBackAndEndsByTheSignal) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    TempDir dir;
    const std::string original("start\0bytes\n", 12);
    write_file(dir / "a", original);
    ServerSession server(dir.path());
    const std::string task = start_task(server, "sleep 30", {"a", "new/b"});
    server.send(propose_line(
        2, task,
        {{{"path", "a"}, {"content", "unverified"}}, {{"path", "new/b"}, {"content", "x"}}}));
    ASSERT_TRUE(wait_until([&] { return read_file(dir / "a") == "unverified"; }, 5s));

    const auto sent = std::chrono::steady_clock::now();
    ::kill(server.pid(), signal_number);
    const ServerRun run = server.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_EQ(run.signal, signal_number);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(dir / "a"), original);
    EXPECT_FALSE(file_exists(dir / "new/b"));
  }
}

// A client that stops reading fills the output pipe. A reply write blocked there must not hold
// off the rollback: a client that then sends SIGKILL would leave unverified edits on disk.
TEST(TerminationSignal, RollsBackWhileNobodyReadsTheReplies) {
  TempDir dir;
  write_file(dir / "a", "old");
  ServerSession server(dir.path());
  server.shrink_output_pipe();
  const std::string task = start_task(server, "touch started; sleep 30", {"a"});
  // Three catalogues, more than the pipe holds, are held back until the verifier is about to
  // start, and their flush blocks there.
  const std::string list = R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})";
  server.send(list + "\n" + list + "\n" + list + "\n" +
              propose_line(2, task, {{{"path", "a"}, {"content", "new"}}}));
  ASSERT_TRUE(wait_until([&] { return read_file(dir / "a") == "new"; }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(file_exists(dir / "started"));

  const auto sent = std::chrono::steady_clock::now();
  ::kill(server.pid(), SIGTERM);
  const ServerRun run = server.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
  EXPECT_EQ(run.signal, SIGTERM);
  EXPECT_EQ(read_file(dir / "a"), "old");
  EXPECT_FALSE(file_exists(dir / "started"));
}

// Between requests a termination request acts at once; a server started under nohup must not
// end at the hang-up it was started to survive.
TEST(TerminationSignal, AtRestEndsAtOnceUnlessIgnoredAtStart) {
  TempDir dir;
  ServerSession ignoring(dir.path(), "", "trap '' HUP; exec \"$@\"");
  EXPECT_EQ(ignoring.request(ping_line("1")), pong_line("1"));
  ::kill(ignoring.pid(), SIGHUP);
  EXPECT_EQ(ignoring.request(ping_line("2")), pong_line("2"));
  EXPECT_EQ(ignoring.wait().exit_code, 0);
  ServerSession server(dir.path());
  EXPECT_EQ(server.request(ping_line("1")), pong_line("1"));
  ::kill(server.pid(), SIGTERM);
  EXPECT_EQ(server.wait().signal, SIGTERM);
}

}  // namespace
}  // namespace quarry::testing
