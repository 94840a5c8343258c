// Clients stop servers with SIGTERM, SIGINT or SIGHUP. One that arrives while the verifier
// runs must not leave the declared files holding an unverified edit-set.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "test_support.h"

namespace quarry::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

TEST(TerminationSignal, DuringTheVerifierRollsBackAndEndsByTheSignal) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    TempDir dir;
    const std::string original("start\0bytes\n", 12);
    write_file(dir / "a", original);
    ServerSession server(dir.path());
    const json started = json::parse(server.request(direct_line(
        1, "task_start", {{"goal", "g"}, {"verify_cmd", "sleep 30"}, {"files", {"a", "new/b"}}})));
    server.send(direct_line(
        2, "task_propose",
        {{"task_id", started["result"]["task_id"].get<std::string>()},
         {"edits",
          {{{"path", "a"}, {"content", "unverified"}}, {{"path", "new/b"}, {"content", "x"}}}}}));
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

// A mutation tool that hangs would otherwise hold the process for its whole time limit.
TEST(TerminationSignal, DuringAMutationToolKillsItAndEndsPromptly) {
  TempDir dir;
  TempDir tools;
  write_script(tools / "bitegauge", "touch \"$0.started\"; sleep 30");
  ServerSession server(dir.path(), tools.path());
  server.send(direct_line(1, "task_start",
                          {{"goal", "g"}, {"verify_cmd", "pytest"}, {"min_mutation_score", 0.5}}));
  ASSERT_TRUE(wait_until([&] { return file_exists(tools / "bitegauge.started"); }, 5s));

  const auto sent = std::chrono::steady_clock::now();
  ::kill(server.pid(), SIGTERM);
  EXPECT_EQ(server.wait().signal, SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
}

TEST(TerminationSignal, BetweenRequestsEndsTheProcessAtOnce) {
  TempDir dir;
  ServerSession server(dir.path());
  EXPECT_EQ(server.request(ping_line("1")), pong_line("1"));
  ::kill(server.pid(), SIGTERM);
  EXPECT_EQ(server.wait().signal, SIGTERM);
}

// A server started under nohup must not end at the hang-up it was started to survive.
TEST(TerminationSignal, IgnoredAtStartStaysIgnored) {
  TempDir dir;
  ServerSession server(dir.path(), "", "trap '' HUP; exec \"$@\"");
  EXPECT_EQ(server.request(ping_line("1")), pong_line("1"));
  ::kill(server.pid(), SIGHUP);
  EXPECT_EQ(server.request(ping_line("2")), pong_line("2"));
  EXPECT_EQ(server.wait().exit_code, 0);
}

}  // namespace
}  // namespace quarry::testing
