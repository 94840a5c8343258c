// JSON text: parsing request lines (simdjson first, nlohmann for what it rejects) and the
// compact writer every reply goes through.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace quarry {

using Json = nlohmann::json;

// Objects nested deeper than this are a parse error, so no recursive walk can exhaust the stack.
inline constexpr int kMaxJsonDepth = 128;

// One JSON value from `text`, or the parser's description of the fault with its position.
// When `readable_padding` bytes after the text may be read (at least simdjson's padding), the
// text is parsed where it lies instead of being copied first.
std::variant<Json, std::string> parse_json(std::string_view text, std::size_t readable_padding = 0);

// `text` with every \u escape of a lone surrogate (an unpaired half of a UTF-16 pair: JSON by
// the grammar, but no character) inside a string replaced by \u`replacement` (four hex digits),
// so that it parses; nothing when there is none.
std::optional<std::string> replace_lone_surrogates(std::string_view text,
                                                   std::string_view replacement);

// Compact text: keys in ascending byte order, no whitespace, raw UTF-8, short escapes.
std::string write_json(const Json& value);
void append_json(std::string& out, const Json& value);
// A string value written as a JSON string, without building a Json first.
void append_json_string(std::string& out, std::string_view text);

// A double in the shortest form that reads back the same: plain notation for decimal
// exponents -5..15 with at least one fractional digit ("1.0"), else "1e+16", "1.5e-7".
std::string format_double(double value);

}  // namespace quarry
