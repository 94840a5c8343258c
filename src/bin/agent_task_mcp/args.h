// Argument records of the server and their decoders. Each decoder takes a JSON value over and
// yields the typed record or the exact decoding message; callers add "invalid params: " or
// "invalid arguments: " in front.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agentic.h"
#include "io_error.h"
#include "json_text.h"

namespace quarry {

// Why a value did not decode: one line, no position, no prefix. A string value is quoted with
// \", \\, \n, \r, \t and \u{hex} for every other control character (C0, DEL and C1).
struct DecodeError {
  std::string message;
};

// A decoded record or its decoding message.
template <typename T>
using DecodeResult = Result<T, DecodeError>;

// Params of tools/call. `arguments` is null when absent or null.
struct ToolsCallParams {
  std::string name;
  Json arguments;
};

struct TaskStartParams {
  std::string goal;
  std::optional<std::string> verify_cmd;  // absent only when the server fixes the verifier
  std::vector<std::string> files;
  std::uint64_t max_attempts = 4;
  std::optional<double> min_mutation_score;
  bool baseline = false;
};

// One edit of a proposal: a whole-file replacement, or a targeted one.
struct EditParam {
  std::string path;
  std::string content;
  std::optional<TextReplacement> replacement;
};

struct TaskProposeParams {
  std::string task_id;
  std::vector<EditParam> edits;
};

struct TaskHistoryParams {
  std::string task_id;
  std::uint64_t since = 0;  // only attempts after this one
  bool outputs = true;
  std::optional<std::uint64_t> attempt;  // only this one, its output whole
};

struct TaskFinishParams {
  std::string task_id;
  bool commit = true;
};

// An object decodes by name: members in ascending key order, the first failing member decides,
// then the first absent required field in declaration order. An array decodes by position.
// Strings are moved out of `value`, so pass large values with std::move to avoid any copy.
// No range checks: the values are validated where they are used. Arguments added since the
// first release are decoded by name only, so positional forms and their messages stay as they
// were.
DecodeResult<ToolsCallParams> decode_tools_call(Json value);
// `verify_cmd` may be absent only when the server fixes the verifier.
enum class VerifierArgument { Required, Optional };
DecodeResult<TaskStartParams> decode_task_start(
    Json value, VerifierArgument verifier = VerifierArgument::Required);
// An object with `old_text` or `new_text` is a targeted edit, which takes both and no `content`.
DecodeResult<EditParam> decode_edit_param(Json value);
DecodeResult<TaskProposeParams> decode_task_propose(Json value);
DecodeResult<TaskHistoryParams> decode_task_history(Json value);
DecodeResult<TaskFinishParams> decode_task_finish(Json value);

}  // namespace quarry
