#include "catalogue.h"

#include <string_view>
#include <type_traits>

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

Json with_default(Json property, Json value) {
  property["default"] = std::move(value);
  return property;
}

Json task_start_schema(const std::string* fixed_verifier, bool verdicts) {
  Json files = typed("array", "File paths the task may modify.");
  files["items"] = Json{{"type", "string"}};
  const std::string verifier = fixed_verifier == nullptr
                                   ? "Shell command run to verify each proposal; exit 0 means pass."
                                   : "Optional: this server verifies every proposal with " +
                                         *fixed_verifier +
                                         " (exit 0 means pass) and refuses any other command.";
  const char* attempts =
      verdicts ? "Maximum proposals, refused ones included, before the task refuses more"
               : "Maximum distinct proposals before the task refuses more.";
  Json schema = object_schema(
      Json{{"goal", typed("string", "What the task should achieve.")},
           {"verify_cmd", typed("string", verifier.c_str())},
           {"files", std::move(files)},
           {"max_attempts", with_default(typed("integer", attempts), 4)},
           {"baseline",
            with_default(typed("boolean",
                               "Run the verifier once on the untouched files and return its "
                               "verdict as baseline, to tell failures that were already there "
                               "from failures a proposal causes."),
                         false)}},
      {"goal", "verify_cmd"});
  if (verdicts) {
    schema["properties"]["min_mutation_score"] =
        typed("number",
              "Refuse to start unless a mutation-testing tool finds that the verifier catches at "
              "least this fraction (0 to 1) of mutants of the code.");
  }
  if (fixed_verifier != nullptr) schema["required"] = Json::array({"goal"});
  return schema;
}

Json task_propose_schema() {
  Json edit = object_schema(Json{{"path", Json{{"type", "string"}}},
                                 {"content", Json{{"type", "string"}}},
                                 {"old_text", Json{{"type", "string"}}},
                                 {"new_text", Json{{"type", "string"}}},
                                 {"replace_all", Json{{"type", "boolean"}, {"default", false}}}},
                            {"path"});
  Json edits = typed("array",
                     "Edits to apply atomically, in order. {path, content} replaces the whole "
                     "file. {path, old_text, new_text} replaces the one occurrence of old_text in "
                     "the file's current content (replace_all: true replaces every occurrence); "
                     "prefer it for small changes to large files.");
  edits["items"] = std::move(edit);
  return object_schema(
      Json{{"task_id", typed("string", kTaskIdDescription)}, {"edits", std::move(edits)}},
      {"task_id", "edits"});
}

Json task_history_schema(bool verdicts) {
  Json schema = object_schema(
      Json{{"task_id", typed("string", kTaskIdDescription)},
           {"since", typed("integer", "Only the attempts after this attempt number.")},
           {"outputs",
            with_default(typed("boolean", "Include each attempt's verifier output."), true)}},
      {"task_id"});
  if (verdicts) {
    schema["properties"]["attempt"] =
        typed("integer", "Only this attempt, with its whole output and its log's path.");
  }
  return schema;
}

Json task_finish_schema() {
  Json commit =
      with_default(typed("boolean", "Keep edits (true) or restore snapshot (false)."), true);
  return object_schema(
      Json{{"task_id", typed("string", kTaskIdDescription)}, {"commit", std::move(commit)}},
      {"task_id"});
}

// The descriptions of the revisions with verdicts say what the results now hold and what the
// operator fixed.
std::string start_description(const std::string* fixed_verifier, bool verdicts) {
  std::string text =
      "Start a verifier-gated agent task. Snapshots the listed files and returns a task_id.";
  if (verdicts && fixed_verifier != nullptr) {
    text += " The verifier is fixed by the server: every proposal is verified with " +
            *fixed_verifier + ".";
  }
  return text;
}

const char* propose_description(bool verdicts) {
  return verdicts ? "Propose an edit-set for a task. The edits are applied transactionally and "
                    "the verifier runs; failures roll back byte-for-byte. The result holds the "
                    "verifier's output (the head and tail of each stream), the path of its whole "
                    "log, the failing tests and test counts recognised in it, whether the "
                    "verifier ran (verified) and attempts_left."
                  : "Propose an edit-set for a task. The edits are applied transactionally and "
                    "the verifier runs; failures roll back byte-for-byte.";
}

const char* history_description(bool verdicts) {
  return verdicts ? "Return all recorded attempts for a task in order; with two or more, each "
                    "output is cut to its last 1 KiB, and attempt=N returns one whole. To page a "
                    "long history, ask with outputs=false for the verdicts alone, then with "
                    "since=N for the attempts after attempt N."
                  : "Return all recorded attempts for a task in order. To page a long history, "
                    "ask with outputs=false for the verdicts alone, then with since=N for the "
                    "attempts after attempt N.";
}

const char* finish_description(bool verdicts) {
  return verdicts ? "Finish a task. commit=true keeps the last passing edits; commit=false "
                    "restores the pre-task snapshot. A task whose attempt limit is reached must "
                    "still be finished."
                  : "Finish a task. commit=true keeps the last passing edits; commit=false "
                    "restores the pre-task snapshot.";
}

Json catalogue(const std::string* fixed_verifier, bool verdicts) {
  return Json{
      {"tools",
       Json::array({
           tool_def("task_start", start_description(fixed_verifier, verdicts),
                    task_start_schema(fixed_verifier, verdicts)),
           tool_def("task_propose", propose_description(verdicts), task_propose_schema()),
           tool_def("task_history", history_description(verdicts), task_history_schema(verdicts)),
           tool_def("task_finish", finish_description(verdicts), task_finish_schema()),
       })}};
}

// A proposal runs a shell command, and a start may run the verifier or a mutation tool over the
// project's tests: the tools that may run long.
bool runs_commands(std::string_view tool) {
  return tool == "task_propose" || tool == "task_start";
}

// The hints of each tool. Only task_history just reads; a proposal and a restoring finish
// overwrite files.
Json annotations(std::string_view tool) {
  const bool history = tool == "task_history";
  const bool overwrites = tool == "task_propose" || tool == "task_finish";
  Json hints = {{"readOnlyHint", history}, {"openWorldHint", runs_commands(tool)}};
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
Json catalogue_for(Revision revision, const std::string* fixed_verifier) {
  const RevisionTraits& shape = traits(revision);
  Json result = catalogue(fixed_verifier, shape.verdicts);
  for (Json& tool : result["tools"]) {
    const std::string& name = tool["name"].get_ref<const std::string&>();
    if (shape.annotations) tool["annotations"] = annotations(name);
    if (shape.titles) tool["title"] = title(name);
    if (shape.structured) tool["outputSchema"] = output_schema(name);
    // "optional", never "required": a client that does not speak MCP tasks could not call it.
    if (shape.task_augmentation && runs_commands(name)) {
      tool["execution"] = Json{{"taskSupport", "optional"}};
    }
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

std::string handle_tools_list(const Json& id, Revision revision,
                              const std::string* fixed_verifier) {
  // The catalogue changes only with the revision and the verifier fixed at start-up, so its
  // texts are written once per process.
  const auto write_all = [](const std::string* verifier) {
    return for_every_revision(
        [verifier](Revision each) { return write_json(catalogue_for(each, verifier)); });
  };
  const auto index = static_cast<std::size_t>(revision);
  static const auto free_texts = write_all(nullptr);
  if (fixed_verifier == nullptr) return ok_with_text(id, free_texts[index]);
  static std::pair<std::string, std::remove_const_t<decltype(free_texts)>>
      fixed;  // the verifier and its texts
  if (fixed.second[0].empty() || fixed.first != *fixed_verifier) {
    fixed = {*fixed_verifier, write_all(fixed_verifier)};
  }
  return ok_with_text(id, fixed.second[index]);
}

}  // namespace quarry
