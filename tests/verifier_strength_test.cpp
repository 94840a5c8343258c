#include "verifier_strength.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace quarry {
namespace {

constexpr const char* kWarningTail =
    "% is below 70% - verifier may be weak. Consider strengthening tests before relying on this "
    "gate. (Task started anyway; this is a warning, not a block.)";

std::string warning_for(const std::string& score) {
  return "Mutation score " + score + kWarningTail;
}

// Fake mutation tools for the advisory check.
class VerifierStrengthTools : public testing::FakeToolsTest {
 protected:
  // bitegauge that passes its probe and prints `report` for `run`.
  void bitegauge_printing(const std::string& report) {
    tool("bitegauge", "case \"$1\" in\n--version) echo 'bitegauge 1.0' ;;\nrun) printf '%s\\n' '" +
                          report + "' ;;\n*) exit 2 ;;\nesac");
  }

  // Every tool this module might run, each leaving the marker behind.
  void tools_that_mark() {
    for (const char* name : {"bitegauge", "cargo-mutants", "cargo"}) {
      tool(name, "touch \"$MARK\"\necho 'Mutation score: 10%'");
    }
  }
};

TEST(VerifierStrength, ParseScoreReadsPercentagesThenRatios) {
  struct Row {
    const char* text;
    std::optional<double> score;
  };
  const std::vector<Row> rows = {
      {"Mutation score: 55%", 55.0},
      {"Mutation score: 70%", 70.0},
      {"Mutation score: 69.95%", 69.95},
      {"MUTATION SCORE: 42.5%", 42.5},
      {"Mutation score: 85.5%", 85.5},
      // Only a number written directly before its percent sign counts.
      {"Mutation score: 85.5 %", std::nullopt},
      {"coverage 150% score", std::nullopt},
      {"coverage 150% score 80%", 80.0},
      {"score 1.2.3%", std::nullopt},
      {"score 1.2.3% then 40%", 40.0},
      {"Mutation score: 55%\nscore 90%", 55.0},
      {"coverage 40%\nMutation score: 80%", 80.0},
      {"Mutation score: 55%\r\n", 55.0},
      {"12 mutants killed (9/12)", 75.0},
      {"killed 6/10", 60.0},
      {"9/12 killed", 75.0},
      {"killed 21/20", 105.0},
      {"killed 3/0", std::nullopt},
      {"killed 3/0 4/8", 50.0},
      {"killed +5/10", 50.0},
      {"killed inf/10", std::nullopt},
      {"killed nan/1", std::nullopt},
      {"9/12 mutants caught", std::nullopt},
      // Pass 1 looks at every line before pass 2 looks at any.
      {"killed 6/10\nMutation score: 80%", 80.0},
      // The digit buffer starts empty on every line.
      {"score 50\n%", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(parse_score(row.text), row.score);
  }
}

TEST(VerifierStrength, LowercaseCoversAsciiAndBeyond) {
  struct Row {
    const char* text;
    const char* lowered;
  };
  const std::vector<Row> rows = {
      {"PyTest -Q", "pytest -q"},
      {"CARGO TEST", "cargo test"},
      {"\xC3\x89"
       "COLE",
       "\xC3\xA9"
       "cole"},                                  // ÉCOLE
      {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1"},  // ΣΑ
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},  // DESERET CAPITAL LONG I
      {"\xFF"
       "A\xC3",
       "\xFF"
       "a\xC3"},  // invalid bytes are kept
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(lowercase(row.text), row.lowered);
  }
}

TEST(VerifierStrength, SplitWhitespaceHonoursUnicodeSpaces) {
  EXPECT_EQ(split_whitespace("  a\xC2\xA0"
                             "b\t\tc\xE3\x80\x80 "),
            (std::vector<std::string_view>{"a", "b", "c"}));
  EXPECT_TRUE(split_whitespace(" \n ").empty());
}

TEST(VerifierStrength, SplitLinesDropsOneCarriageReturnBeforeAFeed) {
  EXPECT_EQ(split_lines("a\r\nb\r\r\nc"), (std::vector<std::string_view>{"a", "b\r", "c"}));
  EXPECT_EQ(split_lines("a\n\nb\n"), (std::vector<std::string_view>{"a", "", "b"}));
  EXPECT_TRUE(split_lines("").empty());
}

TEST_F(VerifierStrengthTools, WarnsBelowSeventyPercent) {
  bitegauge_printing("Mutation score: 55%");
  EXPECT_EQ(check_verifier_strength("pytest -q"), warning_for("55.0"));
}

TEST_F(VerifierStrengthTools, NoWarningAtSeventyPercent) {
  bitegauge_printing("Mutation score: 70%");
  EXPECT_EQ(check_verifier_strength("pytest -q"), std::nullopt);
}

// The comparison uses the unrounded score, so a warning may show the threshold itself.
TEST_F(VerifierStrengthTools, WarningShowsTheScoreRoundedToOneDecimal) {
  bitegauge_printing("Mutation score: 69.95%");
  EXPECT_EQ(check_verifier_strength("python -m PYTEST"), warning_for("70.0"));
}

TEST_F(VerifierStrengthTools, RatioScoreWarns) {
  bitegauge_printing("killed 6/10");
  EXPECT_EQ(check_verifier_strength("pytest"), warning_for("60.0"));
  bitegauge_printing("12 mutants killed (9/12)");
  EXPECT_EQ(check_verifier_strength("pytest"), std::nullopt);
}

TEST_F(VerifierStrengthTools, PytestWinsOverCargoTest) {
  tools_that_mark();
  bitegauge_printing("Mutation score: 55%");
  EXPECT_EQ(check_verifier_strength("cargo test && pytest"), warning_for("55.0"));
  EXPECT_FALSE(marked());
}

TEST_F(VerifierStrengthTools, CargoTestProbesCargoMutantsAndMeasuresWithCargo) {
  tool("cargo-mutants", "echo \"cargo-mutants $*\" >> \"$LOG\"");
  tool("cargo", "echo \"cargo $*\" >> \"$LOG\"\necho 'killed 6/10'");
  EXPECT_EQ(check_verifier_strength("CARGO TEST --workspace"), warning_for("60.0"));
  EXPECT_EQ(logged(), "cargo-mutants --version\ncargo mutants --no-shuffle\n");
}

TEST_F(VerifierStrengthTools, UnrecognisedVerifiersStartNoProcess) {
  tools_that_mark();
  for (const char* verify_cmd : {"make check", "cargo nextest run", "cargo  test", ""}) {
    SCOPED_TRACE(verify_cmd);
    EXPECT_EQ(check_verifier_strength(verify_cmd), std::nullopt);
  }
  EXPECT_FALSE(marked());
}

TEST_F(VerifierStrengthTools, MissingToolGivesNoWarning) {
  EXPECT_FALSE(tool_available("bitegauge"));
  EXPECT_EQ(check_verifier_strength("pytest"), std::nullopt);
  EXPECT_EQ(check_verifier_strength("cargo test"), std::nullopt);
}

// A probe that fails means the tool is treated as absent: the measuring run never starts.
TEST_F(VerifierStrengthTools, FailedProbeSkipsTheMeasuringRun) {
  tool("bitegauge", "[ \"$1\" = --version ] && exit 3\ntouch \"$MARK\"\necho 'score 10%'");
  EXPECT_FALSE(tool_available("bitegauge"));
  EXPECT_EQ(check_verifier_strength("pytest"), std::nullopt);
  EXPECT_FALSE(marked());
}

TEST_F(VerifierStrengthTools, NonZeroExitIsIgnoredEvenWithAScore) {
  tool("bitegauge", "[ \"$1\" = --version ] && exit 0\necho 'Mutation score: 10%'\nexit 1");
  EXPECT_EQ(check_verifier_strength("pytest"), std::nullopt);
}

TEST_F(VerifierStrengthTools, ToolKilledBySignalGivesNoWarning) {
  tool("bitegauge", "[ \"$1\" = --version ] && exit 0\necho 'Mutation score: 10%'\nkill -9 $$");
  EXPECT_EQ(check_verifier_strength("pytest"), std::nullopt);
}

TEST_F(VerifierStrengthTools, ScoreOnlyOnStandardErrorIsFound) {
  tool("bitegauge",
       "[ \"$1\" = --version ] && exit 0\necho 'no numbers here'\n"
       "echo 'Mutation score: 40%' >&2");
  EXPECT_EQ(check_verifier_strength("pytest"), warning_for("40.0"));
}

// Each stream is judged on its own: bad bytes on standard output must not hide a score on
// standard error.
TEST_F(VerifierStrengthTools, InvalidUtf8StreamContributesNothing) {
  tool("bitegauge",
       "[ \"$1\" = --version ] && exit 0\nprintf 'Mutation score: 10%% \\377\\n'\n"
       "echo 'Mutation score: 50%' >&2");
  EXPECT_EQ(check_verifier_strength("pytest"), warning_for("50.0"));
}

// Guards against reading the pipes only after the child exits: a megabyte fills any pipe, and
// the tool would then sit blocked until the 120-second limit killed it.
TEST_F(VerifierStrengthTools, MegabyteBeforeTheScoreDoesNotStall) {
  tool("bitegauge",
       "[ \"$1\" = --version ] && exit 0\n"
       "head -c 1048576 /dev/zero | tr '\\0' x\necho\n"
       "head -c 1048576 /dev/zero | tr '\\0' y >&2\necho >&2\n"
       "echo 'Mutation score: 55%' >&2");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(check_verifier_strength("pytest"), warning_for("55.0"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

// A tool that reads its standard input sees end of input at once instead of waiting on the
// server's own input, which carries the protocol.
TEST_F(VerifierStrengthTools, ToolReadsEndOfInputFromStandardInput) {
  tool("bitegauge",
       "[ \"$1\" = --version ] && exit 0\n"
       "if [ -z \"$(cat)\" ]; then echo 'Mutation score: 20%'; fi");
  EXPECT_EQ(check_verifier_strength("pytest"), warning_for("20.0"));
}

// The caller's hooks must reach every tool run: without the ticks the client sees no progress
// during a long measurement, and without the interrupt a cancelled start waits out 120 s.
TEST_F(VerifierStrengthTools, CallerHooksReachTheToolRuns) {
  tool("bitegauge", "[ \"$1\" = --version ] && exit 0\nsleep 0.3\necho 'Mutation score: 55%'");
  int ticks = 0;
  RunHooks hooks;
  hooks.on_tick = [&ticks] { ++ticks; };
  hooks.tick_interval = std::chrono::milliseconds(20);
  EXPECT_EQ(check_verifier_strength("pytest", hooks), warning_for("55.0"));
  EXPECT_GT(ticks, 0);
}

TEST_F(VerifierStrengthTools, InterruptAbandonsTheToolRuns) {
  tool("bitegauge", "[ \"$1\" = --version ] && exit 0\nsleep 60\necho 'Mutation score: 55%'");
  int interrupt[2];
  ASSERT_EQ(pipe(interrupt), 0);
  ASSERT_EQ(write(interrupt[1], "x", 1), 1);
  RunHooks hooks;
  hooks.interrupt_fd = interrupt[0];
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(check_verifier_strength("pytest", hooks), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  close(interrupt[0]);
  close(interrupt[1]);
}

TEST_F(VerifierStrengthTools, RunWithTimeoutJoinsStandardOutputThenStandardError) {
  Command command;
  command.program = "sh";
  command.args = {"-c", "printf err >&2; printf out"};
  EXPECT_EQ(run_with_timeout(command), "outerr");
  command.args = {"-c", "printf out; exit 4"};
  EXPECT_EQ(run_with_timeout(command), std::nullopt);
  command.program = "no-such-program-anywhere";
  EXPECT_EQ(run_with_timeout(command), std::nullopt);
}

}  // namespace
}  // namespace quarry
