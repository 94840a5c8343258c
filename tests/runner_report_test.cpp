#include "runner_report.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace quarry {

void PrintTo(const TestCounts& counts, std::ostream* out) {
  const auto member = [out](const char* name, const std::optional<std::uint64_t>& value) {
    if (value) *out << name << *value << ' ';
  };
  member("passed ", counts.passed);
  member("failed ", counts.failed);
  member("skipped ", counts.skipped);
  member("errors ", counts.errors);
}

namespace {

using Failures = std::vector<std::string>;
using Counts = std::optional<TestCounts>;

std::string fixture(const std::string& name) {
  return testing::read_file(std::string(QUARRY_RUNNER_FIXTURES) + "/" + name + ".txt");
}

struct Row {
  std::string output;
  Failures failures;
  Counts counts;
};

void expect_rows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output.substr(0, 300));
    const RunnerReport report = recognise_runner_output(row.output);
    EXPECT_EQ(report.failures, row.failures);
    EXPECT_EQ(report.counts, row.counts);
  }
}

// Each runner's real output, as captured beside this file. CTest's counts are its own, not
// added to those of the GoogleTest binary it ran; GoogleTest's failures, printed twice, and the
// parent of a failing node subtest are listed once; go test without -v names no passed test, so
// it gives no counts; a suite Jest could not run is named by its file.
TEST(RunnerReport, ReadsEachRunnersOwnOutput) {
  expect_rows({
      {fixture("pytest_failing"),
       {"tests/test_calc.py::test_subtract", "tests/test_calc.py::test_table[2-2-5]",
        "tests/test_calc.py::test_with_config"},
       TestCounts{.passed = 4, .failed = 2, .skipped = 1, .errors = 1}},
      {fixture("pytest_passing_quiet"), {}, TestCounts{.passed = 3, .skipped = 1}},
      {fixture("unittest_failing"),
       {"test_remove_missing (test_inventory.InventoryTest.test_remove_missing)",
        "test_add_twice (test_inventory.InventoryTest.test_add_twice)"},
       TestCounts{.passed = 2, .failed = 1, .skipped = 1, .errors = 1}},
      {fixture("unittest_passing"), {}, TestCounts{.passed = 2, .skipped = 1}},
      {fixture("cargo_failing"),
       {"tests::halves_odd_numbers_up", "integration_halve_zero"},
       TestCounts{.passed = 4, .failed = 2, .skipped = 1}},
      {fixture("go_verbose_failing"),
       {"TestBalanceSums", "TestBalanceCases", "TestBalanceCases/single"},
       TestCounts{.passed = 2, .failed = 2, .skipped = 1}},
      {fixture("go_failing"),
       {"TestBalanceSums", "TestBalanceCases", "TestBalanceCases/single"},
       std::nullopt},
      {fixture("jest_failing"),
       {"cart › applies a discount", "./receipt.test.js"},
       TestCounts{.passed = 3, .failed = 1, .skipped = 1}},
      {fixture("jest_passing"), {}, TestCounts{.passed = 4, .skipped = 1}},
      {fixture("vitest_failing"),
       {"cart.test.js > cart > applies a discount"},
       TestCounts{.passed = 3, .failed = 1, .skipped = 1}},
      {fixture("vitest_passing"), {}, TestCounts{.passed = 4, .skipped = 1}},
      {fixture("node_test_failing"),
       {"drops punctuation", "collapses spaces"},
       TestCounts{.passed = 2, .failed = 2, .skipped = 1}},
      {fixture("node_test_terminal_failing"),
       {"drops punctuation", "collapses spaces"},
       TestCounts{.passed = 2, .failed = 2, .skipped = 1}},
      {fixture("gtest_failing"),
       {"Queue.KeepsOrder", "Small/Capacity.HoldsThatMany/1"},
       TestCounts{.passed = 3, .failed = 2, .skipped = 1}},
      {fixture("ctest_failing"),
       {"Queue.KeepsOrder", "Small/Capacity.HoldsThatMany/1", "queue_test", "lint"},
       TestCounts{.passed = 1, .failed = 2, .skipped = 1}},
      {fixture("gcc_errors"),
       {"src/shape.cpp:15:44: error: too many arguments to function ‘double area(const "
        "Shape&)’",
        "src/shape.cpp:16:23: error: conversion from ‘double’ to non-scalar type ‘std::string’ "
        "{aka ‘std::__cxx11::basic_string<char>’} requested",
        "src/shape.cpp:17:34: error: ‘depth’ was not declared in this scope",
        "src/net.cpp:1:10: fatal error: config.h: No such file or directory"},
       std::nullopt},
      {fixture("clang_errors"),
       {"src/shape.cpp:15:40: error: no matching function for call to 'area'",
        "src/shape.cpp:16:15: error: no viable conversion from 'double' to 'std::string' (aka "
        "'basic_string<char>')",
        "src/shape.cpp:17:34: error: use of undeclared identifier 'depth'"},
       std::nullopt},
      {fixture("rustc_errors"),
       {"error[E0308]: mismatched types\n --> src/main.rs:6:21",
        "error[E0425]: cannot find function `perimeter` in this scope\n --> src/main.rs:8:20"},
       std::nullopt},
      {fixture("tsc_errors"),
       {"src/price.ts(7,3): error TS2322: Type 'string' is not assignable to type 'number'.",
        "src/price.ts(10,44): error TS2322: Type 'string' is not assignable to type 'number'."},
       std::nullopt},
      {fixture("javac_errors"),
       {"src/shop/Till.java:13: error: incompatible types: int cannot be converted to String",
        "src/shop/Till.java:14: error: cannot find symbol"},
       std::nullopt},
      // Two suites in one run: their counts add up, and the diagnostics give way to test ids.
      {fixture("pytest_failing") + fixture("gcc_errors") + fixture("jest_failing"),
       {"tests/test_calc.py::test_subtract", "tests/test_calc.py::test_table[2-2-5]",
        "tests/test_calc.py::test_with_config", "cart › applies a discount", "./receipt.test.js"},
       TestCounts{.passed = 7, .failed = 3, .skipped = 2, .errors = 1}},
  });
}

// A line merely holding a runner's words, another tool's counts, a log line with a time before
// "error:", and a summary that never ended.
TEST(RunnerReport, LeavesAloneWhatNoRunnerPrinted) {
  for (const std::string output : {
           "All 12 checks passed\nstatus: passed\nTests: see below\n",
           "Found 2 errors in 1 file (checked 3 source files)\n2 errors\n",
           "added 120 packages in 3s\n3 files changed, 10 insertions(+), 2 deletions(-)\n",
           "✖ 3 problems (2 errors, 1 warning)\n4 warnings in 0.2 seconds\n",
           "2024-05-01 12:00:00: error: disk full\nERROR: could not connect\nFAILED to build\n",
           "test result: see the log\n# tests 3\n# passed 3\n[  PASSED  ] 3 tests.\n",
           "Ran 3 tests in 0.1s\n\nsegmentation fault\nOK\n",
       }) {
    SCOPED_TRACE(output);
    const RunnerReport report = recognise_runner_output(output);
    EXPECT_EQ(report.failures, Failures{});
    EXPECT_EQ(report.counts, std::nullopt);
    EXPECT_EQ(tests_ran(report), std::nullopt);
  }
}

// A cut may leave part of a line on either side of it, and removes lines a summary spread over
// several, or a sum over binaries, would need; an output whose end is gone does not say what ran
// last. What the cut did not touch is still read.
TEST(RunnerReport, CutOutputCountsOnlyWhatItWhollyHolds) {
  const std::string pytest = fixture("pytest_failing");
  const std::string cargo = fixture("cargo_failing");
  const Failures pytest_failures = {"tests/test_calc.py::test_subtract",
                                    "tests/test_calc.py::test_table[2-2-5]",
                                    "tests/test_calc.py::test_with_config"};
  const std::string omitted = "\n...[4096 bytes omitted; whole log: /j/logs/t1/1.log]...\n";
  expect_rows({
      {pytest.substr(0, pytest.size() - 30) + "\n...[truncated]", pytest_failures, std::nullopt},
      {"4 passed in 0.1s\nbuilding the docs\n...[truncated]", {}, std::nullopt},
      {"collecting" + omitted + "2 failed, 4 passed in 0.1s\nlast\n...[truncated]",
       {},
       std::nullopt},
      {"4 passed in 0.1s" + omitted + "tail\n...[truncated]", {}, std::nullopt},
      {"head" + omitted + "tail\n4 passed in 0.1s\n...[truncated]", {}, TestCounts{.passed = 4}},
      {cargo.substr(0, 400) + omitted + cargo.substr(400) + "\n...[truncated]",
       {"tests::halves_odd_numbers_up", "integration_halve_zero"},
       std::nullopt},
      {"Ran 5 tests in 0.1s\n" + omitted + "x\n\nFAILED (failures=1)\n", {}, std::nullopt},
  });
}

// The size goal's output: 200 KB of passing tests, pytest's failure and summary, a compiler
// error on stderr; whole, and cut in the middle as a verdict keeps it.
TEST(RunnerReport, FindsTheFailureAfterMuchPassingOutput) {
  std::string noise;
  for (int i = 0; noise.size() < 200'000; ++i) {
    noise += "tests/test_b.py::test_case_" + std::to_string(i) + " PASSED\n";
  }
  const std::string end =
      "FAILED tests/test_a.py::test_x - AssertionError\n1 failed, 999 passed\n"
      "\n--- stderr ---\nsrc/native.c:3:5: error: expected ';' before 'return'\n";
  for (const std::string& output :
       {noise + end, noise.substr(0, 3000) + "\n...[197000 bytes omitted]...\n" +
                         noise.substr(noise.size() - 3000) + end + "\n...[truncated]"}) {
    const RunnerReport report = recognise_runner_output(output);
    EXPECT_EQ(report.failures, Failures{"tests/test_a.py::test_x"});
    EXPECT_EQ(report.counts, (TestCounts{.passed = 999, .failed = 1}));
    EXPECT_EQ(tests_ran(report), 1000u);
  }
}

// A run that found no test still summarised: zero tests ran, which a passing verifier whose
// suite was emptied must show.
TEST(RunnerReport, ASummaryOfNoTestsCountsZero) {
  expect_rows({
      {"============================ no tests ran in 0.01s =============================\n",
       {},
       TestCounts{}},
      {"Test Suites: 0 total\nTests:       0 total\n", {}, TestCounts{}},
      {"\n--- stderr ---\n\n-----\nRan 0 tests in 0.000s\n\nOK\n", {}, TestCounts{.passed = 0}},
      {"1..0\n# tests 0\n# pass 0\n# fail 0\n", {}, TestCounts{.passed = 0, .failed = 0}},
  });
  EXPECT_EQ(tests_ran(recognise_runner_output("Tests:       0 total\n")), 0u);
}

// At most twenty entries, each once and at most 200 bytes, so that a template error does not
// crowd out the output it came from.
TEST(RunnerReport, FailuresAreBounded) {
  std::string output = "src/t.cpp:1:1: error: " + std::string(500, 'x') + "\n";
  for (int i = 0; i < 30; ++i) output += output.substr(0, 150) + std::to_string(i) + "\n";
  const RunnerReport report = recognise_runner_output(output);
  ASSERT_EQ(report.failures.size(), 20u);
  EXPECT_EQ(report.failures[0], output.substr(0, 200) + "...");
  EXPECT_EQ(report.failures[1], output.substr(0, 150) + "0");
}

}  // namespace
}  // namespace quarry
