// The readers of mutation-tool reports on arbitrary text: the advisory check's score, the gate's
// summary score and its two line helpers, and the text helpers they share.
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "mutation_gate.h"
#include "text.h"
#include "verifier_strength.h"

namespace {

constexpr std::string_view kDigitsAndStops = "0123456789.";

bool contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

// A run of digits and full stops read by the C library, as an independent second reading.
struct Reading {
  std::optional<double> value;
};

Reading read_run(std::string_view run) {
  const std::string text(run);
  if (text.empty()) return {};
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return {};
  return Reading{value};
}

void check_percentage(std::string_view line) {
  const std::size_t percent = line.rfind('%');
  std::optional<double> expected;
  Reading reading;
  if (percent != std::string_view::npos) {
    const std::string_view before = line.substr(0, percent);
    const std::size_t other = before.find_last_not_of(kDigitsAndStops);
    reading = read_run(other == std::string_view::npos ? before : before.substr(other + 1));
    if (reading.value && *reading.value >= 0.0 && *reading.value <= 100.0) {
      expected = *reading.value / 100.0;
    }
  }
  const std::optional<double> got = quarry::parse_percentage(line);
  FUZZ_CHECK(got == expected);
  if (got) FUZZ_CHECK(*got >= 0.0 && *got <= 1.0);
}

void check_number_after(std::string_view line, std::string_view word) {
  Reading reading;
  if (const std::size_t at = line.find(word); at != std::string_view::npos) {
    const std::string_view rest = line.substr(at + word.size());
    if (const std::size_t first = rest.find_first_of("0123456789");
        first != std::string_view::npos) {
      const std::size_t end = rest.find_first_not_of(kDigitsAndStops, first);
      reading = read_run(rest.substr(first, end - first));
    }
  }
  const std::optional<double> got = quarry::extract_number_after(line, word);
  FUZZ_CHECK(got == reading.value);
  if (got) FUZZ_CHECK(std::isfinite(*got) && *got >= 0.0);
}

void check_lines(std::string_view text, const std::vector<std::string_view>& lines) {
  std::size_t feeds = 0;
  for (const char c : text) feeds += c == '\n';
  FUZZ_CHECK(lines.size() == feeds + (!text.empty() && text.back() != '\n'));
  for (const std::string_view line : lines) {
    FUZZ_CHECK(!contains(line, "\n"));
    FUZZ_CHECK(line.data() >= text.data() && line.data() + line.size() <= text.data() + text.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string lowered = quarry::lowercase(text);
  FUZZ_CHECK(lowered.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
  if (quarry::is_valid_utf8(text)) FUZZ_CHECK(quarry::is_valid_utf8(lowered));

  const std::vector<std::string_view> lines = quarry::split_lines(text);
  check_lines(text, lines);
  for (const std::string_view line : lines) {
    for (const std::string_view token : quarry::split_whitespace(line)) {
      FUZZ_CHECK(!token.empty());
      if (const std::optional<double> number = quarry::parse_number(token)) {
        FUZZ_CHECK(std::isfinite(*number));
      }
    }
    const std::string lowered_line = quarry::lowercase(line);
    for (const std::string_view subject : {line, std::string_view(lowered_line)}) {
      check_percentage(subject);
      for (const std::string_view word : {"killed", "survived", ""}) {
        check_number_after(subject, word);
      }
    }
  }

  // Percentages stay within 0..100 (fractions within 0..1); only the ratio forms, all on lines
  // mentioning "killed", may go beyond.
  if (const std::optional<double> score = quarry::parse_score(text)) {
    FUZZ_CHECK(std::isfinite(*score));
    if (*score < 0.0 || *score > 100.0) FUZZ_CHECK(contains(lowered, "killed"));
  }
  if (const std::optional<double> score = quarry::parse_summary_score(text)) {
    FUZZ_CHECK(std::isfinite(*score));
    if (*score < 0.0 || *score > 1.0) FUZZ_CHECK(contains(lowered, "killed"));
  }
  return 0;
}
