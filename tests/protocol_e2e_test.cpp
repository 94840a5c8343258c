// The protocol as a client sees it: input through the built server, whole reply lines back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "agentic.h"
#include "process.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

using nlohmann::json;
using namespace std::string_literals;
using namespace std::chrono_literals;

// Too big for 64 bits: the fast parser gives up and the second parser reads the line.
const std::string kBig = "123456789012345678901234567890";

// The reply to tools/list with id 1, byte for byte.
const std::string kCatalogue =
    R"({"id":1,"jsonrpc":"2.0","result":{"tools":[{"description":"Start a verifier-gated agent )"
    R"(task. Snapshots the listed files and returns a task_id.",)"
    R"("inputSchema":{"properties":{"baseline":{"default":false,"description":"Run the )"
    R"(verifier once on the untouched files and return its verdict as baseline, to tell )"
    R"(failures that were already there from failures a proposal causes.","type":"boolean"},)"
    R"("files":{"description":"File paths the task may modify.","items":{"type":"string"},)"
    R"("type":"array"},"goal":{"description":"What the task should achieve.","type":"string"},)"
    R"("max_attempts":{"default":4,"description":"Maximum distinct proposals before the task )"
    R"(refuses more.","type":"integer"},"verify_cmd":{"description":"Shell command run to )"
    R"(verify each proposal; exit 0 means pass.","type":"string"}},"required":["goal",)"
    R"("verify_cmd"],"type":"object"},"name":"task_start"},{"description":"Propose an edit-set )"
    R"(for a task. The edits are applied transactionally and the verifier runs; failures roll )"
    R"(back byte-for-byte.","inputSchema":{"properties":{"edits":{"description":"Edits to )"
    R"(apply atomically, in order. {path, content} replaces the whole file. {path, old_text, )"
    R"(new_text} replaces the one occurrence of old_text in the file's current content )"
    R"((replace_all: true replaces every occurrence); prefer it for small changes to large )"
    R"(files.","items":{"properties":{"content":{"type":"string"},"new_text":{"type":"string"},)"
    R"("old_text":{"type":"string"},"path":{"type":"string"},"replace_all":{"default":false,)"
    R"("type":"boolean"}},"required":["path"],"type":"object"},"type":"array"},)"
    R"("task_id":{"description":"Task ID from task_start.","type":"string"}},)"
    R"("required":["task_id","edits"],"type":"object"},"name":"task_propose"},)"
    R"({"description":"Return all recorded attempts for a task in order. To page a long )"
    R"(history, ask with outputs=false for the verdicts alone, then with since=N for the )"
    R"(attempts after attempt N.","inputSchema":{"properties":{"outputs":{"default":true,)"
    R"("description":"Include each attempt's verifier output.","type":"boolean"},)"
    R"("since":{"description":"Only the attempts after this attempt number.","type":"integer"},)"
    R"("task_id":{"description":"Task ID from task_start.","type":"string"}},)"
    R"("required":["task_id"],"type":"object"},"name":"task_history"},{"description":"Finish a )"
    R"(task. commit=true keeps the last passing edits; commit=false restores the pre-task )"
    R"(snapshot.","inputSchema":{"properties":{"commit":{"default":true,"description":"Keep )"
    R"(edits (true) or restore snapshot (false).","type":"boolean"},)"
    R"("task_id":{"description":"Task ID from task_start.","type":"string"}},)"
    R"("required":["task_id"],"type":"object"},"name":"task_finish"}]}})";

// `depth` levels of arrays and objects in turn around `inner`.
std::string nested(std::size_t depth, const std::string& inner) {
  std::string open;
  std::string close;
  for (std::size_t i = 0; i < depth; ++i) {
    open += i % 2 ? R"({"k":)" : "[";
    close += i % 2 ? '}' : ']';
  }
  return open + inner + std::string(close.rbegin(), close.rend());
}

// Input lines and the reply lines they get; a parse error is "PARSE", since only its code, its
// null id and its envelope are fixed, not the parser's wording.
struct Row {
  std::string input;
  std::string replies;
};

// An initialize result that carries instructions is "INIT {version}": their prose is free.
std::string summary(const std::string& line) {
  if (is_parse_error(line)) return "PARSE";
  const json reply = json::parse(line);
  if (!reply.contains("result") || !reply["result"].contains("instructions")) return line;
  return "INIT " + reply["result"]["protocolVersion"].get<std::string>();
}

// Serves each row's input in a fresh server, followed by a ping on a last line without "\n":
// the row's replies must come, then the pong showing that serving went on, unless `stops`.
void expect_replies(const std::vector<Row>& rows, bool stops = false) {
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.input.substr(0, 200)));
    std::string got;
    for (const std::string& line : served(row.input + "\n" + ping_line("0"))) {
      got += (got.empty() ? "" : "\n") + summary(line);
    }
    std::string want = row.replies;
    if (!stops) want += (want.empty() ? "" : "\n") + pong_line("0");
    EXPECT_EQ(got, want);
  }
}

// Blank lines (by Unicode White_Space), values other than objects and requests without an id get
// no reply, even when they fail; a null id is an id.
TEST(ProtocolE2e, OnlyRequestsWithAnIdGetAReply) {
  expect_replies({
      {"\n   \n\t \t\n\r\n\u00a0\n\u2028\u3000\n\u0085 \u2029", ""},
      {"[]\n1\n-0.5\n\"ping\"\ntrue\nnull\n[" + ping_line("1") + "]", ""},
      {"\u00a0 " + ping_line("1") + "\u2028", pong_line("1")},
      {R"({"method":"notifications/initialized"})", ""},
      {R"({"method":"no_such_method"})", ""},
      {R"({"method":"tools/call","params":{"name":"nope"}})", ""},
      {R"({"method":"task_history","params":{"task_id":"t"}})", ""},
      // An id does not turn a notification into a request.
      {R"({"id":9,"method":"notifications/initialized"})", ""},
      {R"({"id":null,"method":"x"})",
       R"({"error":{"code":-32601,"message":"unknown method: x"},"id":null,"jsonrpc":"2.0"})"},
  });
}

// Methods are compared whole and case-sensitively; initialize params it cannot read, the params
// of tools/list and the jsonrpc member change nothing; the catalogue is the same every time.
TEST(ProtocolE2e, MethodsAreChosenByTheirWholeName) {
  expect_replies({
      {R"({"id":7,"method":"foo"})",
       R"({"error":{"code":-32601,"message":"unknown method: foo"},"id":7,"jsonrpc":"2.0"})"},
      {R"({"id":7})", error_line(7, -32601, "unknown method: ")},
      {R"({"id":7,"method":["ping"]})", error_line(7, -32601, "unknown method: ")},
      {R"({"id":7,"method":"Initialize"})", error_line(7, -32601, "unknown method: Initialize")},
      {R"({"id":7,"method":" ping"})", error_line(7, -32601, "unknown method:  ping")},
      {R"({"jsonrpc":"1.0","id":4,"method":"ping"})", pong_line("4")},
      {R"({"id":1,"method":"initialize","params":[1,2,3]})", initialize_reply("1")},
      {R"({"id":1,"method":"tools/list"})" + "\n"s + R"({"id":1,"method":"tools/list","params":1})",
       kCatalogue + "\n" + kCatalogue},
  });
}

// A request is answered under the revision its stateless-era metadata names, else the one the
// session's last initialize negotiated: the newest not after the date asked for, else
// 2024-11-05 with today's bytes. Only a 2025-03-26 session takes batches; elsewhere JSON that
// is no request object is refused, silently under 2024-11-05.
TEST(ProtocolE2e, EachRequestIsAnsweredUnderItsRevision) {
  const auto init = [](const json& version) {
    return direct_line(1, "initialize", {{"protocolVersion", version}}) + "\n";
  };
  const auto named = [](const char* version, const char* method) {
    return direct_line(2, method,
                       {{"_meta", {{"io.modelcontextprotocol/protocolVersion", version}}}});
  };
  const std::string batch =
      R"([{"id":2,"method":"ping"},{"method":"notifications/initialized"},7])";
  const std::string invalid = R"({"error":{"code":-32600,"message":"invalid request: )";
  const std::string not_object = invalid + R"(not an object"},"id":null,"jsonrpc":"2.0"})";
  expect_replies({
      {init("2024-10-07") + init("2025-06-18T") + init(20250618) + init("2026-07-28") +
           init("2024-11-05") + batch + "\n1\n" + R"({"id":1,"method":"tools/list"})",
       initialize_reply("1") + "\n" + initialize_reply("1") + "\n" + initialize_reply("1") +
           "\nINIT 2025-11-25\n" + initialize_reply("1") + "\n" + kCatalogue},
      {init("2099-01-01") + init("2025-05-01") + batch + "\n[]\n" +
           R"([{"method":"notifications/initialized"}])" + "\n\"x\"",
       "INIT 2025-11-25\nINIT 2025-03-26\n[" + pong_line("2") + "," + not_object + "]\n" + invalid +
           R"(empty batch"},"id":null,"jsonrpc":"2.0"})" + "\n" + not_object},
      {init("2025-03-26") + init("2025-11-25") + batch + "\n[]\nnull",
       "INIT 2025-03-26\nINIT 2025-11-25\n" + not_object + "\n" + not_object + "\n" + not_object},
      {init("2025-06-18") + named("2026-07-28", "ping"),
       "INIT 2025-06-18\n"
       R"({"id":2,"jsonrpc":"2.0","result":{"_meta":{"io.modelcontextprotocol/)"
       R"(serverInfo":{"name":"quarry-agent-task","version":"0.5.0"}},"resultType":"complete"}})"},
      {named("2025-06-18", "tools/list") + "\n" + named("1", "notifications/initialized"),
       R"({"error":{"code":-32022,"data":{"requested":"2025-06-18","supported":["2026-07-28"]},)"
       R"("message":"unsupported protocol version: 2025-06-18"},"id":2,"jsonrpc":"2.0"})"},
  });
}

// tools/call answers a tool's failure with a tool error, arguments absent or null being an empty
// object, but params it cannot read and tools it does not know with a JSON-RPC error.
TEST(ProtocolE2e, ToolCallsFailAsToolErrorsOnlyOnceTheToolIsKnown) {
  expect_replies({
      {R"({"id":7,"method":"tools/call","params":{"name":"task_history"}})",
       R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"invalid arguments: missing )"
       R"(field `task_id`","type":"text"}],"isError":true}})"},
      {call_line(7, "task_start", nullptr),
       tool_error_line(7, "invalid arguments: missing field `goal`")},
      {direct_line(7, "tools/call", {{"name", 7}}),
       error_line(7, -32602, "invalid params: invalid type: integer `7`, expected a string")},
      {call_line(7, "Task_start", {}), error_line(7, -32602, "unknown tool: Task_start")},
      {R"({"id":7,"method":"tools/call","params":["task_stop",{}]})",
       error_line(7, -32602, "unknown tool: task_stop")},
  });
}

// The id comes back as the writer writes it: seven short escapes and lower-case \u00xx, raw
// UTF-8, integers exact to the ends of 64 bits and doubles past them, the shortest double in
// plain notation for exponents from -5 to 15, keys in unsigned byte order, the last of two.
TEST(ProtocolE2e, RepliesEchoTheIdAsTheWriterWritesIt) {
  std::vector<std::pair<std::string, std::string>> ids = {
      {R"("\"\\\b\t\n\f\r\u0000\u000B\u001F\u007f\u2028")", R"("\"\\\b\t\n\f\r\u0000\u000b\u001f)"
                                                            "\x7f\u2028\""},
      {R"("a\u00e9日😀\/\ud83d\ude00")", R"("aé日😀/😀")"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {kBig, "1.2345678901234568e+29"},
      {"1E2", "100.0"},
      {"1e15", "1000000000000000.0"},
      {"-1.7976931348623157e308", "-1.7976931348623157e+308"},
      {"4.9e-324", "5e-324"},
      {R"({"b":null,"é":0,"\u007f":0,"a":{"d":1,"c":[]},"B":0,"":0})",
       "{\"\":0,\"B\":0,\"a\":{\"c\":[],\"d\":1},\"b\":null,\"\x7f\":0,\"é\":0}"},
      {R"(1,"id":"second")", R"("second")"},
      {R"({"a":1,"big":)" + kBig + R"(,"a":3})", R"({"a":3,"big":1.2345678901234568e+29})"},
      // 128 levels with the request's own object, on both parsers.
      {nested(127, "1"), nested(127, "1")},
      {nested(127, kBig), nested(127, "1.2345678901234568e+29")},
  };
  // Ids already in the writer's form come back byte for byte.
  for (const std::string same : {"18446744073709551615", "-9223372036854775808", "-0.0", "0.00001",
                                 "1.2345e-6", "1e+16", "null", "true", R"(["x",1,{}])"}) {
    ids.push_back({same, same});
  }
  std::vector<Row> rows;
  for (const auto& [sent, echoed] : ids) rows.push_back({ping_line(sent), pong_line(echoed)});
  expect_replies(rows);
}

// Each line that is not exactly one JSON value gets one parse error, and the next line is
// served: NUL bytes (a reader or parser stopping at one takes the rest for the end of input),
// numbers past the double range, nesting past 128 levels on either parser and 100,000 levels
// deep (a recursive parser's stack overflows), and a line that a parser reading past its end
// would complete with the next one.
TEST(ProtocolE2e, EachUnparsableLineGetsOneParseErrorWithANullId) {
  std::vector<Row> rows = {{R"({"id":1,"method":"ping")" + "\n}"s, "PARSE\nPARSE"}};
  for (const std::string bad : {"[1],", R"({"a":1,})", "{1:2}", "'a'", "01", "1.", "NaN", "nul",
                                "/* c */ {}", "\"a\tb\"", R"("\x")"}) {
    rows.push_back({bad, "PARSE"});
  }
  for (const std::string id : {"1e400", "-1e400"}) rows.push_back({ping_line(id), "PARSE"});
  for (const std::string& bad :
       {ping_line(nested(128, "1")), ping_line(nested(128, kBig)), nested(100000, "1"),
        nested(100000, kBig), "[" + kBig + ",1e400]", ping_line("1" + std::string(400, '0') + ".0"),
        "\0"s, "{\"id\":1,\"method\":\"x\0y\"}"s, "{\"id\":1,\0\"method\":\"x\"}"s,
        ping_line("1") + "\0"s + ping_line("2"), ping_line("1") + " \0"s,
        ping_line("1") + ping_line("2"), ping_line("1") + " " + ping_line("2")}) {
    rows.push_back({bad, "PARSE"});
  }
  expect_replies(rows);
}

// A lone surrogate escape (JSON.stringify writes one for an unpaired surrogate) is JSON by the
// grammar but no character: the request is refused under its id (null where the id holds one)
// and nothing of it is served, a notification unanswered; with another fault it is unparsable.
TEST(ProtocolE2e, LoneSurrogatesAreRefusedUnderTheRequestsId) {
  const std::string refused = error_line(7, -32602, "invalid params: lone surrogate in a string");
  std::vector<Row> rows = {
      {R"({"id":7,"method":"task_start","params":{"goal":"\ud800","verify_cmd":"true"}})", refused},
      // A pair, and an escaped backslash before "u", are no lone surrogates.
      {R"({"id":"\\ud800\ud83d\ude00","method":"\udc00"})",
       R"({"error":{"code":-32602,"message":"invalid params: lone surrogate in a string"},)"
       R"("id":"\\ud800😀","jsonrpc":"2.0"})"},
      {R"({"id":7,"method":"ping","\udfff\ud800":0})", refused},
      {R"({"method":"ping","params":"\ud800"})" + "\n"s +
           R"({"id":7,"method":"notifications/cancelled","params":"\ud800"})" + "\n\"\\ud800\"",
       ""},
      {R"({"id":7,"method":"ping","params":"\ud800",})", "PARSE"},
      {direct_line(1, "initialize", {{"protocolVersion", "2025-03-26"}}) + "\n" +
           R"([{"id":7,"method":"ping","params":"\ud800"},{"id":8,"method":"ping"}])",
       "INIT 2025-03-26\n[" + refused + "," + pong_line("8") + "]"},
  };
  for (const std::string id : {R"("\ud800")", R"("\udc00")", R"("\ud800\u0041")", R"("\ud800x")",
                               R"("\udbff\udbff")", R"("\ude00\ud83d")", R"({"\ud800":1})"}) {
    rows.push_back({ping_line(id), R"({"error":{"code":-32600,"message":"invalid request: lone )"
                                   R"(surrogate in the id"},"id":null,"jsonrpc":"2.0"})"});
  }
  expect_replies(rows);
}

// Lines are read whole however long (a fixed buffer would split a line, drop it or answer its
// tail as a request) and however many cross the reads (a buffer compacted wrongly loses or
// repeats bytes there).
TEST(ProtocolE2e, LinesOfAnyLengthAndNumberAreServedInOrder) {
  std::string pings;
  std::string pongs;
  for (int i = 1; i <= 20000; ++i) {
    pings += (i > 1 ? "\r\n" : "") + ping_line(std::to_string(i));
    pongs += (i > 1 ? "\n" : "") + pong_line(std::to_string(i));
  }
  expect_replies({
      {R"({"id":1,"method":"initialize","params":{"pad":")" + std::string(64 << 20, 'x') + "\"}}",
       initialize_reply("1")},
      {pings, pongs},
  });
}

// A line that is not UTF-8 ends the process with status 0 (served() checks it) at that line,
// even one that would be skipped as blank: a reply with replacement characters would hand the
// client a changed request.
TEST(ProtocolE2e, InvalidUtf8EndsServingAtThatLine) {
  std::vector<Row> rows = {{ping_line("1") + "\n \xff ", pong_line("1")}};
  for (const std::string bad :
       {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
    rows.push_back({ping_line("1") + "\n" + R"({"id":3,"method":"ping","params":")" + bad + "\"}",
                    pong_line("1")});
  }
  expect_replies(rows, true);
}

// Clients ping their servers and cancel calls they stopped waiting for: a verifier or a mutation
// tool must hold up neither, a cancellation stops only the request it names, and nothing after
// a line of invalid UTF-8 is carried out, even when it arrives while a verifier runs. The
// verifier fails once the file "go" appears, or after some seconds whatever happens.
TEST(ProtocolE2e, WhileAChildRunsPingsAndCancellationsAreHandledAtOnce) {
  TempDir dir;
  write_file(dir / "a", "old");
  write_script(dir / "verify",
               "set -- $(cat /proc/$$/stat); echo $5 > group; touch started\n"
               "for i in $(seq 500); do [ -e go ] || sleep 0.01; done; exit 1");
  write_script(dir / "bin/bitegauge", "echo $$ > \"$0.pgid\"; exec sleep 30");
  ServerSession server(dir.path(), dir / "bin");
  const std::string task = start_task(server, "./verify", {"a"});
  const auto propose = [&](int id, const std::string& content, const std::string& after = "") {
    for (const char* name : {"started", "go"}) std::remove((dir / name).c_str());
    server.send(propose_line(id, task, {{{"path", "a"}, {"content", content}}}) + after);
    if (!after.empty()) return;
    ASSERT_TRUE(wait_until([&] { return file_exists(dir / "started"); }, std::chrono::seconds(5)));
  };
  const auto cancel = [](const std::string& id_text) {
    return R"({"method":"notifications/cancelled","params":{"requestId":)" + id_text + "}}";
  };
  propose(2, "new");
  // Cancellations of other ids crossed their replies; "2" is not 2.
  server.send(cancel(R"("2")") + "\n" + cancel("1") + "\n" + initialize_line("3"));
  EXPECT_EQ(server.request(ping_line("4")), pong_line("4"));
  write_file(dir / "go", "");
  const json failed = outcome(1, EditSet{{{"a", "new"}}}.fingerprint(), "", false);
  EXPECT_EQ(server.read_line(), tool_line(2, failed));
  EXPECT_EQ(server.read_line(), initialize_reply("3"));

  // The request in flight cancelled: no reply, its edits rolled back, no attempt counted. A
  // ping and the cancellation read together with the request are handled all the same.
  propose(5, "newer", "\n" + ping_line("50") + "\n" + cancel("5"));
  EXPECT_EQ(server.read_line(), pong_line("50"));
  EXPECT_EQ(server.request(call_line(6, "task_history", {{"task_id", task}})),
            tool_line(6, {{"attempts", {failed}}}));
  EXPECT_EQ(read_file(dir / "a"), "old");
  // A NUL cut off by a C string would turn the path into the declared "a".
  const std::string nul = "a\0b"s;
  EXPECT_EQ(
      server.request(propose_line(7, task, {{{"path", nul}, {"content", "x"}}})),
      tool_line(7, outcome(2, "",
                           "path '" + nul + "' not in task file allowlist;" + std::string(26, ' ') +
                               "declare it in `files` at task_start to edit it",
                           false)));

  // A start cancelled while its mutation tool runs kills the tool and gets no reply.
  server.send(direct_line(8, "task_start",
                          {{"goal", "g"}, {"verify_cmd", "pytest"}, {"min_mutation_score", 0.5}}));
  const std::string pgid = dir / "bin/bitegauge.pgid";
  ASSERT_TRUE(wait_until([&] { return read_file(pgid).ends_with('\n'); }, std::chrono::seconds(5)));
  server.send(cancel("8"));
  // Not a ping, which is answered at once: this reply comes once the start has ended.
  EXPECT_EQ(server.request(initialize_line("9")), initialize_reply("9"));
  EXPECT_TRUE(process_group_gone(std::stoi(read_file(pgid))));

  // A cancellation that arrives with the verifier's exit comes too late: the request is done.
  propose(13, "z");
  const auto state = [&] { return read_file("/proc/" + std::to_string(server.pid()) + "/stat"); };
  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  ASSERT_TRUE(wait_until([&] { return state().find(") T ") != std::string::npos; }, 5s));
  server.send(cancel("13") + "\n" + ping_line("14"));
  write_file(dir / "go", "");
  EXPECT_TRUE(process_group_gone(std::stoi(read_file(dir / "group"))));
  ::kill(server.pid(), SIGCONT);
  EXPECT_EQ(server.read_line(), pong_line("14"));
  server.send(ping_line("15"));
  EXPECT_EQ(server.read_line(),
            tool_line(13, outcome(3, EditSet{{{"a", "z"}}}.fingerprint(), "", false)));
  EXPECT_EQ(server.read_line(), pong_line("15"));

  // In a 2025-03-26 session a batch is read member by member: its pings are answered at once,
  // together in one array line, and its cancellations act at once. A cancellation also stops a
  // request waiting its turn, alone or in a batch (the one in flight included): it never runs.
  // A ping is answered as when idle, under its own revision.
  server.request(direct_line(20, "initialize", {{"protocolVersion", "2025-03-26"}}));
  const auto edit = [&](int id) {
    return propose_line(id, task, {{{"path", "a"}, {"content", std::to_string(id)}}});
  };
  const auto ping = [](int id, const char* version) {
    return direct_line(id, "ping",
                       {{"_meta", {{"io.modelcontextprotocol/protocolVersion", version}}}});
  };
  for (const char* name : {"started", "go"}) std::remove((dir / name).c_str());
  server.send("[" + edit(21) + "," + edit(22) + "]");
  ASSERT_TRUE(wait_until([&] { return file_exists(dir / "started"); }, 5s));
  server.send(cancel("22") + "\n" + edit(23) + "\n[" + edit(24) + "," + ping_line("25") + "," +
              cancel("24") + "," + edit(26) + "," + ping_line("27") + "]\n" + cancel("23") + "\n" +
              cancel("26") + "\n" + ping(28, "2099-01-01") + "\n" + ping(29, "2026-07-28"));
  EXPECT_EQ(server.read_line(), "[" + pong_line("25") + "," + pong_line("27") + "]");
  const std::string unsupported = server.read_line();
  const std::string stateless = server.read_line();
  write_file(dir / "go", "");
  EXPECT_EQ(server.read_line(),
            "[" + tool_line(21, outcome(4, EditSet{{{"a", "21"}}}.fingerprint(), "", false)) + "]");
  EXPECT_EQ(server.request(ping(28, "2099-01-01")), unsupported);
  EXPECT_EQ(server.request(ping(29, "2026-07-28")), stateless);

  propose(10, "x");
  std::remove((dir / "started").c_str());
  server.send("\xff\n" + ping_line("11") + "\n" +
              propose_line(12, task, {{{"path", "a"}, {"content", "y"}}}));
  write_file(dir / "go", "");
  EXPECT_EQ(tool_text(server.read_line())["attempt"], 5);
  const ServerRun run = server.wait();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_FALSE(file_exists(dir / "started"));
}

// The parsers need several times a line's size, so a large request meets the end of memory
// first where the line is held but cannot be parsed (1 GiB of address space, 300 MB of content:
// the reply still names the request), then where it cannot be held at all (256 MiB: id null).
// Either way the request is answered, nothing changes on disk and serving goes on.
TEST(ProtocolE2e, RequestTooBigForMemoryIsAnsweredAndServingGoesOn) {
#ifdef QUARRY_SANITIZE
  GTEST_SKIP() << "AddressSanitizer reserves more address space than these limits allow";
#endif
  for (const auto& [limit_kib, reply] : std::vector<std::pair<std::string, std::string>>{
           {"1048576", tool_error_line(2, "out of memory")},
           {"262144",
            R"({"error":{"code":-32603,"message":"out of memory"},"id":null,"jsonrpc":"2.0"})"}}) {
    SCOPED_TRACE(limit_kib);
    TempDir dir;
    write_file(dir / "a", "old");
    ServerSession server(dir.path(), "", "ulimit -v " + limit_kib + "; exec \"$@\"");
    server.send_part(R"({"id":2,"method":"tools/call","params":{"name":"task_propose",)"
                     R"("arguments":{"task_id":")" +
                     start_task(server, "true", {"a"}) + R"(","edits":[{"path":"a","content":")");
    for (int i = 0; i < 300; ++i) server.send_part(std::string(std::size_t{1} << 20, 'x'));
    server.send_part("\"}]}}}\n");
    EXPECT_EQ(server.read_line(), reply);
    EXPECT_EQ(server.request(ping_line("3")), pong_line("3"));
    EXPECT_EQ(read_file(dir / "a"), "old");
  }
}

// Reading a FIFO waits for a writer forever, /dev/stdin swallows the protocol stream and
// /dev/zero never ends: a declared path that is not a regular file is refused at start.
TEST(ProtocolE2e, DeclaredFilesThatAreNotRegularFilesAreRefused) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ServerSession server(dir.path());
  for (const std::string path : {"fifo", "/dev/zero", "/dev/stdin"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(server.request(direct_line(
                  7, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}, {"files", {path}}})),
              error_line(7, -32000, "task_start failed: not a regular file: " + path));
  }
}

// With standard output closed every write fails, yet every request is carried out to the end of
// input: a fake mutation tool logs its probe, made only by a direct start of a pytest verifier.
// Standard input that cannot be read (a directory) ends serving like its end, not in a spin.
TEST(ProtocolE2e, ClosedOutputOrUnreadableInputStillServeAndEndWithStatus0) {
  TempDir dir;
  write_script(dir / "bin/bitegauge", "echo \"$*\" >> \"$QUARRY_PROBE_LOG\"\nexit 1");
  const json pytest = {{"goal", "g"}, {"verify_cmd", "pytest"}};
  write_file(dir / "input",
             call_line(2, "task_start", pytest) + "\n{\"id\":4}\n" +
                 direct_line(3, "task_start", pytest) + "\n" +
                 direct_line(5, "task_start", {{"goal", "g"}, {"verify_cmd", "pytest -x"}}));
  ServerSession server(dir.path(), dir / "bin",
                       "QUARRY_PROBE_LOG=\"$PWD/probes\" \"$@\" < input >&-; echo \"exit $?\"; "
                       "\"$@\" < .; echo \"exit $?\"");
  const ServerRun run = server.wait();
  EXPECT_EQ(run.out, "exit 0\nexit 0\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(dir / "probes"), "--version\n--version\n");
}

}  // namespace
}  // namespace quarry::testing
