// Request lines read into what they amount to: a request, a batch, a reply known at once (a
// parse error), or nothing. The loop serves what they amount to.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json_text.h"
#include "revision.h"

namespace quarry {

// A request as the loop derives it from a parsed line.
struct Request {
  bool has_id = false;
  Json id;
  std::string method;
  Json params;
};

// What one line amounts to: a request to carry out, a batch (an array, served only where the
// session's revision accepts batches), a reply already known (a parse error), or nothing;
// `stop` for a line that is not UTF-8, where serving ends.
struct Parsed {
  std::optional<Request> request;
  std::optional<std::string> reply;
  bool stop = false;
  std::optional<Json> batch{};
};

// The line, trimmed of Unicode white space, read as JSON; `padding` bytes after it are readable
// (see LineReader). A line that runs out of memory is answered "out of memory", naming the
// request where a skim of its top level finds it.
Parsed read_request(std::string_view line, std::size_t padding);

// The request an object holds, its members moved out.
Request request_from(Json& object);

// A notification has no reply, even when a client gives it an id.
bool is_notification(const std::string& method);

// The reply to a request that ran out of memory: a tool error to a tools/call, else -32603.
std::string out_of_memory_reply(const std::string& method, const Json& id,
                                Revision revision = Revision::V2024_11_05);

}  // namespace quarry
