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

std::string nested_arrays(int depth, const std::string& inner) {
  return std::string(static_cast<std::size_t>(depth), '[') + inner +
         std::string(static_cast<std::size_t>(depth), ']');
}

std::string nested_objects(int depth, const std::string& inner) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"k\":";
  return text + inner + std::string(static_cast<std::size_t>(depth), '}');
}

TEST(JsonWriter, DoublesTakeTheShortestFormInPlainOrExponentNotation) {
  struct Row {
    double value;
    const char* text;
  };
  const std::vector<Row> rows = {
      {0.0, "0.0"},
      {1.0, "1.0"},
      {-0.0, "-0.0"},
      {0.75, "0.75"},
      {-1.5, "-1.5"},
      {100.0, "100.0"},
      {0.1, "0.1"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {1e-6, "1e-6"},
      {1.2345e-6, "1.2345e-6"},
      {1.5e-7, "1.5e-7"},
      {123456.789, "123456.789"},
      {1e15, "1000000000000000.0"},
      {1000000000000000.5, "1000000000000000.5"},
      {1e16, "1e+16"},
      {-1e16, "-1e+16"},
      {1.2345678901234568e17, "1.2345678901234568e+17"},
      {1e100, "1e+100"},
      {DBL_MAX, "1.7976931348623157e+308"},
      {-DBL_MAX, "-1.7976931348623157e+308"},
      {DBL_MIN, "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {1e-320, "1e-320"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(write_json(Json(row.value)), row.text);
  }
}

TEST(JsonWriter, IntegersArePlainDecimalAtBothEndsOfTheirRange) {
  EXPECT_EQ(write_json(Json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(write_json(Json(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(write_json(Json(std::uint64_t{0})), "0");
  EXPECT_EQ(write_json(Json(std::int64_t{-1})), "-1");
  // The catalogue's "default": 4 must not turn into 4.0.
  EXPECT_EQ(write_json(Json(4)), "4");
}

TEST(JsonWriter, StringsUseSevenShortEscapesAndLowerCaseUnicodeEscapes) {
  struct Row {
    std::string value;
    const char* text;
  };
  const std::vector<Row> rows = {
      {"\"\\\b\t\n\f\r", R"("\"\\\b\t\n\f\r")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"\x01", R"("\u0001")"},
      {"\x0b", R"("\u000b")"},
      {"\x1f", R"("\u001f")"},
      {"a\x1b[0m", R"("a\u001b[0m")"},
      {"\x7f", "\"\x7f\""},
      {"a/b", R"("a/b")"},
      {"é日😀", "\"é日😀\""},
      {"\u2028\u00a0", "\"\u2028\u00a0\""},
      {"", R"("")"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(write_json(Json(row.value)), row.text);
    std::string appended = "x";
    append_json_string(appended, row.value);
    EXPECT_EQ(appended, std::string("x") + row.text);
  }
}

TEST(JsonWriter, ObjectKeysComeInAscendingUnsignedByteOrder) {
  Json object = Json::object();
  for (const char* key : {"é", "z", "日", "\x7f", "B", "ä", "a", "_", "aa", "", "1"}) {
    object[key] = 0;
  }
  // Bytes from 0x80 up sort after every ASCII byte, as unsigned values.
  EXPECT_EQ(write_json(object),
            "{\"\":0,\"1\":0,\"B\":0,\"_\":0,\"a\":0,\"aa\":0,\"z\":0,\"\x7f\":0,\"ä\":0,\"é\":0,"
            "\"日\":0}");
}

TEST(JsonWriter, NestedValuesAreCompactWithoutWhitespace) {
  const Json value = {{"b", {1, -2, 2.5, "x y", true, false, nullptr}},
                      {"a", {{"z", Json::object()}, {"y", Json::array()}}}};
  EXPECT_EQ(write_json(value), R"({"a":{"y":[],"z":{}},"b":[1,-2,2.5,"x y",true,false,null]})");
}

TEST(JsonParse, DuplicateKeysKeepTheLastValueOnBothParsers) {
  const Json fast = parsed(R"({"a":1,"b":2,"a":3})");
  EXPECT_EQ(write_json(fast), R"({"a":3,"b":2})");

  const Json fallback = parsed(std::string(R"({"a":1,"big":)") + kBeyond64Bits + R"(,"a":3})");
  EXPECT_EQ(write_json(fallback), R"({"a":3,"big":1.2345678901234568e+29})");
}

TEST(JsonParse, NestingIsLimitedTo128LevelsOnBothParsers) {
  const std::vector<std::string> inners = {"1", kBeyond64Bits};
  for (const std::string& inner : inners) {
    SCOPED_TRACE(inner);
    EXPECT_FALSE(fails_to_parse(nested_arrays(128, inner)));
    EXPECT_TRUE(fails_to_parse(nested_arrays(129, inner)));
    EXPECT_FALSE(fails_to_parse(nested_objects(128, inner)));
    EXPECT_TRUE(fails_to_parse(nested_objects(129, inner)));
    EXPECT_TRUE(fails_to_parse(nested_arrays(100000, inner)));
  }
  // Brackets inside strings are not nesting.
  EXPECT_FALSE(fails_to_parse(nested_arrays(128, "\"[[[{{{\"")));
}

TEST(JsonParse, ExactlyOneValueWithNothingAfterIt) {
  for (const char* text : {"{} {}", R"({"a":1}{"b":2})", "1 2", "{}x", "[1],", "[]]", "{\"a\":1}}",
                           "null null", "\"a\"\"b\""}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(fails_to_parse(text));
  }
  EXPECT_EQ(parsed(" {} \t\r\n"), Json::object());
}

TEST(JsonParse, InvalidDocumentsAreErrors) {
  for (const char* text : {
           "",
           "{\"a\":1",
           "[1,]",
           "{\"a\":1,}",
           "{1:2}",
           "{\"a\" 1}",
           "'a'",
           "01",
           "-01",
           "1.",
           ".5",
           "+1",
           "1e",
           "-",
           "NaN",
           "Infinity",
           "nul",
           "tru",
           "\"a\tb\"",  // raw control characters must be escaped
           "\"a\x01\"",
           "\"\\x\"",
           "\"\\u12\"",
           "\"\xff\"",
           "\"\xed\xa0\x80\"",  // an encoded surrogate is not UTF-8
           "/* c */ {}",
       }) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(fails_to_parse(text));
  }
}

TEST(JsonParse, LoneSurrogateEscapesAreErrors) {
  for (const char* text :
       {R"("\ud800")", R"("\udc00")", R"("\ud800\u0041")", R"("\ud800x")", R"("\ude00\ud83d")"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(fails_to_parse(text));
  }
  EXPECT_EQ(parsed(R"("\ud83d\ude00")"), Json("😀"));
}

TEST(JsonParse, EscapedNulStaysInsideTheString) {
  const Json value = parsed(R"(["a\u0000b"])");
  EXPECT_EQ(value[0].get<std::string>(), std::string("a\0b", 3));
  EXPECT_EQ(write_json(value), R"(["a\u0000b"])");
}

TEST(JsonParse, NumbersKeepTheirKinds) {
  struct Row {
    const char* text;
    Json::value_t kind;
    const char* written;
  };
  const std::vector<Row> rows = {
      {"0", Json::value_t::number_unsigned, "0"},
      {"18446744073709551615", Json::value_t::number_unsigned, "18446744073709551615"},
      {"-9223372036854775808", Json::value_t::number_integer, "-9223372036854775808"},
      {"-1", Json::value_t::number_integer, "-1"},
      {"1.0", Json::value_t::number_float, "1.0"},
      {"1E2", Json::value_t::number_float, "100.0"},
      {"2.5e-7", Json::value_t::number_float, "2.5e-7"},
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

TEST(JsonParse, NumbersBeyondTheDoubleRangeAreErrors) {
  for (const char* text : {"1e400", "-1e400", "[1,2,1e999]", R"({"a":1e400})"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(fails_to_parse(text));
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

TEST(JsonParse, ParseWriteParseRoundTrips) {
  const std::vector<std::string> texts = {
      R"({"id":7,"jsonrpc":"2.0","method":"tools/call","params":{"arguments":{"edits":[{"content":"line\n\ttab \"q\" \\ é","path":"src/a.rs"}],"task_id":"task-1-0"},"name":"task_propose"}})",
      R"([0,-0.0,1.0,-1,0.5,1e-7,1e+300,18446744073709551615,-9223372036854775808,true,false,null])",
      R"({"":{"":[]},"\u0000\u001f":"\u007f/\ud83d\ude00","日本":{"z":1,"a":2}})",
      R"("\b\f\n\r\t\"\\")",
      R"({"big":123456789012345678901234567890,"nested":[[[[{"x":[{}]}]]]]})",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const Json first = parsed(text);
    const std::string written = write_json(first);
    const Json second = parsed(written);
    EXPECT_EQ(first, second);
    EXPECT_EQ(write_json(second), written);
  }
}

TEST(JsonParse, CanonicalTextIsWrittenBackByteForByte) {
  for (const char* text : {
           R"({"a":[1,-2,3.5,"x\n",true,false,null,{}],"b":{"c":[]}})",
           R"({"error":{"code":-32700,"message":"parse error: x"},"id":null,"jsonrpc":"2.0"})",
           R"([1e+16,1e-6,0.00001,1000000000000000.0,"\u001f\u0001"])",
       }) {
    SCOPED_TRACE(text);
    EXPECT_EQ(write_json(parsed(text)), text);
  }
}

}  // namespace
}  // namespace quarry
