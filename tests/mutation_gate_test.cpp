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

using Gate = Result<std::optional<MutationMeasurement>>;

// Scores are computed by division, so they are compared to within a few units in the last place.
void expect_score(std::optional<double> score, std::optional<double> expected) {
  ASSERT_EQ(score.has_value(), expected.has_value());
  if (score) {
    EXPECT_DOUBLE_EQ(*score, *expected);
  }
}

// Fake bitegauge scripts for the gate's probe and summary run.
class MutationGateTools : public testing::FakeToolsTest {
 protected:
  // bitegauge that passes its probe and runs `body` for `--format summary`, failing otherwise.
  void bitegauge_running(const std::string& body) {
    tool("bitegauge", "case \"$*\" in\n--version) echo 'bitegauge 1.0' ;;\n'--format summary') " +
                          body + " ;;\n*) exit 2 ;;\nesac");
  }

  // Runs a gate that must be skipped, neither failing nor measuring; returns its standard error.
  std::string skipped_gate_stderr(std::optional<double> minimum, const std::string& verify_cmd) {
    std::optional<Gate> gate;
    const std::string err =
        stderr_of([&] { gate.emplace(run_mutation_gate(minimum, verify_cmd)); });
    EXPECT_TRUE(gate->ok() && !gate->value().has_value());
    return err;
  }
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
      {"1e300 of 1e-300 killed", std::nullopt},
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
    expect_score(parse_summary_score(row.summary), row.score);
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
    expect_score(parse_percentage(row.line), row.fraction);
  }
}

// A gate that has nothing to measure must not start bitegauge or cargo at all.
TEST_F(MutationGateTools, NoMinimumOrOtherVerifierStartsNoProcess) {
  struct Row {
    std::optional<double> minimum;
    const char* verify_cmd;
  };
  tool("bitegauge", "touch \"$MARK\"\necho 'killed: 1, survived: 9'");
  tool("cargo", "touch \"$MARK\"");
  for (const Row& row : std::vector<Row>{{std::nullopt, "pytest"},
                                         {0.5, "make check"},
                                         {0.5, "cargo build"},
                                         {0.5, "npm test"}}) {
    SCOPED_TRACE(row.verify_cmd);
    EXPECT_EQ(skipped_gate_stderr(row.minimum, row.verify_cmd), "");
  }
  EXPECT_FALSE(marked());
}

// A NaN minimum passes both "< 0" and "> 1" unnoticed unless it is rejected on its own.
TEST_F(MutationGateTools, MinimumOutsideTheUnitRangeIsInvalidInput) {
  struct Row {
    double minimum;
    const char* shown;
  };
  tool("bitegauge", "touch \"$MARK\"");
  for (const Row& row : std::vector<Row>{{1.5, "1.5"},
                                         {80.0, "80"},
                                         {-0.25, "-0.25"},
                                         {std::numeric_limits<double>::quiet_NaN(), "NaN"}}) {
    SCOPED_TRACE(row.shown);
    const Gate gate = run_mutation_gate(row.minimum, "pytest");
    ASSERT_FALSE(gate.ok());
    EXPECT_EQ(gate.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(gate.error().message,
              std::string("min_mutation_score must be between 0.0 and 1.0, got ") + row.shown);
  }
  EXPECT_FALSE(marked());
}

TEST_F(MutationGateTools, MeasuredScoreBelowTheMinimumIsRejected) {
  bitegauge_running("echo 'killed: 45, survived: 5'");
  const Gate gate = run_mutation_gate(0.95, "pytest -q");
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
  };
  // A minimum of 0.0 is still a gate: the measurement comes back, not "no gate".
  for (const Row& row :
       std::vector<Row>{{"killed: 45, survived: 5", 0.9}, {"killed: 0, survived: 10", 0.0}}) {
    SCOPED_TRACE(row.summary);
    bitegauge_running(std::string("echo '") + row.summary + "'");
    const Gate gate = run_mutation_gate(row.minimum, "pytest");
    ASSERT_TRUE(gate.ok()) << gate.error().message;
    ASSERT_TRUE(gate.value().has_value());
    EXPECT_EQ(gate.value()->tool, "bitegauge");
    EXPECT_DOUBLE_EQ(gate.value()->score, row.minimum);
  }
}

// An absent tool, or one whose probe fails, is not an error worth a word: the gate is skipped
// and the measuring run never starts.
TEST_F(MutationGateTools, MissingOrFailingBitegaugeSkipsSilently) {
  for (const bool installed : {false, true}) {
    SCOPED_TRACE(installed ? "probe fails" : "not installed");
    if (installed) {
      tool("bitegauge", "[ \"$1\" = --version ] && exit 1\ntouch \"$MARK\"\necho 'score 10%'");
    }
    EXPECT_EQ(skipped_gate_stderr(0.5, "pytest"), "");
  }
  EXPECT_FALSE(marked());
}

TEST_F(MutationGateTools, UnusableMeasurementSkipsTheGateWithOneLineOnStandardError) {
  struct Row {
    const char* why;
    const char* measuring_body;
    const char* diagnostic;
  };
  const std::vector<Row> rows = {
      {"non-zero exit", "echo 'killed: 45, survived: 5'; exit 1", kMeasuringRunFailed},
      {"invalid UTF-8", "printf 'killed: 45, survived: 5 \\377\\n'", kMeasuringRunFailed},
      {"unparseable summary", "echo '45 killed, 5 survived'", kReportUnparsed},
      // The tool's own standard error is discarded: it must not feed the parser.
      {"score only on standard error", "echo 'nothing here'; echo 'killed: 45, survived: 5' >&2",
       kReportUnparsed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    bitegauge_running(row.measuring_body);
    EXPECT_EQ(skipped_gate_stderr(0.95, "pytest"), row.diagnostic);
  }
}

TEST_F(MutationGateTools, CargoVerifiersRunBothProbesAndSkipSilently) {
  tool("cargo", "echo \"$*\" >> \"$LOG\"\necho 'killed: 1, survived: 9'");
  for (const char* verify_cmd : {"cargo test", "cargo nextest run", "CARGO TEST --all"}) {
    SCOPED_TRACE(verify_cmd);
    std::filesystem::remove(log());
    EXPECT_EQ(skipped_gate_stderr(0.99, verify_cmd), "");
    EXPECT_EQ(logged(), "--version\nmutants --version\n");
  }
}

// Guards against reading standard output only after the tool exits: a megabyte fills the pipe
// and the tool would sit blocked until the 300-second limit. Only the last megabyte is kept (a
// tool may print gigabytes), so the early line is gone; the cut falls inside a two-byte
// character, which must not make the whole output invalid UTF-8.
TEST_F(MutationGateTools, MegabytesBeforeTheSummaryDoNotStallAndOnlyTheTailIsRead) {
  bitegauge_running(
      "echo 'mutation score: 10%'; yes \"$(printf '\\303\\251')\" | head -c 1100000; "
      "echo 'killed: 45, survived: 5'");
  const auto started = std::chrono::steady_clock::now();
  const std::optional<MutationMeasurement> measurement = measure_verifier_strength("pytest");
  ASSERT_TRUE(measurement.has_value());
  EXPECT_DOUBLE_EQ(measurement->score, 0.9);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

}  // namespace
}  // namespace quarry
