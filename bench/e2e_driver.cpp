// End-to-end figures of the server, measured as a client meets them: the server runs as a child
// over pipes in a fresh temporary directory, and every reply is checked before it counts. The
// machine is shared and noisy, so each timing is a median over repetitions and each comparison
// sets two things measured in the same run, interleaved, against each other.
//
// Usage: quarry_e2e_bench SERVER_BINARY [--baseline BINARY] [FIGURE...], all figures when none is
// named. The baseline is the server from before the undo journal (bench/run builds it), which
// large proposals are weighed against.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "sample_text.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::string_view kPassed = R"(\"passed\":true)";
constexpr std::string_view kRejected = R"(\"passed\":false)";
constexpr std::string_view kRefused = "identical edit-set already rejected; not re-applied";

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what) {
  fail(what + ": " + std::strerror(errno));
}

// The start of a reply, enough to see what went wrong without flooding the terminal.
std::string excerpt(std::string_view reply) {
  constexpr std::size_t kShown = 300;
  return std::string(reply.substr(0, kShown)) + (reply.size() > kShown ? "..." : "");
}

void expect(std::string_view reply, std::string_view needle) {
  if (reply.find(needle) == std::string_view::npos) {
    fail("expected " + std::string(needle) + " in the reply " + excerpt(reply));
  }
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::pair<Fd, Fd> make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) fail_errno("pipe2");
  return {Fd(ends[0]), Fd(ends[1])};
}

pid_t spawn(const char* program, char* const argv[], const posix_spawn_file_actions_t* actions) {
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, program, actions, nullptr, argv, environ);
  if (error != 0) {
    errno = error;
    fail_errno(std::string("posix_spawn ") + program);
  }
  return pid;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail_errno("waitpid");
  }
  return status;
}

// The driver's own cost of starting and reaping a trivial shell: the floor of any proposal,
// which runs its verifier through the same shell.
double time_shell_true() {
  char sh[] = "sh";
  char dash_c[] = "-c";
  char script[] = "true";
  char* argv[] = {sh, dash_c, script, nullptr};
  const Clock::time_point start = Clock::now();
  const int status = reap(spawn("sh", argv, nullptr));
  const double elapsed = seconds_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("sh -c true did not succeed");
  return elapsed;
}

// The server as a child process speaking over its standard input and output.
class Server {
 public:
  explicit Server(const std::string& binary, std::vector<std::string> options = {}) {
    auto [in_read, in_write] = make_pipe();
    auto [out_read, out_write] = make_pipe();
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in_read.get(), STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
    std::string program = binary;
    std::vector<char*> argv{program.data()};
    for (std::string& option : options) argv.push_back(option.data());
    argv.push_back(nullptr);
    try {
      pid_ = spawn(program.c_str(), argv.data(), &actions);
    } catch (...) {
      ::posix_spawn_file_actions_destroy(&actions);
      throw;
    }
    ::posix_spawn_file_actions_destroy(&actions);
    in_ = std::move(in_write);
    out_ = std::move(out_read);
    // Only our end becomes non-blocking, so a large request is written between reads of replies.
    if (::fcntl(in_.get(), F_SETFL, O_NONBLOCK) != 0) fail_errno("fcntl");
    buffer_.resize(kMiB);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() {
    if (pid_ > 0) {
      // End of input ends the server; a closed output keeps it from stalling on unread replies.
      in_.reset();
      out_.reset();
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }

  pid_t pid() const { return pid_; }
  std::uint64_t next_id() { return ++last_id_; }

  // Writes `requests` while reading `replies` reply lines, handing each to `check` in order.
  // Neither side can stall: the write never blocks, and replies are read as they come.
  template <typename Check>
  void exchange(std::string_view requests, std::size_t replies, Check&& check) {
    std::size_t written = 0;
    std::size_t received = 0;
    for (;;) {
      if (written < requests.size()) written += write_some(requests.substr(written));
      while (received < replies) {
        const std::optional<std::string_view> line = take_line();
        if (!line) break;
        check(*line);
        ++received;
      }
      if (received == replies && written == requests.size()) return;
      pollfd fds[2];
      nfds_t count = 0;
      if (written < requests.size()) fds[count++] = {in_.get(), POLLOUT, 0};
      if (received < replies) fds[count++] = {out_.get(), POLLIN, 0};
      if (::poll(fds, count, -1) < 0 && errno != EINTR) fail_errno("poll");
      if (received < replies && (fds[count - 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        read_some();
      }
    }
  }

  // One request line and its one reply.
  std::string call(std::string_view request) {
    std::string reply;
    exchange(request, 1, [&](std::string_view line) { reply = line; });
    return reply;
  }

 private:
  std::size_t write_some(std::string_view bytes) {
    const ssize_t written = ::write(in_.get(), bytes.data(), bytes.size());
    if (written >= 0) return static_cast<std::size_t>(written);
    if (errno == EAGAIN || errno == EINTR) return 0;
    fail_errno("writing to the server");
  }

  void read_some() {
    if (begin_ == end_) begin_ = end_ = scanned_ = 0;
    if (buffer_.size() - end_ < kMiB / 4) {
      if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        scanned_ -= begin_;
        begin_ = 0;
      }
      if (buffer_.size() - end_ < kMiB / 4) buffer_.resize(buffer_.size() * 2);
    }
    const ssize_t got = ::read(out_.get(), buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) {
      if (errno == EINTR) return;
      fail_errno("reading from the server");
    }
    if (got == 0) fail("the server closed its output");
    end_ += static_cast<std::size_t>(got);
  }

  std::optional<std::string_view> take_line() {
    const void* newline = std::memchr(buffer_.data() + scanned_, '\n', end_ - scanned_);
    if (newline == nullptr) {
      scanned_ = end_;
      return std::nullopt;
    }
    const std::size_t at =
        static_cast<std::size_t>(static_cast<const char*>(newline) - buffer_.data());
    const std::string_view line(buffer_.data() + begin_, at - begin_);
    begin_ = scanned_ = at + 1;
    return line;
  }

  pid_t pid_ = -1;
  Fd in_;
  Fd out_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t scanned_ = 0;
  std::uint64_t last_id_ = 0;
};

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          const char escape[] = {'\\', 'u', '0', '0', kHex[(c >> 4) & 0xF], kHex[c & 0xF]};
          out.append(escape, sizeof escape);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

std::string tools_call_prefix(std::uint64_t id, std::string_view tool) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":")" + std::string(tool) + R"(","arguments":)";
}

struct Edit {
  std::string_view path;
  std::string_view content;
};

std::string propose_line(std::uint64_t id, std::string_view task_id,
                         const std::vector<Edit>& edits) {
  std::size_t size = 256;
  for (const Edit& edit : edits) size += edit.path.size() + edit.content.size() * 11 / 10 + 32;
  std::string line;
  line.reserve(size);
  line += tools_call_prefix(id, "task_propose");
  line += R"({"task_id":)";
  append_json_string(line, task_id);
  line += R"(,"edits":[)";
  for (std::size_t i = 0; i < edits.size(); ++i) {
    if (i > 0) line += ',';
    line += R"({"path":)";
    append_json_string(line, edits[i].path);
    line += R"(,"content":)";
    append_json_string(line, edits[i].content);
    line += '}';
  }
  line += "]}}}\n";
  return line;
}

std::string start_task(Server& server, std::string_view verify_cmd,
                       const std::vector<std::string>& files) {
  std::string line = tools_call_prefix(server.next_id(), "task_start");
  line += R"({"goal":"measure the server","verify_cmd":)";
  append_json_string(line, verify_cmd);
  line += R"(,"max_attempts":10000000,"files":[)";
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i > 0) line += ',';
    append_json_string(line, files[i]);
  }
  line += "]}}}\n";
  const std::string reply = server.call(line);
  constexpr std::string_view kKey = R"(task_id\":\")";
  const std::size_t at = reply.find(kKey);
  const std::size_t end = at == std::string::npos ? at : reply.find('\\', at + kKey.size());
  if (end == std::string::npos) fail("task_start failed: " + excerpt(reply));
  return reply.substr(at + kKey.size(), end - at - kKey.size());
}

double time_proposal(Server& server, std::string_view task_id, const std::vector<Edit>& edits,
                     std::string_view expected) {
  const std::string line = propose_line(server.next_id(), task_id, edits);
  const Clock::time_point start = Clock::now();
  const std::string reply = server.call(line);
  const double elapsed = seconds_since(start);
  expect(reply, expected);
  return elapsed;
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) fail("cannot write " + path);
}

// A "Vm...:" figure of /proc/PID/status, in bytes.
std::size_t status_bytes(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stoull(line.substr(field.size())) * 1024;
  }
  fail("no " + std::string(field) + " in /proc/" + std::to_string(pid) + "/status");
}

std::size_t peak_rss_bytes(pid_t pid) {
  return status_bytes(pid, "VmHWM:");
}

std::size_t rss_bytes(pid_t pid) {
  return status_bytes(pid, "VmRSS:");
}

enum class Goal { AtMost, AtLeast };

struct Figure {
  std::string name;
  double value;
  double goal;
  Goal direction;
  std::string unit;
  std::string detail;
};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 1000 ? "%.0f" : "%.4g", value);
  return text;
}

int g_met = 0;
int g_figures = 0;

void report(const Figure& figure) {
  const double ratio = figure.value / figure.goal;
  const bool met = figure.direction == Goal::AtMost ? ratio <= 1.0 : ratio >= 1.0;
  ++g_figures;
  g_met += met ? 1 : 0;
  const std::string value = number(figure.value) + " " + figure.unit;
  const std::string goal =
      (figure.direction == Goal::AtMost ? "<= " : ">= ") + number(figure.goal) + " " + figure.unit;
  std::printf("%-34s %-20s %-22s %6.2f  %-4s  %s\n", figure.name.c_str(), value.c_str(),
              goal.c_str(), ratio, met ? "PASS" : "MISS", figure.detail.c_str());
  std::fflush(stdout);
}

std::string micros(double seconds) {
  return std::to_string(static_cast<long>(seconds * 1e6)) + " us";
}

struct Bench {
  std::string binary;
  std::string without_journal;  // the same server built without its undo journal
  std::string baseline;         // the server from before the journal; empty when not given
  std::string small_a = make_text(1024, 11);
  std::string small_b = make_text(1024, 12);
};

// One 1 KB proposal at a time against the driver spawning `sh -c true`, in rounds.
void small_proposal(const Bench& bench) {
  constexpr int kWarmUp = 10;
  constexpr int kRounds = 300;
  write_file("small.txt", bench.small_b);
  Server server(bench.binary);
  const std::string task = start_task(server, "true", {"small.txt"});
  std::vector<double> proposals;
  std::vector<double> shells;
  for (int round = 0; round < kWarmUp + kRounds; ++round) {
    const std::string_view content = round % 2 == 0 ? bench.small_a : bench.small_b;
    const double proposal = time_proposal(server, task, {{"small.txt", content}}, kPassed);
    const double shell = time_shell_true();
    if (round < kWarmUp) continue;
    proposals.push_back(proposal);
    shells.push_back(shell);
  }
  const double proposal = median(proposals);
  const double shell = median(shells);
  report({"small proposal / sh -c true", proposal / shell, 1.3, Goal::AtMost, "x",
          "proposal " + micros(proposal) + ", sh -c true " + micros(shell)});
}

// One server with a task over its own files, and the time each of its proposals took.
struct Contender {
  Contender(const std::string& binary, std::vector<std::string> options, std::string_view name,
            int file_count, std::string_view initial)
      : server(binary, std::move(options)) {
    for (int i = 0; i < file_count; ++i) {
      files.push_back(std::string(name) + "_" + std::to_string(i) + ".txt");
      write_file(files.back(), initial);
    }
    task = start_task(server, "true", files);
  }
  ~Contender() {
    for (const std::string& file : files) fs::remove(file);
  }

  Server server;
  std::vector<std::string> files;
  std::string task;
  std::vector<double> times;
};

// Each round every contender proposes contents[round % 2] for each of its files, who goes first
// rotating so that the page cache's after-effects are spread evenly.
void interleave(const std::vector<Contender*>& contenders, int warm_up, int rounds,
                const std::string (&contents)[2]) {
  const std::size_t count = contenders.size();
  for (int round = 0; round < warm_up + rounds; ++round) {
    for (std::size_t c = 0; c < count; ++c) {
      Contender& current = *contenders[(c + static_cast<std::size_t>(round)) % count];
      std::vector<Edit> edits;
      for (const std::string& file : current.files) edits.push_back({file, contents[round % 2]});
      const double elapsed = time_proposal(current.server, current.task, edits, kPassed);
      if (round >= warm_up) current.times.push_back(elapsed);
    }
  }
}

// A proposal of `file_count` files of `file_size` bytes each, against the server from before the
// undo journal, interleaved in one run.
void versus_baseline(const Bench& bench, const std::string& figure, int file_count,
                     std::size_t file_size, double goal) {
  constexpr int kWarmUp = 2;
  constexpr int kRounds = 15;
  if (bench.baseline.empty()) {
    std::printf("%-34s skipped: no --baseline server given\n", figure.c_str());
    return;
  }
  const std::string contents[] = {make_text(file_size, 21), make_text(file_size, 22)};
  Contender today(bench.binary, {}, "today", file_count, contents[1]);
  Contender before(bench.baseline, {}, "baseline", file_count, contents[1]);
  interleave({&today, &before}, kWarmUp, kRounds, contents);
  const double now = median(today.times);
  const double then = median(before.times);
  report({figure, now / then, goal, Goal::AtMost, "x",
          "journal on " + micros(now) + ", a310460 " + micros(then)});
}

void large_proposal(const Bench& bench) {
  versus_baseline(bench, "16 MiB proposal / a310460", 1, 16 * kMiB, 1.25);
}

void ten_files(const Bench& bench) {
  versus_baseline(bench, "10 x 1 MiB proposal / a310460", 10, kMiB, 1.3);
}

// The 16 MiB proposal with the undo journal, without it, and with --sync, interleaved.
void journal_cost(const Bench& bench) {
  constexpr int kWarmUp = 2;
  constexpr int kRounds = 11;
  if (!fs::exists(bench.without_journal)) {
    std::printf("%-34s skipped: %s not built\n", "large proposal, journal / none",
                bench.without_journal.c_str());
    return;
  }
  const std::string contents[] = {make_text(16 * kMiB, 21), make_text(16 * kMiB, 22)};
  Contender journal(bench.binary, {}, "journal", 1, contents[1]);
  Contender none(bench.without_journal, {}, "none", 1, contents[1]);
  Contender synced(bench.binary, {"--sync"}, "synced", 1, contents[1]);
  interleave({&journal, &none, &synced}, kWarmUp, kRounds, contents);
  const double with_journal = median(journal.times);
  const double without = median(none.times);
  report({"large proposal, journal / none", with_journal / without, 1.25, Goal::AtMost, "x",
          "journal " + micros(with_journal) + ", none " + micros(without) + ", --sync " +
              micros(median(synced.times))});
}

// The small proposal with its verifier confined and the same under --no-sandbox, interleaved.
void sandbox_cost(const Bench& bench) {
  constexpr int kWarmUp = 10;
  constexpr int kRounds = 300;
  const std::string contents[] = {bench.small_a, bench.small_b};
  Contender confined(bench.binary, {}, "confined", 1, contents[1]);
  Contender unconfined(bench.binary, {"--no-sandbox"}, "unconfined", 1, contents[1]);
  interleave({&confined, &unconfined}, kWarmUp, kRounds, contents);
  const double with_sandbox = median(confined.times);
  const double without = median(unconfined.times);
  report({"small proposal, sandbox / none", with_sandbox / without, 1.05, Goal::AtMost, "x",
          "sandbox " + micros(with_sandbox) + ", --no-sandbox " + micros(without)});
}

// task_start over 200 declared files of 1 MiB with the task store, and the same in the server
// built without its undo journal, which keeps no task on disk either (a start writes no journal),
// interleaved. The store copies the start bytes after the reply and the task's next request waits
// for the copy: the finish that follows each start, which the figure leaves out, shows it.
void start_cost(const Bench& bench) {
  constexpr int kFiles = 200;
  constexpr int kWarmUp = 2;
  constexpr int kRounds = 11;
  if (!fs::exists(bench.without_journal)) {
    std::printf("%-34s skipped: %s not built\n", "task_start 200 x 1 MiB, store / none",
                bench.without_journal.c_str());
    return;
  }
  const std::string content = make_text(kMiB, 61);
  std::vector<std::string> files;
  for (int i = 0; i < kFiles; ++i) {
    files.push_back("started_" + std::to_string(i) + ".txt");
    write_file(files.back(), content);
  }
  Server kept(bench.binary);
  Server bare(bench.without_journal);
  Server* servers[] = {&kept, &bare};
  std::vector<double> starts[2];
  std::vector<double> finishes[2];
  for (int round = 0; round < kWarmUp + kRounds; ++round) {
    for (int s = 0; s < 2; ++s) {
      const int which = (s + round) % 2;
      Server& server = *servers[which];
      Clock::time_point start = Clock::now();
      const std::string task = start_task(server, "true", files);
      const double started = seconds_since(start);
      std::string finish = tools_call_prefix(server.next_id(), "task_finish");
      finish += R"({"task_id":)";
      append_json_string(finish, task);
      finish += R"(,"commit":true}}})"
                "\n";
      start = Clock::now();
      expect(server.call(finish), R"(\"committed\":true)");
      if (round < kWarmUp) continue;
      starts[which].push_back(started);
      finishes[which].push_back(seconds_since(start));
    }
  }
  for (const std::string& file : files) fs::remove(file);
  const double with_store = median(starts[0]);
  const double without = median(starts[1]);
  report({"task_start 200 x 1 MiB, store / none", with_store / without, 1.5, Goal::AtMost, "x",
          "store " + micros(with_store) + ", none " + micros(without) + "; the finish after it " +
              micros(median(finishes[0])) + ", " + micros(median(finishes[1]))});
}

// task_start over one small file with 50 MiB of protected files (50 of 1 MiB), against the same
// start without --protect, interleaved. The copies of the protected files are taken before the
// task's first run, and shared while the files stay unchanged: the first run of each server's
// first task pays for them, shown beside.
void protected_start(const Bench& bench) {
  constexpr int kRounds = 21;
  fs::create_directories("protected");
  for (int i = 0; i < 50; ++i) {
    write_file("protected/" + std::to_string(i) + ".py", make_text(kMiB, 30 + i));
  }
  write_file("start.txt", bench.small_a);
  Server guarded(bench.binary, {"--root", ".", "--protect", "protected/**"});
  Server open(bench.binary, {"--root", "."});
  std::string task;  // the guarded server's last
  const auto time_start = [&task](Server& server) {
    const Clock::time_point start = Clock::now();
    std::string started = start_task(server, "true", {"start.txt"});
    const double elapsed = seconds_since(start);
    task = std::move(started);
    return elapsed;
  };
  std::vector<double> with_copies;
  std::vector<double> without;
  for (int round = 0; round < kRounds; ++round) {
    without.push_back(time_start(open));
    with_copies.push_back(time_start(guarded));
  }
  const double first_run = time_proposal(guarded, task, {{"start.txt", bench.small_b}}, kPassed);
  const double next_run = time_proposal(guarded, task, {{"start.txt", bench.small_a}}, kPassed);
  fs::remove_all("protected");
  const double now = median(with_copies);
  const double then = median(without);
  report({"task_start, 50 MiB protected / none", now / then, 1.5, Goal::AtMost, "x",
          "protected " + micros(now) + ", none " + micros(then) + "; first run " +
              micros(first_run) + ", next " + micros(next_run)});
}

// A rejected edit-set proposed again and again, the repeats pipelined.
void refusals(const Bench& bench) {
  constexpr int kReps = 5;
  constexpr std::size_t kPerRep = 40000;
  write_file("refused.txt", bench.small_b);
  Server server(bench.binary);
  const std::string task = start_task(server, "false", {"refused.txt"});
  const std::vector<Edit> edits{{"refused.txt", bench.small_a}};
  const std::string first = server.call(propose_line(server.next_id(), task, edits));
  expect(first, kRejected);
  if (first.find(kRefused) != std::string::npos) fail("the first proposal was refused");
  std::vector<double> rates;
  for (int rep = 0; rep < kReps; ++rep) {
    std::string requests;
    for (std::size_t i = 0; i < kPerRep; ++i)
      requests += propose_line(server.next_id(), task, edits);
    const Clock::time_point start = Clock::now();
    server.exchange(requests, kPerRep, [](std::string_view reply) { expect(reply, kRefused); });
    rates.push_back(static_cast<double>(kPerRep) / seconds_since(start));
  }
  report({"refusals, pipelined", median(rates), 100000, Goal::AtLeast, "/s",
          std::to_string(kReps) + " x " + std::to_string(kPerRep) + " requests"});
}

// tools/list, pipelined.
void tools_list(const Bench& bench) {
  constexpr int kReps = 5;
  constexpr std::size_t kPerRep = 100000;
  Server server(bench.binary);
  std::vector<double> rates;
  for (int rep = 0; rep < kReps; ++rep) {
    std::string requests;
    for (std::size_t i = 0; i < kPerRep; ++i) {
      requests += R"({"jsonrpc":"2.0","id":)" + std::to_string(server.next_id()) +
                  R"(,"method":"tools/list"})" + "\n";
    }
    const Clock::time_point start = Clock::now();
    server.exchange(requests, kPerRep, [](std::string_view reply) {
      expect(reply,
             R"(,"jsonrpc":"2.0","result":{"tools":[{"description":"Start a verifier-gated)");
    });
    rates.push_back(static_cast<double>(kPerRep) / seconds_since(start));
  }
  report({"tools/list, pipelined", median(rates), 200000, Goal::AtLeast, "/s",
          std::to_string(kReps) + " x " + std::to_string(kPerRep) + " requests"});
}

// The same small proposal to a task holding 1 GiB of snapshots and to one holding 1 KB,
// in one server, interleaved.
void proposal_under_snapshot(const Bench& bench) {
  constexpr int kLargeFiles = 64;
  constexpr int kWarmUp = 10;
  constexpr int kRounds = 200;
  const std::string large = make_text(16 * kMiB, 31);
  std::vector<std::string> files;
  for (int i = 0; i < kLargeFiles; ++i) {
    files.push_back("held_" + std::to_string(i) + ".txt");
    write_file(files.back(), large);
  }
  write_file("edited_held.txt", bench.small_b);
  write_file("edited_bare.txt", bench.small_b);
  files.push_back("edited_held.txt");
  Server server(bench.binary);
  const std::string held = start_task(server, "true", files);
  const std::string bare = start_task(server, "true", {"edited_bare.txt"});
  std::vector<double> held_times;
  std::vector<double> bare_times;
  for (int round = 0; round < kWarmUp + kRounds; ++round) {
    const std::string_view content = round % 2 == 0 ? bench.small_a : bench.small_b;
    const auto propose_held = [&] {
      return time_proposal(server, held, {{"edited_held.txt", content}}, kPassed);
    };
    const auto propose_bare = [&] {
      return time_proposal(server, bare, {{"edited_bare.txt", content}}, kPassed);
    };
    // Alternating which goes first keeps any after-effect of one from landing on the other.
    double held_time = 0;
    double bare_time = 0;
    if (round % 4 < 2) {
      held_time = propose_held();
      bare_time = propose_bare();
    } else {
      bare_time = propose_bare();
      held_time = propose_held();
    }
    if (round < kWarmUp) continue;
    held_times.push_back(held_time);
    bare_times.push_back(bare_time);
  }
  for (int i = 0; i < kLargeFiles; ++i) fs::remove(files[static_cast<std::size_t>(i)]);
  const double with_snapshot = median(held_times);
  const double without = median(bare_times);
  report({"proposal, 1 GiB held / none", with_snapshot / without, 1.15, Goal::AtMost, "x",
          "held " + micros(with_snapshot) + ", none " + micros(without)});
}

// From spawning the server to reading its reply to initialize.
void start_up(const Bench& bench) {
  constexpr int kWarmUp = 3;
  constexpr int kReps = 50;
  constexpr std::string_view kInitialize =
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05",)"
      R"("capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})"
      "\n";
  std::vector<double> times;
  std::vector<double> shells;
  for (int rep = 0; rep < kWarmUp + kReps; ++rep) {
    const Clock::time_point start = Clock::now();
    Server server(bench.binary);
    const std::string reply = server.call(kInitialize);
    const double elapsed = seconds_since(start);
    expect(reply, R"("protocolVersion":"2024-11-05")");
    // The goal is absolute; the shell in the same rounds shows what the machine gives today.
    const double shell = time_shell_true();
    if (rep < kWarmUp) continue;
    times.push_back(elapsed);
    shells.push_back(shell);
  }
  report({"start-up to initialize reply", median(times) * 1e3, 5, Goal::AtMost, "ms",
          "sh -c true in the same rounds " + micros(median(shells))});
}

// Peak resident memory for 200 declared files of 1 MiB and 20 proposals of 10 files.
void peak_memory(const Bench& bench) {
  constexpr int kFiles = 200;
  constexpr int kProposals = 20;
  constexpr int kPerProposal = 10;
  const std::string contents[] = {make_text(kMiB, 41), make_text(kMiB, 42)};
  std::vector<std::string> files;
  for (int i = 0; i < kFiles; ++i) {
    files.push_back("declared_" + std::to_string(i) + ".txt");
    write_file(files.back(), contents[0]);
  }
  Server server(bench.binary);
  const std::string task = start_task(server, "true", files);
  std::size_t largest_line = 0;
  for (int p = 0; p < kProposals; ++p) {
    std::vector<Edit> edits;
    for (int i = 0; i < kPerProposal; ++i) {
      edits.push_back({files[static_cast<std::size_t>(p * kPerProposal + i)], contents[1]});
    }
    const std::string line = propose_line(server.next_id(), task, edits);
    largest_line = std::max(largest_line, line.size());
    expect(server.call(line), kPassed);
  }
  const double peak = static_cast<double>(peak_rss_bytes(server.pid())) / kMiB;
  const double snapshot = static_cast<double>(kFiles * kMiB) / kMiB;
  const double line = static_cast<double>(largest_line) / kMiB;
  const double bound = snapshot + 3 * line + 32;
  char detail[96];
  std::snprintf(detail, sizeof detail, "bound = %.0f MiB snapshot + 3 x %.1f MiB line + 32 MiB",
                snapshot, line);
  report({"peak RSS", peak, bound, Goal::AtMost, "MiB", detail});
  for (const std::string& file : files) fs::remove(file);
}

// Resident memory before one 60 MB proposal and once idle after it: what it grew must be given
// back.
void memory_after_large(const Bench& bench) {
  write_file("after_large.txt", bench.small_b);
  Server server(bench.binary);
  const std::string task = start_task(server, "true", {"after_large.txt"});
  time_proposal(server, task, {{"after_large.txt", bench.small_a}}, kPassed);
  const double before = static_cast<double>(rss_bytes(server.pid())) / kMiB;
  const std::string large = make_text(60'000'000, 51);
  time_proposal(server, task, {{"after_large.txt", large}}, kPassed);
  // The server gives memory back once it has had no input for about a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const double after = static_cast<double>(rss_bytes(server.pid())) / kMiB;
  char detail[96];
  std::snprintf(detail, sizeof detail, "before %.1f MiB, after %.1f MiB, peak %.0f MiB", before,
                after, static_cast<double>(peak_rss_bytes(server.pid())) / kMiB);
  report({"RSS kept after a 60 MB request", after - before, 24, Goal::AtMost, "MiB", detail});
}

// Resident memory per remembered attempt whose verifier printed more than the output keeps.
void memory_per_attempt(const Bench& bench) {
  constexpr int kAttempts = 2000;
  write_file("attempts.txt", bench.small_b);
  Server server(bench.binary);
  const std::string task =
      start_task(server, "head -c 20000 /dev/zero | tr '\\0' a; head -c 20000 /dev/zero >&2",
                 {"attempts.txt"});
  time_proposal(server, task, {{"attempts.txt", "warm-up"}}, kPassed);
  const std::size_t before = rss_bytes(server.pid());
  for (int i = 0; i < kAttempts; ++i) {
    const std::string content = std::to_string(i);
    time_proposal(server, task, {{"attempts.txt", content}}, kPassed);
  }
  const double per_attempt =
      static_cast<double>(rss_bytes(server.pid()) - before) / static_cast<double>(kAttempts);
  report({"RSS per attempt, 8 KB output", per_attempt, 11000, Goal::AtMost, "B",
          std::to_string(kAttempts) + " attempts, output cut at 8000 bytes"});
}

// What a test run prints: `size` bytes of passing tests, then a failure's summary lines.
std::string test_run_output(std::size_t size) {
  std::string output;
  for (int i = 0; output.size() < size; ++i) {
    output += "tests/test_b.py::test_case_" + std::to_string(i) + " PASSED\n";
  }
  return output + "FAILED tests/test_a.py::test_x - AssertionError\n1 failed, 999 passed\n";
}

// A proposal whose verifier prints 200 KB against one whose verifier prints 8 KB, in one server
// speaking 2025-06-18, interleaved: what the log written as the output comes, the cut of its head
// and tail and the reading of its failures cost a verbose verifier.
void verbose_verifier(const Bench& bench) {
  constexpr int kWarmUp = 5;
  constexpr int kRounds = 101;
  write_file("output_200k.txt", test_run_output(200'000));
  write_file("output_8k.txt", test_run_output(8'000));
  write_file("verbose.txt", bench.small_b);
  write_file("terse.txt", bench.small_b);
  Server server(bench.binary);
  expect(server.call(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{)"
                     R"("protocolVersion":"2025-06-18","capabilities":{},)"
                     R"("clientInfo":{"name":"bench","version":"1"}}})"
                     "\n"),
         R"("protocolVersion":"2025-06-18")");
  const std::string verbose = start_task(server, "cat output_200k.txt", {"verbose.txt"});
  const std::string terse = start_task(server, "cat output_8k.txt", {"terse.txt"});
  std::vector<double> verbose_times;
  std::vector<double> terse_times;
  for (int round = 0; round < kWarmUp + kRounds; ++round) {
    const std::string_view content = round % 2 == 0 ? bench.small_a : bench.small_b;
    double times[2];
    // Alternating which goes first keeps any after-effect of one from landing on the other.
    for (int i = 0; i < 2; ++i) {
      const bool first_verbose = round % 4 < 2;
      const bool is_verbose = (i == 0) == first_verbose;
      times[is_verbose ? 0 : 1] =
          time_proposal(server, is_verbose ? verbose : terse,
                        {{is_verbose ? "verbose.txt" : "terse.txt", content}}, kPassed);
    }
    if (round < kWarmUp) continue;
    verbose_times.push_back(times[0]);
    terse_times.push_back(times[1]);
  }
  const double large = median(verbose_times);
  const double small = median(terse_times);
  report({"proposal, 200 KB output / 8 KB", large / small, 1.1, Goal::AtMost, "x",
          "200 KB " + micros(large) + ", 8 KB " + micros(small)});
}

struct Measurement {
  std::string_view name;
  void (*run)(const Bench&);
};

constexpr Measurement kMeasurements[] = {
    {"small", small_proposal},
    {"sandbox", sandbox_cost},
    {"protected-start", protected_start},
    {"large", large_proposal},
    {"ten-files", ten_files},
    {"journal", journal_cost},
    {"start", start_cost},
    {"refusals", refusals},
    {"tools-list", tools_list},
    {"snapshot", proposal_under_snapshot},
    {"start-up", start_up},
    {"peak-rss", peak_memory},
    {"rss-after-large", memory_after_large},
    {"rss-per-attempt", memory_per_attempt},
    {"verbose-verifier", verbose_verifier},
};

fs::path make_temporary_directory() {
  std::string pattern = (fs::temp_directory_path() / "quarry-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) fail_errno("mkdtemp");
  return pattern;
}

int usage() {
  std::fprintf(stderr,
               "usage: quarry_e2e_bench SERVER_BINARY [--baseline BINARY] [FIGURE...]\nfigures:");
  for (const Measurement& m : kMeasurements) std::fprintf(stderr, " %s", m.name.data());
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  int first_figure = 2;
  std::string baseline;
  if (argc >= 4 && std::string_view(argv[2]) == "--baseline") {
    baseline = fs::absolute(argv[3]).string();
    first_figure = 4;
  }
  std::vector<const Measurement*> chosen;
  for (int i = first_figure; i < argc; ++i) {
    const auto found = std::find_if(std::begin(kMeasurements), std::end(kMeasurements),
                                    [&](const Measurement& m) { return m.name == argv[i]; });
    if (found == std::end(kMeasurements)) return usage();
    chosen.push_back(found);
  }
  if (chosen.empty()) {
    for (const Measurement& m : kMeasurements) chosen.push_back(&m);
  }
  // A server that dies must surface as a failed write, not end the driver.
  ::signal(SIGPIPE, SIG_IGN);
  const fs::path binary = fs::absolute(argv[1]);
  Bench bench{binary.string(),
              (binary.parent_path() / "bench/quarry_agent_task_without_journal").string(),
              baseline};
  const fs::path directory = make_temporary_directory();
  const fs::path previous = fs::current_path();
  int status = 0;
  try {
    fs::current_path(directory);
    std::printf("%-34s %-20s %-22s %6s  %-4s  %s\n", "figure", "value", "goal", "ratio", "", "");
    // Each figure in a project of its own: open tasks a figure's servers leave are no other's.
    for (const Measurement* m : chosen) {
      fs::current_path(directory);
      fs::create_directory(directory / m->name);
      fs::current_path(directory / m->name);
      m->run(bench);
    }
    std::printf("%d of %d goals met (ratio = value / goal)\n", g_met, g_figures);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quarry_e2e_bench: %s\n", error.what());
    status = 1;
  }
  fs::current_path(previous);
  fs::remove_all(directory);
  return status;
}
