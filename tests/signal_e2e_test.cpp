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

// One arriving while the verifier runs rolls the edits back before the process ends by it,
// within a second, also when a client that stopped reading has filled the output pipe and a reply
// write is blocked there (a client would then send SIGKILL and leave the edits on disk).
TEST(TerminationSignal, DuringAProposalRollsBackAndEndsByTheSignal) {
  for (const auto& [signal_number, stalled_row] :
       {std::pair{SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGTERM, true}}) {
    const bool stalled = stalled_row;  // clang 14 captures no structured binding
    SCOPED_TRACE(std::to_string(signal_number) + (stalled ? " stalled" : ""));
    TempDir dir;
    const std::string original("start\0bytes\n", 12);
    write_file(dir / "a", original);
    ServerSession server(dir.path());
    if (stalled) server.shrink_output_pipe();
    const std::string task = start_task(server, "touch started; sleep 30", {"a", "new/b"});
    // Three catalogues, more than the pipe holds, are held back until the verifier is about to
    // start, and their flush blocks there.
    const std::string list = R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})"
                             "\n";
    server.send((stalled ? list + list + list : "") +
                propose_line(2, task,
                             {{{"path", "a"}, {"content", "unverified"}},
                              {{"path", "new/b"}, {"content", "x"}}}));
    // Stalled, the verifier never starts; otherwise it is killed once it has.
    if (stalled) std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(wait_until(
        [&] {
          return read_file(dir / "a") == "unverified" && file_exists(dir / "started") != stalled;
        },
        5s));

    const auto sent = std::chrono::steady_clock::now();
    ::kill(server.pid(), signal_number);
    const ServerRun run = server.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_EQ(run.signal, signal_number);
    EXPECT_EQ(read_file(dir / "a"), original);
    EXPECT_FALSE(file_exists(dir / "new/b"));
  }
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
