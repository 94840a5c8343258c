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

#include "process.h"

namespace quarry::testing {

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

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace quarry::testing

namespace quarry::testing {
namespace {

void write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to the server failed");
    done += static_cast<std::size_t>(n);
  }
}

std::string read_all(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

ServerSession::ServerSession(const std::string& dir, const std::string& path_prefix) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(99);
    if (!path_prefix.empty()) {
      const std::string path = path_prefix + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
      ::setenv("PATH", path.c_str(), 1);
    }
    ::execl(QUARRY_SERVER_BINARY, QUARRY_SERVER_BINARY, static_cast<char*>(nullptr));
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

std::string ServerSession::read_line() {
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    char buffer[65536];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the server closed its output");
    pending_.append(buffer, static_cast<std::size_t>(n));
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

}  // namespace quarry::testing

namespace quarry::testing {

ServerSession::ServerSession(const std::string& dir, const std::string& path_prefix,
                             const std::string& wrapper) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(99);
    if (!path_prefix.empty()) {
      const std::string path = path_prefix + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
      ::setenv("PATH", path.c_str(), 1);
    }
    ::execl("/bin/sh", "sh", "-c", wrapper.c_str(), "sh", QUARRY_SERVER_BINARY,
            static_cast<char*>(nullptr));
    ::_exit(98);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
}

void ServerSession::close_output() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

}  // namespace quarry::testing
