#include "text.h"

#include <string>

#include <gtest/gtest.h>

namespace quarry {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string repeat(const std::string& piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(Text, ValidatesUtf8) {
  // Each invalid row is a form a lenient decoder accepts: overlong encodings, surrogates,
  // code points past U+10FFFF, stray or missing continuation bytes.
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii text", true},
      {"caf\xC3\xA9", true},
      {"\xE2\x82\xAC 12", true},
      {"\xF0\x9D\x84\x9E", true},
      {"\xED\x9F\xBF", true},
      {"\xEE\x80\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {std::string("nul\0inside", 10), true},
      {"0123456789abcdef\xC3\xA9"
       "0123456789abcdef",
       true},
      {"\xC0\x80", false},
      {"\xC1\xBF", false},
      {"\xE0\x80\xAF", false},
      {"\xF0\x80\x80\xAF", false},
      {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false},
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"\x80", false},
      {"abc\xE2\x82", false},
      {"0123456789abcdef\xC3", false},
      {"0123456\xC3"
       "89abcdef",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  }
}

TEST(Text, LossyReplacesEachMaximalSubpart) {
  // Replacing per byte, or per whole bad run, gives a different text (and length) from the
  // standard's recommended practice that the verifier output limit is counted against.
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"\xF0\x80", kFffd + kFffd},
      {"\xE2\x82", kFffd},
      {"\xE2\x82x", kFffd + "x"},
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},
      {"\xC0", kFffd},
      {"\xC0\xAF", kFffd + kFffd},
      {"\xF5", kFffd},
      {"\xF4\x90\x80\x80", repeat(kFffd, 4)},
      {"\xF1\x80\x80", kFffd},
      {"\xE0\x80\x80", repeat(kFffd, 3)},
      {"\xE0\xA0\xC3\xA9", kFffd + "\xC3\xA9"},
      // The standard's own example.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(utf8_lossy(c.bytes), c.text);
  }
}

TEST(Text, LossyKeepsValidTextUnchanged) {
  // Valid input goes through the bulk path; characters sitting across an eight-byte stride
  // must not be split or dropped.
  const std::string samples[] = {
      "",
      "short",
      repeat("0123456\xC3\xA9", 50),
      repeat("ab\xF0\x9D\x84\x9E"
             "cdefghij\xE2\x82\xAC",
             40),
      std::string("zero\0bytes\0are\0text", 19),
  };
  for (const std::string& sample : samples) {
    SCOPED_TRACE(testing::PrintToString(sample));
    EXPECT_EQ(utf8_lossy(sample), sample);
  }
}

TEST(Text, TruncateCutsAtCharacterBoundary) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string expected;
  };
  const std::string marker = "[cut]";
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
    EXPECT_EQ(truncate_utf8(c.text, c.limit, marker), c.expected);
  }
}

}  // namespace
}  // namespace quarry
