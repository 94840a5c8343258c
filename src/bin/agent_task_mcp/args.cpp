#include "args.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace quarry {
namespace {

// A field decoder's verdict: nothing on success, else the whole message.
using Failure = std::optional<std::string>;

// Only control characters are escaped this way, so two hex digits always suffice.
void append_hex_escape(std::string& out, unsigned char code) {
  constexpr std::string_view kHex = "0123456789abcdef";
  out += "\\u{";
  if (code >= 0x10) out += kHex[code >> 4];
  out += kHex[code & 0xf];
  out += '}';
}

// Control characters are escaped so a message stays one readable line; C1 controls arrive as
// the two UTF-8 bytes 0xC2 0x80..0x9F.
void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7f) {
      append_hex_escape(out, byte);
    } else if (byte == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      append_hex_escape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out += text[i];
    }
  }
  out += '"';
}

// The offending value as every message names it.
std::string describe(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return "null";
    case Json::value_t::boolean:
      return *value.get_ptr<const Json::boolean_t*>() ? "boolean `true`" : "boolean `false`";
    case Json::value_t::number_integer:
      return "integer `" + std::to_string(*value.get_ptr<const Json::number_integer_t*>()) + "`";
    case Json::value_t::number_unsigned:
      return "integer `" + std::to_string(*value.get_ptr<const Json::number_unsigned_t*>()) + "`";
    case Json::value_t::number_float:
      return "floating point `" + format_double(*value.get_ptr<const Json::number_float_t*>()) +
             "`";
    case Json::value_t::string: {
      std::string out = "string ";
      append_quoted(out, *value.get_ptr<const Json::string_t*>());
      return out;
    }
    case Json::value_t::array:
      return "sequence";
    case Json::value_t::object:
      return "map";
    case Json::value_t::binary:
      return "byte array";
  }
  return "null";
}

std::string invalid_type(const Json& value, std::string_view expected) {
  return "invalid type: " + describe(value) + ", expected " + std::string(expected);
}

std::string invalid_value(const Json& value, std::string_view expected) {
  return "invalid value: " + describe(value) + ", expected " + std::string(expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
  return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

Failure decode_string(Json&& value, std::string& out) {
  auto* text = value.get_ptr<Json::string_t*>();
  if (text == nullptr) return invalid_type(value, "a string");
  out = std::move(*text);
  return std::nullopt;
}

Failure decode_bool(Json&& value, bool& out) {
  const auto* flag = value.get_ptr<const Json::boolean_t*>();
  if (flag == nullptr) return invalid_type(value, "a boolean");
  out = *flag;
  return std::nullopt;
}

Failure decode_usize(Json&& value, std::uint64_t& out) {
  if (const auto* n = value.get_ptr<const Json::number_unsigned_t*>()) {
    out = *n;
    return std::nullopt;
  }
  // The parser only makes signed integers of negative numbers, but a value built in code may
  // hold a non-negative one.
  if (const auto* n = value.get_ptr<const Json::number_integer_t*>()) {
    if (*n < 0) return invalid_value(value, "usize");
    out = static_cast<std::uint64_t>(*n);
    return std::nullopt;
  }
  return invalid_type(value, "usize");
}

Failure decode_optional_f64(Json&& value, std::optional<double>& out) {
  if (value.is_null()) {
    out.reset();
  } else if (const auto* u = value.get_ptr<const Json::number_unsigned_t*>()) {
    out = static_cast<double>(*u);
  } else if (const auto* i = value.get_ptr<const Json::number_integer_t*>()) {
    out = static_cast<double>(*i);
  } else if (const auto* f = value.get_ptr<const Json::number_float_t*>()) {
    out = *f;
  } else {
    return invalid_type(value, "f64");
  }
  return std::nullopt;
}

template <typename T>
Failure decode_list(Json&& value, std::vector<T>& out, Failure (*decode_element)(Json&&, T&)) {
  auto* array = value.get_ptr<Json::array_t*>();
  if (array == nullptr) return invalid_type(value, "a sequence");
  out.reserve(array->size());
  for (Json& element : *array) {
    if (auto failure = decode_element(std::move(element), out.emplace_back())) return failure;
  }
  return std::nullopt;
}

Failure decode_edit_element(Json&& value, EditParam& out) {
  auto decoded = decode_edit_param(std::move(value));
  if (!decoded) return decoded.error().message;
  out = std::move(decoded).value();
  return std::nullopt;
}

// Named fields come last: they are decoded by name only, never by position.
enum class Presence { Required, Defaulted, Named };

// A field absent from the input keeps the value the record is constructed with.
template <typename Record>
struct Field {
  std::string_view name;
  Presence presence;
  Failure (*decode)(Json&& value, Record& record);
};

template <typename Record, std::size_t N>
DecodeResult<Record> decode_record(Json value, std::string_view record_name,
                                   const std::array<Field<Record>, N>& fields) {
  Record record{};
  if (auto* object = value.get_ptr<Json::object_t*>()) {
    std::array<bool, N> present{};
    // The object keeps its members in ascending key order, which fixes which failure wins.
    for (auto& [key, member] : *object) {
      for (std::size_t i = 0; i < N; ++i) {
        if (fields[i].name != key) continue;
        present[i] = true;
        if (auto failure = fields[i].decode(std::move(member), record)) {
          return DecodeError{std::move(*failure)};
        }
        break;
      }
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (!present[i] && fields[i].presence == Presence::Required) {
        return DecodeError{missing_field(fields[i].name)};
      }
    }
    return record;
  }
  if (auto* array = value.get_ptr<Json::array_t*>()) {
    const std::size_t length = array->size();
    std::size_t positional = 0;
    while (positional < N && fields[positional].presence != Presence::Named) ++positional;
    for (std::size_t i = 0; i < positional && i < length; ++i) {
      if (auto failure = fields[i].decode(std::move((*array)[i]), record)) {
        return DecodeError{std::move(*failure)};
      }
    }
    if (length > positional) {
      return DecodeError{invalid_length(length, "fewer elements in array")};
    }
    for (std::size_t i = length; i < positional; ++i) {
      if (fields[i].presence == Presence::Required) {
        const std::string expected = "struct " + std::string(record_name) + " with " +
                                     std::to_string(positional) +
                                     (positional == 1 ? " element" : " elements");
        return DecodeError{invalid_length(length, expected)};
      }
    }
    return record;
  }
  return DecodeError{invalid_type(value, "struct " + std::string(record_name))};
}

// Field order below is the positional order and the order of the missing-field check.

constexpr std::array<Field<ToolsCallParams>, 2> kToolsCallFields{{
    {"name", Presence::Required,
     [](Json&& v, ToolsCallParams& r) { return decode_string(std::move(v), r.name); }},
    {"arguments", Presence::Defaulted,
     [](Json&& v, ToolsCallParams& r) {
       r.arguments = std::move(v);
       return Failure{};
     }},
}};

constexpr std::array<Field<TaskStartParams>, 6> task_start_fields(Presence verifier) {
  return {{
      {"goal", Presence::Required,
       [](Json&& v, TaskStartParams& r) { return decode_string(std::move(v), r.goal); }},
      {"verify_cmd", verifier,
       [](Json&& v, TaskStartParams& r) {
         return decode_string(std::move(v), r.verify_cmd.emplace());
       }},
      {"files", Presence::Defaulted,
       [](Json&& v, TaskStartParams& r) {
         return decode_list(std::move(v), r.files, decode_string);
       }},
      {"max_attempts", Presence::Defaulted,
       [](Json&& v, TaskStartParams& r) { return decode_usize(std::move(v), r.max_attempts); }},
      {"min_mutation_score", Presence::Defaulted,
       [](Json&& v, TaskStartParams& r) {
         return decode_optional_f64(std::move(v), r.min_mutation_score);
       }},
      {"baseline", Presence::Named,
       [](Json&& v, TaskStartParams& r) { return decode_bool(std::move(v), r.baseline); }},
  }};
}

constexpr auto kTaskStartFields = task_start_fields(Presence::Required);
constexpr auto kTaskStartFieldsFixedVerifier = task_start_fields(Presence::Defaulted);

constexpr std::array<Field<EditParam>, 2> kEditFields{{
    {"path", Presence::Required,
     [](Json&& v, EditParam& r) { return decode_string(std::move(v), r.path); }},
    {"content", Presence::Required,
     [](Json&& v, EditParam& r) { return decode_string(std::move(v), r.content); }},
}};

TextReplacement& replacement(EditParam& edit) {
  return edit.replacement ? *edit.replacement : edit.replacement.emplace();
}

constexpr std::array<Field<EditParam>, 5> kTargetedEditFields{{
    {"path", Presence::Required,
     [](Json&& v, EditParam& r) { return decode_string(std::move(v), r.path); }},
    {"old_text", Presence::Required,
     [](Json&& v, EditParam& r) { return decode_string(std::move(v), replacement(r).old_text); }},
    {"new_text", Presence::Required,
     [](Json&& v, EditParam& r) { return decode_string(std::move(v), replacement(r).new_text); }},
    {"replace_all", Presence::Defaulted,
     [](Json&& v, EditParam& r) { return decode_bool(std::move(v), replacement(r).replace_all); }},
    {"content", Presence::Named,
     [](Json&&, EditParam&) {
       return Failure{"an edit gives either `content` or `old_text` and `new_text`, not both"};
     }},
}};

bool is_targeted(const Json& edit) {
  return edit.is_object() && (edit.contains("old_text") || edit.contains("new_text"));
}

constexpr std::array<Field<TaskProposeParams>, 2> kTaskProposeFields{{
    {"task_id", Presence::Required,
     [](Json&& v, TaskProposeParams& r) { return decode_string(std::move(v), r.task_id); }},
    {"edits", Presence::Required,
     [](Json&& v, TaskProposeParams& r) {
       return decode_list(std::move(v), r.edits, decode_edit_element);
     }},
}};

constexpr std::array<Field<TaskHistoryParams>, 4> kTaskHistoryFields{{
    {"task_id", Presence::Required,
     [](Json&& v, TaskHistoryParams& r) { return decode_string(std::move(v), r.task_id); }},
    {"since", Presence::Named,
     [](Json&& v, TaskHistoryParams& r) { return decode_usize(std::move(v), r.since); }},
    {"outputs", Presence::Named,
     [](Json&& v, TaskHistoryParams& r) { return decode_bool(std::move(v), r.outputs); }},
    {"attempt", Presence::Named,
     [](Json&& v, TaskHistoryParams& r) {
       return decode_usize(std::move(v), r.attempt.emplace());
     }},
}};

constexpr std::array<Field<TaskFinishParams>, 2> kTaskFinishFields{{
    {"task_id", Presence::Required,
     [](Json&& v, TaskFinishParams& r) { return decode_string(std::move(v), r.task_id); }},
    {"commit", Presence::Defaulted,
     [](Json&& v, TaskFinishParams& r) { return decode_bool(std::move(v), r.commit); }},
}};

}  // namespace

DecodeResult<ToolsCallParams> decode_tools_call(Json value) {
  return decode_record(std::move(value), "ToolsCallParams", kToolsCallFields);
}

DecodeResult<TaskStartParams> decode_task_start(Json value, VerifierArgument verifier) {
  return decode_record(
      std::move(value), "TaskStartParams",
      verifier == VerifierArgument::Required ? kTaskStartFields : kTaskStartFieldsFixedVerifier);
}

DecodeResult<EditParam> decode_edit_param(Json value) {
  if (is_targeted(value)) return decode_record(std::move(value), "EditParam", kTargetedEditFields);
  return decode_record(std::move(value), "EditParam", kEditFields);
}

DecodeResult<TaskProposeParams> decode_task_propose(Json value) {
  return decode_record(std::move(value), "TaskProposeParams", kTaskProposeFields);
}

DecodeResult<TaskHistoryParams> decode_task_history(Json value) {
  return decode_record(std::move(value), "TaskHistoryParams", kTaskHistoryFields);
}

DecodeResult<TaskFinishParams> decode_task_finish(Json value) {
  return decode_record(std::move(value), "TaskFinishParams", kTaskFinishFields);
}

}  // namespace quarry
