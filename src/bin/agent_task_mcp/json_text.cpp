#include "json_text.h"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "text.h"

namespace quarry {
namespace {

// Builds the nlohmann value from simdjson's tape. Depth is bounded by the parser's own limit.
Json from_simdjson(simdjson::dom::element element) {
  using simdjson::dom::element_type;
  switch (element.type()) {
    case element_type::ARRAY: {
      Json array = Json::array();
      for (simdjson::dom::element item : simdjson::dom::array(element)) {
        array.push_back(from_simdjson(item));
      }
      return array;
    }
    case element_type::OBJECT: {
      Json object = Json::object();
      for (simdjson::dom::key_value_pair field : simdjson::dom::object(element)) {
        // A key given twice keeps its last value, as in the fallback parser.
        object[std::string(field.key)] = from_simdjson(field.value);
      }
      return object;
    }
    case element_type::INT64: {
      const int64_t value = int64_t(element);
      // Non-negative integers are unsigned, as the fallback parser reads them.
      if (value >= 0) return Json(static_cast<uint64_t>(value));
      return Json(value);
    }
    case element_type::UINT64:
      return Json(uint64_t(element));
    case element_type::DOUBLE:
      return Json(double(element));
    case element_type::STRING:
      return Json(std::string(std::string_view(element)));
    case element_type::BOOL:
      return Json(bool(element));
    case element_type::NULL_VALUE:
      return Json(nullptr);
  }
  return Json(nullptr);
}

// The parser's buffers grow to about thirteen times the largest text it has read; past this
// size they are given back once the text is parsed.
constexpr std::size_t kRetainedTextSize = std::size_t{1} << 20;

simdjson::dom::parser new_parser() {
  simdjson::dom::parser parser;
  // Sets the depth limit that every later growth of the buffers keeps. Should this small
  // allocation fail, the first parse allocates again with the same limit.
  const simdjson::error_code allocated = parser.allocate(4096, kMaxJsonDepth);
  (void)allocated;
  return parser;
}

simdjson::dom::parser& shared_parser() {
  static simdjson::dom::parser parser = new_parser();
  return parser;
}

// The library quotes the token it last read, which for an unterminated string is the rest of
// the line, megabytes of it: the reply keeps only its start.
std::string shorten_last_read(std::string message) {
  constexpr std::string_view kLastRead = "last read: '";
  constexpr std::size_t kExcerptLimit = 40;
  const std::size_t start = message.find(kLastRead);
  const std::size_t end = message.rfind('\'');
  if (start == std::string::npos || end == std::string::npos) return message;
  const std::size_t excerpt = start + kLastRead.size();
  if (end <= excerpt || end - excerpt <= kExcerptLimit) return message;
  return truncate_utf8(message.substr(0, end), excerpt + kExcerptLimit, "...") +
         message.substr(end);
}

// The library's message reworded to follow our own "parse error: ": its bracketed exception
// prefix dropped and its position moved to the end ("... at line 1 column 5").
std::string reword_library_message(const std::string& what) {
  std::string_view text = what;
  if (const std::size_t bracket = text.find("] "); bracket != std::string_view::npos) {
    text.remove_prefix(bracket + 2);
  }
  constexpr std::string_view kPositioned = "parse error at ";
  const std::size_t colon = text.find(": ");
  if (text.starts_with(kPositioned) && colon != std::string_view::npos) {
    std::string position(text.substr(kPositioned.size(), colon - kPositioned.size()));
    if (const std::size_t comma = position.find(','); comma != std::string::npos) {
      position.erase(comma, 1);
    }
    return shorten_last_read(std::string(text.substr(colon + 2))) + " at " + position;
  }
  return shorten_last_read(std::string(text));
}

// nlohmann's DOM builder with a depth limit and a plain error message.
class BoundedDomBuilder {
 public:
  explicit BoundedDomBuilder(Json& root) : builder_(root, false) {}

  bool null() { return builder_.null(); }
  bool boolean(bool v) { return builder_.boolean(v); }
  bool number_integer(Json::number_integer_t v) { return builder_.number_integer(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return builder_.number_unsigned(v); }
  bool number_float(Json::number_float_t v, const std::string& s) {
    return builder_.number_float(v, s);
  }
  bool string(std::string& v) { return builder_.string(v); }
  bool binary(Json::binary_t& v) { return builder_.binary(v); }
  bool start_object(std::size_t n) { return enter() && builder_.start_object(n); }
  bool key(std::string& v) { return builder_.key(v); }
  bool end_object() { return leave() && builder_.end_object(); }
  bool start_array(std::size_t n) { return enter() && builder_.start_array(n); }
  bool end_array() { return leave() && builder_.end_array(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    (void)position;
    // The library quotes the bytes it last read, which may stop inside a character; the
    // message goes into a reply line, which must stay UTF-8.
    error_ = utf8_lossy(reword_library_message(e.what()));
    return false;
  }

  const std::string& error() const { return error_; }
  bool too_deep() const { return too_deep_; }

 private:
  bool enter() {
    if (++depth_ > kMaxJsonDepth) {
      too_deep_ = true;
      return false;
    }
    return true;
  }
  bool leave() {
    --depth_;
    return true;
  }

  nlohmann::detail::json_sax_dom_parser<Json> builder_;
  int depth_ = 0;
  bool too_deep_ = false;
  std::string error_;
};

// Finds where the nesting first passes the limit, for the message of a too-deep document.
std::size_t offset_of_excess_depth(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return text.size();
}

std::variant<Json, std::string> parse_with_nlohmann(std::string_view text) {
  Json root;
  BoundedDomBuilder builder(root);
  const bool ok = Json::sax_parse(text.begin(), text.end(), &builder,
                                  nlohmann::detail::input_format_t::json, true, false);
  // The library takes a NUL byte for the end of its input, so a value followed by a NUL and
  // anything at all passes as one value. Inside a string a raw NUL is refused, so the first NUL
  // of an accepted text is where the library stopped.
  if (const std::size_t nul = text.find('\0'); ok && nul != std::string_view::npos) {
    return "syntax error while parsing value - unexpected NUL byte; expected end of input at "
           "line 1 column " +
           std::to_string(nul + 1);
  }
  if (ok) return root;
  if (builder.too_deep()) {
    return "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels at line 1 column " +
           std::to_string(offset_of_excess_depth(text) + 1);
  }
  return builder.error();
}

void append_escaped_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out.push_back('"');
}

// The UTF-16 unit of the \u escape at `at` (the backslash), or nothing when it is none.
std::optional<unsigned> escaped_unit(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return std::nullopt;
  unsigned unit = 0;
  const auto [end, error] = std::from_chars(text.data() + at + 2, text.data() + at + 6, unit, 16);
  if (error != std::errc() || end != text.data() + at + 6) return std::nullopt;
  return unit;
}

bool is_high_surrogate(std::optional<unsigned> unit) {
  return unit && *unit >= 0xD800 && *unit <= 0xDBFF;
}

bool is_low_surrogate(std::optional<unsigned> unit) {
  return unit && *unit >= 0xDC00 && *unit <= 0xDFFF;
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::variant<Json, std::string> parse_json(std::string_view text, std::size_t readable_padding) {
  simdjson::dom::parser& parser = shared_parser();
  const bool padded = readable_padding >= simdjson::SIMDJSON_PADDING;
  auto parsed = parser.parse(text.data(), text.size(), !padded);
  if (!parsed.error()) {
    Json value = from_simdjson(parsed.value_unsafe());
    if (text.size() > kRetainedTextSize) parser = new_parser();
    return value;
  }
  if (text.size() > kRetainedTextSize) parser = new_parser();
  // simdjson refuses some valid texts (integers beyond 64 bits, for one); the second parser
  // accepts those and describes the real faults.
  return parse_with_nlohmann(text);
}

std::optional<std::string> replace_lone_surrogates(std::string_view text,
                                                   std::string_view replacement) {
  std::optional<std::string> replaced;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') in_string = !in_string;
    if (!in_string || text[i] != '\\') continue;
    const std::optional<unsigned> unit = escaped_unit(text, i);
    if (is_high_surrogate(unit) && is_low_surrogate(escaped_unit(text, i + 6))) {
      i += 11;  // a whole pair
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      if (!replaced) replaced.emplace(text);
      replaced->replace(i + 2, 4, replacement);
      i += 5;
    } else {
      ++i;  // any other escape: the character after the backslash is taken with it
    }
  }
  return replaced;
}

std::string format_double(double value) {
  // Shortest round-trip digits in scientific form, e.g. "1.5e-07", then re-laid out.
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, result.ptr - buffer);
  const std::size_t e = text.find('e');
  std::string_view mantissa = text.substr(0, e);
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);

  std::string out;
  if (!mantissa.empty() && mantissa.front() == '-') {
    out.push_back('-');
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }

  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= integer_digits) {
        out += digits;
        out.append(integer_digits - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, integer_digits);
        out.push_back('.');
        out.append(digits, integer_digits);
      }
    }
    return out;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out += exponent < 0 ? "e-" : "e+";
  append_integer(out, exponent < 0 ? -exponent : exponent);
  return out;
}

void append_json(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_escaped_string(out, key);
        out.push_back(':');
        append_json(out, member);
      }
      out.push_back('}');
      return;
    }
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const Json& item : value.get_ref<const Json::array_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_json(out, item);
      }
      out.push_back(']');
      return;
    }
    case Json::value_t::string:
      append_escaped_string(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      append_integer(out, value.get<Json::number_integer_t>());
      return;
    case Json::value_t::number_unsigned:
      append_integer(out, value.get<Json::number_unsigned_t>());
      return;
    case Json::value_t::number_float: {
      const double number = value.get<double>();
      out += std::isfinite(number) ? format_double(number) : "null";
      return;
    }
    case Json::value_t::null:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      out += "null";
      return;
  }
}

void append_json_string(std::string& out, std::string_view text) {
  append_escaped_string(out, text);
}

std::string write_json(const Json& value) {
  std::string out;
  append_json(out, value);
  return out;
}

}  // namespace quarry
