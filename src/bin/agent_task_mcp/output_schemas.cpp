#include "output_schemas.h"

#include <initializer_list>

namespace quarry {
namespace {

Json of_type(const char* type) {
  return Json{{"type", type}};
}

Json array_of(Json items) {
  return Json{{"type", "array"}, {"items", std::move(items)}};
}

// An object with exactly these members, the `required` ones always present: a member the
// schema does not name is a fault a client's validator should report.
Json closed_object(Json properties, std::initializer_list<const char*> required) {
  Json schema = {
      {"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
  if (required.size() == 0) return schema;
  Json names = Json::array();
  for (const char* name : required) names.push_back(name);
  schema["required"] = std::move(names);
  return schema;
}

Json count() {
  Json schema = of_type("integer");
  schema["minimum"] = 0;
  return schema;
}

Json attempt_properties() {
  // A refusal before any attempt was counted reports attempt 0.
  return Json{{"attempt", count()},
              {"fingerprint", of_type("string")},
              {"output", of_type("string")},
              {"passed", of_type("boolean")},
              {"log", of_type("string")}};
}

// What the runners printed in a verifier's output, each only where recognised.
void add_report_properties(Json& properties) {
  Json failures = array_of(of_type("string"));
  failures["maxItems"] = 20;
  properties["failures"] = std::move(failures);
  Json counts = closed_object(
      Json{{"passed", count()}, {"failed", count()}, {"skipped", count()}, {"errors", count()}},
      {});
  counts["description"] = "Each count the runner's summary gave; {} when it said no test ran.";
  properties["counts"] = std::move(counts);
}

Json task_propose_result() {
  Json properties = attempt_properties();
  properties["attempts_left"] = count();
  properties["verified"] = of_type("boolean");
  properties["warning"] = of_type("string");
  add_report_properties(properties);
  // A result rebuilt from the history, after its server stopped, cannot say what is left.
  return closed_object(std::move(properties),
                       {"attempt", "fingerprint", "output", "passed", "verified"});
}

Json mutation_gate_schema() {
  Json status = of_type("string");
  status["enum"] = Json::array({"measured", "skipped"});
  return closed_object(Json{{"status", std::move(status)},
                            {"threshold", of_type("number")},
                            {"score", of_type("number")},
                            {"tool", of_type("string")}},
                       {"status", "threshold"});
}

Json task_start_result() {
  Json baseline = Json{
      {"passed", of_type("boolean")}, {"output", of_type("string")}, {"log", of_type("string")}};
  add_report_properties(baseline);
  return closed_object(Json{{"task_id", of_type("string")},
                            {"mutation_gate", mutation_gate_schema()},
                            {"verifier_warning", of_type("string")},
                            {"sandbox", of_type("string")},
                            {"baseline", closed_object(std::move(baseline), {"passed", "output"})}},
                       {"task_id"});
}

Json task_history_result() {
  // A history read without outputs leaves "output" out of each record.
  return closed_object(
      Json{{"attempts",
            array_of(closed_object(attempt_properties(), {"attempt", "fingerprint", "passed"}))}},
      {"attempts"});
}

Json task_finish_result() {
  return closed_object(
      Json{{"committed", of_type("boolean")}, {"saved", array_of(of_type("string"))}},
      {"committed"});
}

}  // namespace

Json output_schema(std::string_view tool) {
  if (tool == "task_start") return task_start_result();
  if (tool == "task_propose") return task_propose_result();
  if (tool == "task_history") return task_history_result();
  if (tool == "task_finish") return task_finish_result();
  return Json::object();
}

}  // namespace quarry
