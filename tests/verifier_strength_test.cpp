#include "verifier_strength.h"

#include <gtest/gtest.h>

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
  // bitegauge that passes its probe and runs `body` for `run`.
  void bitegauge_running(const std::string& body) {
    tool("bitegauge", "case \"$1\" in\n--version) echo 'bitegauge 1.0' ;;\nrun) " + body +
                          " ;;\n*) exit 2 ;;\nesac");
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
    std::string text;
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
      // A quotient beyond the doubles is no score: it would print as null and pass any gate.
      {"killed 1e300/1e-300", std::nullopt},
      // A number too small for a double reads as zero, not as nothing.
      {"score 0." + std::string(400, '0') + "1%", 0.0},
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

// The comparison uses the unrounded score, so a warning may show the threshold itself. The
// report may come on either stream; a stream that is not valid UTF-8 contributes nothing, and a
// run that fails is ignored whatever it printed.
TEST_F(VerifierStrengthTools, WarningComesFromTheMeasuringRun) {
  struct Row {
    const char* run_body;
    std::optional<std::string> warning;
  };
  const std::vector<Row> rows = {
      {"echo 'Mutation score: 55%'", warning_for("55.0")},
      {"echo 'Mutation score: 70%'", std::nullopt},
      {"echo 'Mutation score: 69.95%'", warning_for("70.0")},
      {"echo 'no numbers here'; echo 'Mutation score: 40%' >&2", warning_for("40.0")},
      {"printf 'Mutation score: 10%% \\377\\n'; echo 'Mutation score: 50%' >&2",
       warning_for("50.0")},
      {"echo 'Mutation score: 10%'; exit 1", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.run_body);
    bitegauge_running(row.run_body);
    EXPECT_EQ(check_verifier_strength("python -m PYTEST"), row.warning);
  }
}

TEST_F(VerifierStrengthTools, PytestWinsOverCargoTest) {
  tools_that_mark();
  bitegauge_running("echo 'Mutation score: 55%'");
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

// A probe that fails means the tool is treated as absent: the measuring run never starts.
TEST_F(VerifierStrengthTools, MissingOrFailingToolGivesNoWarning) {
  EXPECT_EQ(check_verifier_strength("pytest"), std::nullopt);
  EXPECT_EQ(check_verifier_strength("cargo test"), std::nullopt);
  tool("bitegauge", "[ \"$1\" = --version ] && exit 3\ntouch \"$MARK\"\necho 'score 10%'");
  EXPECT_EQ(check_verifier_strength("pytest"), std::nullopt);
  EXPECT_FALSE(marked());
}

// Guards against reading the pipes only after the child exits: a megabyte fills any pipe, and
// the tool would then sit blocked until the 120-second limit killed it.
TEST_F(VerifierStrengthTools, MegabyteBeforeTheScoreDoesNotStall) {
  bitegauge_running(
      "head -c 1048576 /dev/zero | tr '\\0' x; echo; "
      "head -c 1048576 /dev/zero | tr '\\0' y >&2; echo >&2; echo 'Mutation score: 55%' >&2");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(check_verifier_strength("pytest"), warning_for("55.0"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

}  // namespace
}  // namespace quarry
