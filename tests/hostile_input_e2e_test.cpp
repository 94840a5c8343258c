// Hostile input streams through the built server: huge lines, deep nesting, random bytes, NUL
// bytes, broken escapes and numbers out of range. The process must answer what it has to, never
// crash, and exit 0 at end of input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <random>
#include <string>
#include <vector>

#include "agentic.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

using nlohmann::json;
using namespace std::string_literals;

constexpr std::size_t k64MiB = std::size_t{64} << 20;

const std::string kInitialize2 = initialize_reply("2");

std::string unknown_method_line(const std::string& id_text, const std::string& method_text) {
  return R"({"error":{"code":-32601,"message":"unknown method: )" + method_text + R"("},"id":)" +
         id_text + R"(,"jsonrpc":"2.0"})";
}

// A request for the unknown method "x" with `id_text` as its id.
std::string method_x_line(const std::string& id_text) {
  return R"({"jsonrpc":"2.0","id":)" + id_text + R"(,"method":"x"})";
}

// `bad` must get one parse error and leave the server reading: a request after it is answered.
void expect_parse_error_then_served(const std::string& bad) {
  const Lines lines = served(bad + "\n" + initialize_line("2") + "\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(is_parse_error(lines[0])) << lines[0].substr(0, 200);
  EXPECT_EQ(lines[1], kInitialize2);
}

// A line read whole into memory: a parser or reader with a fixed buffer would split it, drop
// it, or answer its tail as a request of its own.
TEST(HostileInput, A64MiBRequestIsAnsweredAndSoIsTheNextOne) {
  const std::string huge = R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"pad":")" +
                           std::string(k64MiB, 'x') + "\"}}\n";
  EXPECT_EQ(served(huge + initialize_line("2") + "\n"),
            (Lines{initialize_reply("1"), kInitialize2}));
}

// A recursive descent without a depth limit overflows the stack long before 100,000 levels.
TEST(HostileInput, NestingOneHundredThousandLevelsDeepIsOneParseError) {
  expect_parse_error_then_served(std::string(100'000, '['));
}

// Noise made of JSON's own characters reaches the parser line after line: every line that is
// not one JSON value gets exactly one parse error, and the stream is served to its end.
TEST(HostileInput, AMegabyteOfJsonLikeNoiseGetsOneParseErrorPerBadLine) {
  const std::string alphabet = "{}[]\":,0123456789.eE+- tfnrulsa\\/\n";
  std::mt19937 random(7);
  std::string noise(std::size_t{1} << 20, ' ');
  for (char& c : noise) c = alphabet[random() % alphabet.size()];
  // With this seed about 30,000 lines are not JSON and some 400 are values that are not
  // requests (numbers, strings, arrays), which get no reply.
  std::size_t not_json = 0;
  for (const std::string& line : lines_of(noise)) {
    if (line.find_first_not_of(' ') != std::string::npos && !json::accept(line)) ++not_json;
  }
  const Lines lines = served(noise + "\n" + initialize_line("2") + "\n");
  ASSERT_EQ(lines.size(), not_json + 1);
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    ASSERT_TRUE(is_parse_error(lines[i])) << lines[i];
  }
  EXPECT_EQ(lines.back(), kInitialize2);
}

// Nothing after a line of invalid UTF-8 is read: a later proposal must not reach the disk.
TEST(HostileInput, InvalidUtf8StopsTheServerBeforeAnyLaterEffect) {
  TempDir dir;
  write_file(dir / "a", "start");
  ServerSession server(dir.path());
  const std::string task = start_task(server, "true", {"a"});
  server.send(propose_line(2, task, {{{"path", "a"}, {"content", "first"}}}));
  server.send(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"task_propose",)"
              R"("arguments":{"task_id":")" +
              task + R"(","edits":[{"path":"a","content":"bad )" + "\xff\"}]}}}");
  server.send(propose_line(4, task, {{{"path", "a"}, {"content", "third"}}}));
  const ServerRun run = server.wait();
  EXPECT_EQ(run.out,
            tool_line(2, outcome(1, EditSet{{{"a", "first"}}}.fingerprint(), "", true)) + "\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(read_file(dir / "a"), "first");
}

// A reader that stops at a NUL, a parser that lets a raw control byte into a string, or one that
// takes a NUL for the end of its input.
TEST(HostileInput, RawNulBytesAreParseErrors) {
  for (const std::string& line : std::vector<std::string>{
           "{\"id\":1,\"method\":\"x\0y\"}"s, "{\"id\":1,\0\"method\":\"x\"}"s, "\0"s,
           ping_line("1") + "\0"s + ping_line("2"), ping_line("1") + " \0"s}) {
    SCOPED_TRACE(::testing::PrintToString(line));
    expect_parse_error_then_served(line);
  }
}

// The parsers need several times a line's size, so a large request meets the end of memory
// first where the line is held but cannot be parsed (1 GiB of address space, 300 MB of content:
// the reply still names the request), then where the line cannot be held at all (256 MiB: id
// null). Either way the request is answered, nothing changes on disk and serving goes on.
TEST(HostileInput, RequestTooBigForMemoryIsAnsweredAndServingGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than these limits allow";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than these limits allow";
#endif
#endif
  struct Row {
    std::string limit_kib;
    std::string reply;
  };
  const std::vector<Row> rows = {
      {"1048576", tool_error_line(2, "out of memory")},
      {"262144",
       R"({"error":{"code":-32603,"message":"out of memory"},"id":null,"jsonrpc":"2.0"})"},
  };
  const std::string megabyte(std::size_t{1} << 20, 'x');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.limit_kib);
    TempDir dir;
    write_file(dir / "a", "old");
    ServerSession server(dir.path(), "", "ulimit -v " + row.limit_kib + "; exec \"$@\"");
    const std::string task = start_task(server, "true", {"a"});
    server.send_part(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":)"
                     R"("task_propose","arguments":{"task_id":")" +
                     task + R"(","edits":[{"path":"a","content":")");
    for (int i = 0; i < 300; ++i) server.send_part(megabyte);
    server.send_part("\"}]}}}\n");
    EXPECT_EQ(server.read_line(), row.reply);
    EXPECT_EQ(server.request(ping_line("3")), pong_line("3"));
    EXPECT_EQ(read_file(dir / "a"), "old");
  }
}

TEST(HostileInput, ProposedPathWithNulTouchesNoFile) {
  TempDir dir;
  write_file(dir / "a", "start");
  ServerSession server(dir.path());
  const std::string task = start_task(server, "true", {"a"});
  const std::string path = "a\0b"s;
  EXPECT_EQ(server.request(propose_line(2, task, {{{"path", path}, {"content", "new"}}})),
            tool_line(2, outcome(1, "",
                                 "path '" + path +
                                     "' not in task file allowlist;                          "
                                     "declare it in `files` at task_start to edit it",
                                 false)));
  EXPECT_EQ(server.wait().exit_code, 0);
  EXPECT_EQ(read_file(dir / "a"), "start");
}

// Reading a FIFO waits for a writer forever, /dev/stdin swallows the protocol stream and
// /dev/zero never ends: a declared path that is not a regular file is refused at start.
TEST(HostileInput, DeclaredFilesThatAreNotRegularFilesAreRefused) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ServerSession server(dir.path());
  int id = 1;
  for (const std::string path : {"fifo", "/dev/zero", "/dev/stdin"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(server.request(direct_line(
                  id, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}, {"files", {path}}})),
              error_line(id, -32000, "task_start failed: not a regular file: " + path));
    ++id;
  }
  EXPECT_EQ(server.request(ping_line("9")), pong_line("9"));
}

// A lone surrogate has no UTF-8 form; a lenient decoder would write invalid UTF-8 back out.
TEST(HostileInput, LoneSurrogateEscapesAreParseErrors) {
  for (const std::string& id :
       std::vector<std::string>{R"("\ud800")", R"("\udc00")", R"("\ud800\u0041")", R"("\ud800x")",
                                R"("\udbff\udbff")"}) {
    SCOPED_TRACE(id);
    expect_parse_error_then_served(method_x_line(id));
  }
  // A proper pair is one character, echoed as raw UTF-8.
  EXPECT_EQ(served(method_x_line(R"("\ud83d\ude00")") + "\n"),
            Lines{unknown_method_line("\"\xF0\x9F\x98\x80\"", "x")});
}

// Integers past 64 bits fall back to doubles; past the double range there is no value at all.
TEST(HostileInput, NumbersAtAndBeyondTheLimitsOfTheirKinds) {
  struct Row {
    std::string sent;
    std::string echoed;
  };
  for (const Row& row : std::vector<Row>{
           {"18446744073709551615", "18446744073709551615"},
           {"-9223372036854775808", "-9223372036854775808"},
           {"18446744073709551616", "1.8446744073709552e+19"},
           {"-9223372036854775809", "-9.223372036854776e+18"},
           {"4.9e-324", "5e-324"},
       }) {
    SCOPED_TRACE(row.sent);
    EXPECT_EQ(served(method_x_line(row.sent) + "\n"), Lines{unknown_method_line(row.echoed, "x")});
  }
  for (const std::string& sent :
       std::vector<std::string>{"1e400", "-1e400", "1" + std::string(400, '0') + ".0"}) {
    SCOPED_TRACE(sent);
    expect_parse_error_then_served(method_x_line(sent));
  }
}

}  // namespace
}  // namespace quarry::testing
