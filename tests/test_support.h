// Shared test fixtures: temporary directories, files, and runs of the built server.
#pragma once

#include <string>
#include <vector>

namespace quarry::testing {

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

void write_file(const std::string& path, const std::string& bytes, int mode = 0644);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// An executable shell script at `path` with the given body after "#!/bin/sh".
void write_script(const std::string& path, const std::string& body);

struct ServerRun {
  std::string out;
  std::string err;
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
};

// Runs the built server in `dir` with `input` on its standard input until it exits.
// `path_prefix`, when not empty, is put in front of PATH (fake tools).
ServerRun run_server(const std::string& dir, const std::string& input,
                     const std::string& path_prefix = "");

// The built server as a child with pipes on its standard streams, for request-by-request
// conversations. The destructor kills and reaps it.
class ServerSession {
 public:
  explicit ServerSession(const std::string& dir, const std::string& path_prefix = "");
  // The server started by `sh -c wrapper sh SERVER`: the wrapper sets limits or signal
  // dispositions, then runs the server with `exec "$@"`.
  ServerSession(const std::string& dir, const std::string& path_prefix, const std::string& wrapper);
  ~ServerSession();
  ServerSession(const ServerSession&) = delete;
  ServerSession& operator=(const ServerSession&) = delete;

  // Writes `line` and a "\n", then reads one reply line.
  std::string request(const std::string& line);
  void send(const std::string& line);
  std::string read_line();
  void close_input();
  // Waits for the exit; the same encoding as ServerRun.
  ServerRun wait();
  int pid() const { return pid_; }
  // Closes the read end of the server's standard output, as a client that stops listening.
  void close_output();

 private:
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string pending_;
};

// The lines of `text` without their "\n".
std::vector<std::string> lines_of(const std::string& text);

}  // namespace quarry::testing
