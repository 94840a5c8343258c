#include "verifier_strength.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>

#include "text.h"

namespace quarry {
namespace {

constexpr std::chrono::seconds kToolTimeLimit{120};
// A tool may print gigabytes; its score is at the end of its report, and a megabyte of the tail
// holds it.
constexpr std::size_t kToolOutputLimit = std::size_t{1} << 20;
constexpr double kWarningThreshold = 70.0;

bool contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

bool is_ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

// A tool's run prints a number directly before its percent sign; the first in-range one on the
// line wins, and the scan carries on past a rejected candidate.
std::optional<double> first_percentage(std::string_view line) {
  std::string digits;
  for (char c : line) {
    if (is_ascii_digit(c) || c == '.') {
      digits.push_back(c);
      continue;
    }
    if (c == '%' && !digits.empty()) {
      const std::optional<double> value = parse_number(digits);
      if (value && *value >= 0.0 && *value <= 100.0) return value;
    }
    digits.clear();
  }
  return std::nullopt;
}

std::optional<double> first_ratio_percent(std::string_view line) {
  for (std::string_view token : split_whitespace(line)) {
    const std::size_t first = token.find_first_not_of("(),");
    if (first == std::string_view::npos) continue;
    token = token.substr(first, token.find_last_not_of("(),") - first + 1);
    const std::size_t slash = token.find('/');
    if (slash == std::string_view::npos) continue;
    const std::optional<double> numerator = parse_number(token.substr(0, slash));
    const std::optional<double> denominator = parse_number(token.substr(slash + 1));
    if (numerator && denominator && *denominator > 0.0) {
      // 1e300/1e-300 is no score: it would pass any gate and print as null.
      const double percent = *numerator / *denominator * 100.0;
      if (std::isfinite(percent)) return percent;
    }
  }
  return std::nullopt;
}

bool mentions_score(std::string_view lowered_line) {
  return contains(lowered_line, "mutation") || contains(lowered_line, "score") ||
         contains(lowered_line, "killed");
}

std::string one_decimal(double value) {
  // Wide enough for the largest finite double in fixed notation.
  std::array<char, 400> buffer{};
  const std::to_chars_result written = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                                     value, std::chars_format::fixed, 1);
  return std::string(buffer.data(), written.ptr);
}

}  // namespace

std::optional<std::string> check_verifier_strength(const std::string& verify_cmd,
                                                   const RunHooks& hooks) {
  const std::string lowered = lowercase(verify_cmd);
  Command measuring;
  if (contains(lowered, "pytest")) {
    if (!tool_available("bitegauge", hooks)) return std::nullopt;
    measuring.program = "bitegauge";
    measuring.args = {"run"};
  } else if (contains(lowered, "cargo test")) {
    if (!tool_available("cargo-mutants", hooks)) return std::nullopt;
    measuring.program = "cargo";
    measuring.args = {"mutants", "--no-shuffle"};
  } else {
    return std::nullopt;
  }
  const std::optional<std::string> report = run_with_timeout(measuring, hooks);
  if (!report) return std::nullopt;
  const std::optional<double> score = parse_score(*report);
  if (!score || *score >= kWarningThreshold) return std::nullopt;
  return "Mutation score " + one_decimal(*score) +
         "% is below 70% - verifier may be weak. Consider strengthening tests before relying on "
         "this gate. (Task started anyway; this is a warning, not a block.)";
}

std::optional<RunResult> run_tool_to_success(Command command, std::chrono::seconds time_limit,
                                             const RunHooks& hooks) {
  command.own_process_group = true;
  RunOptions options;
  options.time_limit = time_limit;
  options.capture_limit = kToolOutputLimit;
  options.keep = Keep::Tail;
  options.hooks = hooks;
  Result<RunResult> result = run(command, options);
  if (!result.ok()) return std::nullopt;
  // A child killed at the limit or on interruption just as it exited 0 still does not count.
  const RunResult& ran = result.value();
  if (ran.timed_out || ran.interrupted || !ran.status.success()) return std::nullopt;
  return std::move(result).value();
}

bool tool_available(const std::string& name, const RunHooks& hooks) {
  Command probe{name, {"--version"}, Sink::Null, Sink::Null};
  return run_tool_to_success(std::move(probe), kToolTimeLimit, hooks).has_value();
}

std::optional<std::string> run_with_timeout(const Command& command, const RunHooks& hooks) {
  Command child = command;
  child.stdout_to = Sink::Pipe;
  child.stderr_to = Sink::Pipe;
  const std::optional<RunResult> result =
      run_tool_to_success(std::move(child), kToolTimeLimit, hooks);
  if (!result) return std::nullopt;
  std::string joined;
  if (is_valid_utf8(result->out)) joined += result->out;
  if (is_valid_utf8(result->err)) joined += result->err;
  return joined;
}

std::optional<double> parse_score(std::string_view text) {
  const std::vector<std::string_view> lines = split_lines(text);
  for (std::string_view line : lines) {
    if (!mentions_score(lowercase(line))) continue;
    if (std::optional<double> score = first_percentage(line)) return score;
  }
  for (std::string_view line : lines) {
    if (!contains(lowercase(line), "killed")) continue;
    if (std::optional<double> score = first_ratio_percent(line)) return score;
  }
  return std::nullopt;
}

}  // namespace quarry
