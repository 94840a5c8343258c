// What common test runners and compilers said in a verifier's output: the tests that failed (or
// the error diagnostics) and the counts of their summaries, read by one table of recognisers,
// one row per runner: pytest (and the plain "N failed, N passed" line), unittest, cargo test,
// go test, Jest, Vitest, node's test runner and TAP, CTest, GoogleTest; gcc, clang and javac,
// rustc, tsc diagnostics.
//
// Counts never go beyond what was printed:
// - A runner's summaries are added up: one per invocation (pytest, unittest, Jest, Vitest, TAP,
//   CTest) or one per binary, package or test (cargo's "test result", go's "--- PASS/FAIL/SKIP"
//   lines under -v, GoogleTest's per binary).
// - The summaries of different runners are added up too (a build that runs two suites), except
//   that CTest's, which counts every test it ran, stands alone: the GoogleTest or pytest lines
//   inside its output are not counted again.
// - go test without -v prints no line for a test that passed: no counts, failures only.
// - unittest and CTest print a total: their `passed` is that total less the rest they printed.
// - A line next to a cut ("...[N bytes omitted]...", or the final "...[truncated]" when nothing
//   was omitted) may be partial and is not read; a summary spread over lines that a cut crosses
//   is dropped. When the output's end was cut away there are no counts, since whatever ran last
//   is unknown. When its middle was cut, the per-binary rows (cargo, go, GoogleTest) give no
//   counts, since some of their lines may be in the omitted part.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarry {

// Each member only where a runner printed it, never invented. A member left out is zero for the
// runners that summarised (they print no zeros, or have no such category).
struct TestCounts {
  std::optional<std::uint64_t> passed{}, failed{}, skipped{}, errors{};

  friend bool operator==(const TestCounts&, const TestCounts&) = default;
};

struct RunnerReport {
  // At most 20 test ids or diagnostic lines, as printed (colour codes removed, each cut to 200
  // bytes), in order, each once. Diagnostics only when no test failure was recognised: a build
  // that failed to compile ran no tests, and when tests failed their ids are what to act on.
  std::vector<std::string> failures;
  // Nothing when no summary was recognised; no member when one said that no test ran.
  std::optional<TestCounts> counts;
};

// What the runners and compilers printed in `output` (a verifier's stdout, then
// "\n--- stderr ---\n" and its stderr; it may be cut in the middle with a line
// "...[N bytes omitted]..." and end with "\n...[truncated]"). Linear in the output's size.
RunnerReport recognise_runner_output(std::string_view output);

// The tests that ran (passed, failed and errors; skipped ones excluded); nothing without counts.
std::optional<std::uint64_t> tests_ran(const RunnerReport& report);

}  // namespace quarry
