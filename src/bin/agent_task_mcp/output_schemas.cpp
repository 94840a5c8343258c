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
  Json names = Json::array();
  for (const char* name : required) names.push_back(name);
  return Json{{"type", "object"},
              {"properties", std::move(properties)},
              {"required", std::move(names)},
              {"additionalProperties", false}};
}

Json attempt_schema(std::initializer_list<const char*> required) {
  // A refusal before any attempt was counted reports attempt 0.
  Json attempt = of_type("integer");
  attempt["minimum"] = 0;
  return closed_object(Json{{"attempt", std::move(attempt)},
                            {"fingerprint", of_type("string")},
                            {"output", of_type("string")},
                            {"passed", of_type("boolean")}},
                       required);
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
  return closed_object(Json{{"task_id", of_type("string")},
                            {"mutation_gate", mutation_gate_schema()},
                            {"verifier_warning", of_type("string")},
                            {"sandbox", of_type("string")},
                            {"baseline", closed_object(Json{{"passed", of_type("boolean")},
                                                            {"output", of_type("string")}},
                                                       {"passed", "output"})}},
                       {"task_id"});
}

Json task_history_result() {
  // A history read without outputs leaves "output" out of each record.
  return closed_object(
      Json{{"attempts", array_of(attempt_schema({"attempt", "fingerprint", "passed"}))}},
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
  if (tool == "task_propose") return attempt_schema({"attempt", "fingerprint", "output", "passed"});
  if (tool == "task_history") return task_history_result();
  if (tool == "task_finish") return task_finish_result();
  return Json::object();
}

}  // namespace quarry
