#include "request_line.h"

#include <new>
#include <utility>

#include "envelopes.h"
#include "text.h"

namespace quarry {
namespace {

constexpr std::string_view kOutOfMemory = "out of memory";

Json take_member(Json& object, const char* name) {
  auto found = object.find(name);
  return found == object.end() ? Json(nullptr) : std::move(*found);
}

std::size_t skip_space(std::string_view text, std::size_t at) {
  while (at < text.size() &&
         (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
    ++at;
  }
  return at;
}

// One past the end of the JSON value that starts at `at`, nesting and strings skipped without
// being read; npos when the text ends inside it.
std::size_t value_end(std::string_view text, std::size_t at) {
  int depth = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    switch (text[i]) {
      case '"':
        for (++i; i < text.size() && text[i] != '"'; ++i) {
          if (text[i] == '\\') ++i;
        }
        if (i >= text.size()) return std::string_view::npos;
        if (depth == 0) return i + 1;
        break;
      case '{':
      case '[':
        ++depth;
        break;
      case '}':
      case ']':
        if (depth == 0) return i;
        if (--depth == 0) return i + 1;
        break;
      case ',':
      case ' ':
      case '\t':
      case '\n':
      case '\r':
        if (depth == 0) return i;
        break;
      default:
        break;
    }
  }
  return depth == 0 ? text.size() : std::string_view::npos;
}

// Parsing a line can run out of memory where the line itself fit (the parsers need several
// times its size). Its "id" and "method" are then found by skimming the object's top level, so
// that the reply still names the request; a null id when the skim finds none.
std::string out_of_memory_reply_for(std::string_view text) {
  Json id(nullptr);
  std::string method;
  std::size_t at = skip_space(text, 0);
  if (at < text.size() && text[at] == '{') at = skip_space(text, at + 1);
  while (at < text.size() && text[at] == '"') {
    const std::size_t key_end = value_end(text, at);
    if (key_end == std::string_view::npos) break;
    const std::string_view key = text.substr(at, key_end - at);
    at = skip_space(text, key_end);
    if (at >= text.size() || text[at] != ':') break;
    const std::size_t start = skip_space(text, at + 1);
    const std::size_t end = value_end(text, start);
    if (end == std::string_view::npos) break;
    if (key == "\"id\"" || key == "\"method\"") {
      auto value = parse_json(text.substr(start, end - start));
      if (Json* member = std::get_if<Json>(&value)) {
        if (key == "\"id\"") {
          id = std::move(*member);
        } else {
          method = member->is_string() ? member->get<std::string>() : std::string();
        }
      }
    }
    at = skip_space(text, end);
    if (at >= text.size() || text[at] != ',') break;
    at = skip_space(text, at + 1);
  }
  return out_of_memory_reply(method, id);
}

Request request_from(Json& object) {
  Request request;
  request.has_id = object.contains("id");
  request.id = take_member(object, "id");
  const auto method = object.find("method");
  if (method != object.end() && method->is_string()) request.method = method->get<std::string>();
  request.params = take_member(object, "params");
  return request;
}

// A request object. Where the line held lone surrogates, `marked` is the same object read with
// them replaced by another character, so that a part differing between the two held one. Such a
// request is refused under its own id (null when the id held one: it cannot be written back)
// and nothing of it is served.
Parsed request_or_refusal(Json& object, const Json* marked) {
  if (marked == nullptr || object == *marked) return Parsed{request_from(object)};
  const auto id = object.find("id");
  const auto marked_id = marked->find("id");
  const bool id_intact = id != object.end() && marked_id != marked->end() && *id == *marked_id;
  const Request request = request_from(object);
  if (!request.has_id || is_notification(request.method)) return {};
  if (!id_intact) {
    return Parsed{std::nullopt,
                  err(Json(nullptr), kInvalidRequest, "invalid request: lone surrogate in the id")};
  }
  return Parsed{std::nullopt,
                err(request.id, kInvalidParams, "invalid params: lone surrogate in a string")};
}

// A request object, or JSON that is no request: an array's members each read as one or marked
// as not an object. `marked` as for request_or_refusal.
Parsed parsed_value(Json& value, const Json* marked) {
  if (value.is_object()) return request_or_refusal(value, marked);
  Parsed parsed{.not_object = true};
  if (!value.is_array()) return parsed;
  parsed.batch.emplace();
  for (std::size_t i = 0; i < value.size(); ++i) {
    parsed.batch->push_back(value[i].is_object()
                                ? request_or_refusal(value[i], marked ? &(*marked)[i] : nullptr)
                                : Parsed{.not_object = true});
  }
  return parsed;
}

// A line the parsers refuse is a parse error, unless lone surrogate escapes alone made them:
// JSON.stringify writes one for an unpaired surrogate, and such a line is JSON by the grammar.
Parsed unparsable(std::string_view text, const std::string& message) {
  if (const std::optional<std::string> replaced = replace_lone_surrogates(text, "fffd")) {
    auto value = parse_json(*replaced);
    auto marked = parse_json(*replace_lone_surrogates(text, "fffe"));
    if (Json* json = std::get_if<Json>(&value); json && std::holds_alternative<Json>(marked)) {
      return parsed_value(*json, &std::get<Json>(marked));
    }
  }
  return Parsed{std::nullopt, err(Json(nullptr), kParseError, "parse error: " + message)};
}

}  // namespace

std::string out_of_memory_reply(const std::string& method, const Json& id, Revision revision) {
  return method == "tools/call" ? tool_error(id, kOutOfMemory, revision)
                                : err(id, kInternalError, kOutOfMemory);
}

bool is_notification(const std::string& method) {
  return method == "notifications/initialized" || method == "notifications/cancelled";
}

Parsed read_request(std::string_view line, std::size_t padding) {
  const std::string_view text = trim_white_space(line);
  if (text.empty()) return {};
  const std::size_t trimmed_tail = (line.data() + line.size()) - (text.data() + text.size());
  try {
    auto parsed = parse_json(text, padding + trimmed_tail);
    if (Json* value = std::get_if<Json>(&parsed)) return parsed_value(*value, nullptr);
    return unparsable(text, std::get<std::string>(parsed));
  } catch (const std::bad_alloc&) {
    return Parsed{std::nullopt, out_of_memory_reply_for(text)};
  }
}

}  // namespace quarry
