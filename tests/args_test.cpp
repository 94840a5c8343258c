#include "args.h"
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarry {
namespace {

// Each decoded record as one JSON array of its fields, so that a row states the whole record.
struct Show {
  Json operator()(const ToolsCallParams& p) const { return Json::array({p.name, p.arguments}); }
  Json operator()(const TaskHistoryParams& p) const {
    return Json::array({p.task_id, p.since, p.outputs});
  }
  Json operator()(const TaskFinishParams& p) const { return Json::array({p.task_id, p.commit}); }
  Json operator()(const TaskStartParams& p) const {
    return Json::array({p.goal, p.verify_cmd ? Json(*p.verify_cmd) : Json(), p.files,
                        p.max_attempts, p.min_mutation_score ? Json(*p.min_mutation_score) : Json(),
                        p.baseline});
  }
  Json operator()(const TaskProposeParams& p) const {
    Json edits = Json::array();
    for (const EditParam& edit : p.edits) {
      const std::optional<TextReplacement>& r = edit.replacement;
      edits.push_back(r ? Json::array({edit.path, r->old_text, r->new_text, r->replace_all})
                        : Json::array({edit.path, edit.content}));
    }
    return Json::array({p.task_id, edits});
  }
};

// One decoder run on a JSON text: "ok: " and the record, or the decoding message.
using Decoder = std::string (*)(const char* text);
template <auto Decode>
std::string outcome_of(const char* text) {
  auto result = Decode(Json::parse(text));
  return result ? "ok: " + Show{}(result.value()).dump() : result.error().message;
}
DecodeResult<TaskStartParams> decode_start(Json value) {
  return decode_task_start(std::move(value));
}
DecodeResult<TaskStartParams> decode_start_fixed_verifier(Json value) {
  return decode_task_start(std::move(value), VerifierArgument::Optional);
}
constexpr Decoder kStart = outcome_of<decode_start>;
constexpr Decoder kFixedStart = outcome_of<decode_start_fixed_verifier>;
constexpr Decoder kPropose = outcome_of<decode_task_propose>;
constexpr Decoder kHistory = outcome_of<decode_task_history>;
constexpr Decoder kFinish = outcome_of<decode_task_finish>;
constexpr Decoder kToolsCall = outcome_of<decode_tools_call>;

struct Row {
  Decoder decode;
  const char* json;
  const char* outcome;
};

void expect_outcomes(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(row.decode(row.json), row.outcome);
  }
}

// The defaults are the catalogue's; a different one changes what every client gets by default.
TEST(Args, DecodesByNameAndPositionWithDefaultsAndNoRangeLimits) {
  expect_outcomes({
      {kStart, R"({"goal":"g","verify_cmd":"v","extra":{"anything":1},"zzz":null})",
       R"(ok: ["g","v",[],4,null,false])"},
      {kStart, R"({"goal":"","verify_cmd":"v","files":["a","d/b"],"max_attempts":0})",
       R"(ok: ["","v",["a","d/b"],0,null,false])"},
      {kStart, R"({"goal":"g","verify_cmd":"v","max_attempts":18446744073709551615})",
       R"(ok: ["g","v",[],18446744073709551615,null,false])"},
      {kStart, R"({"goal":"g","verify_cmd":"v","min_mutation_score":null})",
       R"(ok: ["g","v",[],4,null,false])"},
      {kStart, R"({"goal":"g","verify_cmd":"v","min_mutation_score":7.5})",
       R"(ok: ["g","v",[],4,7.5,false])"},
      {kStart, R"(["g","v",["f"],2,1])", R"(ok: ["g","v",["f"],2,1.0,false])"},
      {kStart, R"(["g","true"])", R"(ok: ["g","true",[],4,null,false])"},
      {kPropose, R"(["t",[{"path":"a","content":"1","mode":7},["b","x\ny"]]])",
       R"(ok: ["t",[["a","1"],["b","x\ny"]]])"},
      {kStart, R"({"goal":"g","verify_cmd":"v","baseline":true})",
       R"(ok: ["g","v",[],4,null,true])"},
      // With the verifier fixed by the server, verify_cmd may be left out.
      {kFixedStart, R"(["g"])", R"(ok: ["g",null,[],4,null,false])"},
      {kPropose, R"(["t",[{"path":"a","old_text":"x","new_text":"","replace_all":true,"z":0}]])",
       R"(ok: ["t",[["a","x","",true]]])"},
      {kHistory, R"({"task_id":"t","since":2,"outputs":false})", R"(ok: ["t",2,false])"},
      {kFinish, R"({"task_id":"t"})", R"(ok: ["t",true])"},
      {kFinish, R"(["t",false])", R"(ok: ["t",false])"},
      // Arguments are taken as they are; the tool's own record judges them later.
      {kToolsCall, R"({"arguments":[1,{"b":"c"}],"name":"x"})", R"(ok: ["x",[1,{"b":"c"}]])"},
  });
}

// Every kind of value and every expectation, as clients read them after "invalid params: ". A
// faulty member outranks an absent field, so most rows need no other member.
TEST(Args, MessagesNameTheValueAndWhatWasExpected) {
  expect_outcomes({
      {kStart, "{}", "missing field `goal`"},
      {kStart, R"({"goal":"g"})", "missing field `verify_cmd`"},
      {kPropose, R"({"task_id":"t"})", "missing field `edits`"},
      {kFinish, R"({"commit":false})", "missing field `task_id`"},
      {kToolsCall, R"({"arguments":{}})", "missing field `name`"},
      {kStart, R"({"goal":null})", "invalid type: null, expected a string"},
      {kStart, R"({"files":null})", "invalid type: null, expected a sequence"},
      {kFinish, R"({"commit":1})", "invalid type: integer `1`, expected a boolean"},
      {kToolsCall, R"({"name":false})", "invalid type: boolean `false`, expected a string"},
      {kStart, R"({"goal":["g"]})", "invalid type: sequence, expected a string"},
      {kPropose, R"({"edits":{}})", "invalid type: map, expected a sequence"},
      {kStart, R"({"max_attempts":4.0})", "invalid type: floating point `4.0`, expected usize"},
      {kStart, R"({"min_mutation_score":[0.5]})", "invalid type: sequence, expected f64"},
      {kStart, "null", "invalid type: null, expected struct TaskStartParams"},
      {kPropose, "true", "invalid type: boolean `true`, expected struct TaskProposeParams"},
      {kHistory, "-3", "invalid type: integer `-3`, expected struct TaskHistoryParams"},
      {kFinish, "0.25", "invalid type: floating point `0.25`, expected struct TaskFinishParams"},
      {kToolsCall, R"("n")", R"(invalid type: string "n", expected struct ToolsCallParams)"},
      {kPropose, R"({"edits":[1]})", "invalid type: integer `1`, expected struct EditParam"},
      {kFinish, R"({"commit":"a\"b\\c/d\n\t\r"})",
       R"(invalid type: string "a\"b\\c/d\n\t\r", expected a boolean)"},
      // Other control characters (C0, DEL, C1) in \u{..}; printable text as it is, U+00A0 too.
      {kFinish, R"({"commit":"\u0000\u001f\u007f\u0085\u009f\u00a0é"})",
       "invalid type: string \"\\u{0}\\u{1f}\\u{7f}\\u{85}\\u{9f}\u00a0é\", expected a boolean"},
  });
}

// With several faults, the member whose key sorts first decides, a faulty member outranks an
// absent field, and a list reports its first failing element without an index.
TEST(Args, TheFirstFailureByKeyOrderWins) {
  expect_outcomes({
      {kStart, R"({"goal":1,"files":2})", "invalid type: integer `2`, expected a sequence"},
      {kStart, R"({"verify_cmd":1,"goal":2})", "invalid type: integer `2`, expected a string"},
      {kStart, R"({"max_attempts":-1})", "invalid value: integer `-1`, expected usize"},
      {kStart, R"({"verify_cmd":"v","min_mutation_score":"x"})",
       R"(invalid type: string "x", expected f64)"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"a","content":"b"},{"path":"a"},1]})",
       "missing field `content`"},
      {kPropose, R"({"task_id":"t","edits":[{"path":1,"content":2}]})",
       "invalid type: integer `2`, expected a string"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"a","old_text":"x"}]})",
       "missing field `new_text`"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"a","new_text":"x","content":"y"}]})",
       "an edit gives either `content` or `old_text` and `new_text`, not both"},
      {kFixedStart, R"({"goal":"g","verify_cmd":null})", "invalid type: null, expected a string"},
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
      {kFinish, "[]", "invalid length 0, expected struct TaskFinishParams with 2 elements"},
      {kToolsCall, "[]", "invalid length 0, expected struct ToolsCallParams with 2 elements"},
      // Elements are decoded in place before the length is judged.
      {kStart, R"(["g","v",[],-1,null,0])", "invalid value: integer `-1`, expected usize"},
  });
}

// Each of these must stop the server with a usage error, not serve with a setting dropped:
// patterns relative to no root, a time limit that would kill every verifier at once, a sandbox
// both required and turned off, or a version whose confinement report would drop an option.
TEST(Options, UsageErrorsExitWithStatus2AndTheRestIsKept) {
  using Args = std::vector<std::string>;
  for (const Args& args :
       {Args{"--bogus"}, Args{"--root"}, Args{"--protect", "t/**"}, Args{"--sync=yes"},
        Args{"--verify-timeout", "0"}, Args{"--verify-timeout", "1.5"},
        Args{"--no-sandbox", "--require-sandbox"}, Args{"--version", "--bogus"}}) {
    SCOPED_TRACE(args.front());
    const CommandLine line = parse_command_line(args);
    EXPECT_EQ(line.exit_status, 2);
    EXPECT_TRUE(line.text_to_stderr);
  }
  const CommandLine line = parse_command_line({"--root=/r", "--protect", "a/**", "--verify-timeout",
                                               "7", "--sync", "--verify", "make check"});
  EXPECT_FALSE(line.exit_status);
  EXPECT_EQ(line.options.root, "/r");
  EXPECT_EQ(line.options.protect, std::vector<std::string>{"a/**"});
  EXPECT_EQ(line.options.verify_timeout, std::chrono::seconds(7));
  EXPECT_TRUE(line.options.sync);
  EXPECT_EQ(line.options.verify, "make check");
}

}  // namespace
}  // namespace quarry
