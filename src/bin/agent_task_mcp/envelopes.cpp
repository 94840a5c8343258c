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

// `structured` is the JSON text of a success's value, carried as "structuredContent" where the
// revision has it; a tool error carries none.
std::string text_content(std::string_view text, bool is_error, std::string_view structured,
                         Revision revision) {
  const RevisionTraits& shape = traits(revision);
  std::string out;
  out.reserve(2 * text.size() + 160);
  out += '{';
  if (shape.stateless) out += stateless_meta_member() + ",";
  out += "\"content\":[{\"text\":";
  append_json_string(out, text);
  out += ",\"type\":\"text\"}]";
  if (is_error) out += ",\"isError\":true";
  if (shape.stateless) out += ",\"resultType\":\"complete\"";
  if (shape.structured && !is_error) {
    out += ",\"structuredContent\":";
    out += structured;
  }
  out += '}';
  return out;
}

std::string error_reply(const Json& id, int32_t code, std::string_view message, const Json* data) {
  std::string out = "{\"error\":{\"code\":" + std::to_string(code);
  if (data != nullptr) {
    out += ",\"data\":";
    append_json(out, *data);
  }
  out += ",\"message\":";
  append_json_string(out, message);
  out += "},\"id\":";
  append_json(out, id);
  out += ",\"jsonrpc\":\"2.0\"}";
  return out;
}

}  // namespace

std::string ok(const Json& id, const Json& result, Revision revision) {
  if (!traits(revision).stateless || !result.is_object()) {
    return reply_with_result(id, write_json(result));
  }
  Json complete = result;
  add_stateless_members(complete);
  return reply_with_result(id, write_json(complete));
}

std::string ok_with_text(const Json& id, std::string_view result_text) {
  return reply_with_result(id, result_text);
}

std::string err(const Json& id, int32_t code, std::string_view message) {
  return error_reply(id, code, message, nullptr);
}

std::string err_with_data(const Json& id, int32_t code, std::string_view message,
                          const Json& data) {
  return error_reply(id, code, message, &data);
}

std::string tool_result(const Json& id, const Json& value, Revision revision) {
  return reply_with_result(id, tool_result_text(value, revision));
}

std::string tool_error(const Json& id, std::string_view message, Revision revision) {
  return reply_with_result(id, tool_error_text(message, revision));
}

std::string tool_result_text(const Json& value, Revision revision) {
  const std::string text = write_json(value);
  return text_content(text, false, text, revision);
}

std::string tool_error_text(std::string_view message, Revision revision) {
  return text_content(message, true, {}, revision);
}

}  // namespace quarry
