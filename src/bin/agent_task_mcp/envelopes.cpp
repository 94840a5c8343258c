#include "envelopes.h"

namespace quarry {
namespace {

// Members are appended in ascending key order, which is the order every object is written in.
std::string reply_with_result(const Json& id, std::string_view result_text) {
  std::string out;
  out.reserve(result_text.size() + 48);
  out += "{\"id\":";
  append_json(out, id);
  out += ",\"jsonrpc\":\"2.0\",\"result\":";
  out += result_text;
  out += '}';
  return out;
}

std::string text_content(std::string_view text, bool is_error) {
  std::string out;
  out.reserve(text.size() + 64);
  out += "{\"content\":[{\"text\":";
  append_json_string(out, text);
  out += ",\"type\":\"text\"}]";
  if (is_error) out += ",\"isError\":true";
  out += '}';
  return out;
}

}  // namespace

std::string ok(const Json& id, const Json& result) {
  return reply_with_result(id, write_json(result));
}

std::string ok_with_text(const Json& id, std::string_view result_text) {
  return reply_with_result(id, result_text);
}

std::string err(const Json& id, int32_t code, std::string_view message) {
  std::string out = "{\"error\":{\"code\":" + std::to_string(code) + ",\"message\":";
  append_json_string(out, message);
  out += "},\"id\":";
  append_json(out, id);
  out += ",\"jsonrpc\":\"2.0\"}";
  return out;
}

std::string tool_result(const Json& id, const Json& value) {
  return reply_with_result(id, text_content(write_json(value), false));
}

std::string tool_error(const Json& id, std::string_view message) {
  return reply_with_result(id, text_content(message, true));
}

}  // namespace quarry
