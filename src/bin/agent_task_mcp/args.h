// Argument records of the server and their decoders. Each decoder takes a JSON value over and
// yields the typed record or the exact decoding message; callers add "invalid params: " or
// "invalid arguments: " in front.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
  std::string verify_cmd;
  std::vector<std::string> files;
  std::uint64_t max_attempts = 4;
  std::optional<double> min_mutation_score;
};

// One whole-file replacement of a proposal.
struct EditParam {
  std::string path;
  std::string content;
};

struct TaskProposeParams {
  std::string task_id;
  std::vector<EditParam> edits;
};

struct TaskHistoryParams {
  std::string task_id;
};

struct TaskFinishParams {
  std::string task_id;
  bool commit = true;
};

// An object decodes by name: members in ascending key order, the first failing member decides,
// then the first absent required field in declaration order. An array decodes by position.
// Strings are moved out of `value`, so pass large values with std::move to avoid any copy.
// No range checks: the values are validated where they are used.
DecodeResult<ToolsCallParams> decode_tools_call(Json value);
DecodeResult<TaskStartParams> decode_task_start(Json value);
DecodeResult<EditParam> decode_edit_param(Json value);
DecodeResult<TaskProposeParams> decode_task_propose(Json value);
DecodeResult<TaskHistoryParams> decode_task_history(Json value);
DecodeResult<TaskFinishParams> decode_task_finish(Json value);

}  // namespace quarry
