#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "sandbox.h"
#include "text.h"

extern char** environ;

namespace quarry {

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return os_error(n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::string> read_all(int fd, std::size_t expected) {
  // One byte beyond the expected size lets the end show up without growing the buffer.
  std::string bytes(expected + 1, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(std::max<std::size_t>(2 * bytes.size(), 4096));
    const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

std::string new_run_token() {
  unsigned char bits[16];
  std::size_t got = 0;
  while (got < sizeof bits) {
    const ssize_t n = ::getrandom(bits + got, sizeof bits - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char bit : bits) {
    token += kDigits[bit >> 4];
    token += kDigits[bit & 0xf];
  }
  return token;
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Fd::release() {
  return std::exchange(fd_, -1);
}

void Fd::reset(int fd) {
  // close() is not retried on EINTR: Linux releases the descriptor even then, and a retry
  // could close one another thread has just been given.
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Once the child has exited, a background process it started may still hold a pipe open, and
// waiting for that end-of-file could block the caller for as long as the straggler lives. The
// child's own output is already in the pipe when it exits, so the drain goes on only while data
// keeps coming (each read restarts a quiet period) and stops for good at a hard cap; after that
// the read ends are closed and the straggler's next write fails with EPIPE.
constexpr milliseconds kPipeQuietPeriod{100};
constexpr milliseconds kPipeDrainCap{1000};

// Only for kernels without pidfd_open, where nothing pollable reports the child's exit.
constexpr milliseconds kExitPollInterval{10};

// The child runs on it only until exec, making nothing but system calls.
constexpr std::size_t kChildStackSize = 64 * 1024;

// A started child that has not necessarily been reaped. Unless a wait reaped it, the destructor
// kills it (its whole group when it leads one) and reaps it, so no path leaves a zombie.
class Child {
 public:
  Child(pid_t pid, bool leads_group) : pid_(pid), leads_group_(leads_group) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (reaped_) return;
    kill();
    (void)reap();
  }

  pid_t pid() const { return pid_; }
  bool ended() const { return ended_; }
  const ExitStatus& status() const { return status_; }

  // Errors are ignored: the target may already have exited, and the reap that follows is what
  // matters.
  void kill() const { ::kill(leads_group_ ? -pid_ : pid_, SIGKILL); }

  // Whether the child has ended, waiting for it unless `options` holds WNOHANG. The child is
  // left unreaped: while it is a zombie its pid, and so its group's id, cannot be given to
  // another process, which makes the group safe to kill. Returns 0 or the errno of the failure.
  int wait_for_end(int options) {
    for (;;) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | options) == 0) {
        if (info.si_pid != pid_) return 0;
        ended_ = true;
        status_ = info.si_code == CLD_EXITED
                      ? ExitStatus{ExitStatus::How::Exited, info.si_status}
                      : ExitStatus{ExitStatus::How::Signaled, info.si_status};
        return 0;
      }
      if (errno == EINTR) continue;
      const int error = errno;
      // ECHILD: the child was reaped behind our back (SIGCHLD ignored); its pid may already
      // belong to another process, so it must never be signalled again.
      if (error == ECHILD) ended_ = reaped_ = true;
      return error;
    }
  }

  // Kills what is left of the group of an ended child that leads one (background jobs it
  // started), then reaps the child.
  Status finish() {
    if (leads_group_) kill();
    if (int error = reap()) return os_error(error);
    return {};
  }

 private:
  int reap() {
    for (;;) {
      if (::waitpid(pid_, nullptr, 0) == pid_) {
        ended_ = reaped_ = true;
        return 0;
      }
      if (errno == EINTR) continue;
      const int error = errno;
      if (error == ECHILD) ended_ = reaped_ = true;
      return error;
    }
  }

  pid_t pid_;
  bool leads_group_;
  bool ended_ = false;
  bool reaped_ = false;
  ExitStatus status_;
};

// One captured stream: the read end of its pipe (closed at end-of-file) and the bytes kept.
struct Capture {
  Fd fd;
  std::size_t stream = 0;  // 0 standard output, 1 standard error
  std::string* kept = nullptr;
  bool cut = false;  // bytes were left out
};

// A captured stream's pipe holds up to kCapturePipeBytes, where the system allows it: a child
// that prints a lot then runs on instead of waiting for each 64 KiB to be read.
constexpr int kCapturePipeBytes = 1 << 20;

Status open_pipe(Fd& read_end, Fd& write_end) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return os_error(errno);
  read_end.reset(ends[0]);
  write_end.reset(ends[1]);
  // Refused beyond the system's limits: the pipe keeps its size.
  static_cast<void>(::fcntl(ends[0], F_SETPIPE_SZ, kCapturePipeBytes));
  return {};
}

// The server's environment with `additions` in place of any entry of the same name.
std::vector<char*> child_environment(const std::vector<std::string>& additions) {
  std::vector<char*> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view existing = *entry;
    const std::string_view name = existing.substr(0, existing.find('=') + 1);
    const bool replaced = std::any_of(
        additions.begin(), additions.end(),
        [name](const std::string& added) { return std::string_view(added).starts_with(name); });
    if (!replaced) entries.push_back(*entry);
  }
  for (const std::string& added : additions) entries.push_back(const_cast<char*>(added.c_str()));
  entries.push_back(nullptr);
  return entries;
}

// The program execvp would run: a name with a slash as it is, else the first executable regular
// file of that name in PATH's directories. Returns 0 with `path` set, or ENOENT or EACCES.
int resolve_program(const std::string& program, std::string& path) {
  if (program.empty()) return ENOENT;
  if (program.find('/') != std::string::npos) {
    path = program;
    return 0;
  }
  const char* search = std::getenv("PATH");
  std::string_view entries = search != nullptr ? search : "/bin:/usr/bin";
  int error = ENOENT;
  for (;;) {
    const std::size_t colon = entries.find(':');
    const std::string_view directory = entries.substr(0, colon);
    std::string candidate = directory.empty() ? program : std::string(directory) + "/" + program;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      if (::access(candidate.c_str(), X_OK) == 0) {
        path = std::move(candidate);
        return 0;
      }
      error = EACCES;
    }
    if (colon == std::string_view::npos) return error;
    entries.remove_prefix(colon + 1);
  }
}

// What the child needs, all prepared by the parent: the child only reads it, and writes `error`.
struct SpawnPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  std::array<int, 3> streams{};  // standard input, output and error
  bool own_process_group = false;
  const Sandbox* sandbox = nullptr;
  int error = 0;  // the errno of the step that failed
};

// The child's steps before exec; 0 or the errno of the one that failed. It shares the server's
// memory and runs with every signal blocked on a stack of its own, so it makes only system
// calls: a handler of the server run here would act on the server's own state.
__attribute__((no_sanitize("address"))) int prepare_child(const SpawnPlan& plan) {
  if (plan.own_process_group && ::setpgid(0, 0) != 0) return errno;
  // Handlers the server installed become the default again. The server ignores SIGPIPE and
  // SIGXFSZ; a child must die of them again, or `producer | head` would never end. Other ignored
  // signals stay ignored, as whoever started the server (nohup, say) chose.
  struct sigaction to_default {};
  to_default.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current {};
    if (::sigaction(sig, nullptr, &current) != 0) continue;  // the C library's own signals
    const bool handled = current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
    if (handled || sig == SIGPIPE || sig == SIGXFSZ) ::sigaction(sig, &to_default, nullptr);
  }
  for (int fd = 0; fd < 3; ++fd) {
    if (::dup2(plan.streams[static_cast<std::size_t>(fd)], fd) < 0) return errno;
  }
  if (plan.sandbox != nullptr) {
    if (int error = plan.sandbox->restrict_child()) return error;
  }
  // Our own descriptors are all close-on-exec, but a library's (an fstream's, say) may not be.
  // Kernels before 5.9 have no close_range.
  if (::close_range(STDERR_FILENO + 1, ~0U, 0) != 0) {
    struct rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    for (rlim_t fd = STDERR_FILENO + 1; fd < std::min<rlim_t>(limit.rlim_cur, 1 << 20); ++fd) {
      ::close(static_cast<int>(fd));
    }
  }
  sigset_t no_mask;
  sigemptyset(&no_mask);
  ::sigprocmask(SIG_SETMASK, &no_mask, nullptr);
  ::execve(plan.path, plan.argv, plan.envp);
  return errno;
}

__attribute__((no_sanitize("address"))) int child_main(void* plan) {
  static_cast<SpawnPlan*>(plan)->error = prepare_child(*static_cast<SpawnPlan*>(plan));
  ::_exit(127);
}

// Starts the child with clone(CLONE_VM | CLONE_VFORK), as posix_spawn does, which leaves room
// between fork and exec to enter the sandbox. Returns the errno of the first step that failed,
// or 0 with `pid` set.
int spawn(const Command& command, const Sandbox* sandbox, int in, int out, int err, pid_t& pid) {
  std::string path;
  if (int error = resolve_program(command.program, path)) return error;
  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const std::string& arg : command.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp =
      command.environment.empty() ? std::vector<char*>{} : child_environment(command.environment);

  SpawnPlan plan;
  plan.path = path.c_str();
  plan.argv = argv.data();
  plan.envp = envp.empty() ? environ : envp.data();
  plan.streams = {in, out, err};
  plan.own_process_group = command.own_process_group;
  plan.sandbox = sandbox;

  void* stack = ::mmap(nullptr, kChildStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return errno;
  // Blocked until the child has exec'd: a signal must not run the server's handler in it.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid = ::clone(child_main, static_cast<char*>(stack) + kChildStackSize,
                CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
  const int clone_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::munmap(stack, kChildStackSize);
  if (pid < 0) return clone_error;
  if (plan.error != 0) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return plan.error;
  }
  return 0;
}

// Returns 0 with `pidfd` set, or the errno of pidfd_open.
int open_pidfd(pid_t pid, Fd& pidfd) {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) return errno;
  pidfd.reset(static_cast<int>(fd));
  return 0;
#else
  (void)pid;
  (void)pidfd;
  return ENOSYS;
#endif
}

int poll_timeout(Clock::duration left) {
  // Rounded up: a wake-up a little before the moment would only come back with nothing to do.
  const auto ms = std::chrono::ceil<milliseconds>(left).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
}

// Reads what one readiness report promised. Returns 0, or the errno of a failed read.
int read_once(Capture& capture, const RunOptions& options, bool& got_data) {
  char buffer[64 * 1024];
  const ssize_t n = ::read(capture.fd.get(), buffer, sizeof buffer);
  if (n < 0) return errno == EINTR || errno == EAGAIN ? 0 : errno;
  if (n == 0) {
    capture.fd.reset();
    return 0;
  }
  got_data = true;
  if (options.on_output) options.on_output(capture.stream, {buffer, static_cast<std::size_t>(n)});
  std::string& kept = *capture.kept;
  const std::size_t limit = options.capture_limit;
  if (options.keep == Keep::Tail) {
    kept.append(buffer, static_cast<std::size_t>(n));
    // Cut only once a whole limit's worth has piled up, so each byte is moved at most once.
    if (kept.size() > limit && kept.size() - limit >= limit) {
      kept.erase(0, kept.size() - limit);
      capture.cut = true;
    }
  } else if (kept.size() < limit) {
    kept.append(buffer, std::min(static_cast<std::size_t>(n), limit - kept.size()));
  }
  return 0;
}

void cut_to_tail(Capture& capture, std::size_t limit) {
  std::string& kept = *capture.kept;
  if (kept.size() > limit) {
    kept.erase(0, kept.size() - limit);
    capture.cut = true;
  }
  if (capture.cut) kept.erase(0, continuation_prefix(kept));
}

// Waits for the child while draining both captures, honouring the deadline, the tick, the
// input and the abandonment hooks. On success the child has been reaped, after its group; on
// failure it may still run.
Status supervise(Child& child, std::array<Capture, 2>& captures, const RunOptions& options,
                 RunResult& result) {
  Fd pidfd;
  if (int error = open_pidfd(child.pid(), pidfd); error != 0 && error != ENOSYS) {
    return os_error(error);
  }

  const RunHooks& hooks = options.hooks;
  const Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> deadline;
  if (options.time_limit) deadline = start + *options.time_limit;
  // A zero interval would turn the loop into a busy wait.
  const Clock::duration tick = std::max(hooks.tick_interval, milliseconds{1});
  Clock::time_point next_tick = start + tick;
  Clock::time_point quiet_until;
  Clock::time_point drain_cap;
  bool watching_input = hooks.input_fd >= 0 && hooks.on_input;

  for (;;) {
    Clock::time_point now = Clock::now();
    const bool running = !child.ended();
    if (!running &&
        ((!captures[0].fd && !captures[1].fd) || now >= quiet_until || now >= drain_cap)) {
      return child.finish();
    }

    std::optional<Clock::time_point> wake;
    const auto wake_by = [&wake](Clock::time_point at) {
      if (!wake || at < *wake) wake = at;
    };
    if (running) {
      if (deadline) wake_by(*deadline);
      if (hooks.on_tick) wake_by(next_tick);
      if (!pidfd) wake_by(now + kExitPollInterval);
    } else {
      wake_by(std::min(quiet_until, drain_cap));
    }

    std::array<pollfd, 5> watched{};
    nfds_t count = 0;
    const auto watch = [&watched, &count](int fd) {
      watched[count] = {fd, POLLIN, 0};
      return static_cast<int>(count++);
    };
    std::array<int, 2> capture_slot{-1, -1};
    for (std::size_t i = 0; i < captures.size(); ++i) {
      if (captures[i].fd) capture_slot[i] = watch(captures[i].fd.get());
    }
    const int exit_slot = running && pidfd ? watch(pidfd.get()) : -1;
    const int interrupt_slot = running && hooks.interrupt_fd >= 0 ? watch(hooks.interrupt_fd) : -1;
    const int input_slot = running && watching_input ? watch(hooks.input_fd) : -1;

    if (::poll(watched.data(), count, wake ? poll_timeout(*wake - now) : -1) < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    now = Clock::now();

    for (std::size_t i = 0; i < captures.size(); ++i) {
      if (capture_slot[i] < 0 || watched[capture_slot[i]].revents == 0) continue;
      bool got_data = false;
      if (int error = read_once(captures[i], options, got_data)) return os_error(error);
      if (got_data && !running) quiet_until = now + kPipeQuietPeriod;
    }
    if (!running) continue;

    if (exit_slot < 0 || watched[exit_slot].revents != 0) {
      if (int error = child.wait_for_end(WNOHANG)) return os_error(error);
    }
    if (input_slot >= 0 && watched[input_slot].revents != 0) watching_input = hooks.on_input();
    const short interrupt_events = interrupt_slot < 0 ? 0 : watched[interrupt_slot].revents;
    if (interrupt_events & POLLNVAL) return os_error(EBADF);
    const bool interrupted = !child.ended() && (interrupt_events != 0 || hooks.is_abandoned());
    const bool timed_out = !child.ended() && !interrupted && deadline && now >= *deadline;
    if (interrupted || timed_out) {
      child.kill();
      if (int error = child.wait_for_end(0)) return os_error(error);
      result.interrupted = interrupted;
      result.timed_out = timed_out;
    }
    if (child.ended()) {
      quiet_until = now + kPipeQuietPeriod;
      drain_cap = now + kPipeDrainCap;
      continue;
    }

    if (hooks.on_tick && now >= next_tick) {
      hooks.on_tick();
      next_tick += tick;
      // A slow hook must not cause a burst of catch-up calls.
      if (next_tick <= now) next_tick = now + tick;
    }
  }
}

}  // namespace

Result<RunResult> run(const Command& command, const RunOptions& options) {
  const RunHooks& hooks = options.hooks;
  if (hooks.on_start) hooks.on_start();
  if (hooks.is_abandoned()) {
    RunResult never_started;
    never_started.status = {ExitStatus::How::Signaled, SIGKILL};
    never_started.interrupted = true;
    return never_started;
  }
  // Recorded before the child exists, so that no moment of its life goes unrecorded.
  Command announced;
  if (hooks.announce) {
    const std::string token = new_run_token();
    if (Status recorded = hooks.announce(token); !recorded) return recorded.error();
    announced = command;
    announced.environment.push_back(std::string(kRunTokenVariable) + "=" + token);
  }
  const Command& started = hooks.announce ? announced : command;
  Fd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_in) return os_error(errno);
  Fd null_out;
  if (started.stdout_to == Sink::Null || started.stderr_to == Sink::Null) {
    null_out.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!null_out) return os_error(errno);
  }

  RunResult result;
  std::array<Capture, 2> captures;
  captures[0].kept = &result.out;
  captures[1].kept = &result.err;
  captures[1].stream = 1;
  const std::array<Sink, 2> sinks{started.stdout_to, started.stderr_to};
  std::array<Fd, 2> write_ends;
  for (std::size_t i = 0; i < sinks.size(); ++i) {
    if (sinks[i] != Sink::Pipe) continue;
    if (Status opened = open_pipe(captures[i].fd, write_ends[i]); !opened) return opened.error();
  }

  const auto target = [&null_out](const Fd& write_end) {
    return write_end ? write_end.get() : null_out.get();
  };
  pid_t pid = 0;
  if (int error = spawn(started, hooks.sandbox, null_in.get(), target(write_ends[0]),
                        target(write_ends[1]), pid)) {
    return os_error(error);
  }
  Child child(pid, started.own_process_group);
  // The child holds its own copies; ours would keep end-of-file from ever arriving.
  for (Fd& write_end : write_ends) write_end.reset();

  if (Status supervised = supervise(child, captures, options, result); !supervised) {
    return supervised.error();
  }
  result.status = child.status();
  if (options.keep == Keep::Tail) {
    for (Capture& capture : captures) cut_to_tail(capture, options.capture_limit);
  }
  return result;
}

}  // namespace quarry
