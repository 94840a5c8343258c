#include "text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quarry {
namespace {

using namespace std::string_literals;

const std::string F = "\xEF\xBF\xBD";  // U+FFFD

std::string repeat(const std::string& piece, std::size_t times) {
  return times == 0 ? "" : piece + repeat(piece, times - 1);
}

// Text is valid exactly when lossy decoding changes nothing. The invalid rows are what a lenient
// decoder accepts (overlong forms, surrogates, code points past U+10FFFF, stray or missing
// continuation bytes); replacing per byte or per bad run instead of per maximal subpart gives
// another text, and another length against the verifier output limit. The long rows go through
// the bulk path, where a character across an eight-byte stride must not be split.
TEST(Text, ValidationAndLossyDecoding) {
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"", {}},
      {"caf\xC3\xA9 \xE2\x82\xAC\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", {}},
      {"nul\0inside"s, {}},
      {repeat("ab\xF0\x9D\x84\x9E_defghij\xE2\x82\xAC", 40), {}},
      {repeat("0123456\xC3\xA9", 50), {}},
      {"\xC0\x80", F + F},
      {"\xE0\x80\xAF", F + F + F},
      {"\xED\xA0\x80", F + F + F},
      {"\xF4\x90\x80\x80", F + F + F + F},
      {"\xF5\x80\x80\x80", F + F + F + F},
      {"\xE2\x82x", F + "x"},
      {"\xF1\x80\x80", F},
      {"\xE0\xA0\xC3\xA9", F + "\xC3\xA9"},
      {"0123456789abcdef\xC3", "0123456789abcdef" + F},
      {"0123456\xC3zzzzzzzz", "0123456" + F + "zzzzzzzz"},
      // The Unicode standard's own example.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + F + F + F + "b" + F + "c" + F + F + "d"},
  };
  for (const auto& [bytes, text] : rows) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    EXPECT_EQ(utf8_lossy(bytes), text.value_or(bytes));
    EXPECT_EQ(is_valid_utf8(bytes), !text.has_value());
  }
}

// A white-space byte matched on its own strips part of another character: U+00E0 ends in the
// byte of U+00A0, U+00C5 in that of U+0085. Some libraries count U+180E, U+200B or U+FEFF.
TEST(Text, TrimKeepsWhatIsNotWhiteSpace) {
  for (const std::string kept : {"\u00e0", "\u00c5", "\u180e", "\u200b", "\ufeff", "\x1c"}) {
    SCOPED_TRACE(kept);
    EXPECT_EQ(trim_white_space("\u3000 " + kept + "\u2029\t"), kept);
  }
}

}  // namespace
}  // namespace quarry
