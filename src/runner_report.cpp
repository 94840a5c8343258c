#include "runner_report.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <iterator>
#include <span>

#include "text.h"

namespace quarry {
namespace {

using std::string_view;

constexpr std::size_t kMaxFailures = 20;
// Test ids are short; a C++ diagnostic can run to kilobytes, and twenty of them would crowd out
// the output they came from.
constexpr std::size_t kMaxFailureBytes = 200;
constexpr string_view kTruncationMarker = "\n...[truncated]";

// One line as the recognisers read it, without colour codes or a final carriage return.
struct Line {
  string_view text;
  string_view previous;  // the line before, likewise; empty at the start and after a cut
  std::size_t number;    // from 0, cut lines counted
};

// A listing of tests a runner prints beside its summary.
enum class Listing { kNone, kFailed, kNotRun };

// What one row has read of its runner's summaries.
struct Tally {
  std::optional<TestCounts> counts;  // summaries read to their end, added up
  std::optional<TestCounts> block;   // a summary spread over several lines, being read
  std::optional<std::uint64_t> ran;  // the total the block's first line gave, if it gives one
  bool block_complete = false;       // kept when the end or the row's next block closes it
  std::size_t opened_at = 0;         // the line that opened the block
  Listing listing = Listing::kNone;  // the listing the lines are in
};

// ---- Reading pieces of a line

bool take(string_view& text, string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

std::optional<std::uint64_t> take_number(string_view& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{}) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// By hand: the library's search for any of a set of characters calls memchr for each byte.
string_view trim_left(string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

string_view trim(string_view text) {
  text = trim_left(text);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::size_t indent(string_view text) {
  return text.size() - trim_left(text).size();
}

bool has_space(string_view text) {
  return std::any_of(text.begin(), text.end(), is_blank);
}

// A line of one repeated character, as unittest rules off its reports.
bool is_rule(string_view text, char c) {
  return text.size() >= 20 && text.find_first_not_of(c) == string_view::npos;
}

// A count's word and the member it adds to (none for words counted apart from tests).
struct Word {
  string_view text;
  std::optional<std::uint64_t> TestCounts::*member;
};

void add(std::optional<std::uint64_t>& into, std::optional<std::uint64_t> more) {
  if (more) into = into.value_or(0) + *more;
}

void add(TestCounts& into, const TestCounts& more) {
  add(into.passed, more.passed);
  add(into.failed, more.failed);
  add(into.skipped, more.skipped);
  add(into.errors, more.errors);
}

// The word of `words` at the start of `text` (a whole word), removed.
const Word* take_word(string_view& text, std::span<const Word> words) {
  for (const Word& word : words) {
    if (text.starts_with(word.text) &&
        (text.size() == word.text.size() || !is_letter(text[word.text.size()]))) {
      text.remove_prefix(word.text.size());
      return &word;
    }
  }
  return nullptr;
}

// Items "N word" joined by `separator` at the start of `text`, every word one of `words`,
// removed; nothing when there is not even one.
std::optional<TestCounts> take_counts(string_view& text, std::span<const Word> words,
                                      string_view separator) {
  std::optional<TestCounts> counts;
  for (string_view rest = text;; text = rest) {
    if (counts && !take(rest, separator)) break;
    const std::optional<std::uint64_t> number = take_number(rest);
    const Word* word = number && take(rest, " ") ? take_word(rest, words) : nullptr;
    if (word == nullptr) break;
    if (!counts) counts.emplace();
    if (word->member) add((*counts).*(word->member), number);
  }
  return counts;
}

// ---- Summaries spread over lines

// Keeps the block if it was read to its end; a printed total gives the tests that passed.
void close_block(Tally& tally) {
  if (tally.block && tally.block_complete) {
    TestCounts block = *tally.block;
    const std::uint64_t rest =
        block.failed.value_or(0) + block.errors.value_or(0) + block.skipped.value_or(0);
    if (tally.ran && !block.passed && rest <= *tally.ran) block.passed = *tally.ran - rest;
    if (!tally.counts) tally.counts.emplace();
    add(*tally.counts, block);
  }
  tally.block.reset();
  tally.ran.reset();
  tally.block_complete = false;
}

void open_block(Tally& tally, std::optional<std::uint64_t> ran = std::nullopt) {
  close_block(tally);
  tally.block.emplace();
  tally.ran = ran;
}

void keep_summary(Tally& tally, const TestCounts& counts) {
  open_block(tally);
  tally.block = counts;
  tally.block_complete = true;
  close_block(tally);
}

// ---- pytest, and the plain closing line in its words

constexpr Word kPytestWords[] = {
    {"passed", &TestCounts::passed},
    {"failed", &TestCounts::failed},
    {"skipped", &TestCounts::skipped},
    {"errors", &TestCounts::errors},
    {"error", &TestCounts::errors},
    {"deselected", nullptr},
    {"xfailed", nullptr},
    {"xpassed", nullptr},
    {"warnings", nullptr},
    {"warning", nullptr},
    {"rerun", nullptr},
};

// " in 3.21s", or " in 75.2s (0:01:15)".
bool is_pytest_duration(string_view text) {
  if (!take(text, " in ")) return false;
  const std::size_t digits = text.find_first_not_of("0123456789.");
  if (digits == 0 || digits == string_view::npos) return false;
  text.remove_prefix(digits);
  return take(text, "s") && (text.empty() || (text.starts_with(" (") && text.ends_with(")")));
}

void pytest_summary(const Line& line, Tally& tally) {
  string_view text = trim(line.text);
  while (text.starts_with('=')) text = trim_left(text.substr(1));
  while (text.ends_with('=')) text = trim(text.substr(0, text.size() - 1));
  if (text == "no tests ran" || (take(text, "no tests ran") && is_pytest_duration(text))) {
    return keep_summary(tally, {});
  }
  const std::optional<TestCounts> counts = take_counts(text, kPytestWords, ", ");
  // Without pytest's duration only the plain "N passed, N failed" line counts: "2 errors"
  // alone closes javac's output.
  if (counts &&
      (is_pytest_duration(text) || (text.empty() && (counts->passed || counts->failed)))) {
    keep_summary(tally, *counts);
  }
}

// "FAILED tests/test_a.py::test_x[a b] - AssertionError": the node id ends at the first space
// outside brackets, since a parameter id may hold one.
std::optional<std::string> pytest_failure(const Line& line, const Tally&) {
  string_view text = line.text;
  if (!take(text, "FAILED ") && !take(text, "ERROR ")) return std::nullopt;
  std::size_t end = 0;
  for (int depth = 0; end < text.size() && (depth > 0 || text[end] != ' '); ++end) {
    if (text[end] == '[') ++depth;
    if (text[end] == ']' && depth > 0) --depth;
  }
  const string_view id = text.substr(0, end);
  const string_view rest = text.substr(end);
  if (id.find(".py") == string_view::npos || !(rest.empty() || rest.starts_with(" - "))) {
    return std::nullopt;
  }
  return std::string(id);
}

// ---- unittest

constexpr Word kUnittestWords[] = {
    {"failures", &TestCounts::failed},
    {"errors", &TestCounts::errors},
    {"skipped", &TestCounts::skipped},
};

// "Ran 5 tests in 0.005s", a blank line, then "OK", "OK (skipped=1)" or
// "FAILED (failures=1, errors=1, skipped=1)".
void unittest_summary(const Line& line, Tally& tally) {
  string_view text = line.text;
  if (take(text, "Ran ")) {
    const std::optional<std::uint64_t> ran = take_number(text);
    if (ran && (take(text, " tests in ") || take(text, " test in "))) {
      open_block(tally, ran);
      tally.opened_at = line.number;
    }
    return;
  }
  if (!tally.block || line.number != tally.opened_at + 2 || !line.previous.empty()) return;
  if (!take(text, "OK") && !take(text, "FAILED")) return close_block(tally);
  if (take(text, " (")) {
    for (bool first = true; !take(text, ")"); first = false) {
      if (!first && !take(text, ", ")) return close_block(tally);
      const std::size_t equals = text.find('=');
      if (equals == string_view::npos) return close_block(tally);
      string_view key = text.substr(0, equals);
      text.remove_prefix(equals + 1);
      const std::optional<std::uint64_t> number = take_number(text);
      const Word* word = take_word(key, kUnittestWords);
      if (!number || *number > *tally.ran) return close_block(tally);
      if (word != nullptr && key.empty()) {
        add((*tally.block).*(word->member), number);
      } else {
        *tally.ran -= *number;  // expected failures, unexpected successes: none of the members
      }
    }
  }
  tally.block_complete = text.empty();
  close_block(tally);
}

std::optional<std::string> unittest_failure(const Line& line, const Tally&) {
  string_view text = line.text;
  if (!is_rule(line.previous, '=') || !(take(text, "FAIL: ") || take(text, "ERROR: "))) {
    return std::nullopt;
  }
  return std::string(text);
}

// ---- cargo test

constexpr Word kCargoWords[] = {
    {"passed", &TestCounts::passed},   {"failed", &TestCounts::failed},
    {"ignored", &TestCounts::skipped}, {"measured", nullptr},
    {"filtered out", nullptr},
};

// "test result: FAILED. 2 passed; 1 failed; 1 ignored; 0 measured; 0 filtered out; finished in
// 0.00s", one per test binary.
void cargo_summary(const Line& line, Tally& tally) {
  string_view text = line.text;
  if (!take(text, "test result: ") || !(take(text, "ok. ") || take(text, "FAILED. "))) return;
  const std::optional<TestCounts> counts = take_counts(text, kCargoWords, "; ");
  if (counts && take(text, "; finished in ")) keep_summary(tally, *counts);
}

std::optional<std::string> cargo_failure(const Line& line, const Tally&) {
  string_view text = line.text;
  if (!take(text, "test ") || !text.ends_with(" ... FAILED")) return std::nullopt;
  return std::string(text.substr(0, text.size() - string_view(" ... FAILED").size()));
}

// ---- go test

// Under -v (its "=== RUN" lines) every test ends in a "--- PASS/FAIL/SKIP" line, and a package's
// "ok" or "FAIL" line closes its count. Subtests, indented, are counted in their test.
void go_summary(const Line& line, Tally& tally) {
  string_view text = line.text;
  if (text.starts_with("=== RUN ")) {
    if (!tally.block) open_block(tally);
  } else if (!tally.block) {
    return;
  } else if (take(text, "--- PASS: ")) {
    add(tally.block->passed, 1);
  } else if (take(text, "--- FAIL: ")) {
    add(tally.block->failed, 1);
  } else if (take(text, "--- SKIP: ")) {
    add(tally.block->skipped, 1);
  } else if (text.starts_with("ok  \t") || text.starts_with("FAIL\t")) {
    tally.block_complete = true;
    close_block(tally);
  }
}

std::optional<std::string> go_failure(const Line& line, const Tally&) {
  string_view text = trim_left(line.text);
  if (!take(text, "--- FAIL: ")) return std::nullopt;
  return std::string(text.substr(0, text.find(" (")));
}

// ---- Jest

constexpr Word kJestWords[] = {
    {"failed", &TestCounts::failed},
    {"skipped", &TestCounts::skipped},
    {"passed", &TestCounts::passed},
    {"todo", nullptr},
    {"total", nullptr},
};

// "Tests:       1 failed, 1 skipped, 3 passed, 5 total"
void jest_summary(const Line& line, Tally& tally) {
  string_view text = line.text;
  if (!take(text, "Tests:") || !line.text.ends_with(" total")) return;
  text = trim_left(text);
  const std::optional<TestCounts> counts = take_counts(text, kJestWords, ", ");
  if (counts && text.empty()) keep_summary(tally, *counts);
}

// "  ● describe › test"; a file that could not run says so under its "FAIL path" line.
std::optional<std::string> jest_failure(const Line& line, const Tally&) {
  string_view text = line.text;
  if (!take(text, "  ● ")) return std::nullopt;
  if (text != "Test suite failed to run") return std::string(text);
  string_view file = trim(line.previous);
  if (!take(file, "FAIL ")) return std::nullopt;
  return std::string(trim_left(file));
}

// ---- Vitest

constexpr Word kVitestWords[] = {
    {"failed", &TestCounts::failed},
    {"passed", &TestCounts::passed},
    {"skipped", &TestCounts::skipped},
    {"todo", nullptr},
};

// "      Tests  1 failed | 3 passed | 1 skipped (5)"; the failures are listed as
// " FAIL  file > describe > test" under a "⎯⎯⎯ Failed Tests 1 ⎯⎯⎯" heading.
void vitest_summary(const Line& line, Tally& tally) {
  string_view text = trim(line.text);
  if (text.starts_with("⎯") && (text.find(" Failed Tests ") != string_view::npos ||
                                text.find(" Failed Suites ") != string_view::npos)) {
    tally.listing = Listing::kFailed;
    return;
  }
  if (!take(text, "Tests ")) return;
  text = trim_left(text);
  const std::optional<TestCounts> counts = take_counts(text, kVitestWords, " | ");
  if (counts && take(text, " (") && take_number(text) && text == ")") keep_summary(tally, *counts);
}

std::optional<std::string> vitest_failure(const Line& line, const Tally& tally) {
  string_view text = trim(line.text);
  if (tally.listing != Listing::kFailed || !take(text, "FAIL ")) return std::nullopt;
  return std::string(trim_left(text));
}

// ---- node's test runner: TAP, or the "ℹ" lines of the reporter it uses on a terminal

constexpr Word kTapWords[] = {
    {"pass", &TestCounts::passed},
    {"fail", &TestCounts::failed},
    {"skipped", &TestCounts::skipped},
    {"skip", &TestCounts::skipped},
};

// "# tests 5", then "# pass 2", "# fail 2", "# skipped 1" and others of no member.
void tap_summary(const Line& line, Tally& tally) {
  string_view text = line.text;
  if (!take(text, "# ") && !take(text, "ℹ ")) return;
  if (take(text, "tests ")) {
    if (take_number(text) && text.empty()) open_block(tally);
    return;
  }
  const Word* word = take_word(text, kTapWords);
  if (!tally.block || word == nullptr || !take(text, " ")) return;
  const std::optional<std::uint64_t> number = take_number(text);
  if (!number || !text.empty()) return;
  (*tally.block).*(word->member) = number;
  if (word->member == &TestCounts::passed) tally.block_complete = true;
}

// "not ok 2 - name", at any depth, unless marked TODO; a parent whose only failure is its
// subtests' follows their plan line "1..N", indented deeper. The terminal reporter lists each
// failed test as "✖ name (1.2ms)" under "test at file:line:col".
std::optional<std::string> tap_failure(const Line& line, const Tally&) {
  string_view text = trim_left(line.text);
  if (take(text, "not ok ")) {
    const string_view previous = trim_left(line.previous);
    if (previous.starts_with("1..") && indent(line.previous) > indent(line.text)) {
      return std::nullopt;
    }
    if (take_number(text)) take(text, " ");
    take(text, "- ");
    const std::size_t directive = text.find(" # ");
    if (directive != string_view::npos && text.substr(directive + 3).starts_with("TODO")) {
      return std::nullopt;
    }
    return std::string(text.substr(0, directive));
  }
  if (line.previous.starts_with("test at ") && take(text, "✖ ")) {
    return std::string(text.ends_with("ms)") ? text.substr(0, text.rfind(" (")) : text);
  }
  return std::nullopt;
}

// ---- CTest

// "\t  4 - lint (Failed)": the test's name and status.
std::optional<std::pair<string_view, string_view>> ctest_entry(string_view text) {
  text = trim_left(text);
  if (!take_number(text) || !take(text, " - ") || !text.ends_with(')')) return std::nullopt;
  const std::size_t open = text.rfind(" (");
  if (open == string_view::npos || open == 0) return std::nullopt;
  return std::pair{text.substr(0, open), text.substr(open + 2, text.size() - open - 3)};
}

// "50% tests passed, 2 tests failed out of 4", then the tests that did not run (skipped ones
// among them, counted in the total; disabled ones, not) and those that failed.
void ctest_summary(const Line& line, Tally& tally) {
  string_view text = line.text;
  if (take_number(text) && take(text, "% tests passed, ")) {
    const std::optional<std::uint64_t> failed = take_number(text);
    const bool of = take(text, " tests failed out of ") || take(text, " test failed out of ");
    const std::optional<std::uint64_t> ran = of ? take_number(text) : std::nullopt;
    if (!failed || !ran || !text.empty()) return;
    open_block(tally, ran);
    tally.block->failed = failed;
    tally.block_complete = true;
  } else if (line.text == "The following tests did not run:") {
    tally.listing = Listing::kNotRun;
  } else if (line.text == "The following tests FAILED:") {
    tally.listing = Listing::kFailed;
  } else if (const auto entry = ctest_entry(line.text); !entry) {
    tally.listing = Listing::kNone;
  } else if (tally.listing == Listing::kNotRun && entry->second == "Skipped" && tally.block) {
    add(tally.block->skipped, 1);
  }
}

std::optional<std::string> ctest_failure(const Line& line, const Tally& tally) {
  if (tally.listing != Listing::kFailed) return std::nullopt;
  const auto entry = ctest_entry(line.text);
  if (!entry) return std::nullopt;
  return std::string(entry->first);
}

// ---- GoogleTest

// "[==========] 6 tests from 2 test suites ran.", then "[  PASSED  ] 3 tests.",
// "[  SKIPPED ] 1 test, listed below:" and "[  FAILED  ] 2 tests, listed below:"; one per binary.
void gtest_summary(const Line& line, Tally& tally) {
  string_view text = line.text;
  if (take(text, "[==========] ")) {
    if (take_number(text) && take(text, " test") && text.find(" ran.") != string_view::npos) {
      open_block(tally);
    }
    return;
  }
  if (!tally.block) return;
  std::optional<std::uint64_t> TestCounts::*member = nullptr;
  if (take(text, "[  PASSED  ] ")) member = &TestCounts::passed;
  if (take(text, "[  FAILED  ] ")) member = &TestCounts::failed;
  if (take(text, "[  SKIPPED ] ")) member = &TestCounts::skipped;
  const std::optional<std::uint64_t> number = member ? take_number(text) : std::nullopt;
  if (!number || !text.starts_with(" test")) return;
  (*tally.block).*member = number;
  if (member == &TestCounts::passed) tally.block_complete = true;
}

// "[  FAILED  ] Suite.Name (0 ms)", or "[  FAILED  ] Inst/Suite.Name/1, where GetParam() = 3".
std::optional<std::string> gtest_failure(const Line& line, const Tally&) {
  string_view text = line.text;
  if (!take(text, "[  FAILED  ] ") || text.empty() || is_digit(text[0])) return std::nullopt;
  string_view id = text.substr(0, text.find(' '));
  if (id.ends_with(',')) id.remove_suffix(1);
  return std::string(id);
}

// ---- Compiler diagnostics

// "src/a.cpp:15:44: error: ..." (gcc, clang), "src/A.java:13: error: ..." (javac), and
// "fatal error:": the path runs to the first ':' before a digit and holds no space.
std::optional<std::string> gcc_diagnostic(const Line& line, const Tally&) {
  const string_view text = line.text;
  std::size_t colon = text.find(':');
  while (colon != string_view::npos && !(colon + 1 < text.size() && is_digit(text[colon + 1]))) {
    colon = text.find(':', colon + 1);
  }
  if (colon == string_view::npos || colon == 0) return std::nullopt;
  const string_view path = text.substr(0, colon);
  string_view rest = text.substr(colon + 1);
  take_number(rest);
  if (rest.size() > 1 && rest[0] == ':' && is_digit(rest[1])) {
    rest.remove_prefix(1);
    take_number(rest);
  }
  if (has_space(path) || path.find_first_not_of("0123456789") == string_view::npos ||
      !take(rest, ": ") || !(take(rest, "error: ") || take(rest, "fatal error: "))) {
    return std::nullopt;
  }
  return std::string(text);
}

// "error[E0308]: mismatched types" then " --> src/main.rs:6:21": both lines, as printed.
std::optional<std::string> rustc_diagnostic(const Line& line, const Tally&) {
  string_view location = trim_left(line.text);
  if (!take(location, "--> ") || location.empty() || has_space(location) ||
      !(line.previous.starts_with("error:") || line.previous.starts_with("error["))) {
    return std::nullopt;
  }
  return std::string(line.previous) + "\n" + std::string(line.text);
}

// "src/price.ts(7,3): error TS2322: ..."
std::optional<std::string> tsc_diagnostic(const Line& line, const Tally&) {
  const string_view text = line.text;
  const std::size_t open = text.find('(');
  if (open == string_view::npos || open == 0 || has_space(text.substr(0, open))) {
    return std::nullopt;
  }
  string_view rest = text.substr(open + 1);
  if (!take_number(rest) || !take(rest, ",") || !take_number(rest) || !take(rest, "): error TS")) {
    return std::nullopt;
  }
  return std::string(text);
}

// ---- The table

// What a row's summaries cover.
enum class Coverage {
  kPart,        // one binary, package or test: the run's counts are their sum
  kRun,         // one invocation of the runner
  kEverything,  // every test the verifier ran, other runners' included
};

enum class Finding { kTest, kDiagnostic };

struct Recogniser {
  // What the lines the row reads start with, after blanks ("\n" for a blank line); empty for
  // every line. Most lines are read by none or few of the rows.
  string_view first_bytes;
  Coverage coverage;
  Finding finding;
  // Reads a summary line, or one that opens or closes a listing; none for diagnostics.
  void (*summary)(const Line&, Tally&);
  // The test id or diagnostic the line names.
  std::optional<std::string> (*failure)(const Line&, const Tally&);
};

// "\xE2" leads "●", "⎯", "ℹ" and "✖".
constexpr Recogniser kRecognisers[] = {
    {"=0123456789nFE", Coverage::kRun, Finding::kTest, pytest_summary, pytest_failure},
    {"ROFE", Coverage::kRun, Finding::kTest, unittest_summary, unittest_failure},
    {"t", Coverage::kPart, Finding::kTest, cargo_summary, cargo_failure},
    {"=-oF", Coverage::kPart, Finding::kTest, go_summary, go_failure},
    {"T\xE2", Coverage::kRun, Finding::kTest, jest_summary, jest_failure},
    {"FT\xE2", Coverage::kRun, Finding::kTest, vitest_summary, vitest_failure},
    {"#n\xE2", Coverage::kRun, Finding::kTest, tap_summary, tap_failure},
    {"0123456789T\n", Coverage::kEverything, Finding::kTest, ctest_summary, ctest_failure},
    {"[", Coverage::kPart, Finding::kTest, gtest_summary, gtest_failure},
    {"", Coverage::kRun, Finding::kDiagnostic, nullptr, gcc_diagnostic},
    {"-", Coverage::kRun, Finding::kDiagnostic, nullptr, rustc_diagnostic},
    {"", Coverage::kRun, Finding::kDiagnostic, nullptr, tsc_diagnostic},
};

using Tallies = std::array<Tally, std::size(kRecognisers)>;
using Rows = std::uint16_t;
static_assert(std::size(kRecognisers) <= 16, "a row is one bit of Rows");

// The rows that read a line, by the line's first byte after blanks.
constexpr std::array<Rows, 256> kReadersByFirstByte = [] {
  std::array<Rows, 256> readers{};
  for (std::size_t row = 0; row < std::size(kRecognisers); ++row) {
    const string_view first_bytes = kRecognisers[row].first_bytes;
    for (std::size_t byte = 0; byte < readers.size(); ++byte) {
      if (first_bytes.empty() || first_bytes.find(static_cast<char>(byte)) != string_view::npos) {
        readers[byte] |= static_cast<Rows>(1u << row);
      }
    }
  }
  return readers;
}();

// ---- Reading the output

// "...[N bytes omitted]...", whatever else the cut says on the line.
bool is_omission(string_view raw) {
  return raw.starts_with("...[") && raw.find(" bytes omitted") != string_view::npos &&
         raw.ends_with("]...");
}

// The length of the terminal escape sequence at the start of `text`.
std::size_t escape_length(string_view text) {
  std::size_t at = 2;
  if (text.starts_with("\x1b[")) {
    // CSI: parameters and intermediates, then one final byte.
    while (at < text.size() && (text[at] < '@' || text[at] > '~')) ++at;
    return at + 1;
  }
  if (text.starts_with("\x1b]")) {
    // OSC: up to BEL or ESC backslash.
    while (at < text.size() && text[at] != '\a' && text[at] != '\x1b') ++at;
    return at < text.size() && text[at] == '\x1b' ? at + 2 : at + 1;
  }
  return at;
}

// `raw` without a final carriage return and without terminal escape sequences (colours,
// hyperlinks), in `buffer` when there were any.
string_view without_escapes(string_view raw, std::string& buffer) {
  if (raw.ends_with('\r')) raw.remove_suffix(1);
  std::size_t escape = raw.find('\x1b');
  if (escape == string_view::npos) return raw;
  buffer.clear();
  for (; escape != string_view::npos; escape = raw.find('\x1b')) {
    buffer.append(raw.substr(0, escape));
    raw.remove_prefix(std::min(escape + escape_length(raw.substr(escape)), raw.size()));
  }
  buffer.append(raw);
  return buffer;
}

void keep_failure(std::vector<std::string>& list, string_view found) {
  if (list.size() == kMaxFailures) return;
  std::string entry = truncate_utf8(utf8_lossy(found), kMaxFailureBytes, "...");
  if (std::find(list.begin(), list.end(), entry) == list.end()) list.push_back(std::move(entry));
}

struct Findings {
  std::vector<std::string> tests;
  std::vector<std::string> diagnostics;
};

void read_line(const Line& line, Tallies& tallies, Findings& found) {
  const string_view start = trim_left(line.text);
  const auto first = static_cast<unsigned char>(start.empty() ? '\n' : start.front());
  for (Rows rows = kReadersByFirstByte[first]; rows != 0; rows &= static_cast<Rows>(rows - 1)) {
    const auto row = static_cast<std::size_t>(std::countr_zero(rows));
    const Recogniser& recogniser = kRecognisers[row];
    if (recogniser.summary != nullptr) recogniser.summary(line, tallies[row]);
    if (std::optional<std::string> failure = recogniser.failure(line, tallies[row])) {
      keep_failure(recogniser.finding == Finding::kTest ? found.tests : found.diagnostics,
                   *failure);
    }
  }
}

// CTest's counts stand alone: the tests whose own summaries are inside its output are among them.
std::optional<TestCounts> counts_of(Tallies& tallies, bool omitted) {
  for (std::size_t row = 0; row < tallies.size(); ++row) {
    close_block(tallies[row]);
    if (kRecognisers[row].coverage == Coverage::kEverything && tallies[row].counts) {
      return tallies[row].counts;
    }
  }
  std::optional<TestCounts> counts;
  for (std::size_t row = 0; row < tallies.size(); ++row) {
    if (!tallies[row].counts || (omitted && kRecognisers[row].coverage == Coverage::kPart)) {
      continue;
    }
    if (!counts) counts.emplace();
    add(*counts, *tallies[row].counts);
  }
  return counts;
}

}  // namespace

RunnerReport recognise_runner_output(string_view output) {
  const bool end_cut = output.ends_with(kTruncationMarker);
  if (end_cut) output.remove_suffix(kTruncationMarker.size());

  Tallies tallies{};
  Findings found;
  std::array<std::string, 2> buffers;  // this line's and the previous line's, when rewritten
  std::size_t buffer = 0;
  string_view previous;
  bool omitted = false;
  bool after_omission = false;
  // Each line is read once the next is known: a line just before a cut may be partial.
  std::size_t next_start = 0;
  const auto next_line = [&]() -> std::optional<string_view> {
    if (next_start > output.size()) return std::nullopt;
    const std::size_t feed = std::min(output.find('\n', next_start), output.size());
    const string_view raw = output.substr(next_start, feed - next_start);
    next_start = feed + 1;
    return raw;
  };
  std::optional<string_view> raw = next_line();
  for (std::size_t number = 0; raw; ++number) {
    const std::optional<string_view> next = next_line();
    if (is_omission(*raw)) {
      omitted = after_omission = true;
      for (Tally& tally : tallies) {
        tally.block.reset();
        tally.block_complete = false;
      }
    } else {
      const bool partial =
          after_omission || (next && is_omission(*next)) || (!next && end_cut && !omitted);
      after_omission = false;
      const string_view text = partial ? string_view{} : without_escapes(*raw, buffers[buffer]);
      if (!partial) read_line(Line{text, previous, number}, tallies, found);
      previous = text;
      buffer ^= 1;
    }
    raw = next;
  }

  RunnerReport report;
  report.failures = found.tests.empty() ? std::move(found.diagnostics) : std::move(found.tests);
  // With its end cut away, the output does not say what ran last.
  if (!(end_cut && !omitted)) report.counts = counts_of(tallies, omitted);
  return report;
}

std::optional<std::uint64_t> tests_ran(const RunnerReport& report) {
  if (!report.counts) return std::nullopt;
  const TestCounts& counts = *report.counts;
  return counts.passed.value_or(0) + counts.failed.value_or(0) + counts.errors.value_or(0);
}

}  // namespace quarry
