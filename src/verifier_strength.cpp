#include "verifier_strength.h"

#include <locale.h>
#include <wctype.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "text.h"

namespace quarry {
namespace {

constexpr std::chrono::seconds kToolTimeLimit{120};
constexpr double kWarningThreshold = 70.0;

bool contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

bool is_ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

struct CodePoint {
  char32_t value;
  std::size_t length;  // bytes it takes in UTF-8
};

// Nothing when the bytes at `at` are not one well-formed UTF-8 sequence: overlong forms,
// surrogates and values past U+10FFFF included.
std::optional<CodePoint> decode_utf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return CodePoint{lead, 1};
  std::size_t length = 0;
  char32_t value = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - at < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return std::nullopt;
  }
  return CodePoint{value, length};
}

void append_utf8(std::string& out, char32_t value) {
  if (value < 0x80) {
    out.push_back(static_cast<char>(value));
  } else if (value < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (value >> 6)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else if (value < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (value >> 12)));
    out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (value >> 18)));
    out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
  }
}

// Unicode case tables come with a UTF-8 locale. The process's global locale is never switched
// (that would change every other library's behaviour), so one is opened privately; where the
// system lacks it, only ASCII letters are lowered.
class Utf8CaseTable {
 public:
  Utf8CaseTable() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{})) {}
  ~Utf8CaseTable() {
    if (locale_ != locale_t{}) freelocale(locale_);
  }
  Utf8CaseTable(const Utf8CaseTable&) = delete;
  Utf8CaseTable& operator=(const Utf8CaseTable&) = delete;

  char32_t lower(char32_t value) const {
    if (value < 0x80) {
      return value >= 'A' && value <= 'Z' ? value + ('a' - 'A') : value;
    }
    if (locale_ == locale_t{}) return value;
    const auto lowered = static_cast<char32_t>(towlower_l(static_cast<wint_t>(value), locale_));
    const bool valid = lowered <= 0x10FFFF && !(lowered >= 0xD800 && lowered <= 0xDFFF);
    return valid ? lowered : value;
  }

 private:
  locale_t locale_;
};

const Utf8CaseTable& case_table() {
  static const Utf8CaseTable table;
  return table;
}

// The Unicode White_Space property.
bool is_white_space(char32_t value) {
  switch (value) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return value >= 0x2000 && value <= 0x200A;
  }
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

std::string lowercase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::optional<CodePoint> code_point = decode_utf8(text, at);
    if (!code_point) {
      out.push_back(text[at]);
      ++at;
      continue;
    }
    append_utf8(out, case_table().lower(code_point->value));
    at += code_point->length;
  }
  return out;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    if (feed == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    std::string_view line = text.substr(0, feed);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(feed + 1);
  }
  return lines;
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t token_start = 0;
  bool in_token = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::optional<CodePoint> code_point = decode_utf8(text, at);
    const std::size_t length = code_point ? code_point->length : 1;
    const bool space = code_point && is_white_space(code_point->value);
    if (space && in_token) {
      tokens.push_back(text.substr(token_start, at - token_start));
      in_token = false;
    } else if (!space && !in_token) {
      token_start = at;
      in_token = true;
    }
    at += length;
  }
  if (in_token) tokens.push_back(text.substr(token_start));
  return tokens;
}

std::optional<double> parse_number(std::string_view text) {
  // from_chars takes a minus but not a plus, which is just as ordinary a way to write a number.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  double value = 0.0;
  const char* end = text.data() + text.size();
  const std::from_chars_result parsed = std::from_chars(text.data(), end, value);
  if (parsed.ptr != end) return std::nullopt;
  // A number too small for a double is as good as zero; strtod rounds it so, and overflow to
  // infinity is refused below.
  if (parsed.ec == std::errc::result_out_of_range) {
    value = std::strtod(std::string(text).c_str(), nullptr);
  } else if (parsed.ec != std::errc{}) {
    return std::nullopt;
  }
  // "inf" and "nan" parse as well, but a score must stay finite to be compared and printed.
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace quarry
