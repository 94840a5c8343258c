// The whole output of every verifier run that printed anything, kept on disk beside the journals,
// out of the project: STATE/logs/{task_id}/{attempt}.log for a proposal's run, .../baseline.log
// for a baseline's. A log holds standard output as the verifier wrote it, then, when standard
// error was not empty, "\n--- stderr ---\n" and standard error, byte for byte: the joining of a
// verdict's output without its decoding or its cut. A stream longer than its limit (64 MiB) keeps
// its head and tail there, joined by a line "...[N bytes omitted]...". Files are 0600,
// directories 0700.
//
// A task's logs stay while it lives, held by a lock on their directory that its end (or its
// server's, however that ends) releases; then only for the 20 tasks that ended most recently (by
// when their directory last changed), within 256 MiB of logs in all, the oldest removed first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "io_error.h"
#include "journal.h"
#include "process.h"

namespace quarry {

struct LogLimits {
  std::uint64_t stream_bytes = std::uint64_t{64} << 20;  // of each stream in one log
  std::size_t ended_tasks = 20;                          // whose logs are kept
  std::uint64_t total_bytes = std::uint64_t{256} << 20;  // of all logs, beyond the live tasks'
};

class TaskLogs;

// One log, written while its run goes: standard output straight into it, standard error aside
// until the run is over. It is made at the first byte: a run that printed nothing has no log. A
// write that fails is remembered, not reported: no run fails because of its log.
class LogWriter {
 public:
  LogWriter(LogWriter&&) noexcept = default;
  LogWriter& operator=(LogWriter&&) noexcept = default;
  ~LogWriter() = default;

  // Absolute.
  const std::string& path() const { return path_; }
  // Bytes of standard output (0) or standard error (1), as they come.
  void add(std::size_t stream, std::string_view bytes);
  // Completes the log; false when there is none: nothing was printed, or it could not be written
  // whole (it is then removed).
  bool finish();
  // Removes the log of a run nobody will read.
  void discard();

 private:
  friend class TaskLogs;
  LogWriter(TaskLogs& logs, std::string name, std::string path, std::uint64_t stream_limit);
  Status append(std::size_t stream, std::string_view bytes);
  Status compose();

  TaskLogs* logs_;         // which outlives this
  int directory_fd_ = -1;  // the task's log directory, once the log is made
  std::string name_;
  std::string path_;
  std::uint64_t stream_limit_;
  std::array<Fd, 2> spools_;  // standard output's is the log itself
  std::array<std::uint64_t, 2> sizes_{};
  bool failed_ = false;
};

// The log directory of one task, made at its first log and locked until this is destroyed.
class TaskLogs {
 public:
  TaskLogs(JournalDirectory* state, std::string task_id, LogLimits limits = {});
  TaskLogs(TaskLogs&&) noexcept = default;
  TaskLogs& operator=(TaskLogs&&) noexcept = default;
  // The task has ended: its logs become the most recently ended, and older ones may go.
  ~TaskLogs();

  // The log `name` of the task's directory, replaced when it already exists.
  LogWriter writer(std::string name);

 private:
  friend class LogWriter;
  // Makes the file `name` in the task's directory, and the directory when missing; its
  // descriptor, and the directory's in `directory_fd`.
  Result<Fd> create_file(const std::string& name, int& directory_fd);
  Status open_directory();

  JournalDirectory* state_;
  std::string task_id_;
  LogLimits limits_;
  Fd logs_;  // STATE/logs
  Fd task_;  // STATE/logs/{task_id}, under an exclusive lock
};

// Removes the logs of ended tasks (directories of STATE/logs, open as `logs_fd`, that no live
// task holds locked) beyond the most recently ended `limits.ended_tasks`, and beyond
// `limits.total_bytes` of logs in all, oldest first.
void prune_logs(int logs_fd, const LogLimits& limits);

}  // namespace quarry
