#include "mutation_gate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace quarry {
namespace {

constexpr const char* kMeasuringRunFailed =
    "mutation_gate: bitegauge probe (--format summary) failed; the CLI invocation may be wrong "
    "for this bitegauge version; gate skipped\n";
constexpr const char* kReportUnparsed =
    "mutation_gate: bitegauge ran but its output could not be parsed; gate skipped\n";

// Fake bitegauge scripts for the gate's probe and summary run.
class MutationGateTools : public testing::FakeToolsTest {
 protected:
  // bitegauge that passes its probe and prints `summary` for `--format summary`.
  void bitegauge_printing(const std::string& summary) {
    tool(
        "bitegauge",
        "case \"$*\" in\n--version) echo 'bitegauge 1.0' ;;\n'--format summary') printf '%s\\n' '" +
            summary + "' ;;\n*) exit 2 ;;\nesac");
  }

  void bitegauge_marking() { tool("bitegauge", "touch \"$MARK\"\necho 'killed: 1, survived: 9'"); }
};

TEST(MutationGate, ParseSummaryScoreReadsCountsPercentagesAndRatios) {
  struct Row {
    const char* summary;
    std::optional<double> score;
  };
  const std::vector<Row> rows = {
      {"killed: 45, survived: 5", 0.9},
      {"KILLED: 45, SURVIVED: 5", 0.9},
      // The number after "killed" is 5 and none follows "survived"; no other form is tried.
      {"45 killed, 5 survived", std::nullopt},
      {"45 killed, 5 survived\nMutation score: 85%", 0.85},
      {"killed: 0, survived: 0", std::nullopt},
      {"Mutation score: 85.0%", 0.85},
      {"score 80% (killed 40 of 50)", 0.8},
      {"score 90% then 150%", std::nullopt},
      {"mutation score 1.2.3%", std::nullopt},
      {"17 of 20 mutants killed", 0.85},
      {"17/20 killed", 0.85},
      {"killed 17/20", std::nullopt},
      {"21/20 killed", std::nullopt},
      {"21 of 20 killed", 1.05},
      {"1 of 2 of 4 killed", 0.5},
      {"3/4 1/2 killed", 0.5},
      {"1/2 3/0 killed", 0.5},
      {"x of 0 killed", std::nullopt},
      {"killed: 40, of 50", std::nullopt},
      {"17 OF 20 MUTANTS KILLED", 0.85},
      {"bitegauge 1.0\r\nscore: 12%\r\n", 0.12},
      {"Mutation score: 85%\nkilled: 1, survived: 1", 0.85},
      {"coverage 40%\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.summary);
    const std::optional<double> score = parse_summary_score(row.summary);
    ASSERT_EQ(score.has_value(), row.score.has_value());
    if (score) {
      EXPECT_DOUBLE_EQ(*score, *row.score);
    }
  }
}

TEST(MutationGate, ExtractNumberAfterTakesTheFirstNumberPastTheWord) {
  struct Row {
    const char* line;
    const char* word;
    std::optional<double> number;
  };
  const std::vector<Row> rows = {
      {"killed: 45, survived: 5", "killed", 45.0},
      {"killed: 45, survived: 5", "survived", 5.0},
      {"45 killed, 5 survived", "killed", 5.0},
      {"45 killed, 5 survived", "survived", std::nullopt},
      {"killed x 12.5 of them", "killed", 12.5},
      {"killed: -3", "killed", 3.0},
      {"killed 1.5.", "killed", std::nullopt},
      {"killed 7 killed 9", "killed", 7.0},
      {"no such word 5", "killed", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.line) + " / " + row.word);
    EXPECT_EQ(extract_number_after(row.line, row.word), row.number);
  }
}

TEST(MutationGate, ParsePercentageReadsOnlyTheLastPercentSign) {
  struct Row {
    const char* line;
    std::optional<double> fraction;
  };
  const std::vector<Row> rows = {
      {"mutation score: 85.0%", 0.85},
      {"100%", 1.0},
      {"0%", 0.0},
      {"a 50% b 60%", 0.6},
      {"50% and 150%", std::nullopt},
      {"100.1%", std::nullopt},
      {"score %", std::nullopt},
      {"score 85 %", std::nullopt},
      {"v1.2.85%", std::nullopt},
      {"-5%", 0.05},
      {"no percent sign", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const std::optional<double> fraction = parse_percentage(row.line);
    ASSERT_EQ(fraction.has_value(), row.fraction.has_value());
    if (fraction) {
      EXPECT_DOUBLE_EQ(*fraction, *row.fraction);
    }
  }
}

TEST_F(MutationGateTools, NoMinimumStartsNoProcess) {
  bitegauge_marking();
  const Result<std::optional<MutationMeasurement>> gate = run_mutation_gate(std::nullopt, "pytest");
  ASSERT_TRUE(gate.ok());
  EXPECT_FALSE(gate.value().has_value());
  EXPECT_FALSE(marked());
}

TEST_F(MutationGateTools, MinimumOutsideTheUnitRangeIsInvalidInput) {
  struct Row {
    double minimum;
    const char* shown;
  };
  const std::vector<Row> rows = {
      {1.5, "1.5"},
      {80.0, "80"},
      {-0.25, "-0.25"},
      {1.0000000000000002, "1.0000000000000002"},
      {1e21, "1000000000000000000000"},
      {-1e-7, "-0.0000001"},
      {-2.5e-5, "-0.000025"},
      {123.456, "123.456"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  bitegauge_marking();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown);
    const Result<std::optional<MutationMeasurement>> gate =
        run_mutation_gate(row.minimum, "pytest");
    ASSERT_FALSE(gate.ok());
    EXPECT_EQ(gate.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(gate.error().message,
              std::string("min_mutation_score must be between 0.0 and 1.0, got ") + row.shown);
  }
  EXPECT_FALSE(marked());
}

TEST_F(MutationGateTools, ScoreBelowTheMinimumIsRejected) {
  bitegauge_printing("killed: 45, survived: 5");
  const Result<std::optional<MutationMeasurement>> gate = run_mutation_gate(0.95, "pytest -q");
  ASSERT_FALSE(gate.ok());
  EXPECT_EQ(gate.error().kind, ErrorKind::PermissionDenied);
  EXPECT_EQ(gate.error().message,
            "mutation gate rejected: verifier mutation score 90.0% below minimum 95.0% (measured "
            "with bitegauge)");
}

TEST_F(MutationGateTools, ScoreAtOrAboveTheMinimumPassesWithTheMeasurement) {
  struct Row {
    const char* summary;
    double minimum;
    double score;
  };
  const std::vector<Row> rows = {
      {"killed: 45, survived: 5", 0.9, 0.9},
      {"killed: 0, survived: 10", 0.0, 0.0},
      {"killed: 10, survived: 0", 1.0, 1.0},
      {"21 of 20 killed", 1.0, 1.05},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.summary);
    bitegauge_printing(row.summary);
    const Result<std::optional<MutationMeasurement>> gate =
        run_mutation_gate(row.minimum, "pytest");
    ASSERT_TRUE(gate.ok()) << gate.error().message;
    ASSERT_TRUE(gate.value().has_value());
    EXPECT_EQ(gate.value()->tool, "bitegauge");
    EXPECT_DOUBLE_EQ(gate.value()->score, row.score);
  }
}

TEST_F(MutationGateTools, MinimumOfOneRejectsAnyImperfectScore) {
  bitegauge_printing("Mutation score: 99.9%");
  const Result<std::optional<MutationMeasurement>> gate = run_mutation_gate(1.0, "PYTEST");
  ASSERT_FALSE(gate.ok());
  EXPECT_EQ(gate.error().message,
            "mutation gate rejected: verifier mutation score 99.9% below minimum 100.0% (measured "
            "with bitegauge)");
}

TEST_F(MutationGateTools, MissingBitegaugeSkipsSilently) {
  std::optional<Result<std::optional<MutationMeasurement>>> gate;
  EXPECT_EQ(stderr_of([&] { gate.emplace(run_mutation_gate(0.5, "pytest")); }), "");
  ASSERT_TRUE(gate->ok());
  EXPECT_FALSE(gate->value().has_value());
}

TEST_F(MutationGateTools, FailedVersionProbeSkipsSilently) {
  tool("bitegauge", "[ \"$1\" = --version ] && exit 1\ntouch \"$MARK\"\necho 'score 10%'");
  std::optional<MutationMeasurement> measurement;
  EXPECT_EQ(stderr_of([&] { measurement = measure_verifier_strength("pytest"); }), "");
  EXPECT_FALSE(measurement.has_value());
  EXPECT_FALSE(marked());
}

TEST_F(MutationGateTools, FailedMeasuringRunIsReportedOnStandardError) {
  struct Row {
    const char* why;
    const char* measuring_body;
  };
  const std::vector<Row> rows = {
      {"non-zero exit", "echo 'killed: 45, survived: 5'\nexit 1"},
      {"killed by a signal", "echo 'killed: 45, survived: 5'\nkill -9 $$"},
      {"invalid UTF-8", "printf 'killed: 45, survived: 5 \\377\\n'"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    tool("bitegauge", std::string("[ \"$1\" = --version ] && exit 0\n") + row.measuring_body);
    std::optional<Result<std::optional<MutationMeasurement>>> gate;
    EXPECT_EQ(stderr_of([&] { gate.emplace(run_mutation_gate(0.95, "pytest")); }),
              kMeasuringRunFailed);
    ASSERT_TRUE(gate->ok());
    EXPECT_FALSE(gate->value().has_value());
  }
}

TEST_F(MutationGateTools, UnparseableSummaryIsReportedOnStandardError) {
  bitegauge_printing("45 killed, 5 survived");
  std::optional<Result<std::optional<MutationMeasurement>>> gate;
  EXPECT_EQ(stderr_of([&] { gate.emplace(run_mutation_gate(0.5, "pytest")); }), kReportUnparsed);
  ASSERT_TRUE(gate->ok());
  EXPECT_FALSE(gate->value().has_value());
}

// The tool's own standard error is discarded: it neither feeds the parser nor reaches ours.
TEST_F(MutationGateTools, ToolStandardErrorIsDiscarded) {
  tool("bitegauge",
       "[ \"$1\" = --version ] && exit 0\necho 'nothing here'\n"
       "echo 'killed: 45, survived: 5' >&2");
  std::optional<MutationMeasurement> measurement;
  EXPECT_EQ(stderr_of([&] { measurement = measure_verifier_strength("pytest"); }), kReportUnparsed);
  EXPECT_FALSE(measurement.has_value());
}

TEST_F(MutationGateTools, CargoVerifiersRunBothProbesAndSkipSilently) {
  tool("cargo", "echo \"$*\" >> \"$LOG\"\necho 'killed: 1, survived: 9'");
  for (const char* verify_cmd : {"cargo test", "cargo nextest run", "CARGO TEST --all"}) {
    SCOPED_TRACE(verify_cmd);
    std::filesystem::remove(log());
    std::optional<Result<std::optional<MutationMeasurement>>> gate;
    EXPECT_EQ(stderr_of([&] { gate.emplace(run_mutation_gate(0.99, verify_cmd)); }), "");
    ASSERT_TRUE(gate->ok());
    EXPECT_FALSE(gate->value().has_value());
    EXPECT_EQ(logged(), "--version\nmutants --version\n");
  }
}

TEST_F(MutationGateTools, CargoMutantsProbeNeedsCargoFirst) {
  tool("cargo", "echo \"$*\" >> \"$LOG\"\nexit 1");
  EXPECT_FALSE(measure_verifier_strength("cargo test").has_value());
  EXPECT_EQ(logged(), "--version\n");
}

TEST_F(MutationGateTools, OtherVerifiersStartNoProcess) {
  bitegauge_marking();
  tool("cargo", "touch \"$MARK\"");
  for (const char* verify_cmd : {"make check", "cargo build", "npm test"}) {
    SCOPED_TRACE(verify_cmd);
    const Result<std::optional<MutationMeasurement>> gate = run_mutation_gate(0.5, verify_cmd);
    ASSERT_TRUE(gate.ok());
    EXPECT_FALSE(gate.value().has_value());
  }
  EXPECT_FALSE(marked());
}

// Guards against reading standard output only after the tool exits: a megabyte fills the pipe
// and the tool would sit blocked until the 300-second limit.
TEST_F(MutationGateTools, MegabyteBeforeTheSummaryDoesNotStall) {
  tool("bitegauge",
       "[ \"$1\" = --version ] && exit 0\n"
       "head -c 1048576 /dev/zero | tr '\\0' x\necho\n"
       "echo 'killed: 45, survived: 5'");
  const auto started = std::chrono::steady_clock::now();
  const std::optional<MutationMeasurement> measurement = measure_verifier_strength("pytest");
  ASSERT_TRUE(measurement.has_value());
  EXPECT_DOUBLE_EQ(measurement->score, 0.9);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

// Without the caller's hooks the client would see no progress during a measurement of up to
// 300 s.
TEST_F(MutationGateTools, CallerHooksReachTheToolRuns) {
  tool("bitegauge", "[ \"$1\" = --version ] && exit 0\nsleep 0.3\necho 'killed: 45, survived: 5'");
  int ticks = 0;
  RunHooks hooks;
  hooks.on_tick = [&ticks] { ++ticks; };
  hooks.tick_interval = std::chrono::milliseconds(20);
  const Result<std::optional<MutationMeasurement>> gate = run_mutation_gate(0.5, "pytest", hooks);
  ASSERT_TRUE(gate.ok());
  ASSERT_TRUE(gate.value().has_value());
  EXPECT_GT(ticks, 0);
}

TEST_F(MutationGateTools, RunToolReturnsStandardOutputOfACleanExit) {
  EXPECT_EQ(run_tool("sh", {"-c", "printf out; printf err >&2"}), "out");
  EXPECT_EQ(run_tool("sh", {"-c", "printf out; exit 3"}), std::nullopt);
  EXPECT_EQ(run_tool("no-such-program-anywhere", {"--version"}), std::nullopt);
}

}  // namespace
}  // namespace quarry
