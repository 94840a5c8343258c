#include "envelopes.h"

#include <gtest/gtest.h>

namespace quarry {
namespace {

// Every reply is one of these four; the handler tests check what goes inside them.
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

}  // namespace
}  // namespace quarry
