#include "text.h"

#include <locale.h>
#include <wctype.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace quarry {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The sequence starting at one byte: a whole valid character, or the maximal subpart of an
// invalid one (the longest prefix of some valid sequence, at least one byte).
struct Sequence {
  std::size_t length;
  bool valid;
};

// Well-formed sequences as the Unicode standard tabulates them: the lead byte fixes the length
// and the range of the second byte, which is what excludes overlong forms, surrogates and code
// points past U+10FFFF.
Sequence sequence_at(std::string_view bytes, std::size_t at) {
  const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    return {1, true};
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    low = 0xA0;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xED) high = 0x9F;
  } else if (lead == 0xF0) {
    length = 4;
    low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4;
    high = 0x8F;
  } else {
    return {1, false};
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (at + k >= bytes.size()) return {k, false};
    const unsigned char next = byte(at + k);
    if (next < low || next > high) return {k, false};
    low = 0x80;
    high = 0xBF;
  }
  return {length, true};
}

// The index of the first byte that does not begin a valid character, at or after `from`.
std::size_t valid_until(std::string_view bytes, std::size_t from) {
  std::size_t at = from;
  while (at < bytes.size()) {
    // Output is mostly ASCII; eight bytes with no high bit set can be skipped at once.
    while (at + 8 <= bytes.size()) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + at, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      at += 8;
    }
    if (at == bytes.size()) break;
    const Sequence sequence = sequence_at(bytes, at);
    if (!sequence.valid) return at;
    at += sequence.length;
  }
  return bytes.size();
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

bool white_space_at(std::string_view text, std::size_t at, std::size_t& length) {
  const std::optional<CodePoint> code_point = decode_utf8(text, at);
  length = code_point ? code_point->length : 1;
  return code_point && is_white_space(code_point->value);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  return valid_until(bytes, 0) == bytes.size();
}

std::string utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = valid_until(bytes, at);
    text.append(bytes.substr(at, end - at));
    if (end == bytes.size()) return text;
    text.append(kReplacement);
    at = end + sequence_at(bytes, end).length;
  }
}

std::string truncate_utf8(std::string text, std::size_t limit, std::string_view marker) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  text.append(marker);
  return text;
}

std::size_t continuation_prefix(std::string_view text) {
  std::size_t count = 0;
  while (count < 3 && count < text.size() &&
         (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80) {
    ++count;
  }
  return count;
}

std::optional<CodePoint> decode_utf8(std::string_view text, std::size_t at) {
  const Sequence sequence = sequence_at(text, at);
  if (!sequence.valid) return std::nullopt;
  const auto byte = [&text, at](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(text[at + i]));
  };
  if (sequence.length == 1) return CodePoint{byte(0), 1};
  // The lead byte keeps 7 - length bits of the value, each continuation byte six.
  char32_t value = byte(0) & (0x7F >> sequence.length);
  for (std::size_t i = 1; i < sequence.length; ++i) value = (value << 6) | (byte(i) & 0x3F);
  return CodePoint{value, sequence.length};
}

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

std::string_view trim_white_space(std::string_view text) {
  std::size_t length = 0;
  while (!text.empty() && white_space_at(text, 0, length)) text.remove_prefix(length);
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (!white_space_at(text, start, length) || start + length != text.size()) break;
    text.remove_suffix(length);
  }
  return text;
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
    std::size_t length = 0;
    const bool space = white_space_at(text, at, length);
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
