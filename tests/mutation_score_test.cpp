// The mutation scores read from tool reports, the gate of every task start and the advisory
// check of the direct start, with fake mutation tools on PATH.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <tuple>

#include "mutation_gate.h"
#include "test_support.h"
#include "verifier_strength.h"

namespace quarry::testing {
namespace {

const std::optional<double> none;

// Rows: a tool report, the fraction the gate reads from it, the percentage the check reads.
// The gate takes the first line yielding a score: killed/survived counts, else the number before
// the last percent sign, else "a of b" or "a/b" (not above one) before "killed". The check
// takes the first "N%" (0..100, digits right before the sign) on a line naming mutation, score
// or killed, and only then the first "a/b" on a line naming killed.
TEST(ScoreParsers, ReportLines) {
  const std::tuple<std::string, std::optional<double>, std::optional<double>> rows[] = {
      {"Killed: 45, SURVIVED: 5", 0.9, none},
      {"killed: -3, survived: 1", 0.75, none},
      {"killed: 1.5., survived: 1", none, none},
      // The number after "killed" is 5 and none follows "survived".
      {"45 killed, 5 survived", none, none},
      {"killed: 0, survived: 0", none, none},
      {"Mutation score: 85.0%", 0.85, 85.0},
      {"Mutation score: 85.5 %", none, none},
      {"score 80% (killed 40 of 50)", 0.8, 80.0},
      {"score 90% then 150%", none, 90.0},
      {"coverage 150% score 80%", 0.8, 80.0},
      {"score: 100%", 1.0, 100.0},
      {"score: 100.1%", none, none},
      {"score 1.2.3% then 40%", 0.4, 40.0},
      // A number too small for a double reads as zero, not as nothing.
      {"score 0." + std::string(400, '0') + "1%", 0.0, 0.0},
      {"17 of 20 mutants killed", 0.85, none},
      {"17/20 killed", 0.85, 85.0},
      {"killed 17/20", none, 85.0},
      {"21/20 killed", none, 105.0},
      {"21 of 20 killed", 1.05, none},
      {"1 of 2 of 4 killed", 0.5, none},
      {"3/4 1/2 killed", 0.5, 75.0},
      {"12 mutants killed (9/12)", none, 75.0},
      {"killed 3/0 +4/8", none, 50.0},
      {"killed inf/10 nan/1", none, none},
      // A quotient beyond the doubles would print as null and pass any minimum.
      {"1e300 of 1e-300 killed", none, none},
      {"killed 1e300/1e-300", none, none},
      {"9/12 mutants caught", none, none},
      {"bitegauge 1.0\r\nscore: 12%\r\n", 0.12, 12.0},
      {"Mutation score: 55%\nscore 90%", 0.55, 55.0},
      {"coverage 40%\nMutation score: 80%", 0.8, 80.0},
      // Every line is searched for a percentage before any for a ratio.
      {"killed 6/10\nMutation score: 80%", 0.8, 80.0},
      {"score 50\n%", none, none},
      {"", none, none},
  };
  const auto expect_score = [](std::optional<double> score, std::optional<double> expected) {
    EXPECT_EQ(score.has_value(), expected.has_value());
    EXPECT_DOUBLE_EQ(score.value_or(-1), expected.value_or(-1));
  };
  for (const auto& [text, fraction, percentage] : rows) {
    SCOPED_TRACE(text);
    expect_score(parse_summary_score(text), fraction);
    expect_score(parse_score(text), percentage);
  }
}

const std::string kFailed =
    "skipped\nmutation_gate: bitegauge probe (--format summary) failed; the CLI invocation may be "
    "wrong for this bitegauge version; gate skipped\n";
const std::string kUnparsed =
    "skipped\nmutation_gate: bitegauge ran but its output could not be parsed; gate skipped\n";

class FakeMutationTools : public FakeToolsTest {
 protected:
  void SetUp() override {
    FakeToolsTest::SetUp();
    tool("cargo-mutants", "echo 'cargo-mutants 1.0'");
    tool("cargo", "[ \"$*\" = 'mutants --no-shuffle' ] && echo 'killed 6/10'");
  }
};

// Rows: what bitegauge's measuring runs print (null: its probe fails), then for a verifier the
// gate's outcome with what it wrote to standard error, and the score in the check's warning.
// The gate reads standard output only, skips with one line on a failing run, invalid UTF-8 or a
// report without a score, and silently for other verifiers. A NaN minimum passes both "< 0" and
// "> 1" unless rejected on its own. The check compares the unrounded score with 70; it reads
// either stream, a stream that is not UTF-8 adding nothing; pytest wins over cargo test, which
// cargo mutants measures. Read only after the exit, megabytes would block a tool until its time
// limit; only the last megabyte is kept, and that cut falls inside a two-byte character, which
// must not make the whole report invalid UTF-8.
TEST_F(FakeMutationTools, GateAndCheck) {
  struct Row {
    const char* report;
    const char* verify_cmd;
    std::optional<double> minimum;
    std::string gate;
    const char* warning;
  };
  const char* const counts = "echo 'killed: 45, survived: 5'";
  const char* const weak = "echo 'Mutation score: 55%'";
  const std::string probe = "[ \"$1\" = --version ] && { echo 1.0; exit; }\n";
  const Row rows[] = {
      {counts, "pytest", 0.9, "bitegauge 0.900000\n", nullptr},
      {"echo 'killed: 0, survived: 10'", "pytest", 0.0, "bitegauge 0.000000\n", nullptr},
      {counts, "pytest", std::nan(""), "min_mutation_score must be between 0.0 and 1.0, got NaN\n",
       nullptr},
      {counts, "pytest", -0.25, "min_mutation_score must be between 0.0 and 1.0, got -0.25\n",
       nullptr},
      {weak, "python -m PYTEST", 0.55, "bitegauge 0.550000\n", "55.0"},
      {"echo 'Mutation score: 70%'", "pytest", 0.5, "bitegauge 0.700000\n", nullptr},
      {"echo 'Mutation score: 69.95%'", "pytest", std::nullopt, "skipped\n", "70.0"},
      {"echo 'no numbers'; echo 'Mutation score: 40%' >&2", "pytest", 0.5, kUnparsed, "40.0"},
      {"printf 'score: 10%% \\377\\n'; echo 'score: 50%' >&2", "pytest", 0.5, kFailed, "50.0"},
      {"echo 'Mutation score: 10%'; exit 1", "pytest", 0.5, kFailed, nullptr},
      {"echo 'score: 10%'; yes \"$(printf '\\303\\251')\" | head -c 1100000; echo 'killed: 45, "
       "survived: 5'; yes | head -c 1100000 >&2; echo 'score: 55%' >&2",
       "pytest", 0.5, "bitegauge 0.900000\n", "55.0"},
      {weak, "cargo test && pytest", 0.5, "bitegauge 0.550000\n", "55.0"},
      {weak, "CARGO TEST --workspace", 0.5, "skipped\n", "60.0"},
      {weak, "cargo nextest run", 0.5, "skipped\n", nullptr},
      {weak, "make check", 0.5, "skipped\n", nullptr},
      {nullptr, "pytest", 0.5, "skipped\n", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.verify_cmd) + " " + (row.report ? row.report : "probe fails"));
    tool("bitegauge", row.report ? probe + row.report : "exit 127");
    std::string gate;
    const std::string err = stderr_of([&] {
      const auto outcome = run_mutation_gate(row.minimum, row.verify_cmd);
      gate = !outcome.ok() ? outcome.error().message
             : !outcome.value()
                 ? "skipped"
                 : outcome.value()->tool + " " + std::to_string(outcome.value()->score);
    });
    EXPECT_EQ(gate + "\n" + err, row.gate);
    EXPECT_EQ(check_verifier_strength(row.verify_cmd).value_or(""),
              row.warning ? "Mutation score " + std::string(row.warning) +
                                "% is below 70% - verifier may be weak. Consider strengthening "
                                "tests before relying on this gate. (Task started anyway; this is "
                                "a warning, not a block.)"
                          : "");
  }
}

}  // namespace
}  // namespace quarry::testing
