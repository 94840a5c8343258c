#include "args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarry {
namespace {

// Renders a decoded record as one line, so that a table row states the whole record.
struct Show {
  std::string operator()(const ToolsCallParams& p) const {
    return p.name + " " + p.arguments.dump();
  }
  std::string operator()(const TaskStartParams& p) const {
    return p.goal + "|" + p.verify_cmd + "|" + Json(p.files).dump() + "|" +
           std::to_string(p.max_attempts) + "|" +
           (p.min_mutation_score ? Json(*p.min_mutation_score).dump() : "none");
  }
  std::string operator()(const EditParam& p) const { return p.path + "=" + p.content; }
  std::string operator()(const TaskProposeParams& p) const {
    std::string text = p.task_id + ":";
    for (const EditParam& edit : p.edits) text += " " + (*this)(edit);
    return text;
  }
  std::string operator()(const TaskHistoryParams& p) const { return p.task_id; }
  std::string operator()(const TaskFinishParams& p) const {
    return p.task_id + (p.commit ? " commit" : " discard");
  }
};

// Runs one decoder on a JSON text: "ok: " and the record, or the decoding message.
using OutcomeOf = std::string (*)(const char* text);

template <auto Decode>
std::string outcome_of(const char* text) {
  auto result = Decode(Json::parse(text));
  return result ? "ok: " + Show{}(result.value()) : result.error().message;
}

constexpr OutcomeOf kStart = outcome_of<decode_task_start>;
constexpr OutcomeOf kPropose = outcome_of<decode_task_propose>;
constexpr OutcomeOf kEdit = outcome_of<decode_edit_param>;
constexpr OutcomeOf kHistory = outcome_of<decode_task_history>;
constexpr OutcomeOf kFinish = outcome_of<decode_task_finish>;
constexpr OutcomeOf kToolsCall = outcome_of<decode_tools_call>;

struct Row {
  OutcomeOf decode;
  const char* json;
  const char* outcome;
};

void expect_outcomes(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(row.decode(row.json), row.outcome);
  }
}

TEST(Args, DecodesByNameAndPositionWithDefaults) {
  expect_outcomes({
      {kStart, R"({"goal":"g","verify_cmd":"true"})", "ok: g|true|[]|4|none"},
      {kStart,
       R"({"goal":"g","verify_cmd":"v","files":["a.txt","dir/b.rs"],"max_attempts":9,)"
       R"("min_mutation_score":0.8})",
       R"(ok: g|v|["a.txt","dir/b.rs"]|9|0.8)"},
      {kStart, R"({"goal":"g","verify_cmd":"v","extra":{"anything":1},"zzz":null})",
       "ok: g|v|[]|4|none"},
      {kStart, R"(["g","true"])", "ok: g|true|[]|4|none"},
      {kStart, R"(["g","v",["f"],2,1])", R"(ok: g|v|["f"]|2|1.0)"},
      {kPropose,
       R"({"task_id":"t","edits":[{"path":"a","content":""},{"content":"x\ny","path":"b"}]})",
       "ok: t: a= b=x\ny"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"a","content":"1","mode":7},["b","2"]]})",
       "ok: t: a=1 b=2"},
      {kPropose, R"(["t",[["a","b"]]])", "ok: t: a=b"},
      {kFinish, R"({"task_id":"t"})", "ok: t commit"},
      {kFinish, R"(["t",false])", "ok: t discard"},
      {kFinish, R"(["t"])", "ok: t commit"},
      {kHistory, R"({"task_id":"task-1-0","other":[1]})", "ok: task-1-0"},
      {kHistory, R"(["t"])", "ok: t"},
      {kToolsCall, R"({"name":"task_history"})", "ok: task_history null"},
      {kToolsCall, R"({"arguments":null,"name":"x"})", "ok: x null"},
      // Arguments are taken as they are; the tool's own record judges them later.
      {kToolsCall, R"({"arguments":[1,{"b":"c"}],"name":"x"})", R"(ok: x [1,{"b":"c"}])"},
      {kToolsCall, R"(["n"])", "ok: n null"},
  });
}

TEST(Args, AbsentRequiredFieldIsReportedInFieldOrder) {
  expect_outcomes({
      {kStart, R"({})", "missing field `goal`"},
      {kStart, R"({"goal":"g"})", "missing field `verify_cmd`"},
      {kPropose, R"({})", "missing field `task_id`"},
      {kPropose, R"({"task_id":"t"})", "missing field `edits`"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"a"}]})", "missing field `content`"},
      {kPropose, R"({"task_id":"t","edits":[{"content":"c"}]})", "missing field `path`"},
      {kEdit, R"({})", "missing field `path`"},
      {kHistory, R"({"taskid":"t"})", "missing field `task_id`"},
      {kFinish, R"({"commit":false})", "missing field `task_id`"},
      {kToolsCall, R"({"arguments":{}})", "missing field `name`"},
  });
}

// Null counts as absent only for the optional min_mutation_score and arguments (see the
// other tables); every other field names the type it expected.
TEST(Args, WrongTypeNamesTheExpectation) {
  expect_outcomes({
      {kStart, R"({"goal":null,"verify_cmd":"v"})", "invalid type: null, expected a string"},
      {kStart, R"({"goal":"g","verify_cmd":null})", "invalid type: null, expected a string"},
      {kStart, R"({"goal":"g","verify_cmd":"v","files":null})",
       "invalid type: null, expected a sequence"},
      {kStart, R"({"goal":"g","verify_cmd":"v","max_attempts":null})",
       "invalid type: null, expected usize"},
      {kPropose, R"({"task_id":null,"edits":[]})", "invalid type: null, expected a string"},
      {kPropose, R"({"task_id":"t","edits":null})", "invalid type: null, expected a sequence"},
      {kPropose, R"({"task_id":"t","edits":[{"path":null,"content":"c"}]})",
       "invalid type: null, expected a string"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"p","content":null}]})",
       "invalid type: null, expected a string"},
      {kHistory, R"({"task_id":null})", "invalid type: null, expected a string"},
      {kFinish, R"({"task_id":"t","commit":null})", "invalid type: null, expected a boolean"},
      {kToolsCall, R"({"name":null})", "invalid type: null, expected a string"},
      {kStart, R"({"goal":"g","verify_cmd":"v","files":["a",1]})",
       "invalid type: integer `1`, expected a string"},
      {kStart, R"({"goal":["g"],"verify_cmd":"v"})", "invalid type: sequence, expected a string"},
      {kFinish, R"({"task_id":"t","commit":1})", "invalid type: integer `1`, expected a boolean"},
      {kToolsCall, R"({"name":false})", "invalid type: boolean `false`, expected a string"},
      {kPropose, R"({"task_id":"t","edits":{"path":"a","content":"b"}})",
       "invalid type: map, expected a sequence"},
      {kStart, "null", "invalid type: null, expected struct TaskStartParams"},
      {kPropose, "true", "invalid type: boolean `true`, expected struct TaskProposeParams"},
      {kHistory, "-3", "invalid type: integer `-3`, expected struct TaskHistoryParams"},
      {kFinish, "0.25", "invalid type: floating point `0.25`, expected struct TaskFinishParams"},
      {kToolsCall, R"("n")", R"(invalid type: string "n", expected struct ToolsCallParams)"},
      {kPropose, R"({"task_id":"t","edits":[1]})",
       "invalid type: integer `1`, expected struct EditParam"},
      {kPropose, R"({"task_id":"t","edits":["a"]})",
       R"(invalid type: string "a", expected struct EditParam)"},
  });
}

TEST(Args, NumberFields) {
  struct NumberRow {
    const char* field;
    const char* value;
    const char* outcome;
  };
  const std::vector<NumberRow> rows = {
      {"max_attempts", "18446744073709551615", "ok: g|v|[]|18446744073709551615|none"},
      {"max_attempts", "-1", "invalid value: integer `-1`, expected usize"},
      {"max_attempts", "2.5", "invalid type: floating point `2.5`, expected usize"},
      {"max_attempts", "4.0", "invalid type: floating point `4.0`, expected usize"},
      {"max_attempts", "1e3", "invalid type: floating point `1000.0`, expected usize"},
      // Integers beyond 64 bits are read as doubles.
      {"max_attempts", "18446744073709551616",
       "invalid type: floating point `1.8446744073709552e+19`, expected usize"},
      {"max_attempts", "-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e+18`, expected usize"},
      {"max_attempts", R"("3")", R"(invalid type: string "3", expected usize)"},
      {"min_mutation_score", "null", "ok: g|v|[]|4|none"},
      // No range limits here: the engine judges the score.
      {"min_mutation_score", "7.5", "ok: g|v|[]|4|7.5"},
      {"min_mutation_score", "18446744073709551615", "ok: g|v|[]|4|1.8446744073709552e+19"},
      {"min_mutation_score", R"("0.5")", R"(invalid type: string "0.5", expected f64)"},
      {"min_mutation_score", "[0.5]", "invalid type: sequence, expected f64"},
  };
  for (const NumberRow& row : rows) {
    const std::string text =
        std::string(R"({"goal":"g","verify_cmd":"v",")") + row.field + "\":" + row.value + "}";
    SCOPED_TRACE(text);
    EXPECT_EQ(kStart(text.c_str()), row.outcome);
  }
}

TEST(Args, FirstFailingMemberByKeyOrderWins) {
  expect_outcomes({
      // "files" sorts before "goal", so its fault is the one reported.
      {kStart, R"({"goal":1,"files":2})", "invalid type: integer `2`, expected a sequence"},
      {kStart, R"({"verify_cmd":1,"goal":2})", "invalid type: integer `2`, expected a string"},
      // A faulty member outranks an absent required field.
      {kStart, R"({"max_attempts":-1})", "invalid value: integer `-1`, expected usize"},
      {kStart, R"({"verify_cmd":"v","min_mutation_score":"x"})",
       R"(invalid type: string "x", expected f64)"},
      {kPropose, R"({"task_id":1,"edits":[1]})",
       "invalid type: integer `1`, expected struct EditParam"},
      // The first failing element of a list decides, and the message carries no index.
      {kPropose, R"({"task_id":"t","edits":[{"path":"a","content":"b"},{"path":"a"},1]})",
       "missing field `content`"},
      // Within an element, the element's own key order applies.
      {kPropose, R"({"task_id":"t","edits":[{"path":1,"content":2}]})",
       "invalid type: integer `2`, expected a string"},
  });
}

TEST(Args, PositionalLengths) {
  expect_outcomes({
      {kStart, R"(["g"])", "invalid length 1, expected struct TaskStartParams with 5 elements"},
      {kStart, R"(["g","v",[],4,null,0])", "invalid length 6, expected fewer elements in array"},
      {kPropose, R"(["t"])", "invalid length 1, expected struct TaskProposeParams with 2 elements"},
      {kPropose, R"(["t",[["a"]]])", "invalid length 1, expected struct EditParam with 2 elements"},
      {kPropose, R"(["t",[["a","b","c"]]])", "invalid length 3, expected fewer elements in array"},
      {kHistory, "[]", "invalid length 0, expected struct TaskHistoryParams with 1 element"},
      {kHistory, R"(["t","u"])", "invalid length 2, expected fewer elements in array"},
      {kFinish, "[]", "invalid length 0, expected struct TaskFinishParams with 2 elements"},
      {kToolsCall, "[]", "invalid length 0, expected struct ToolsCallParams with 2 elements"},
      // Elements are decoded in place before the length is judged.
      {kStart, R"(["g","v",[],-1,null,0])", "invalid value: integer `-1`, expected usize"},
      {kHistory, R"([null,"u"])", "invalid type: null, expected a string"},
  });
}

TEST(Args, StringValuesAreQuotedAndEscaped) {
  expect_outcomes({
      {kFinish, R"({"task_id":"t","commit":""})", R"(invalid type: string "", expected a boolean)"},
      {kFinish, R"({"task_id":"t","commit":"a\"b\\c/d"})",
       R"(invalid type: string "a\"b\\c/d", expected a boolean)"},
      {kFinish, R"({"task_id":"t","commit":"1\n2\t3\r"})",
       R"(invalid type: string "1\n2\t3\r", expected a boolean)"},
      {kFinish, R"({"task_id":"t","commit":"\u0000\u0001\b\f\u001b\u001f"})",
       R"(invalid type: string "\u{0}\u{1}\u{8}\u{c}\u{1b}\u{1f}", expected a boolean)"},
      {kFinish, R"({"task_id":"t","commit":"del\u007f c1\u0080\u0085\u009f"})",
       R"(invalid type: string "del\u{7f} c1\u{80}\u{85}\u{9f}", expected a boolean)"},
      // Printable non-ASCII text stays as it is, including U+00A0 right after the C1 block.
      {kFinish, R"({"task_id":"t","commit":"é\u00a0\u2028日"})",
       "invalid type: string \"é\u00a0\u2028日\", expected a boolean"},
  });
}

// A proposal may carry 16 MiB per file; a copy anywhere in decoding would double the peak
// memory and the time of every proposal.
TEST(Args, EditContentIsMovedNotCopied) {
  const std::size_t size = std::size_t{16} << 20;
  // By name the content goes through tools/call arguments as well.
  for (const bool positional : {false, true}) {
    SCOPED_TRACE(positional ? "by position" : "by name, inside tools/call arguments");
    Json content = std::string(size, 'x');
    const char* buffer = content.get_ptr<const std::string*>()->data();
    Json edit;
    if (positional) {
      edit.push_back("big.txt");
      edit.push_back(std::move(content));
    } else {
      edit["path"] = "big.txt";
      edit["content"] = std::move(content);
    }
    Json input;
    input["task_id"] = "t";
    input["edits"].push_back(std::move(edit));
    if (!positional) {
      Json params;
      params["name"] = "task_propose";
      params["arguments"] = std::move(input);
      auto call = decode_tools_call(std::move(params));
      ASSERT_TRUE(call) << call.error().message;
      input = std::move(call.value().arguments);
    }
    auto decoded = decode_task_propose(std::move(input));
    ASSERT_TRUE(decoded) << decoded.error().message;
    ASSERT_EQ(decoded.value().edits.size(), 1u);
    EXPECT_EQ(decoded.value().edits[0].content.size(), size);
    EXPECT_EQ(decoded.value().edits[0].content.data(), buffer);
  }
}

}  // namespace
}  // namespace quarry
