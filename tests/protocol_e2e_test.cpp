// The protocol as a client sees it: whole input scripts through the built server, whole output
// lines back, and the exit status.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "agentic.h"
#include "process.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

// The lines as one input text, each ended by "\n".
std::string input_of(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(ProtocolE2e, BlankLinesAndValuesOtherThanObjectsProduceNothing) {
  EXPECT_EQ(served(""), Lines{});
  // Blank by Unicode White_Space, not only ASCII.
  EXPECT_EQ(served("\n\n   \n\t \t\n\r\n\u00a0\n\u2028\u3000\n\u0085 \u2029"), Lines{});
  EXPECT_EQ(served(input_of(
                {"[]", "1", "-0.5", R"("ping")", "true", "null", "[" + ping_line("1") + "]"})),
            Lines{});
  // White space around a request is trimmed the same way.
  EXPECT_EQ(served("\u00a0 " + ping_line("1") + "\u2028\n"), Lines{pong_line("1")});
}

TEST(ProtocolE2e, UnparsableLinesGetOneParseErrorEachWithNullId) {
  const Lines lines = served(input_of({
      R"({"id":1)",
      // Two objects on one line are not two requests.
      ping_line("2") + ping_line("3"),
      ping_line("4") + " " + ping_line("5"),
      ping_line("6"),
  }));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(
      lines[0],
      R"({"error":{"code":-32700,"message":"parse error: syntax error while parsing object )"
      R"(- unexpected end of input; expected '}' at line 1 column 8"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_TRUE(is_parse_error(lines[1])) << lines[1];
  EXPECT_TRUE(is_parse_error(lines[2])) << lines[2];
  EXPECT_EQ(lines[3], pong_line("6"));
}

TEST(ProtocolE2e, RepliesEchoIdsOfEveryType) {
  struct Row {
    const char* id;
    const char* echoed;
  };
  const std::vector<Row> rows = {
      {R"("a\u00e9\/")", R"("aé/")"},
      {"-7", "-7"},
      {"18446744073709551615", "18446744073709551615"},
      {"123456789012345678901234567890", "1.2345678901234568e+29"},
      {"1e2", "100.0"},
      {"null", "null"},
      {"true", "true"},
      {R"(["x",1])", R"(["x",1])"},
      {R"({"b":null,"a":{"d":1,"c":2}})", R"({"a":{"c":2,"d":1},"b":null})"},
      // An id given twice is the last one, as for every member.
      {R"(1,"id":"second")", R"("second")"},
  };
  Lines input;
  Lines expected;
  for (const Row& row : rows) {
    input.push_back(ping_line(row.id));
    expected.push_back(pong_line(row.echoed));
  }
  EXPECT_EQ(served(input_of(input)), expected);
}

TEST(ProtocolE2e, RequestsWithoutIdGetNoReplyEvenWhenTheyFail) {
  EXPECT_EQ(served(input_of({
                R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                R"({"jsonrpc":"2.0","method":"no_such_method"})",
                R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"nope"}})",
                R"({"jsonrpc":"2.0","method":"task_history","params":{"task_id":"t"}})",
                R"({"jsonrpc":"2.0","method":"task_start","params":{}})",
                // An id does not turn the notification into a request.
                R"({"jsonrpc":"2.0","id":9,"method":"notifications/initialized"})",
                // A null id is an id.
                R"({"jsonrpc":"2.0","id":null,"method":"no_such_method"})",
            })),
            (Lines{R"({"error":{"code":-32601,"message":"unknown method: no_such_method"},)"
                   R"("id":null,"jsonrpc":"2.0"})"}));
}

TEST(ProtocolE2e, InitializeAnswersAlikeEveryTimeAndIsNotRequired) {
  const Lines lines = served(input_of({
      R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})",
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"1999-01-01"}})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      // tools/list ignores its params.
      R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":"x"})",
  }));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(lines[0].starts_with(R"({"id":1,"jsonrpc":"2.0","result":{"tools":[{)"));
  EXPECT_EQ(lines[1], initialize_reply("1"));
  EXPECT_EQ(lines[2], initialize_reply("1"));
  EXPECT_EQ(lines[3], lines[0]);
}

// Clients ping their servers and cancel calls they stopped waiting for; a verifier must hold up
// neither, nor reorder anything else.
TEST(ProtocolE2e, WhileAVerifierRunsPingsAndCancellationsAreHandledAtOnce) {
  TempDir dir;
  write_file(dir / "a", "old");
  ServerSession server(dir.path());
  const std::string task = start_task(server, "touch started; sleep 1; exit 1", {"a"});
  const nlohmann::json edits = {{{"path", "a"}, {"content", "new"}}};
  const auto cancel = [](const std::string& id_text) {
    return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
           id_text + R"(,"reason":"timed out"}})";
  };
  server.send(propose_line(2, task, edits));
  ASSERT_TRUE(wait_until([&] { return file_exists(dir / "started"); }, std::chrono::seconds(5)));
  // Cancellations of other ids crossed their replies; "2" is not 2.
  server.send(cancel(R"("2")") + "\n" + cancel("1") + "\n" + initialize_line("3"));
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(server.request(ping_line("4")), pong_line("4"));
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(100));
  const std::string fingerprint = EditSet{{{"a", "new"}}}.fingerprint();
  EXPECT_EQ(server.read_line(), tool_line(2, outcome(1, fingerprint, "", false)));
  EXPECT_EQ(server.read_line(), initialize_reply("3"));

  // The request in flight cancelled: no reply, the edits rolled back, no attempt recorded.
  std::remove((dir / "started").c_str());
  server.send(propose_line(5, task, {{{"path", "a"}, {"content", "newer"}}}));
  ASSERT_TRUE(wait_until([&] { return file_exists(dir / "started"); }, std::chrono::seconds(5)));
  server.send(cancel("5"));
  EXPECT_EQ(server.request(call_line(6, "task_history", {{"task_id", task}})),
            tool_line(6, {{"attempts", {outcome(1, fingerprint, "", false)}}}));
  EXPECT_EQ(read_file(dir / "a"), "old");
  // Not counted either: the next proposal takes the number the cancelled one had.
  EXPECT_EQ(tool_text(server.request(
                propose_line(7, task, {{{"path", "a"}, {"content", "x"}}})))["attempt"],
            2);
  EXPECT_EQ(server.wait().out, "");
}

// A start cancelled while a mutation tool runs kills the tool, says nothing and starts nothing.
TEST(ProtocolE2e, CancelledStartKillsItsToolAndGetsNoReply) {
  TempDir dir;
  write_script(dir / "bin/bitegauge", "echo $$ > \"$0.pgid\"; exec sleep 30");
  ServerSession server(dir.path(), dir / "bin");
  server.send(direct_line(1, "task_start",
                          {{"goal", "g"}, {"verify_cmd", "pytest"}, {"min_mutation_score", 0.5}}));
  ASSERT_TRUE(
      wait_until([&] { return file_exists(dir / "bin/bitegauge.pgid"); }, std::chrono::seconds(5)));
  server.send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})");
  EXPECT_EQ(server.request(initialize_line("2")), initialize_reply("2"));
  EXPECT_TRUE(process_group_gone(std::stoi(read_file(dir / "bin/bitegauge.pgid"))));
  const ServerRun run = server.wait();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

// The loop stops at the first line that is not UTF-8 and exits with status 0 (served() checks
// the status): a reply with replacement characters would hand the client a changed request.
TEST(ProtocolE2e, InvalidUtf8EndsTheProcessWithStatus0AfterEarlierReplies) {
  for (const std::string& bad : std::vector<std::string>{"\xff", "\xc0\xaf", "\xed\xa0\x80",
                                                         "\xf4\x90\x80\x80", "\xe2\x82"}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    EXPECT_EQ(
        served(input_of({ping_line("1"), ping_line("2"),
                         R"({"jsonrpc":"2.0","id":3,"method":"ping","params":")" + bad + "\"}",
                         ping_line("4")})),
        (Lines{pong_line("1"), pong_line("2")}));
  }
  // Even a line that would otherwise be skipped as blank.
  EXPECT_EQ(served(input_of({ping_line("1"), " \xff ", ping_line("2")})), Lines{pong_line("1")});
}

// With standard output closed every write fails; the requests must still be carried out to the
// end of input. A fake mutation-testing tool logs each probe, one per direct pytest start.
TEST(ProtocolE2e, ClosedStandardOutputStillServesUntilEndOfInput) {
  TempDir dir;
  write_script(dir / "bin/bitegauge", "echo \"$*\" >> \"$QUARRY_PROBE_LOG\"\nexit 1");
  write_file(
      dir / "input",
      input_of({
          R"({"jsonrpc":"2.0","id":1,"method":"initialize"})",
          R"({"jsonrpc":"2.0","id":3,"method":"task_start","params":{"goal":"g","verify_cmd":"pytest"}})",
          R"({"id":4})",
          R"({"jsonrpc":"2.0","id":5,"method":"task_start","params":{"goal":"g","verify_cmd":"pytest -x"}})",
      }));
  Result<RunResult> ran =
      run(Command{"sh",
                  {"-c",
                   "cd \"$1\" || exit 99; PATH=\"$1/bin:$PATH\" QUARRY_PROBE_LOG=\"$1/probes\" "
                   "\"$2\" < input >&-; echo \"exit $?\"",
                   "sh", dir.path(), QUARRY_SERVER_BINARY}});
  ASSERT_TRUE(ran) << ran.error().message;
  EXPECT_EQ(ran.value().out, "exit 0\n");
  EXPECT_EQ(ran.value().err, "");
  EXPECT_EQ(read_file(dir / "probes"), "--version\n--version\n");
}

}  // namespace
}  // namespace quarry::testing
