#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace quarry {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

Command shell(const std::string& script) {
  return Command{"sh", {"-c", script}};
}

Fd make_pipe(Fd& write_end) {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  write_end.reset(ends[1]);
  return Fd(ends[0]);
}

// Whether `pid` ends within five seconds: it no longer exists, or is a zombie waiting for its
// new parent.
bool ends_soon(pid_t pid) {
  for (const auto until = Clock::now() + seconds{5}; Clock::now() < until;
       std::this_thread::sleep_for(milliseconds{10})) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, name, state;
    if (stat >> pid_field >> name >> state && state == "Z") return true;
  }
  return false;
}

TEST(Process, MissingProgramIsNotFound) {
  // A spawn failure must come back as the OS error, not as a child that exits 127.
  Result<RunResult> ran = run(Command{"quarry-no-such-program", {}});
  ASSERT_FALSE(ran.ok());
  EXPECT_EQ(ran.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(ran.error().message, "No such file or directory (os error 2)");
}

TEST(Process, ReportsExitCodeOrKillingSignal) {
  // Guards against reading a signal death as an exit code (or the reverse).
  struct Case {
    std::string script;
    ExitStatus::How how;
    int value;
  };
  const Case cases[] = {
      {"exit 0", ExitStatus::How::Exited, 0},
      {"exit 3", ExitStatus::How::Exited, 3},
      {"kill -9 $$", ExitStatus::How::Signaled, SIGKILL},
      {"kill -TERM $$", ExitStatus::How::Signaled, SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    Result<RunResult> ran = run(shell(c.script));
    ASSERT_TRUE(ran.ok()) << ran.error().message;
    EXPECT_EQ(ran.value().status.how, c.how);
    EXPECT_EQ(ran.value().status.value, c.value);
    EXPECT_EQ(ran.value().status.success(), c.script == "exit 0");
  }
}

TEST(Process, DrainsMegabytesOnBothStreams) {
  // A parent that reads one pipe to its end before the other deadlocks here: the child blocks
  // on a full standard-error pipe while standard output is still open.
  Result<RunResult> ran =
      run(shell("head -c 50000000 /dev/zero; head -c 50000000 /dev/zero >&2; echo end >&2"));
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_TRUE(ran.value().status.success());
  EXPECT_EQ(ran.value().out.size(), 50000000u);
  EXPECT_EQ(ran.value().err.size(), 50000004u);
  EXPECT_EQ(ran.value().err.substr(50000000), "end\n");
}

TEST(Process, CaptureLimitKeepsPrefixWhileChildFinishes) {
  // Bytes past the limit must still be read: a child blocked on a full pipe never reaches its
  // exit code.
  RunOptions options;
  options.capture_limit = 6;
  Result<RunResult> ran = run(shell("seq 1 1000000; echo done >&2; exit 4"), options);
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_EQ(ran.value().out, "1\n2\n3\n");
  EXPECT_EQ(ran.value().err, "done\n");
  EXPECT_EQ(ran.value().status.how, ExitStatus::How::Exited);
  EXPECT_EQ(ran.value().status.value, 4);
}

TEST(Process, TimeLimitKillsChild) {
  RunOptions options;
  options.time_limit = milliseconds{200};
  const auto started = Clock::now();
  Result<RunResult> ran = run(Command{"sleep", {"30"}}, options);
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_LT(Clock::now() - started, seconds{5});
  EXPECT_TRUE(ran.value().timed_out);
  EXPECT_EQ(ran.value().status.how, ExitStatus::How::Signaled);
  EXPECT_EQ(ran.value().status.value, SIGKILL);
}

TEST(Process, InterruptKillsWholeProcessGroup) {
  // Killing only the shell would leave its background job running after the run.
  Fd trigger;
  Fd interrupt = make_pipe(trigger);
  Command command = shell("sleep 30 & echo $!; sleep 30");
  command.own_process_group = true;
  RunOptions options;
  options.hooks.interrupt_fd = interrupt.get();
  options.hooks.tick_interval = milliseconds{300};
  options.hooks.on_tick = [&trigger] { ASSERT_EQ(::write(trigger.get(), "x", 1), 1); };
  const auto started = Clock::now();
  Result<RunResult> ran = run(command, options);
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_LT(Clock::now() - started, seconds{5});
  EXPECT_TRUE(ran.value().interrupted);
  const pid_t background = std::stoi(ran.value().out);
  EXPECT_TRUE(ends_soon(background));
}

TEST(Process, BackgroundJobHoldingPipeDoesNotBlock) {
  // The shell exits at once but its background job keeps standard output open for seconds;
  // waiting for that end-of-file would block the caller as long. A job left in the group of a
  // child that leads one (a verifier, a mutation tool) would go on writing after the verdict.
  for (const bool own_group : {false, true}) {
    SCOPED_TRACE(own_group ? "own group" : "shared group");
    Command command = shell("sleep 30 & echo $!");
    command.own_process_group = own_group;
    const auto started = Clock::now();
    Result<RunResult> ran = run(command);
    const auto took = Clock::now() - started;
    ASSERT_TRUE(ran.ok()) << ran.error().message;
    const pid_t background = std::stoi(ran.value().out);
    if (own_group) {
      EXPECT_TRUE(ends_soon(background));
    } else {
      EXPECT_EQ(::kill(background, 0), 0);
    }
    ::kill(background, SIGKILL);
    EXPECT_LT(took, seconds{3});
    EXPECT_TRUE(ran.value().status.success());
  }
}

TEST(Process, AbandonedRunStartsNoChild) {
  // Once a request is cancelled, the next tool of a sequence must not start at all.
  testing::TempDir dir;
  RunOptions options;
  options.hooks.abandoned = [] { return true; };
  Result<RunResult> ran = run(shell("touch " + dir / "ran"), options);
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_TRUE(ran.value().interrupted);
  EXPECT_FALSE(ran.value().status.success());
  EXPECT_FALSE(testing::file_exists(dir / "ran"));
}

TEST(Process, ChildReadingStdinSeesEndOfFile) {
  // A child inheriting the server's standard input would hang, or eat protocol lines.
  RunOptions options;
  options.time_limit = seconds{10};
  Result<RunResult> ran = run(shell("if read line; then echo got; else echo eof; fi"), options);
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_FALSE(ran.value().timed_out);
  EXPECT_EQ(ran.value().out, "eof\n");
}

TEST(Process, NoDescriptorLeaksIntoChild) {
  // Open descriptors of the parent, close-on-exec or not, must not reach the child: ls sees
  // its three standard streams and the directory it opened itself.
  Fd inheritable(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(inheritable);
  Fd trigger;
  Fd interrupt = make_pipe(trigger);
  RunOptions options;
  options.hooks.interrupt_fd = interrupt.get();
  Result<RunResult> ran = run(Command{"ls", {"/proc/self/fd"}}, options);
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_EQ(ran.value().out, "0\n1\n2\n3\n");
}

TEST(Process, ChildStartsWithDefaultSigpipe) {
  // The server ignores SIGPIPE; a child inheriting that would survive it, so `producer | head`
  // pipelines in a verifier never finish.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous = {};
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  Result<RunResult> ran = run(shell("kill -PIPE $$; exit 0"));
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_EQ(ran.value().status.how, ExitStatus::How::Signaled);
  EXPECT_EQ(ran.value().status.value, SIGPIPE);
}

TEST(Process, OnTickCalledWhileChildRuns) {
  int ticks = 0;
  RunOptions options;
  options.hooks.tick_interval = milliseconds{50};
  options.hooks.on_tick = [&ticks] { ++ticks; };
  const auto started = Clock::now();
  Result<RunResult> ran = run(Command{"sleep", {"0.6"}}, options);
  const auto took = Clock::now() - started;
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_GE(ticks, 4);
  // More would mean the hook is called in bursts rather than once per interval.
  EXPECT_LE(ticks, took / milliseconds{50});
}

}  // namespace
}  // namespace quarry
