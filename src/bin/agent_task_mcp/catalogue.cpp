#include "catalogue.h"

#include <string_view>

#include "envelopes.h"
#include "output_schemas.h"

namespace quarry {
namespace {

constexpr const char* kTaskIdDescription = "Task ID from task_start.";

Json typed(const char* type, const char* description) {
  return Json{{"type", type}, {"description", description}};
}

Json object_schema(Json properties, std::initializer_list<const char*> required) {
  Json names = Json::array();
  for (const char* name : required) names.push_back(name);
  return Json{{"type", "object"}, {"properties", std::move(properties)}, {"required", names}};
}

Json task_start_schema() {
  Json files = typed("array", "File paths the task may modify.");
  files["items"] = Json{{"type", "string"}};
  Json max_attempts = typed("integer", "Maximum distinct proposals before the task refuses more.");
  max_attempts["default"] = 4;
  return object_schema(
      Json{{"goal", typed("string", "What the task should achieve.")},
           {"verify_cmd",
            typed("string", "Shell command run to verify each proposal; exit 0 means pass.")},
           {"files", std::move(files)},
           {"max_attempts", std::move(max_attempts)}},
      {"goal", "verify_cmd"});
}

Json task_propose_schema() {
  Json edit =
      object_schema(Json{{"path", Json{{"type", "string"}}}, {"content", Json{{"type", "string"}}}},
                    {"path", "content"});
  Json edits = typed("array", "Edits to apply atomically.");
  edits["items"] = std::move(edit);
  return object_schema(
      Json{{"task_id", typed("string", kTaskIdDescription)}, {"edits", std::move(edits)}},
      {"task_id", "edits"});
}

Json task_history_schema() {
  return object_schema(Json{{"task_id", typed("string", kTaskIdDescription)}}, {"task_id"});
}

Json task_finish_schema() {
  Json commit = typed("boolean", "Keep edits (true) or restore snapshot (false).");
  commit["default"] = true;
  return object_schema(
      Json{{"task_id", typed("string", kTaskIdDescription)}, {"commit", std::move(commit)}},
      {"task_id"});
}

Json catalogue() {
  return Json{
      {"tools",
       Json::array({
           tool_def("task_start",
                    "Start a verifier-gated agent task. Snapshots the listed files and returns a "
                    "task_id.",
                    task_start_schema()),
           tool_def("task_propose",
                    "Propose an edit-set for a task. The edits are applied transactionally and "
                    "the verifier runs; failures roll back byte-for-byte.",
                    task_propose_schema()),
           tool_def("task_history", "Return all recorded attempts for a task in order.",
                    task_history_schema()),
           tool_def("task_finish",
                    "Finish a task. commit=true keeps the last passing edits; commit=false "
                    "restores the pre-task snapshot.",
                    task_finish_schema()),
       })}};
}

// The hints of each tool. Only task_history just reads; a proposal and a restoring finish
// overwrite files; a proposal runs a shell command, and a start may run a mutation tool over the
// project's tests.
Json annotations(std::string_view tool) {
  const bool history = tool == "task_history";
  const bool overwrites = tool == "task_propose" || tool == "task_finish";
  const bool runs_commands = tool == "task_propose" || tool == "task_start";
  Json hints = {{"readOnlyHint", history}, {"openWorldHint", runs_commands}};
  if (!history) {
    hints["destructiveHint"] = overwrites;
    hints["idempotentHint"] = false;
  }
  return hints;
}

const char* title(std::string_view tool) {
  if (tool == "task_start") return "Start a verified editing task";
  if (tool == "task_propose") return "Propose an edit-set";
  if (tool == "task_history") return "Read a task's attempts";
  return "Finish a task";
}

// The members a revision adds to each tool definition and to the list result.
Json catalogue_for(Revision revision) {
  const RevisionTraits& shape = traits(revision);
  Json result = catalogue();
  for (Json& tool : result["tools"]) {
    const std::string& name = tool["name"].get_ref<const std::string&>();
    if (shape.annotations) tool["annotations"] = annotations(name);
    if (shape.titles) tool["title"] = title(name);
    if (shape.structured) tool["outputSchema"] = output_schema(name);
  }
  if (shape.stateless) {
    result["ttlMs"] = kCacheTtlMs;
    result["cacheScope"] = "public";
    add_stateless_members(result);
  }
  return result;
}

}  // namespace

Json tool_def(const std::string& name, const std::string& description, Json input_schema) {
  return Json{
      {"description", description}, {"inputSchema", std::move(input_schema)}, {"name", name}};
}

std::string handle_tools_list(const Json& id, Revision revision) {
  // The catalogue never changes, so its text is written once per process for each revision.
  static const auto texts =
      for_every_revision([](Revision each) { return write_json(catalogue_for(each)); });
  return ok_with_text(id, texts[static_cast<std::size_t>(revision)]);
}

}  // namespace quarry
