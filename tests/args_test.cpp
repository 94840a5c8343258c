#include "args.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace quarry {
namespace {

// Runs one decoder on a JSON text and gives its message, or "<decoded>" when it succeeds.
using MessageOf = std::string (*)(const char* text);

template <auto Decode>
std::string message_of(const char* text) {
  auto result = Decode(Json::parse(text));
  return result ? std::string("<decoded>") : result.error();
}

struct MessageRow {
  MessageOf decode;
  const char* json;
  const char* message;
};

void expect_messages(const std::vector<MessageRow>& rows) {
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(row.decode(row.json), row.message);
  }
}

constexpr MessageOf kStart = message_of<decode_task_start>;
constexpr MessageOf kPropose = message_of<decode_task_propose>;
constexpr MessageOf kEdit = message_of<decode_edit_param>;
constexpr MessageOf kHistory = message_of<decode_task_history>;
constexpr MessageOf kFinish = message_of<decode_task_finish>;
constexpr MessageOf kToolsCall = message_of<decode_tools_call>;

TEST(Args, TaskStartDecodesFieldsAndDefaults) {
  struct Row {
    const char* json;
    std::string goal;
    std::string verify_cmd;
    std::vector<std::string> files;
    std::uint64_t max_attempts;
    std::optional<double> min_mutation_score;
  };
  const std::vector<Row> rows = {
      {R"({"goal":"g","verify_cmd":"true"})", "g", "true", {}, 4, std::nullopt},
      {R"({"goal":"","verify_cmd":"","files":[],"max_attempts":0})", "", "", {}, 0, std::nullopt},
      {R"({"goal":"g","verify_cmd":"v","files":["a.txt","dir/b.rs"],"max_attempts":9,)"
       R"("min_mutation_score":0.8})",
       "g",
       "v",
       {"a.txt", "dir/b.rs"},
       9,
       0.8},
      {R"({"goal":"g","verify_cmd":"v","min_mutation_score":null})", "g", "v", {}, 4, std::nullopt},
      // No range limits here: the engine judges the score.
      {R"({"goal":"g","verify_cmd":"v","min_mutation_score":7.5})", "g", "v", {}, 4, 7.5},
      {R"({"goal":"g","verify_cmd":"v","extra":{"anything":1},"zzz":null})",
       "g",
       "v",
       {},
       4,
       std::nullopt},
      {R"({"goal":"g","verify_cmd":"v","max_attempts":18446744073709551615})",
       "g",
       "v",
       {},
       std::numeric_limits<std::uint64_t>::max(),
       std::nullopt},
      {R"(["g","true"])", "g", "true", {}, 4, std::nullopt},
      {R"(["g","v",["f"],2,null])", "g", "v", {"f"}, 2, std::nullopt},
      {R"(["g","v",[],3,1])", "g", "v", {}, 3, 1.0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json);
    auto decoded = decode_task_start(Json::parse(row.json));
    ASSERT_TRUE(decoded) << decoded.error();
    EXPECT_EQ(decoded.value().goal, row.goal);
    EXPECT_EQ(decoded.value().verify_cmd, row.verify_cmd);
    EXPECT_EQ(decoded.value().files, row.files);
    EXPECT_EQ(decoded.value().max_attempts, row.max_attempts);
    EXPECT_EQ(decoded.value().min_mutation_score, row.min_mutation_score);
  }
}

TEST(Args, OtherRecordsDecodeFieldsAndDefaults) {
  {
    auto finish = decode_task_finish(Json::parse(R"({"task_id":"t"})"));
    ASSERT_TRUE(finish) << finish.error();
    EXPECT_EQ(finish.value().task_id, "t");
    EXPECT_TRUE(finish.value().commit);
  }
  {
    auto finish = decode_task_finish(Json::parse(R"(["t",false])"));
    ASSERT_TRUE(finish) << finish.error();
    EXPECT_EQ(finish.value().task_id, "t");
    EXPECT_FALSE(finish.value().commit);
  }
  {
    auto history = decode_task_history(Json::parse(R"({"task_id":"task-1-0","other":[1]})"));
    ASSERT_TRUE(history) << history.error();
    EXPECT_EQ(history.value().task_id, "task-1-0");
  }
  {
    auto history = decode_task_history(Json::parse(R"(["task-1-0"])"));
    ASSERT_TRUE(history) << history.error();
    EXPECT_EQ(history.value().task_id, "task-1-0");
  }
  {
    auto call = decode_tools_call(Json::parse(R"({"name":"task_history"})"));
    ASSERT_TRUE(call) << call.error();
    EXPECT_EQ(call.value().name, "task_history");
    EXPECT_TRUE(call.value().arguments.is_null());
  }
  {
    auto call = decode_tools_call(Json::parse(R"({"arguments":null,"name":"x"})"));
    ASSERT_TRUE(call) << call.error();
    EXPECT_TRUE(call.value().arguments.is_null());
  }
  {
    // Arguments are taken as they are; the tool's own record judges them later.
    auto call = decode_tools_call(Json::parse(R"({"arguments":[1,{"b":"c"}],"name":"x"})"));
    ASSERT_TRUE(call) << call.error();
    EXPECT_EQ(call.value().arguments, Json::parse(R"([1,{"b":"c"}])"));
  }
  {
    auto call = decode_tools_call(Json::parse(R"(["task_start",{"goal":"g"}])"));
    ASSERT_TRUE(call) << call.error();
    EXPECT_EQ(call.value().name, "task_start");
    EXPECT_EQ(call.value().arguments, Json::parse(R"({"goal":"g"})"));
  }
}

TEST(Args, ProposeDecodesEditsByNameAndPosition) {
  struct Row {
    const char* json;
    std::string task_id;
    std::vector<std::pair<std::string, std::string>> edits;
  };
  const std::vector<Row> rows = {
      {R"({"task_id":"t","edits":[]})", "t", {}},
      {R"({"task_id":"t","edits":[{"path":"a","content":""},{"content":"x\ny","path":"b"}]})",
       "t",
       {{"a", ""}, {"b", "x\ny"}}},
      {R"({"task_id":"t","edits":[["a","b"]]})", "t", {{"a", "b"}}},
      {R"({"task_id":"t","edits":[{"path":"a","content":"1","mode":7},["b","2"]]})",
       "t",
       {{"a", "1"}, {"b", "2"}}},
      {R"(["t",[["a","b"]]])", "t", {{"a", "b"}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json);
    auto decoded = decode_task_propose(Json::parse(row.json));
    ASSERT_TRUE(decoded) << decoded.error();
    EXPECT_EQ(decoded.value().task_id, row.task_id);
    ASSERT_EQ(decoded.value().edits.size(), row.edits.size());
    for (std::size_t i = 0; i < row.edits.size(); ++i) {
      EXPECT_EQ(decoded.value().edits[i].path, row.edits[i].first);
      EXPECT_EQ(decoded.value().edits[i].content, row.edits[i].second);
    }
  }
}

TEST(Args, AbsentRequiredFieldIsReportedInFieldOrder) {
  expect_messages({
      {kStart, R"({"verify_cmd":"x"})", "missing field `goal`"},
      {kStart, R"({"goal":"g"})", "missing field `verify_cmd`"},
      {kStart, R"({})", "missing field `goal`"},
      {kStart, R"({"files":["a"],"max_attempts":1})", "missing field `goal`"},
      {kPropose, R"({})", "missing field `task_id`"},
      {kPropose, R"({"edits":[]})", "missing field `task_id`"},
      {kPropose, R"({"task_id":"t"})", "missing field `edits`"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"a"}]})", "missing field `content`"},
      {kPropose, R"({"task_id":"t","edits":[{"content":"c"}]})", "missing field `path`"},
      {kEdit, R"({})", "missing field `path`"},
      {kHistory, R"({})", "missing field `task_id`"},
      {kHistory, R"({"taskid":"t"})", "missing field `task_id`"},
      {kFinish, R"({"commit":false})", "missing field `task_id`"},
      {kToolsCall, R"({"arguments":{}})", "missing field `name`"},
  });
}

TEST(Args, NullIsAcceptedOnlyByOptionalFields) {
  expect_messages({
      {kStart, R"({"goal":null,"verify_cmd":"v"})", "invalid type: null, expected a string"},
      {kStart, R"({"goal":"g","verify_cmd":null})", "invalid type: null, expected a string"},
      {kStart, R"({"goal":"g","verify_cmd":"true","files":null})",
       "invalid type: null, expected a sequence"},
      {kStart, R"({"goal":"g","verify_cmd":"v","max_attempts":null})",
       "invalid type: null, expected usize"},
      {kStart, R"({"goal":"g","verify_cmd":"v","min_mutation_score":null})", "<decoded>"},
      {kPropose, R"({"task_id":null,"edits":[]})", "invalid type: null, expected a string"},
      {kPropose, R"({"task_id":"t","edits":null})", "invalid type: null, expected a sequence"},
      {kPropose, R"({"task_id":"t","edits":[{"path":null,"content":"c"}]})",
       "invalid type: null, expected a string"},
      {kPropose, R"({"task_id":"t","edits":[{"path":"p","content":null}]})",
       "invalid type: null, expected a string"},
      {kHistory, R"({"task_id":null})", "invalid type: null, expected a string"},
      {kFinish, R"({"task_id":"t","commit":null})", "invalid type: null, expected a boolean"},
      {kToolsCall, R"({"name":null})", "invalid type: null, expected a string"},
      {kToolsCall, R"({"name":"n","arguments":null})", "<decoded>"},
  });
}

TEST(Args, WrongTypesNameTheExpectation) {
  expect_messages({
      {kStart, R"({"goal":"g","verify_cmd":"v","files":"a.txt"})",
       R"(invalid type: string "a.txt", expected a sequence)"},
      {kStart, R"({"goal":"g","verify_cmd":"v","files":{"a":1}})",
       "invalid type: map, expected a sequence"},
      {kStart, R"({"goal":"g","verify_cmd":"v","files":["a",1]})",
       "invalid type: integer `1`, expected a string"},
      {kStart, R"({"goal":"g","verify_cmd":"v","files":[["a"]]})",
       "invalid type: sequence, expected a string"},
      {kStart, R"({"goal":["g"],"verify_cmd":"v"})", "invalid type: sequence, expected a string"},
      {kFinish, R"({"task_id":"t","commit":"true"})",
       R"(invalid type: string "true", expected a boolean)"},
      {kFinish, R"({"task_id":"t","commit":1})", "invalid type: integer `1`, expected a boolean"},
      {kFinish, R"({"task_id":7})", "invalid type: integer `7`, expected a string"},
      {kHistory, R"({"task_id":{}})", "invalid type: map, expected a string"},
      {kToolsCall, R"({"name":false})", "invalid type: boolean `false`, expected a string"},
      {kPropose, R"({"task_id":"t","edits":{"path":"a","content":"b"}})",
       "invalid type: map, expected a sequence"},
  });
}

TEST(Args, FirstFailingMemberByKeyOrderWins) {
  expect_messages({
      // "files" sorts before "goal", so its fault is the one reported.
      {kStart, R"({"goal":1,"files":2})", "invalid type: integer `2`, expected a sequence"},
      {kStart, R"({"verify_cmd":1,"goal":2})", "invalid type: integer `2`, expected a string"},
      // A faulty member outranks an absent required field.
      {kStart, R"({"max_attempts":-1})", "invalid value: integer `-1`, expected usize"},
      {kStart, R"({"verify_cmd":"v","min_mutation_score":"x"})",
       R"(invalid type: string "x", expected f64)"},
      {kPropose, R"({"task_id":1,"edits":[1]})",
       "invalid type: integer `1`, expected struct EditParam"},
      {kPropose, R"({"task_id":1,"edits":[]})", "invalid type: integer `1`, expected a string"},
      {kFinish, R"({"task_id":1,"commit":"no"})",
       R"(invalid type: string "no", expected a boolean)"},
      {kToolsCall, R"({"name":1})", "invalid type: integer `1`, expected a string"},
      // The first failing element of a list decides, and the message carries no index.
      {kPropose, R"({"task_id":"t","edits":[{"path":"a","content":"b"},{"path":"a"},1]})",
       "missing field `content`"},
      // Within an element, the element's own key order applies.
      {kPropose, R"({"task_id":"t","edits":[{"path":1,"content":2}]})",
       "invalid type: integer `2`, expected a string"},
  });
}

TEST(Args, UnsignedIntegerRange) {
  struct Row {
    const char* max_attempts;
    const char* message;
  };
  const std::vector<Row> rows = {
      {"0", "<decoded>"},
      {"18446744073709551615", "<decoded>"},
      {"-1", "invalid value: integer `-1`, expected usize"},
      {"-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected usize"},
      {"2.5", "invalid type: floating point `2.5`, expected usize"},
      {"4.0", "invalid type: floating point `4.0`, expected usize"},
      {"1e3", "invalid type: floating point `1000.0`, expected usize"},
      // Integers beyond 64 bits are read as doubles.
      {"18446744073709551616",
       "invalid type: floating point `1.8446744073709552e+19`, expected usize"},
      {"-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e+18`, expected usize"},
      {R"("3")", R"(invalid type: string "3", expected usize)"},
      {"true", "invalid type: boolean `true`, expected usize"},
  };
  for (const Row& row : rows) {
    const std::string text =
        std::string(R"({"goal":"g","verify_cmd":"v","max_attempts":)") + row.max_attempts + "}";
    SCOPED_TRACE(text);
    EXPECT_EQ(kStart(text.c_str()), row.message);
  }
}

TEST(Args, OptionalDoubleTakesEveryNumber) {
  struct Row {
    const char* json;
    std::optional<double> score;
  };
  const std::vector<Row> rows = {
      {R"({"goal":"g","verify_cmd":"v","min_mutation_score":0.5})", 0.5},
      {R"({"goal":"g","verify_cmd":"v","min_mutation_score":1})", 1.0},
      {R"({"goal":"g","verify_cmd":"v","min_mutation_score":-2})", -2.0},
      {R"({"goal":"g","verify_cmd":"v","min_mutation_score":18446744073709551615})",
       18446744073709551615.0},
      {R"({"goal":"g","verify_cmd":"v","min_mutation_score":1e-7})", 1e-7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json);
    auto decoded = decode_task_start(Json::parse(row.json));
    ASSERT_TRUE(decoded) << decoded.error();
    EXPECT_EQ(decoded.value().min_mutation_score, row.score);
  }
  expect_messages({
      {kStart, R"({"goal":"g","verify_cmd":"v","min_mutation_score":"0.5"})",
       R"(invalid type: string "0.5", expected f64)"},
      {kStart, R"({"goal":"g","verify_cmd":"v","min_mutation_score":false})",
       "invalid type: boolean `false`, expected f64"},
      {kStart, R"({"goal":"g","verify_cmd":"v","min_mutation_score":[0.5]})",
       "invalid type: sequence, expected f64"},
  });
}

TEST(Args, PositionalLengths) {
  expect_messages({
      {kStart, "[]", "invalid length 0, expected struct TaskStartParams with 5 elements"},
      {kStart, R"(["g"])", "invalid length 1, expected struct TaskStartParams with 5 elements"},
      {kStart, R"(["g","v",[],4,null,0])", "invalid length 6, expected fewer elements in array"},
      {kPropose, R"(["t"])", "invalid length 1, expected struct TaskProposeParams with 2 elements"},
      {kPropose, R"(["t",[],0])", "invalid length 3, expected fewer elements in array"},
      {kPropose, R"(["t",[["a"]]])", "invalid length 1, expected struct EditParam with 2 elements"},
      {kPropose, R"(["t",[["a","b","c"]]])", "invalid length 3, expected fewer elements in array"},
      {kEdit, "[]", "invalid length 0, expected struct EditParam with 2 elements"},
      {kHistory, "[]", "invalid length 0, expected struct TaskHistoryParams with 1 element"},
      {kHistory, R"(["t","u"])", "invalid length 2, expected fewer elements in array"},
      {kFinish, "[]", "invalid length 0, expected struct TaskFinishParams with 2 elements"},
      {kFinish, R"(["t"])", "<decoded>"},
      {kFinish, R"(["t",true,1])", "invalid length 3, expected fewer elements in array"},
      {kToolsCall, "[]", "invalid length 0, expected struct ToolsCallParams with 2 elements"},
      {kToolsCall, R"(["n"])", "<decoded>"},
      {kToolsCall, R"(["n",{},{}])", "invalid length 3, expected fewer elements in array"},
      // Elements are decoded in place before the length is judged.
      {kStart, R"([1])", "invalid type: integer `1`, expected a string"},
      {kStart, R"(["g","v",[],-1,null,0])", "invalid value: integer `-1`, expected usize"},
      {kHistory, R"([null,"u"])", "invalid type: null, expected a string"},
  });
}

TEST(Args, ValuesThatAreNoRecord) {
  expect_messages({
      {kStart, "null", "invalid type: null, expected struct TaskStartParams"},
      {kStart, R"("g")", R"(invalid type: string "g", expected struct TaskStartParams)"},
      {kPropose, "true", "invalid type: boolean `true`, expected struct TaskProposeParams"},
      {kEdit, "1", "invalid type: integer `1`, expected struct EditParam"},
      {kHistory, "-3", "invalid type: integer `-3`, expected struct TaskHistoryParams"},
      {kFinish, "0.25", "invalid type: floating point `0.25`, expected struct TaskFinishParams"},
      {kToolsCall, "null", "invalid type: null, expected struct ToolsCallParams"},
      {kPropose, R"({"task_id":"t","edits":[1]})",
       "invalid type: integer `1`, expected struct EditParam"},
      {kPropose, R"({"task_id":"t","edits":["a"]})",
       R"(invalid type: string "a", expected struct EditParam)"},
      {kPropose, R"({"task_id":"t","edits":[null]})",
       "invalid type: null, expected struct EditParam"},
  });
}

TEST(Args, StringValuesAreQuotedAndEscaped) {
  expect_messages({
      {kFinish, R"({"task_id":"t","commit":""})", R"(invalid type: string "", expected a boolean)"},
      {kFinish, R"({"task_id":"t","commit":"a\"b"})",
       R"(invalid type: string "a\"b", expected a boolean)"},
      {kFinish, R"({"task_id":"t","commit":"a\\b/c"})",
       R"(invalid type: string "a\\b/c", expected a boolean)"},
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
  struct Case {
    const char* name;
    bool positional;
    bool through_tools_call;
  };
  const std::vector<Case> cases = {
      {"by name", false, false},
      {"by position", true, false},
      {"inside tools/call arguments", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json content = std::string(size, 'x');
    const char* buffer = content.get_ptr<const std::string*>()->data();
    Json edit;
    if (c.positional) {
      edit = Json::array();
      edit.push_back("big.txt");
      edit.push_back(std::move(content));
    } else {
      edit = Json::object();
      edit["path"] = "big.txt";
      edit["content"] = std::move(content);
    }
    Json arguments = Json::object();
    arguments["task_id"] = "t";
    arguments["edits"] = Json::array();
    arguments["edits"].push_back(std::move(edit));

    Json input = std::move(arguments);
    if (c.through_tools_call) {
      Json params = Json::object();
      params["name"] = "task_propose";
      params["arguments"] = std::move(input);
      auto call = decode_tools_call(std::move(params));
      ASSERT_TRUE(call) << call.error();
      input = std::move(call.value().arguments);
    }
    auto decoded = decode_task_propose(std::move(input));
    ASSERT_TRUE(decoded) << decoded.error();
    ASSERT_EQ(decoded.value().edits.size(), 1u);
    EXPECT_EQ(decoded.value().edits[0].content.size(), size);
    EXPECT_EQ(decoded.value().edits[0].content.data(), buffer);
  }
}

}  // namespace
}  // namespace quarry
