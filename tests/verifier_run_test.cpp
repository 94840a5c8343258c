#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "agent_task.h"

namespace quarry {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";
const std::string kMarker = "\n...[truncated]";

std::string repeat(const std::string& piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// A shell command printing `count` copies of the character `c` on standard output.
std::string print_chars(std::size_t count, char c) {
  return "head -c " + std::to_string(count) + " /dev/zero | tr '\\0' '" + c + "'";
}

TEST(VerifierRun, VerdictAndOutput) {
  struct Case {
    std::string name;
    std::string cmd;
    bool passed;
    std::string output;
  };
  const Case cases[] = {
      {"silent pass", "true", true, ""},
      // The separator appears only when standard error has text, even with no stdout.
      {"stderr only", "echo oops >&2", true, "\n--- stderr ---\noops\n"},
      {"both streams", "echo out; echo err >&2; exit 1", false, "out\n\n--- stderr ---\nerr\n"},
      {"exit code", "exit 3", false, ""},
      {"killed by signal", "kill -9 $$", false, ""},
      {"command not found inside the shell", "quarry-no-such-command 2>/dev/null", false, ""},
      // A verifier reading standard input must see end-of-file, not the server's requests.
      {"stdin at end", "if read line; then echo got; else echo eof; fi", true, "eof\n"},
      {"exactly the limit", print_chars(8000, 'a'), true, std::string(8000, 'a')},
      {"one byte over", print_chars(8001, 'a'), true, std::string(8000, 'a') + kMarker},
      // "é" spans bytes 7999 and 8000: the cut falls before it.
      {"straddling character", print_chars(7999, 'a') + "; printf '\xC3\xA9tail'", true,
       std::string(7999, 'a') + kMarker},
      // 3000 bytes 0xFF become 9000 bytes of U+FFFD; 2666 whole ones fit.
      {"invalid bytes count as replaced", "head -c 3000 /dev/zero | tr '\\0' '\\377'", true,
       repeat(kFffd, 2666) + kMarker},
      // The limit is on the joined text: a long stdout pushes stderr out entirely.
      {"stderr pushed out", print_chars(9000, 'a') + "; echo err >&2", true,
       std::string(8000, 'a') + kMarker},
      {"stderr cut", print_chars(7990, 'a') + "; echo 0123456789 >&2", true,
       std::string(7990, 'a') + "\n--- stder" + kMarker},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Verdict verdict = run_verifier(c.cmd);
    EXPECT_EQ(verdict.passed, c.passed);
    EXPECT_EQ(verdict.output, c.output);
    EXPECT_FALSE(verdict.interrupted);
  }
}

TEST(VerifierRun, HugeOutputOnBothStreamsStaysBounded) {
  // Hundreds of megabytes must neither stall the verifier on a full pipe nor be held in
  // memory; the verdict keeps only the bounded prefix.
  const Verdict verdict =
      run_verifier("head -c 300000000 /dev/zero; head -c 300000000 /dev/zero >&2");
  EXPECT_TRUE(verdict.passed);
  EXPECT_EQ(verdict.output, std::string(8000, '\0') + kMarker);
}

TEST(VerifierRun, InterruptAbandonsRun) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(::write(ends[1], "x", 1), 1);
  RunHooks hooks;
  hooks.interrupt_fd = ends[0];
  const auto started = std::chrono::steady_clock::now();
  const Verdict verdict = run_verifier("sleep 30", hooks);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds{5});
  ::close(ends[0]);
  ::close(ends[1]);
  EXPECT_TRUE(verdict.interrupted);
  EXPECT_FALSE(verdict.passed);
}

TEST(VerifierRun, ShellThatCannotStartIsFailedVerdict) {
  // A start failure must become a verdict, never an error or a crash of the caller.
  const char* path = ::getenv("PATH");
  const std::optional<std::string> saved = path ? std::optional<std::string>(path) : std::nullopt;
  ASSERT_EQ(::setenv("PATH", "/quarry-nonexistent-directory", 1), 0);
  const Verdict verdict = run_verifier("true");
  if (saved) {
    ::setenv("PATH", saved->c_str(), 1);
  } else {
    ::unsetenv("PATH");
  }
  EXPECT_FALSE(verdict.passed);
  EXPECT_EQ(verdict.output, "failed to run verifier: No such file or directory (os error 2)");
  EXPECT_FALSE(verdict.interrupted);
}

}  // namespace
}  // namespace quarry
