// Request lines read into what they amount to: a request, a reply known at once (a parse error,
// a refusal), JSON that is no request object, or nothing. The loop serves what they amount to.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// What one line amounts to: a request to carry out, a reply already known (a parse error, a
// refusal), JSON that is no request object (an array's members in `batch`, each read like a
// line of its own), or nothing; `stop` for a line that is not UTF-8, where serving ends.
struct Parsed {
  std::optional<Request> request{};
  std::optional<std::string> reply{};
  bool stop = false;
  bool not_object = false;
  std::optional<std::vector<Parsed>> batch{};
};

// The line, trimmed of Unicode white space, read as JSON; `padding` bytes after it are readable
// (see LineReader). A request holding a lone surrogate escape (JSON by the grammar, but no
// character) becomes its refusal. A line that runs out of memory is answered "out of memory",
// naming the request where a skim of its top level finds it.
Parsed read_request(std::string_view line, std::size_t padding);

// A notification has no reply, even when a client gives it an id.
bool is_notification(const std::string& method);

// The reply to a request that ran out of memory: a tool error to a tools/call, else -32603.
std::string out_of_memory_reply(const std::string& method, const Json& id,
                                Revision revision = Revision::V2024_11_05);

}  // namespace quarry
