#include "json_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace quarry {
namespace {

// A big integer makes the fast parser give up, so the document is read by the fallback parser.
constexpr const char* kBeyond64Bits = "123456789012345678901234567890";

Json parsed(std::string_view text) {
  auto result = parse_json(text);
  if (const auto* message = std::get_if<std::string>(&result)) {
    ADD_FAILURE() << "parse failed: " << *message;
    return Json();
  }
  return std::get<Json>(result);
}

bool fails_to_parse(std::string_view text) {
  return parse_json(text).index() == 1;
}

TEST(JsonWriter, NumbersTakeTheShortestFormInPlainOrExponentNotation) {
  struct Row {
    Json value;
    const char* text;
  };
  const std::vector<Row> rows = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-1.5, "-1.5"},
      {100.0, "100.0"},
      {0.00001, "0.00001"},
      {1.2345e-6, "1.2345e-6"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.2345678901234568e17, "1.2345678901234568e+17"},
      {-DBL_MAX, "-1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::nan(""), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
      // Integers stay plain decimal at both ends of their range; a default of 4 is not 4.0.
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {4, "4"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(write_json(row.value), row.text);
  }
}

TEST(JsonWriter, StringsUseSevenShortEscapesAndLowerCaseUnicodeEscapes) {
  struct Row {
    std::string value;
    const char* text;
  };
  const std::vector<Row> rows = {
      {"\"\\\b\t\n\f\r", R"("\"\\\b\t\n\f\r")"},
      {std::string("a\0", 2), R"("a\u0000")"},
      {"\x0b\x1f\x1b[0m", R"("\u000b\u001f\u001b[0m")"},
      // DEL, the solidus and everything beyond ASCII are written raw.
      {"\x7f/é日😀\u2028", "\"\x7f/é日😀\u2028\""},
      {"", R"("")"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(write_json(Json(row.value)), row.text);
  }
}

// A signed char comparison would sort non-ASCII keys before ASCII ones.
TEST(JsonWriter, ObjectKeysComeInAscendingUnsignedByteOrder) {
  Json object = Json::object();
  for (const char* key : {"é", "z", "日", "\x7f", "B", "a", "aa", ""}) object[key] = 0;
  EXPECT_EQ(write_json(object),
            "{\"\":0,\"B\":0,\"a\":0,\"aa\":0,\"z\":0,\"\x7f\":0,\"é\":0,\"日\":0}");
}

TEST(JsonParse, DuplicateKeysKeepTheLastValueOnBothParsers) {
  EXPECT_EQ(write_json(parsed(R"({"a":1,"b":2,"a":3})")), R"({"a":3,"b":2})");
  EXPECT_EQ(write_json(parsed(std::string(R"({"a":1,"big":)") + kBeyond64Bits + R"(,"a":3})")),
            R"({"a":3,"big":1.2345678901234568e+29})");
}

TEST(JsonParse, NestingIsLimitedTo128LevelsOnBothParsers) {
  const auto arrays = [](std::size_t depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
  };
  const auto objects = [](std::size_t depth, const std::string& inner) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += "{\"k\":";
    return text + inner + std::string(depth, '}');
  };
  for (const std::string inner : {"1", kBeyond64Bits}) {
    SCOPED_TRACE(inner);
    EXPECT_FALSE(fails_to_parse(arrays(128, inner)));
    EXPECT_TRUE(fails_to_parse(arrays(129, inner)));
    EXPECT_FALSE(fails_to_parse(objects(128, inner)));
    EXPECT_TRUE(fails_to_parse(objects(129, inner)));
    // Deep enough to overflow the stack of a recursive parser.
    EXPECT_TRUE(fails_to_parse(arrays(100000, inner)));
  }
  // Brackets inside strings are not nesting.
  EXPECT_FALSE(fails_to_parse(arrays(128, "\"[[[{{{\"")));
}

TEST(JsonParse, InvalidDocumentsAreErrors) {
  for (const std::string& text : std::vector<std::string>{
           "",
           // Exactly one value, with nothing after it.
           R"({"a":1}{"b":2})",
           "1 2",
           "[1],",
           "{\"a\":1,}",
           "{1:2}",
           "'a'",
           "01",
           "1.",
           "NaN",
           "nul",
           "\"a\tb\"",  // raw control characters must be escaped
           "\"\\x\"",
           "\"\xff\"",
           "\"\xed\xa0\x80\"",  // an encoded surrogate is not UTF-8
           R"("\ud800")",       // lone surrogate escapes
           R"("\ude00\ud83d")",
           R"("\ud800\u0041")",
           "/* c */ {}",
           // Beyond the double range, on both parsers.
           "1e400",
           R"({"a":-1e400})",
           std::string("[") + kBeyond64Bits + ",1e400]",
       }) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(fails_to_parse(text));
  }
}

TEST(JsonParse, NumbersKeepTheirKindsAndBigIntegersBecomeDoubles) {
  struct Row {
    const char* text;
    Json::value_t kind;
    const char* written;
  };
  const std::vector<Row> rows = {
      {"18446744073709551615", Json::value_t::number_unsigned, "18446744073709551615"},
      {"-9223372036854775808", Json::value_t::number_integer, "-9223372036854775808"},
      {"1E2", Json::value_t::number_float, "100.0"},
      // Integers beyond 64 bits are read as doubles instead of being refused.
      {"18446744073709551616", Json::value_t::number_float, "1.8446744073709552e+19"},
      {"-9223372036854775809", Json::value_t::number_float, "-9.223372036854776e+18"},
      {kBeyond64Bits, Json::value_t::number_float, "1.2345678901234568e+29"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const Json value = parsed(row.text);
    EXPECT_EQ(value.type(), row.kind);
    EXPECT_EQ(write_json(value), row.written);
  }
}

TEST(JsonParse, PaddedTextIsParsedInPlaceWithoutReadingPastItsEnd) {
  // What follows the text in the buffer belongs to the next line, not to this document.
  const std::string buffer = R"({"a":[1,2]},{"b":3}])" + std::string(128, ' ');
  const std::string_view text(buffer.data(), 11);
  auto result = parse_json(text, buffer.size() - text.size());
  ASSERT_EQ(result.index(), 0u) << std::get<1>(result);
  EXPECT_EQ(write_json(std::get<Json>(result)), R"({"a":[1,2]})");

  const std::string unterminated = R"({"a":[1,2]} ])" + std::string(128, ' ');
  EXPECT_EQ(parse_json(std::string_view(unterminated.data(), 10), 128).index(), 1u);
}

TEST(JsonParse, CanonicalTextIsWrittenBackByteForByte) {
  for (const char* text : {
           R"({"a":[1,-2,3.5,"x\n",true,false,null,{}],"b":{"c":[]}})",
           R"([1e+16,1e-6,0.00001,1000000000000000.0,-0.0,18446744073709551615])",
           // An escaped NUL stays inside its string; surrogate pairs become one character.
           R"({"\u0000\u001f":"a\u0000b😀","日本":{"a":2,"z":1}})",
       }) {
    SCOPED_TRACE(text);
    EXPECT_EQ(write_json(parsed(text)), text);
  }
  EXPECT_EQ(write_json(parsed(R"(" \ud83d\ude00\/")")), "\" 😀/\"");
}

}  // namespace
}  // namespace quarry
