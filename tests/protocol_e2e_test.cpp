// The protocol as a client sees it: whole input scripts through the built server, whole output
// lines back, and the exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

const std::string kInitialize = initialize_reply("1");

// The lines as one input text, each ended by "\n".
std::string input_of(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(ProtocolE2e, BlankAndWhiteSpaceLinesProduceNothing) {
  EXPECT_EQ(served(""), Lines{});
  EXPECT_EQ(served("\n\n   \n\t \t\n\r\n \r\n\u00a0\n\u2028\u3000\n\u0085 \u2029"), Lines{});
}

TEST(ProtocolE2e, ValuesOtherThanObjectsProduceNothing) {
  EXPECT_EQ(served(input_of({"[]", "[1,2]", "1", "-0.5", R"("ping")", "true", "false", "null",
                             "[" + ping_line("1") + "]"})),
            Lines{});
}

TEST(ProtocolE2e, UnparsableLinesGetOneParseErrorEachWithNullId) {
  const Lines lines = served(input_of({
      R"({"id":1)",
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
  const Lines ids = {R"("abc")", "0",    "-7",         "18446744073709551615",           "0.5",
                     "null",     "true", R"(["x",1])", R"({"a":{"d":1,"c":2},"b":null})"};
  Lines input;
  for (const std::string& id : ids) input.push_back(ping_line(id));
  input.push_back(R"({"id":{"z":[],"y":"é"},"method":"ping"})");
  EXPECT_EQ(
      served(input_of(input)),
      (Lines{pong_line(R"("abc")"), pong_line("0"), pong_line("-7"),
             pong_line("18446744073709551615"), pong_line("0.5"), pong_line("null"),
             pong_line("true"), pong_line(R"(["x",1])"),
             pong_line(R"({"a":{"c":2,"d":1},"b":null})"), pong_line(R"({"y":"é","z":[]})")}));
}

TEST(ProtocolE2e, RequestsWithoutIdGetNoReplyEvenWhenTheyFail) {
  EXPECT_EQ(served(input_of({
                R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                R"({"jsonrpc":"2.0","method":"no_such_method"})",
                R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"nope"}})",
                R"({"jsonrpc":"2.0","method":"tools/call","params":null})",
                R"({"jsonrpc":"2.0","method":"task_history","params":{"task_id":"t"}})",
                R"({"jsonrpc":"2.0","method":"task_start","params":{}})",
                R"({"jsonrpc":"2.0","id":9,"method":"notifications/initialized"})",
                R"({"jsonrpc":"2.0","id":null,"method":"no_such_method"})",
            })),
            (Lines{R"({"error":{"code":-32601,"message":"unknown method: no_such_method"},)"
                   R"("id":null,"jsonrpc":"2.0"})"}));
}

TEST(ProtocolE2e, InitializeAnswersAlikeEveryTimeAndIsNotRequired) {
  const std::string list = R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})";
  const Lines lines = served(input_of({
      list,
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"1999-01-01",)"
      R"("capabilities":{}}})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      list,
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"task_history",)"
      R"("arguments":{"task_id":"t"}}})",
  }));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(lines[0].starts_with(
      R"({"id":1,"jsonrpc":"2.0","result":{"tools":[{"description":"Start a verifier-gated agent task.)"));
  EXPECT_EQ(lines[1], kInitialize);
  EXPECT_EQ(lines[2], kInitialize);
  EXPECT_EQ(lines[3], lines[0]);
  EXPECT_EQ(lines[4],
            R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"unknown task_id: t",)"
            R"("type":"text"}],"isError":true}})");
}

TEST(ProtocolE2e, CrlfAndAFinalLineWithoutNewlineAreServed) {
  EXPECT_EQ(served(ping_line("1") + "\r\n\r\n" + ping_line("2") + "\r\n" + ping_line("3")),
            (Lines{pong_line("1"), pong_line("2"), pong_line("3")}));
}

TEST(ProtocolE2e, InvalidUtf8EndsTheProcessWithStatus0AfterEarlierReplies) {
  for (const std::string& bad : std::vector<std::string>{"\xff", "\xc0\xaf", "\xed\xa0\x80",
                                                         "\xf4\x90\x80\x80", "\xe2\x82"}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    EXPECT_EQ(
        served(input_of({ping_line("1"), ping_line("2"),
                         R"({"jsonrpc":"2.0","id":3,"method":"ping","params":")" + bad + "\"}",
                         ping_line("4"), ping_line("5")})),
        (Lines{pong_line("1"), pong_line("2")}));
  }
  // Even a line that would otherwise be skipped as blank.
  EXPECT_EQ(served(input_of({ping_line("1"), " \xff ", ping_line("2")})), Lines{pong_line("1")});
}

// A fake mutation-testing tool that logs each probe, so requests served after standard output
// is gone still leave a trace: every direct start of a pytest verifier probes once.
void install_probe_logger(const TempDir& dir) {
  write_script(dir / "bin/bitegauge", "echo \"$*\" >> \"$QUARRY_PROBE_LOG\"\nexit 1");
}

const std::string kProbingInput = input_of({
    R"({"jsonrpc":"2.0","id":1,"method":"initialize"})",
    R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})",
    R"({"jsonrpc":"2.0","id":3,"method":"task_start","params":{"goal":"g","verify_cmd":"pytest"}})",
    R"({"id":4})",
    R"({"jsonrpc":"2.0","id":5,"method":"task_start","params":{"goal":"g","verify_cmd":"pytest -x"}})",
});

// Runs kProbingInput through `launch`, a shell fragment that starts the server ("$2") in its
// directory with the probe logger on PATH and prints "exit STATUS"; every request must still
// have been served.
void expect_probes_without_a_reader(const std::string& launch) {
  TempDir dir;
  install_probe_logger(dir);
  write_file(dir / "input", kProbingInput);
  const std::string script =
      "cd \"$1\" || exit 99; PATH=\"$1/bin:$PATH\" QUARRY_PROBE_LOG=\"$1/probes\"; "
      "export PATH QUARRY_PROBE_LOG; " +
      launch;
  Result<RunResult> ran =
      run(Command{"sh", {"-c", script, "sh", dir.path(), QUARRY_SERVER_BINARY}});
  ASSERT_TRUE(ran) << ran.error().message;
  EXPECT_EQ(ran.value().out, "exit 0\n");
  EXPECT_EQ(ran.value().err, "");
  EXPECT_EQ(read_file(dir / "probes"), "--version\n--version\n");
}

TEST(ProtocolE2e, ClosedStandardOutputStillServesUntilEndOfInput) {
  expect_probes_without_a_reader("\"$2\" < input >&-; echo \"exit $?\"");
}

// The usual way a client goes away: the reading end of the pipe is closed, so every write
// fails with EPIPE, and SIGPIPE would end the process unless it is ignored.
TEST(ProtocolE2e, ClientClosingItsEndOfTheOutputPipeDoesNotEndTheServer) {
  // The server starts only after the reader has closed its end, so no reply can get through.
  expect_probes_without_a_reader(
      "mkfifo reader-gone || exit 98; exec 4>&1; "
      "{ read line < reader-gone; \"$2\" < input; echo \"exit $?\" >&4; } "
      "| { exec <&-; echo > reader-gone; }");
}

}  // namespace
}  // namespace quarry::testing
