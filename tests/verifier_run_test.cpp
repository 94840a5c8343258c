#include <string>

#include <gtest/gtest.h>

#include "agent_task.h"

namespace quarry {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";
const std::string kMarker = "\n...[truncated]";

// A shell command printing `count` copies of the character `c` on standard output.
std::string print_chars(std::size_t count, char c) {
  return "head -c " + std::to_string(count) + " /dev/zero | tr '\\0' '" + c + "'";
}

TEST(VerifierRun, VerdictAndOutput) {
  std::string replaced;
  for (int i = 0; i < 2666; ++i) replaced += kFffd;
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
      {"exactly the limit", print_chars(8000, 'a'), true, std::string(8000, 'a')},
      {"one byte over", print_chars(8001, 'a'), true, std::string(8000, 'a') + kMarker},
      // "é" spans bytes 7999 and 8000: the cut falls before it.
      {"straddling character", print_chars(7999, 'a') + "; printf '\xC3\xA9tail'", true,
       std::string(7999, 'a') + kMarker},
      // 3000 bytes 0xFF become 9000 bytes of U+FFFD; 2666 whole ones fit.
      {"invalid bytes count as replaced", "head -c 3000 /dev/zero | tr '\\0' '\\377'", true,
       replaced + kMarker},
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
  // memory; the verdict keeps only the bounded prefix, and not the room the uncut text took,
  // since an attempt record holds it for the life of its task.
  const Verdict verdict =
      run_verifier("head -c 300000000 /dev/zero; head -c 300000000 /dev/zero >&2");
  EXPECT_TRUE(verdict.passed);
  EXPECT_EQ(verdict.output, std::string(8000, '\0') + kMarker);
  EXPECT_LT(verdict.output.capacity(), 8100u);
}

}  // namespace
}  // namespace quarry
