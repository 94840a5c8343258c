// Every reply line is built here: success and error replies, and the two tool-result forms, each
// shaped by the revision the request is served under.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_text.h"
#include "revision.h"

namespace quarry {

// JSON-RPC error codes of the server.
inline constexpr int32_t kParseError = -32700;
inline constexpr int32_t kInvalidRequest = -32600;
inline constexpr int32_t kMethodNotFound = -32601;
inline constexpr int32_t kInvalidParams = -32602;
inline constexpr int32_t kInternalError = -32603;
inline constexpr int32_t kStartFailed = -32000;
inline constexpr int32_t kUnknownTask = -32001;
inline constexpr int32_t kFinishFailed = -32002;
inline constexpr int32_t kMissingClientCapability = -32021;
inline constexpr int32_t kUnsupportedProtocolVersion = -32022;

// Each returns one line of compact JSON without its terminator.
std::string ok(const Json& id, const Json& result, Revision revision);
// The success reply for a result that is already compact JSON text.
std::string ok_with_text(const Json& id, std::string_view result_text);
std::string err(const Json& id, int32_t code, std::string_view message);
std::string err_with_data(const Json& id, int32_t code, std::string_view message, const Json& data);
// A tools/call success: `value` written as JSON text inside one text content block, and as
// "structuredContent" too where the revision has it.
std::string tool_result(const Json& id, const Json& value, Revision revision);
// A tools/call failure: the message as the text block, with "isError": true.
std::string tool_error(const Json& id, std::string_view message, Revision revision);
// The result objects of those two replies alone, as JSON text: what an MCP task keeps.
std::string tool_result_text(const Json& value, Revision revision);
std::string tool_error_text(std::string_view message, Revision revision);

}  // namespace quarry
