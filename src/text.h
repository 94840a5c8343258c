// Text helpers shared by the server, the verifier run, fingerprints and the tool runners: UTF-8
// decoding, white space, lower-casing, lines, tokens and numbers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarry {

bool is_valid_utf8(std::string_view bytes);

// Decodes `bytes`, replacing each maximal invalid subsequence by U+FFFD (the Unicode
// standard's recommended practice).
std::string utf8_lossy(std::string_view bytes);

// Cuts `text` to at most `limit` bytes, stepping back to a character boundary, and appends
// `marker` when anything was cut. A text of exactly `limit` bytes is left whole.
std::string truncate_utf8(std::string text, std::size_t limit, std::string_view marker);

// How many bytes at the start of `text` continue a character begun before it (at most three):
// a tail cut at any byte starts on a character boundary once they are dropped.
std::size_t continuation_prefix(std::string_view text);

struct CodePoint {
  char32_t value;
  std::size_t length;  // bytes it takes in UTF-8
};

// The character whose encoding starts at `text[at]`; nothing when the bytes there are not one
// well-formed UTF-8 sequence (overlong forms, surrogates and values past U+10FFFF included).
std::optional<CodePoint> decode_utf8(std::string_view text, std::size_t at);

// The Unicode White_Space property.
bool is_white_space(char32_t value);

// `text` without its leading and trailing white space characters.
std::string_view trim_white_space(std::string_view text);

// Unicode lower-casing, one code point at a time; bytes that are not valid UTF-8 are kept.
std::string lowercase(std::string_view text);

// The lines of `text`, split at line feeds with one carriage return before each removed.
std::vector<std::string_view> split_lines(std::string_view text);

// The tokens of `text` between runs of Unicode white space.
std::vector<std::string_view> split_whitespace(std::string_view text);

// `text` as a whole read as a finite floating-point number (optional sign, decimal or exponent
// form); nothing when any of it is left over.
std::optional<double> parse_number(std::string_view text);

}  // namespace quarry
