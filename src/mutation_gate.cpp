#include "mutation_gate.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>

#include "text.h"
#include "verifier_strength.h"

namespace quarry {
namespace {

constexpr std::chrono::seconds kToolTimeLimit{300};

constexpr std::string_view kMeasuringRunFailed =
    "mutation_gate: bitegauge probe (--format summary) failed; the CLI invocation may be wrong "
    "for this bitegauge version; gate skipped\n";
constexpr std::string_view kReportUnparsed =
    "mutation_gate: bitegauge ran but its output could not be parsed; gate skipped\n";

bool contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

// Written to the descriptor itself, bypassing stdio: a standard error that cannot be written
// must not fail the start.
void write_stderr(std::string_view text) {
  static_cast<void>(write_all(STDERR_FILENO, text));
}

// The shortest digits that read back as `value`, laid out without an exponent: to_chars picks
// exponent notation for very large and very small values, which the message never shows.
std::string plain_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::array<char, 32> buffer{};
  const std::to_chars_result written = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                                     value, std::chars_format::scientific);
  std::string_view text(buffer.data(), static_cast<std::size_t>(written.ptr - buffer.data()));
  std::string out;
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  std::string_view exponent_text = text.substr(e + 1);
  // from_chars reads a minus but not the plus that to_chars writes.
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  const long integer_digits = static_cast<long>(exponent) + 1;
  const auto digit_count = static_cast<long>(digits.size());
  if (integer_digits <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-integer_digits), '0');
    out += digits;
  } else if (integer_digits >= digit_count) {
    out += digits;
    out.append(static_cast<std::size_t>(integer_digits - digit_count), '0');
  } else {
    const auto split = static_cast<std::size_t>(integer_digits);
    out += digits.substr(0, split);
    out.push_back('.');
    out += digits.substr(split);
  }
  return out;
}

std::string percent_one_decimal(double fraction) {
  // Wide enough for the largest finite double in fixed notation.
  std::array<char, 400> buffer{};
  const std::to_chars_result written = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                                     fraction * 100.0, std::chars_format::fixed, 1);
  return std::string(buffer.data(), written.ptr);
}

std::optional<double> ratio_before_killed(std::string_view line) {
  const std::vector<std::string_view> tokens =
      split_whitespace(line.substr(0, line.find("killed")));
  if (tokens.size() >= 3) {
    for (std::size_t first = tokens.size() - 2; first-- > 0;) {
      if (tokens[first + 1] != "of") continue;
      const std::optional<double> part = parse_number(tokens[first]);
      const std::optional<double> whole = parse_number(tokens[first + 2]);
      // 1e300 of 1e-300 is no score: it would pass any gate and print as null.
      if (part && whole && *whole > 0.0 && std::isfinite(*part / *whole)) return *part / *whole;
    }
  }
  for (std::size_t index = tokens.size(); index-- > 0;) {
    const std::size_t slash = tokens[index].find('/');
    if (slash == std::string_view::npos) continue;
    const std::optional<double> part = parse_number(tokens[index].substr(0, slash));
    const std::optional<double> whole = parse_number(tokens[index].substr(slash + 1));
    if (part && whole && *whole > 0.0 && *part <= *whole) return *part / *whole;
  }
  return std::nullopt;
}

std::optional<double> score_from_line(std::string_view line) {
  // A line naming both counts is read only as counts, even when they give no score.
  if (contains(line, "killed") && contains(line, "survived")) {
    const std::optional<double> killed = extract_number_after(line, "killed");
    const std::optional<double> survived = extract_number_after(line, "survived");
    if (killed && survived && *killed + *survived > 0.0) return *killed / (*killed + *survived);
    return std::nullopt;
  }
  if (contains(line, "mutation") || contains(line, "score") || contains(line, "killed")) {
    if (std::optional<double> score = parse_percentage(line)) return score;
  }
  if (!contains(line, "killed")) return std::nullopt;
  return ratio_before_killed(line);
}

}  // namespace

Result<std::optional<MutationMeasurement>> run_mutation_gate(
    std::optional<double> min_mutation_score, const std::string& verify_cmd,
    const RunHooks& hooks) {
  if (!min_mutation_score) return std::optional<MutationMeasurement>{};
  const double minimum = *min_mutation_score;
  if (!(minimum >= 0.0 && minimum <= 1.0)) {
    return IoError{ErrorKind::InvalidInput,
                   "min_mutation_score must be between 0.0 and 1.0, got " + plain_decimal(minimum)};
  }
  std::optional<MutationMeasurement> measurement = measure_verifier_strength(verify_cmd, hooks);
  if (measurement && measurement->score < minimum) {
    return IoError{ErrorKind::PermissionDenied, "mutation gate rejected: verifier mutation score " +
                                                    percent_one_decimal(measurement->score) +
                                                    "% below minimum " +
                                                    percent_one_decimal(minimum) +
                                                    "% (measured with " + measurement->tool + ")"};
  }
  return measurement;
}

std::optional<MutationMeasurement> measure_verifier_strength(const std::string& verify_cmd,
                                                             const RunHooks& hooks) {
  const std::string lowered = lowercase(verify_cmd);
  if (contains(lowered, "pytest")) {
    if (!run_tool("bitegauge", {"--version"}, hooks)) return std::nullopt;
    const std::optional<std::string> summary =
        run_tool("bitegauge", {"--format", "summary"}, hooks);
    if (!summary) {
      // A run killed because the start was abandoned did not fail: nobody waits for the start.
      if (!hooks.is_abandoned()) write_stderr(kMeasuringRunFailed);
      return std::nullopt;
    }
    const std::optional<double> score = parse_summary_score(*summary);
    if (!score) {
      write_stderr(kReportUnparsed);
      return std::nullopt;
    }
    return MutationMeasurement{"bitegauge", *score};
  }
  if (contains(lowered, "cargo test") || contains(lowered, "cargo nextest")) {
    // No measurement is defined for cargo verifiers yet: the probes run, and the gate steps
    // aside whatever they report.
    if (run_tool("cargo", {"--version"}, hooks)) run_tool("cargo", {"mutants", "--version"}, hooks);
  }
  return std::nullopt;
}

std::optional<std::string> run_tool(const std::string& program,
                                    const std::vector<std::string>& args, const RunHooks& hooks) {
  std::optional<RunResult> result =
      run_tool_to_success(Command{program, args, Sink::Pipe, Sink::Null}, kToolTimeLimit, hooks);
  if (!result || !is_valid_utf8(result->out)) return std::nullopt;
  return std::move(result->out);
}

std::optional<double> parse_summary_score(std::string_view summary) {
  const std::string lowered = lowercase(summary);
  for (std::string_view line : split_lines(lowered)) {
    if (std::optional<double> score = score_from_line(line)) return score;
  }
  return std::nullopt;
}

std::optional<double> extract_number_after(std::string_view line, std::string_view word) {
  const std::size_t at = line.find(word);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view rest = line.substr(at + word.size());
  const std::size_t first = rest.find_first_of("0123456789");
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t end = rest.find_first_not_of("0123456789.", first);
  return parse_number(rest.substr(first, end - first));
}

std::optional<double> parse_percentage(std::string_view line) {
  const std::size_t percent = line.rfind('%');
  if (percent == std::string_view::npos) return std::nullopt;
  const std::string_view before = line.substr(0, percent);
  const std::size_t last_other = before.find_last_not_of("0123456789.");
  const std::string_view run =
      last_other == std::string_view::npos ? before : before.substr(last_other + 1);
  const std::optional<double> value = parse_number(run);
  if (!value || *value < 0.0 || *value > 100.0) return std::nullopt;
  return *value / 100.0;
}

}  // namespace quarry
