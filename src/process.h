// Child processes: started through PATH, each in the sandbox its run names, pipes drained with
// poll while waiting, deadlines, SIGKILL and reaping. Every descriptor is owned and close-on-exec;
// no child is left a zombie, and nothing a group-leading child started outlives its run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io_error.h"

namespace quarry {

class Sandbox;

// Owns one file descriptor; closes it on destruction. Move-only.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes every byte, going on after interrupted and partial writes; the error of one that failed.
Status write_all(int fd, std::string_view bytes);
// Reads to the end of file. `expected`, a size the caller knows, spares growing the buffer; files
// such as those under /proc report size 0 and grow it.
Result<std::string> read_all(int fd, std::size_t expected = 0);

// The environment variable through which every child the server starts, and every process that
// child starts in turn, carries its run's token: what names them to a later recovery, since a
// process id and its start time can be read, and so written into a journal, by anyone.
inline constexpr std::string_view kRunTokenVariable = "QUARRY_AGENT_TASK_RUN";
// 128 random bits as 32 lower-case hexadecimal digits.
std::string new_run_token();

// How a child ended: a normal exit with its code, or death by a signal.
struct ExitStatus {
  enum class How { Exited, Signaled };
  How how = How::Exited;
  int value = 0;  // the exit code or the signal number

  bool success() const { return how == How::Exited && value == 0; }
};

// Where a child's standard output or standard error goes.
enum class Sink { Pipe, Null };

struct Command {
  std::string program;            // looked up through PATH
  std::vector<std::string> args;  // argv[1..]; argv[0] is the program
  Sink stdout_to = Sink::Pipe;
  Sink stderr_to = Sink::Pipe;
  // The child leads a new process group; kills reach the group, and whatever is left in it
  // once the child has exited and its output is drained is killed before the run returns.
  bool own_process_group = false;
  // "NAME=value" entries added to the server's environment for this child, replacing any entry
  // of the same name.
  std::vector<std::string> environment = {};
};

// What a caller can attach to a run without caring which child it is.
struct RunHooks {
  // Called once before the child is started (replies held back are written first).
  std::function<void()> on_start;
  // Called before the child is started with a fresh token it will carry in kRunTokenVariable (a
  // journal records it); an error keeps the child from starting and is the run's error.
  std::function<Status(const std::string& token)> announce;
  // Called about every tick_interval while the child runs (progress reports).
  std::function<void()> on_tick;
  std::chrono::milliseconds tick_interval{2000};
  // When readable, the run is abandoned: the child (its group, when it leads one) is killed
  // with SIGKILL and reaped, and the run ends with `interrupted` set.
  int interrupt_fd = -1;
  // Watched while the child runs: `on_input` is called whenever `input_fd` is readable and
  // returns whether to go on watching it (false at end of input, say).
  int input_fd = -1;
  std::function<bool()> on_input;
  // Asked before the child starts and whenever the run wakes: true abandons the run as
  // interrupt_fd does, and a run asked to start once it is true starts no child at all.
  std::function<bool()> abandoned;
  // The confinement the child enters before exec, and every process it starts with it; nothing:
  // unconfined. Must outlive the run.
  const Sandbox* sandbox = nullptr;

  bool is_abandoned() const { return abandoned && abandoned(); }
};

// Which end of a captured stream longer than the capture limit is kept.
enum class Keep { Head, Tail };

struct RunOptions {
  // Killed with SIGKILL (and reaped) once this much time has passed since the start.
  std::optional<std::chrono::milliseconds> time_limit;
  // Bytes kept of each captured stream; the rest is still read, so the child never stalls.
  std::size_t capture_limit = std::numeric_limits<std::size_t>::max();
  // A kept tail starts on a UTF-8 character boundary: up to three bytes more are dropped.
  Keep keep = Keep::Head;
  // Given every byte read of standard output (stream 0) and standard error (1) as it comes,
  // whatever is kept: a log written while the child runs.
  std::function<void(std::size_t stream, std::string_view bytes)> on_output;
  RunHooks hooks;
};

struct RunResult {
  ExitStatus status;
  std::string out;           // captured standard output, at most capture_limit bytes
  std::string err;           // captured standard error, at most capture_limit bytes
  bool timed_out = false;    // killed at the time limit
  bool interrupted = false;  // abandoned through interrupt_fd or `abandoned`; maybe never started
};

// Starts the command with standard input from the null device, the parent's working directory
// and environment, SIGPIPE, SIGXFSZ and every signal the parent handles at their default
// dispositions, no signal blocked, and no other descriptor open; drains its pipes while waiting
// for it.
// An error means it could not be started, or waiting failed (the child is then killed and reaped).
Result<RunResult> run(const Command& command, const RunOptions& options = {});

}  // namespace quarry
