#include "text.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quarry {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string repeat(const std::string& piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Text is valid exactly when decoding it lossily changes nothing. Invalid rows are forms a
// lenient decoder accepts (overlong encodings, surrogates, code points past U+10FFFF, stray or
// missing continuation bytes); replacing per byte or per whole bad run instead of per maximal
// subpart gives a different text, and length, from the standard's recommended practice that
// the verifier output limit is counted against. Long valid rows go through the bulk path:
// characters across an eight-byte stride must not be split.
TEST(Text, ValidationAndLossyDecoding) {
  struct Case {
    std::string bytes;
    std::optional<std::string> text;  // nullopt: valid, so decoded unchanged
  };
  const Case cases[] = {
      {"", {}},
      {"caf\xC3\xA9 \xE2\x82\xAC", {}},
      {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", {}},
      {std::string("nul\0inside", 10), {}},
      {repeat("ab\xF0\x9D\x84\x9E_defghij\xE2\x82\xAC", 40), {}},
      {repeat("0123456\xC3\xA9", 50), {}},
      {"\xC0\x80", kFffd + kFffd},
      {"\xC0", kFffd},
      {"\xE0\x80\xAF", repeat(kFffd, 3)},
      {"\xF0\x80\x80\xAF", repeat(kFffd, 4)},
      {"\xF0\x80", kFffd + kFffd},
      {"\xE2\x82", kFffd},
      {"\xE2\x82x", kFffd + "x"},
      {"\xED\xA0\x80", repeat(kFffd, 3)},
      {"\xF4\x90\x80\x80", repeat(kFffd, 4)},
      {"\xF5\x80\x80\x80", repeat(kFffd, 4)},
      {"\xF1\x80\x80", kFffd},
      {"\xE0\xA0\xC3\xA9", kFffd + "\xC3\xA9"},
      {"\x80", kFffd},
      {"0123456789abcdef\xC3", "0123456789abcdef" + kFffd},
      {"0123456\xC3zzzzzzzz", "0123456" + kFffd + "zzzzzzzz"},
      // The standard's own example.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(utf8_lossy(c.bytes), c.text.value_or(c.bytes));
    EXPECT_EQ(is_valid_utf8(c.bytes), !c.text.has_value());
  }
}

TEST(Text, TruncateCutsAtCharacterBoundary) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {"", 0, ""},
      {"abcd", 4, "abcd"},
      {"abcde", 4, "abcd[cut]"},
      {"abcde", 0, "[cut]"},
      // "é" occupies bytes 3 and 4: a cut at 4 would split it.
      {"abc\xC3\xA9z", 4, "abc[cut]"},
      {"abc\xC3\xA9z", 5, "abc\xC3\xA9[cut]"},
      {"\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E", 7, "\xF0\x9D\x84\x9E[cut]"},
      {"\xF0\x9D\x84\x9E", 3, "[cut]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text) + " limit " + std::to_string(c.limit));
    EXPECT_EQ(truncate_utf8(c.text, c.limit, "[cut]"), c.expected);
  }
}

// A character missed here leaves a blank line answered with a parse error; a byte matched on
// its own strips part of another character.
TEST(Text, TrimStripsExactlyTheWhiteSpaceCharacters) {
  // Every character with the White_Space property, in UTF-8.
  for (const std::string space :
       {"\t",     "\n",     "\x0b",   "\x0c",   "\r",     " ",      "\u0085", "\u00a0", "\u1680",
        "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
        "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"}) {
    SCOPED_TRACE(space);
    EXPECT_EQ(trim_white_space(space + "a" + space + "b" + space + space), "a" + space + "b");
  }
  // Not white space, though white space to some libraries or sharing bytes with a space.
  for (const std::string& kept :
       std::vector<std::string>{std::string("\0", 1), "\x1c", "\u180e", "\u200b", "\ufeff",
                                "\u00e0",  // C3 A0: ends in the byte of U+00A0
                                "\u00c5",  // C3 85: ends in the byte of U+0085
                                "\u1681", "\u2128", "\u3001"}) {
    SCOPED_TRACE(kept);
    EXPECT_EQ(trim_white_space(" " + kept + " "), kept);
  }
}

}  // namespace
}  // namespace quarry
