// Shared test fixtures: temporary directories, files, fake tools, the built server as a child,
// and the request and reply lines exchanged with it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarry::testing {

using Lines = std::vector<std::string>;

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The directory where a server started in `project` keeps its journals and copies.
std::string state_directory(const std::string& project);

void write_file(const std::string& path, const std::string& bytes, int mode = 0644);
std::string read_file(const std::string& path);  // empty when missing
bool file_exists(const std::string& path);       // links count, dangling or not
void write_script(const std::string& path, const std::string& body);  // "#!/bin/sh" and body
// Whether no live process (zombies aside) belongs to the process group `pgid` within a second.
bool process_group_gone(int pgid);
// Polls `condition` every few milliseconds until it holds or `limit` has passed.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// PATH is a directory of fake tools, /usr/bin and /bin for the test's length, so that no test
// reaches a real tool installed elsewhere on the machine.
class FakeToolsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void tool(const std::string& name, const std::string& body);  // a shell script on PATH
  // Runs `call` with this process's standard error sent to a file and returns what arrived.
  std::string stderr_of(const std::function<void()>& call);

 private:
  TempDir tools_;
  std::optional<std::string> saved_path_;
};

// A ServerSession wrapper prefix that points HOME, TMPDIR and the XDG cache and state directories
// at directories made beneath `scratch`, so that nothing the server or its children do reaches
// the machine's own.
std::string scratch_environment(const std::string& scratch);

struct ServerRun {
  std::string out;
  std::string err;
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
};

// The built server as a child in `dir` with pipes on its standard streams, started by
// `sh -c wrapper sh SERVER` (the wrapper sets limits, options or dispositions and runs the server
// with `exec "$@"`) and `path_prefix` in front of PATH. The destructor kills and reaps it.
class ServerSession {
 public:
  explicit ServerSession(const std::string& dir, const std::string& path_prefix = "",
                         const std::string& wrapper = "exec \"$@\"");
  ~ServerSession();
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  std::string request(const std::string& line);  // sends the line, reads one reply line
  void send(const std::string& line);            // the line and a "\n"
  void send_part(std::string_view bytes);        // bytes as they are
  std::string read_line();
  ServerRun wait();  // closes its input and waits for the exit
  int pid() const { return pid_; }
  // Shrinks the pipe of the server's standard output to one page, for a client slow to read.
  void shrink_output_pipe();

 private:
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string pending_;
};

// Runs the server on `input` in a fresh directory and returns its reply lines; it must end by
// itself with status 0, end its output with "\n" and write nothing to standard error.
Lines served(const std::string& input);

// Request lines. Ids given as `id_text` are spliced in as raw JSON.
std::string call_line(int id, const std::string& tool, const nlohmann::json& arguments);
std::string direct_line(int id, const std::string& method, const nlohmann::json& params);
std::string ping_line(const std::string& id_text);
std::string initialize_line(const std::string& id_text);
std::string propose_line(int id, const std::string& task, const nlohmann::json& edits);

// Whole reply lines, keys in the order the server writes them.
std::string pong_line(const std::string& id_text);
std::string initialize_reply(const std::string& id_text);
std::string tool_line(int id, const nlohmann::json& value);
std::string tool_error_line(int id, const std::string& message);
std::string error_line(int id, int code, const std::string& message);
// The parser's own wording is free; the code, the null id and the envelope are not.
bool is_parse_error(const std::string& line);

nlohmann::json tool_text(const std::string& reply);  // the JSON text inside a tools/call success
// One attempt as task_propose and task_history report it.
nlohmann::json outcome(std::uint64_t attempt, const std::string& fingerprint,
                       const std::string& output, bool passed);
// Starts a task through the tool form as request 1 and returns its id.
std::string start_task(ServerSession& server, const std::string& verify_cmd,
                       const nlohmann::json& files, int max_attempts = 10);

}  // namespace quarry::testing
