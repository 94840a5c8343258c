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
#include <utility>

#include "journal.h"
#include "process.h"

namespace quarry::testing {
namespace {

using nlohmann::json;

// Appends one read's worth of `fd` to `bytes`; false at end of file or on an error.
bool read_some(int fd, std::string& bytes) {
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
  }
  if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
  return n > 0;
}

bool group_alive(int pgid) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // The command name in parentheses may hold anything; the fields after it are fixed.
    const std::string stat = read_file(entry.path() / "stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    int parent = 0;
    int group = 0;
    if (fields >> state >> parent >> group && group == pgid && state != "Z") return true;
  }
  return false;
}

// Every server a test starts keeps its state, and every verifier its temporary files, in a
// scratch directory of the test process, outside the projects (which are under /tmp): a verifier
// is confined to its project and the temporary directory, and must not reach the journals.
class ScratchEnvironment {
 public:
  ScratchEnvironment() {
    char pattern[] = "/tmp/quarry-scratch-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    path_ = pattern;
    std::filesystem::create_directories(path_ + "/tmp");
    ::setenv("TMPDIR", (path_ + "/tmp").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (path_ + "/state").c_str(), 1);
  }
  ~ScratchEnvironment() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::string path_;
};
const ScratchEnvironment process_scratch;

}  // namespace

std::string state_directory(const std::string& project) {
  Result<std::string> state = project_state_directory(std::filesystem::canonical(project));
  return state ? state.value() : std::string();
}

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
  // SIGKILL is delivered, not completed, when kill returns: a process may live a moment more.
  return wait_until([pgid] { return !group_alive(pgid); }, std::chrono::seconds(1));
}

void FakeToolsTest::SetUp() {
  if (const char* path = std::getenv("PATH")) saved_path_ = path;
  ::setenv("PATH", (tools_.path() + ":/usr/bin:/bin").c_str(), 1);
}

void FakeToolsTest::TearDown() {
  saved_path_ ? ::setenv("PATH", saved_path_->c_str(), 1) : ::unsetenv("PATH");
}

void FakeToolsTest::tool(const std::string& name, const std::string& body) {
  write_script(tools_ / name, body);
}

std::string FakeToolsTest::stderr_of(const std::function<void()>& call) {
  const std::string capture = tools_ / "stderr";
  const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  const int file = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_TRUE(saved >= 0 && file >= 0 && ::dup2(file, STDERR_FILENO) >= 0);
  ::close(file);
  call();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  return read_file(capture);
}

std::string scratch_environment(const std::string& scratch) {
  for (const char* made : {"/home", "/tmp", "/cache", "/state"}) {
    std::filesystem::create_directories(scratch + made);
  }
  return "export HOME=" + scratch + "/home TMPDIR=" + scratch + "/tmp XDG_CACHE_HOME=" + scratch +
         "/cache XDG_STATE_HOME=" + scratch + "/state; ";
}

ServerSession::ServerSession(const std::string& dir, const std::string& path_prefix,
                             const std::string& wrapper) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  const char* path = std::getenv("PATH");
  const std::string prefixed = path_prefix + ":" + (path ? path : "");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(99);
    if (!path_prefix.empty()) ::setenv("PATH", prefixed.c_str(), 1);
    ::execl("/bin/sh", "sh", "-c", wrapper.c_str(), "sh", QUARRY_SERVER_BINARY, nullptr);
    ::_exit(98);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
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
  send_part(line + "\n");
}

void ServerSession::send_part(std::string_view bytes) {
  if (!write_all(in_, bytes)) throw std::runtime_error("write to the server failed");
}

std::string ServerSession::read_line() {
  std::size_t newline;
  while ((newline = pending_.find('\n')) == std::string::npos) {
    if (!read_some(out_, pending_)) throw std::runtime_error("the server closed its output");
  }
  std::string line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  return line;
}

std::string ServerSession::request(const std::string& line) {
  send(line);
  return read_line();
}

void ServerSession::shrink_output_pipe() {
  if (::fcntl(out_, F_SETPIPE_SZ, 4096) < 0) throw std::runtime_error("F_SETPIPE_SZ failed");
}

ServerRun ServerSession::wait() {
  ::close(std::exchange(in_, -1));
  ServerRun result;
  result.out = pending_ + read_all(out_).value();
  result.err = read_all(err_).value();
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

Lines served(const std::string& input) {
  TempDir dir;
  write_file(dir / "input", input);
  // Input from a file: a large input and the replies to it cannot block each other.
  ServerSession server(dir.path(), "", "exec \"$@\" < input");
  const ServerRun run = server.wait();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.out.empty() || run.out.back() == '\n');
  Lines lines;
  std::istringstream replies(run.out);
  for (std::string line; std::getline(replies, line);) lines.push_back(line);
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

// The success envelope around a result already written as JSON text.
std::string ok_line(int id, const std::string& result) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":)" + result + "}";
}

std::string tool_line(int id, const json& value) {
  return ok_line(id,
                 R"({"content":[{"text":)" + json(value.dump()).dump() + R"(,"type":"text"}]})");
}

std::string tool_error_line(int id, const std::string& message) {
  return ok_line(
      id, R"({"content":[{"text":)" + json(message).dump() + R"(,"type":"text"}],"isError":true})");
}

std::string error_line(int id, int code, const std::string& message) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"message":)" + json(message).dump() +
         R"(},"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0"})";
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
