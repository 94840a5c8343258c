#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "process.h"

namespace quarry::testing {
namespace {

using nlohmann::json;

void write_all(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to the server failed");
    done += static_cast<std::size_t>(n);
  }
}

// Appends one read's worth of `fd` to `bytes`; false at end of file or on an error.
bool read_some(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

std::string read_all(int fd) {
  std::string bytes;
  while (read_some(fd, bytes)) {
  }
  return bytes;
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/quarry-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests make files unreadable or read-only; removal must still succeed.
  std::filesystem::permissions(path_, std::filesystem::perms::all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes, int mode) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body + "\n", 0755);
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

bool process_group_gone(int pgid) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // The command name in parentheses may hold anything; the fields after it are fixed.
    const std::string stat = read_file(entry.path() / "stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    int parent = 0;
    int group = 0;
    if (fields >> state >> parent >> group && group == pgid && state != "Z") return false;
  }
  return true;
}

void FakeToolsTest::SetUp() {
  if (const char* path = std::getenv("PATH")) saved_path_ = path;
  ::setenv("PATH", (tools_.path() + ":/usr/bin:/bin").c_str(), 1);
}

void FakeToolsTest::TearDown() {
  if (saved_path_) {
    ::setenv("PATH", saved_path_->c_str(), 1);
  } else {
    ::unsetenv("PATH");
  }
}

void FakeToolsTest::tool(const std::string& name, const std::string& body) {
  write_script(tools_ / name, body);
}

std::string FakeToolsTest::stderr_of(const std::function<void()>& call) {
  const std::string capture = tools_ / "stderr";
  const int file = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (file < 0 || saved < 0 || ::dup2(file, STDERR_FILENO) < 0) {
    ADD_FAILURE() << "could not redirect standard error";
    return {};
  }
  ::close(file);
  call();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  return read_file(capture);
}

ServerRun run_server(const std::string& dir, const std::string& input,
                     const std::string& path_prefix) {
  TempDir scratch;
  const std::string input_path = scratch / "input";
  write_file(input_path, input);
  std::string script = "cd \"$1\" || exit 99; ";
  if (!path_prefix.empty()) script += "PATH=\"$3:$PATH\"; export PATH; ";
  script += "exec \"$2\" < \"$4\"";
  Command command{"sh", {"-c", script, "sh", dir, QUARRY_SERVER_BINARY, path_prefix, input_path}};
  Result<RunResult> ran = run(command);
  if (!ran) throw std::runtime_error("cannot run the server: " + ran.error().message);
  ServerRun result;
  result.out = std::move(ran.value().out);
  result.err = std::move(ran.value().err);
  if (ran.value().status.how == ExitStatus::How::Exited) {
    result.exit_code = ran.value().status.value;
  } else {
    result.signal = ran.value().status.value;
  }
  return result;
}

Lines served(const std::string& input) {
  TempDir dir;
  const ServerRun run = run_server(dir.path(), input);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.err, "");
  if (!run.out.empty()) {
    EXPECT_EQ(run.out.back(), '\n');
  }
  return lines_of(run.out);
}

ServerSession::ServerSession(const std::string& dir, const std::string& path_prefix) {
  start(dir, path_prefix, {QUARRY_SERVER_BINARY});
}

ServerSession::ServerSession(const std::string& dir, const std::string& path_prefix,
                             const std::string& wrapper) {
  start(dir, path_prefix, {"/bin/sh", "-c", wrapper, "sh", QUARRY_SERVER_BINARY});
}

void ServerSession::start(const std::string& dir, const std::string& path_prefix,
                          const std::vector<std::string>& argv) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const char* path = std::getenv("PATH");
  const std::string prefixed = path_prefix + ":" + (path ? path : "");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(99);
    if (!path_prefix.empty()) ::setenv("PATH", prefixed.c_str(), 1);
    ::execv(args[0], args.data());
    ::_exit(98);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
}

ServerSession::~ServerSession() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

void ServerSession::send(const std::string& line) {
  write_all(in_, line + "\n");
}

void ServerSession::send_part(std::string_view bytes) {
  write_all(in_, bytes);
}

std::string ServerSession::read_line() {
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    if (!read_some(out_, pending_)) throw std::runtime_error("the server closed its output");
  }
}

std::string ServerSession::request(const std::string& line) {
  send(line);
  return read_line();
}

void ServerSession::close_input() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ServerSession::shrink_output_pipe() {
  if (::fcntl(out_, F_SETPIPE_SZ, 4096) < 0) throw std::runtime_error("F_SETPIPE_SZ failed");
}

void ServerSession::close_output() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

ServerRun ServerSession::wait() {
  close_input();
  ServerRun result;
  result.out = pending_ + read_all(out_);
  result.err = read_all(err_);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else {
    result.signal = WTERMSIG(status);
  }
  return result;
}

Lines lines_of(const std::string& text) {
  Lines lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string call_line(int id, const std::string& tool, const json& arguments) {
  return json{{"jsonrpc", "2.0"},
              {"id", id},
              {"method", "tools/call"},
              {"params", {{"name", tool}, {"arguments", arguments}}}}
      .dump();
}

std::string direct_line(int id, const std::string& method, const json& params) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

std::string ping_line(const std::string& id_text) {
  return R"({"jsonrpc":"2.0","id":)" + id_text + R"(,"method":"ping"})";
}

std::string initialize_line(const std::string& id_text) {
  return R"({"jsonrpc":"2.0","id":)" + id_text + R"(,"method":"initialize"})";
}

std::string propose_line(int id, const std::string& task, const json& edits) {
  return call_line(id, "task_propose", {{"task_id", task}, {"edits", edits}});
}

std::string pong_line(const std::string& id_text) {
  return R"({"id":)" + id_text + R"(,"jsonrpc":"2.0","result":{}})";
}

std::string initialize_reply(const std::string& id_text) {
  return R"({"id":)" + id_text +
         R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05",)"
         R"("serverInfo":{"name":"quarry-agent-task","version":"0.5.0"}}})";
}

std::string tool_line(int id, const json& value) {
  return json{{"id", id},
              {"jsonrpc", "2.0"},
              {"result", {{"content", {{{"text", value.dump()}, {"type", "text"}}}}}}}
      .dump();
}

std::string tool_error_line(int id, const std::string& message) {
  return json{{"id", id},
              {"jsonrpc", "2.0"},
              {"result", {{"content", {{{"text", message}, {"type", "text"}}}}, {"isError", true}}}}
      .dump();
}

std::string error_line(int id, int code, const std::string& message) {
  return json{{"error", {{"code", code}, {"message", message}}}, {"id", id}, {"jsonrpc", "2.0"}}
      .dump();
}

bool is_parse_error(const std::string& line) {
  return line.starts_with(R"({"error":{"code":-32700,"message":"parse error: )") &&
         line.ends_with(R"("},"id":null,"jsonrpc":"2.0"})");
}

json tool_text(const std::string& reply) {
  const json parsed = json::parse(reply);
  return json::parse(parsed["result"]["content"][0]["text"].get<std::string>());
}

json outcome(std::uint64_t attempt, const std::string& fingerprint, const std::string& output,
             bool passed) {
  return json{
      {"attempt", attempt}, {"fingerprint", fingerprint}, {"output", output}, {"passed", passed}};
}

std::string start_task(ServerSession& server, const std::string& verify_cmd, const json& files,
                       int max_attempts) {
  const std::string reply = server.request(call_line(1, "task_start",
                                                     {{"goal", "g"},
                                                      {"verify_cmd", verify_cmd},
                                                      {"files", files},
                                                      {"max_attempts", max_attempts}}));
  return tool_text(reply)["task_id"].get<std::string>();
}

}  // namespace quarry::testing
