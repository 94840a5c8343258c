#include "envelopes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quarry {
namespace {

TEST(Envelopes, TheFourReplyFormsForId7) {
  const Json id = 7;
  EXPECT_EQ(ok(id, Json{{"tools", Json::array()}}),
            R"({"id":7,"jsonrpc":"2.0","result":{"tools":[]}})");
  EXPECT_EQ(err(id, kMethodNotFound, "unknown method: foo"),
            R"({"error":{"code":-32601,"message":"unknown method: foo"},"id":7,"jsonrpc":"2.0"})");
  EXPECT_EQ(
      tool_result(id, Json{{"committed", true}}),
      R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"{\"committed\":true}","type":"text"}]}})");
  EXPECT_EQ(
      tool_error(id, "invalid arguments: missing field `task_id`"),
      R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"invalid arguments: missing field `task_id`","type":"text"}],"isError":true}})");
}

TEST(Envelopes, IdsOfEveryJsonTypeAreEchoed) {
  struct Row {
    Json id;
    const char* written;
  };
  const std::vector<Row> rows = {
      {Json("abc"), R"("abc")"},
      {Json(""), R"("")"},
      {Json("line\nbreak \"q\" é"), R"("line\nbreak \"q\" é")"},
      {Json(0), "0"},
      {Json(std::uint64_t{18446744073709551615u}), "18446744073709551615"},
      {Json(-42), "-42"},
      {Json(1.5), "1.5"},
      {Json(1.0), "1.0"},
      {Json(nullptr), "null"},
      {Json(true), "true"},
      {Json::parse(R"({"z":1,"a":{"y":[],"b":null}})"), R"({"a":{"b":null,"y":[]},"z":1})"},
      {Json::parse(R"([3,"x",{"b":1,"a":2}])"), R"([3,"x",{"a":2,"b":1}])"},
      {Json::array(), "[]"},
      {Json::object(), "{}"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.written);
    const std::string id = row.written;
    EXPECT_EQ(ok(row.id, Json::object()), R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(err(row.id, kUnknownTask, "m"),
              R"({"error":{"code":-32001,"message":"m"},"id":)" + id + R"(,"jsonrpc":"2.0"})");
    EXPECT_EQ(
        tool_error(row.id, "m"),
        R"({"id":)" + id +
            R"(,"jsonrpc":"2.0","result":{"content":[{"text":"m","type":"text"}],"isError":true}})");
    EXPECT_EQ(tool_result(row.id, Json::object()),
              R"({"id":)" + id +
                  R"(,"jsonrpc":"2.0","result":{"content":[{"text":"{}","type":"text"}]}})");
  }
}

TEST(Envelopes, ErrorCodesAreWrittenAsSignedIntegers) {
  struct Row {
    int32_t code;
    const char* written;
  };
  const std::vector<Row> rows = {
      {kParseError, "-32700"},    {kMethodNotFound, "-32601"},
      {kInvalidParams, "-32602"}, {kStartFailed, "-32000"},
      {kUnknownTask, "-32001"},   {kFinishFailed, "-32002"},
      {INT32_MIN, "-2147483648"}, {0, "0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.written);
    EXPECT_EQ(err(Json(nullptr), row.code, "m"),
              std::string(R"({"error":{"code":)") + row.written +
                  R"(,"message":"m"},"id":null,"jsonrpc":"2.0"})");
  }
}

TEST(Envelopes, MessagesStayOnOneLineWithRawNonAscii) {
  const std::string message = "first\nsecond\r\tthird \"quoted\" back\\slash \x01 é 日本 😀";
  const std::string escaped = R"(first\nsecond\r\tthird \"quoted\" back\\slash \u0001 é 日本 😀)";
  EXPECT_EQ(err(Json(1), kStartFailed, message),
            R"({"error":{"code":-32000,"message":")" + escaped + R"("},"id":1,"jsonrpc":"2.0"})");
  EXPECT_EQ(tool_error(Json(1), message),
            R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":")" + escaped +
                R"(","type":"text"}],"isError":true}})");
  for (const std::string& line :
       {err(Json(1), kStartFailed, message), tool_error(Json(1), message)}) {
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.find('\r'), std::string::npos);
  }
}

TEST(Envelopes, ToolResultTextIsTheValueAsCompactJsonEscapedAgain) {
  const Json value = {{"task_id", "task-1-0"},
                      {"output", "line\n\"quoted\" \\ é"},
                      {"passed", false},
                      {"attempt", 2},
                      {"score", 0.5}};
  // The handler's JSON text, with every quotation mark and backslash escaped once more.
  EXPECT_EQ(
      tool_result(Json("r"), value),
      R"({"id":"r","jsonrpc":"2.0","result":{"content":[{"text":"{\"attempt\":2,\"output\":\"line\\n\\\"quoted\\\" \\\\ é\",\"passed\":false,\"score\":0.5,\"task_id\":\"task-1-0\"}","type":"text"}]}})");
}

TEST(Envelopes, OnlyAToolErrorCarriesIsError) {
  const std::string result = tool_result(Json(1), Json{{"isError", false}});
  const std::string error = tool_error(Json(1), "isError");
  // The result's own text mentions isError, but the envelope adds no member of that name.
  EXPECT_EQ(
      result,
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"{\"isError\":false}","type":"text"}]}})");
  EXPECT_EQ(
      error,
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"isError","type":"text"}],"isError":true}})");
}

}  // namespace
}  // namespace quarry
