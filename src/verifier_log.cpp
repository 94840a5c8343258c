#include "verifier_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>
#include <vector>

#include "output_cut.h"

namespace quarry {
namespace {

constexpr const char* kLogsArea = "logs";
constexpr std::size_t kCopyChunk = 64 * 1024;
// What the cut reads around its ends: as far as a line boundary is looked for.
constexpr std::size_t kCutWindow = 200;

Status pwrite_all(int fd, std::string_view bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return os_error(n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<std::string> pread_some(int fd, std::uint64_t offset, std::size_t length) {
  std::string bytes(length, '\0');
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n =
        ::pread(fd, bytes.data() + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// Copies in the kernel where the file system allows it, else through a buffer.
Status copy_range(int in, std::uint64_t from, int out, std::uint64_t to, std::uint64_t length) {
  while (length > 0) {
    auto in_offset = static_cast<loff_t>(from);
    auto out_offset = static_cast<loff_t>(to);
    ssize_t n = ::copy_file_range(in, &in_offset, out, &out_offset, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return os_error(errno);
      }
      Result<std::string> chunk = pread_some(in, from, std::min<std::uint64_t>(length, kCopyChunk));
      if (!chunk) return chunk.error();
      if (Status written = pwrite_all(out, chunk.value(), to); !written) return written;
      n = static_cast<ssize_t>(chunk.value().size());
    }
    // The spool is shorter than its recorded size: something else wrote to the directory.
    if (n == 0) return os_error(EIO);
    from += static_cast<std::uint64_t>(n);
    to += static_cast<std::uint64_t>(n);
    length -= static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<Fd> new_file(int directory_fd, const std::string& name) {
  Fd file(::openat(directory_fd, name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                   0600));
  if (!file) return os_error(errno);
  return file;
}

// A stream's spool: its first third in place, then a ring that always holds the latest bytes, so
// that a stream within the limit lies in order and a longer one keeps its head and its tail.
struct Layout {
  std::uint64_t head;
  std::uint64_t ring;

  explicit Layout(std::uint64_t limit) : head(limit / 3), ring(limit - limit / 3) {}
  std::uint64_t offset_of(std::uint64_t position) const {
    return position < head ? position : head + (position - head) % ring;
  }
  // Bytes that can go in one piece from `position` on.
  std::uint64_t run_from(std::uint64_t position) const {
    return position < head ? head - position : ring - (position - head) % ring;
  }
};

// `length` bytes of a full ring, `from` bytes past its oldest.
Result<std::string> ring_bytes(int spool, const Layout& layout, std::uint64_t oldest,
                               std::uint64_t from, std::size_t length) {
  const std::uint64_t at = (oldest + from) % layout.ring;
  const std::size_t first =
      static_cast<std::size_t>(std::min<std::uint64_t>(length, layout.ring - at));
  Result<std::string> bytes = pread_some(spool, layout.head + at, first);
  if (!bytes || first == length) return bytes;
  Result<std::string> rest = pread_some(spool, layout.head, length - first);
  if (!rest) return rest;
  return bytes.value() + rest.value();
}

// Writes the stream of `size` bytes spooled in `spool` to `out` at `at`: whole within the limit,
// else its head and tail joined by an omission line. Where it ended.
Result<std::uint64_t> write_stream(int spool, std::uint64_t size, std::uint64_t limit, int out,
                                   std::uint64_t at) {
  if (size <= limit) {
    if (Status copied = copy_range(spool, 0, out, at, size); !copied) return copied.error();
    return at + size;
  }
  const Layout layout(limit);
  const std::uint64_t near = std::min<std::uint64_t>(layout.head, kCutWindow);
  Result<std::string> end_of_head = pread_some(spool, layout.head - near, near);
  if (!end_of_head) return end_of_head.error();
  const std::uint64_t keep = layout.head - near + head_end(end_of_head.value());
  const bool ends_line =
      keep > layout.head - near && end_of_head.value()[keep - (layout.head - near) - 1] == '\n';
  // The ring's oldest byte is where the next one would have gone; room is left for the line.
  const std::uint64_t oldest = (size - layout.head) % layout.ring;
  const std::uint64_t reserved = omission_line(size, {}).size() + 2;
  // From the byte before, which tells whether the tail already starts a line.
  Result<std::string> start_of_tail =
      ring_bytes(spool, layout, oldest, reserved - 1, kCutWindow + 1);
  if (!start_of_tail) return start_of_tail.error();
  const std::string_view around = start_of_tail.value();
  const std::uint64_t skipped =
      reserved + (around.starts_with('\n') ? 0 : tail_start(around.substr(1)));
  const std::uint64_t tail = layout.ring - skipped;

  if (Status copied = copy_range(spool, 0, out, at, keep); !copied) return copied.error();
  at += keep;
  const std::string line = std::string(ends_line || keep == 0 ? "" : "\n") +
                           omission_line(size - keep - tail, {}) + "\n";
  if (Status written = pwrite_all(out, line, at); !written) return written.error();
  at += line.size();
  const std::uint64_t first_at = (oldest + skipped) % layout.ring;
  const std::uint64_t first = std::min(tail, layout.ring - first_at);
  if (Status copied = copy_range(spool, layout.head + first_at, out, at, first); !copied) {
    return copied.error();
  }
  if (Status copied = copy_range(spool, layout.head, out, at + first, tail - first); !copied) {
    return copied.error();
  }
  return at + tail;
}

// Holds an exclusive lock on a directory: what makes a task's directory and what prunes the
// directories take turns.
class DirectoryLock {
 public:
  explicit DirectoryLock(int fd) : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() { ::flock(fd_, LOCK_UN); }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_;
};

// The names in the directory open as `fd`, read through a duplicate and rewound, so that the
// directory is opened once however often it is listed.
std::vector<std::string> entries_of(int fd) {
  std::vector<std::string> names;
  const int listing_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR* listing = listing_fd < 0 ? nullptr : ::fdopendir(listing_fd);
  if (listing == nullptr) {
    if (listing_fd >= 0) ::close(listing_fd);
    return names;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::rewinddir(listing);
  ::closedir(listing);
  return names;
}

std::uint64_t bytes_in(int directory_fd) {
  std::uint64_t bytes = 0;
  for (const std::string& name : entries_of(directory_fd)) {
    struct stat info;
    if (::fstatat(directory_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      bytes += static_cast<std::uint64_t>(info.st_size);
    }
  }
  return bytes;
}

// prune_logs with the logs directory locked.
void prune_locked(int logs_fd, const LogLimits& limits) {
  struct Ended {
    timespec changed;
    std::uint64_t bytes;
    std::string name;
    Fd held;  // locked, so that no server takes it for its own meanwhile
  };
  std::vector<Ended> ended;
  std::uint64_t total = 0;
  for (std::string& name : entries_of(logs_fd)) {
    Fd task(::openat(logs_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!task) continue;
    const std::uint64_t bytes = bytes_in(task.get());
    total += bytes;
    struct stat info;
    // A live task holds its directory locked.
    if (::flock(task.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(task.get(), &info) != 0) continue;
    ended.push_back(Ended{info.st_mtim, bytes, std::move(name), std::move(task)});
  }
  std::sort(ended.begin(), ended.end(), [](const Ended& a, const Ended& b) {
    return std::tie(a.changed.tv_sec, a.changed.tv_nsec, a.name) <
           std::tie(b.changed.tv_sec, b.changed.tv_nsec, b.name);
  });
  for (std::size_t i = 0; i < ended.size(); ++i) {
    if (ended.size() - i <= limits.ended_tasks && total <= limits.total_bytes) break;
    for (const std::string& name : entries_of(ended[i].held.get())) {
      ::unlinkat(ended[i].held.get(), name.c_str(), 0);
    }
    ::unlinkat(logs_fd, ended[i].name.c_str(), AT_REMOVEDIR);
    total -= ended[i].bytes;
  }
}

}  // namespace

LogWriter::LogWriter(TaskLogs& logs, std::string name, std::string path, std::uint64_t stream_limit)
    : logs_(&logs), name_(std::move(name)), path_(std::move(path)), stream_limit_(stream_limit) {}

void LogWriter::add(std::size_t stream, std::string_view bytes) {
  if (failed_ || bytes.empty()) return;
  failed_ = !append(stream, bytes).ok();
}

Status LogWriter::append(std::size_t stream, std::string_view bytes) {
  if (!spools_[0]) {
    Result<Fd> made = logs_->create_file(name_, directory_fd_);
    if (!made) return made.error();
    spools_[0] = std::move(made).value();
  }
  if (!spools_[stream]) {
    // Standard error waits aside, under a name of its own, until standard output is complete.
    const std::string spool = "." + name_ + ".stderr";
    Result<Fd> made = new_file(directory_fd_, spool);
    if (!made) return made.error();
    ::unlinkat(directory_fd_, spool.c_str(), 0);
    spools_[stream] = std::move(made).value();
  }
  const Layout layout(stream_limit_);
  std::uint64_t& size = sizes_[stream];
  while (!bytes.empty()) {
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), layout.run_from(size)));
    if (Status written =
            pwrite_all(spools_[stream].get(), bytes.substr(0, length), layout.offset_of(size));
        !written) {
      return written;
    }
    size += length;
    bytes.remove_prefix(length);
  }
  return {};
}

bool LogWriter::finish() {
  if (!spools_[0] && !failed_) return false;
  if (!failed_) failed_ = !compose().ok();
  spools_[1].reset();
  if (failed_) {
    discard();
    return false;
  }
  spools_[0].reset();
  return true;
}

Status LogWriter::compose() {
  const bool out_cut = sizes_[0] > stream_limit_;
  if (!out_cut && sizes_[1] == 0) return {};
  // A cut standard output is rearranged into a new file that then takes the log's name.
  const std::string partial = "." + name_ + ".partial";
  Fd composed;
  if (out_cut) {
    Result<Fd> made = new_file(directory_fd_, partial);
    if (!made) return made.error();
    composed = std::move(made).value();
  }
  const int out = out_cut ? composed.get() : spools_[0].get();
  Result<std::uint64_t> at = out_cut
                                 ? write_stream(spools_[0].get(), sizes_[0], stream_limit_, out, 0)
                                 : Result<std::uint64_t>(sizes_[0]);
  if (at && sizes_[1] > 0) {
    if (Status written = pwrite_all(out, kStderrSeparator, at.value()); !written) {
      at = written.error();
    } else {
      at = write_stream(spools_[1].get(), sizes_[1], stream_limit_, out,
                        at.value() + kStderrSeparator.size());
    }
  }
  if (out_cut && at &&
      ::renameat(directory_fd_, partial.c_str(), directory_fd_, name_.c_str()) != 0) {
    at = os_error(errno);
  }
  if (!at) {
    if (out_cut) ::unlinkat(directory_fd_, partial.c_str(), 0);
    return at.error();
  }
  return {};
}

void LogWriter::discard() {
  spools_ = {};
  if (directory_fd_ >= 0) ::unlinkat(directory_fd_, name_.c_str(), 0);
}

TaskLogs::TaskLogs(JournalDirectory* state, std::string task_id, LogLimits limits)
    : state_(state), task_id_(std::move(task_id)), limits_(limits) {}

TaskLogs::~TaskLogs() {
  if (!task_) return;
  // When it ended is when its directory last changed.
  ::futimens(task_.get(), nullptr);
  task_.reset();
  prune_logs(logs_.get(), limits_);
}

LogWriter TaskLogs::writer(std::string name) {
  std::string path = state_->path() + "/" + kLogsArea + "/" + task_id_ + "/" + name;
  return LogWriter(*this, std::move(name), std::move(path), limits_.stream_bytes);
}

Result<Fd> TaskLogs::create_file(const std::string& name, int& directory_fd) {
  for (int tries = 0;; ++tries) {
    if (!task_) {
      if (Status opened = open_directory(); !opened) return opened.error();
    }
    Result<Fd> file = new_file(task_.get(), name);
    if (file) {
      directory_fd = task_.get();
      return file;
    }
    // The directory was removed under a live task (with the whole state directory, say): it is
    // made again, once.
    if (file.error().kind != ErrorKind::NotFound || tries == 1) return file.error();
    task_.reset();
    logs_.reset();
  }
}

Status TaskLogs::open_directory() {
  Result<int> state = state_->open();
  if (!state) return state.error();
  if (::mkdirat(state.value(), kLogsArea, 0700) != 0 && errno != EEXIST) return os_error(errno);
  Fd logs(::openat(state.value(), kLogsArea, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!logs) return os_error(errno);
  DirectoryLock held(logs.get());
  // Before this task's directory exists: servers that died since the last prune left theirs,
  // and a server that keeps dying must not pile them up.
  prune_locked(logs.get(), limits_);
  if (::mkdirat(logs.get(), task_id_.c_str(), 0700) != 0 && errno != EEXIST) return os_error(errno);
  Fd task(::openat(logs.get(), task_id_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!task || ::flock(task.get(), LOCK_EX | LOCK_NB) != 0) return os_error(errno);
  task_ = std::move(task);
  logs_ = std::move(logs);
  return {};
}

void prune_logs(int logs_fd, const LogLimits& limits) {
  DirectoryLock held(logs_fd);
  prune_locked(logs_fd, limits);
}

}  // namespace quarry
