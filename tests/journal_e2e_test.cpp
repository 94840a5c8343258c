// The undo journal through the built server: a server killed while its verifier runs leaves the
// files holding an edit-set nobody judged, and the next server started there puts them back
// before it reads its first request.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "provenance.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kStart[] = "start\0bytes\n";
const std::string kPrior(kStart, sizeof kStart - 1);

std::vector<std::string> journals_in(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code none;
  for (const auto& entry : fs::directory_iterator(state_directory(dir), none)) {
    if (entry.path().extension() == ".journal") names.push_back(entry.path().string());
  }
  return names;
}

std::string little_endian(std::uint64_t value, int size) {
  std::string bytes;
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}

// What a server of `version` left, killed while its verifier judged `path` → "unverified" over
// kPrior: the header claiming `count` paths and the prior `prior_length` bytes, then `marks`.
std::string planted_journal(int version, const std::string& base, const std::string& path,
                            const std::string& marks = "", std::uint64_t count = 1,
                            std::uint64_t prior_length = kPrior.size()) {
  const auto str = [](const std::string& text) { return little_endian(text.size(), 8) + text; };
  const std::string digest = version == 1 ? sha256_hex("unverified") : content_digest("unverified");
  const std::string bytes = "quarry-agent-task journal\n" + little_endian(version, 5) + str(base) +
                            little_endian(count, 4) + '\x01' + little_endian(0754, 4) + str(path) +
                            digest + little_endian(prior_length, 8) + kPrior;
  return bytes + "complete" + little_endian(bytes.size(), 8) + marks;
}

// The start time of process `pid` (/proc/PID/stat's 22nd field), as a journal once recorded it.
std::uint64_t start_time_of(int pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 0; i < 20; ++i) fields >> field;
  return std::stoull(field);
}

// The calls of `trace` (strace -y) that make data durable or open a file to write, in order
// and each followed by "; ": paths relative to `project`, `state` as S, a journal's name as J.
std::string durability_calls(const std::string& trace, const std::string& project,
                             const std::string& state) {
  static const std::regex call(R"re(^\d+ +(\w+)\(\w*<([^>]*)>(?:, "([^"]*)", (\S+))?)re");
  static const std::regex mkdir_call(R"re(^\d+ +(mkdir)\("([^"]*)")re");
  static const std::regex journal(R"(\d+-\d+\.journal)");
  static const std::regex task(R"(task-[0-9a-f]+-\d+)");
  std::string calls;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, call) && !std::regex_search(line, m, mkdir_call)) continue;
    if (m[1] == "openat" && m[4].str().find("WR") == std::string::npos) continue;
    // Verifier logs are never flushed: nothing depends on them surviving a power loss.
    if (m[2].str().starts_with(state + "/logs") || m[3] == "logs") continue;
    std::string where = m[3].matched && m[1] != "mkdir" ? m[3].str() : m[2].str();
    if (where.starts_with(state)) {
      where.replace(0, state.size(), "S");
    } else if (where == fs::path(state).parent_path()) {
      where = "S/..";
    } else if (!m[3].matched || m[1] == "mkdir") {
      where = fs::relative(where, project).string();
    }
    calls += m[1].str() + " " +
             std::regex_replace(std::regex_replace(where, journal, "J"), task, "T") + "; ";
  }
  return calls;
}

class JournalRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "a", kPrior, 0754);
    server_ = std::make_unique<ServerSession>(dir_.path());
  }
  void TearDown() override {
    if (verifier_ > 0) ::kill(-verifier_, SIGKILL);
  }

  // A task over a and new/b, started on `server`, and its proposal of both.
  static std::string propose_both(ServerSession& server, const std::string& verify_cmd) {
    const std::string task = start_task(server, verify_cmd, {"a", "new/b"});
    server.send(propose_line(
        2, task,
        {{{"path", "a"}, {"content", "unverified"}}, {{"path", "new/b"}, {"content", "x"}}}));
    return task;
  }
  // Proposes a and new/b under a verifier that never ends, and waits until both are written.
  void propose_and_hang() {
    propose_both(*server_, "chmod 600 a; echo $$ > verifier.pid; exec sleep 30");
    ASSERT_TRUE(wait_until([&] { return !read_file(dir_ / "verifier.pid").empty(); }, 15s));
    verifier_ = std::atoi(read_file(dir_ / "verifier.pid").c_str());
    ASSERT_EQ(read_file(dir_ / "a"), "unverified");
  }
  void kill_server() { server_.reset(); }  // the session's end is SIGKILL
  // The shell prefix that runs the server under strace, killed before its `nth` call of `call`.
  static std::string killed_at(const std::string& call, int nth) {
    return "umask 022; ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 exec /usr/bin/strace -o "
           "/dev/null -e trace=" +
           call + " -e inject=" + call + ":signal=SIGKILL:when=" + std::to_string(nth) + " \"$@\"";
  }
  // Kills the server during the verifier and cuts its journal to `size(its size)` bytes.
  std::string kill_and_cut_journal(const std::function<std::uintmax_t(std::uintmax_t)>& size) {
    propose_and_hang();
    kill_server();
    const std::vector<std::string> journals = journals_in(dir_.path());
    EXPECT_EQ(journals.size(), 1u);
    fs::resize_file(journals.at(0), size(fs::file_size(journals.at(0))));
    return journals.at(0);
  }
  // A second server in the same directory: its standard error once it has answered
  // initialize and ended.
  std::string next_server_err() {
    ServerSession next(dir_.path());
    EXPECT_EQ(next.request(initialize_line("1")), initialize_reply("1"));
    after_initialize_ = read_file(dir_ / "a");
    const ServerRun run = next.wait();
    EXPECT_EQ(run.exit_code, 0);
    return run.err;
  }

  // The bytes and mode of a and new/b, once set as given when `a` is.
  std::string files(std::optional<std::string> a = {}, int mode = 0754, bool b = false) const {
    if (a) write_file(dir_ / "a", *a, mode);
    if (a) fs::remove_all(dir_ / "new");
    if (b) write_file(dir_ / "new/b", "x");
    std::string state;
    for (const std::string& path : {dir_ / "a", dir_ / "new/b"}) {
      const auto perms = static_cast<int>(fs::symlink_status(path).permissions());
      state += file_exists(path) ? std::to_string(perms) + " " + read_file(path) + "; " : "none; ";
    }
    return state;
  }

  TempDir dir_;
  const std::string state_ = state_directory(dir_.path());
  std::unique_ptr<ServerSession> server_;
  int verifier_ = 0;
  std::string after_initialize_;
};

TEST_F(JournalRecovery, KilledDuringTheVerifierIsPutBackAtTheNextStart) {
  propose_and_hang();
  // Its owner is alive: another server started there leaves it alone.
  EXPECT_EQ(next_server_err(), "");
  EXPECT_EQ(after_initialize_, "unverified");
  ASSERT_EQ(journals_in(dir_.path()).size(), 1u);

  kill_server();
  EXPECT_EQ(next_server_err(),
            "quarry_agent_task: recovered new/b: removed\n"
            "quarry_agent_task: recovered a: prior bytes restored\n");
  EXPECT_EQ(after_initialize_, kPrior);
  EXPECT_EQ(fs::status(dir_ / "a").permissions(), fs::perms(0754));
  // The verifier outlived its server; left running, it would rewrite what was put back.
  EXPECT_TRUE(process_group_gone(verifier_));
  EXPECT_FALSE(file_exists(dir_ / "new/b"));
  EXPECT_TRUE(journals_in(dir_.path()).empty());
}

// Recovery stops what the dead server's runs started, a baseline's included, however they left
// their group, and nothing else: neither a process id and its start time, which anyone can read
// and write into a journal, nor a run of another project's journal, whose server stops it.
TEST_F(JournalRecovery, RecoveryStopsWhatItsRunsStartedAndNothingElse) {
  const std::string token = "0123456789abcdef0123456789abcdef";
  const pid_t bystander = ::fork();
  if (bystander == 0) {
    ::setsid();
    const std::string carried = "QUARRY_AGENT_TASK_RUN=" + token;
    const char* environment[] = {carried.c_str(), nullptr};
    ::execle("/bin/sleep", "sleep", "30", nullptr, environment);
    ::_exit(127);
  }
  ASSERT_TRUE(wait_until(
      [&] {
        return read_file("/proc/" + std::to_string(bystander) + "/cmdline").starts_with("sleep");
      },
      5s));
  const std::string late = "echo $$ > verifier.pid; (sleep 0.5; echo late > a) & ";
  const std::string project = fs::canonical(dir_.path());
  std::string token_bytes;
  for (std::size_t i = 0; i < token.size(); i += 2) {
    token_bytes.push_back(static_cast<char>(std::stoi(token.substr(i, 2), nullptr, 16)));
  }
  const std::vector<std::pair<std::string, std::function<void()>>> rows = {
      {"a verifier whose leader has exited",
       [&] {
         propose_both(*server_, late + "exec sleep 30");
         ASSERT_TRUE(wait_until([&] { return file_exists(dir_ / "verifier.pid"); }, 15s));
         kill_server();
         ::kill(std::atoi(read_file(dir_ / "verifier.pid").c_str()), SIGKILL);
       }},
      {"a baseline",
       [&] {
         server_->send(call_line(1, "task_start",
                                 {{"goal", "g"},
                                  {"verify_cmd", late + "exec sleep 30"},
                                  {"files", {"a"}},
                                  {"baseline", true}}));
         ASSERT_TRUE(wait_until([&] { return file_exists(dir_ / "verifier.pid"); }, 15s));
         kill_server();
       }},
      {"an unrelated group a journal of the old format names",
       [&] {
         write_file(state_ + "/1-0.journal",
                    planted_journal(2, project, "a",
                                    'V' + little_endian(bystander, 4) +
                                        little_endian(start_time_of(bystander), 8)));
       }},
      {"a run another project's journal names",
       [&] {
         write_file(state_ + "/1-0.journal",
                    planted_journal(3, project + "/elsewhere", "a", 'T' + token_bytes));
       }},
  };
  for (const auto& [name, kill_during_run] : rows) {
    SCOPED_TRACE(name);
    files(kPrior);
    fs::remove(dir_ / "verifier.pid");
    server_ = std::make_unique<ServerSession>(dir_.path());
    kill_during_run();
    next_server_err();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(read_file(dir_ / "a"), kPrior);
    fs::remove(state_ + "/1-0.journal");
    EXPECT_TRUE(journals_in(dir_.path()).empty());
    // Alive, not a zombie.
    EXPECT_FALSE(read_file("/proc/" + std::to_string(bystander) + "/cmdline").empty());
  }
  ::kill(bystander, SIGKILL);
  ::waitpid(bystander, nullptr, 0);
}

// The token of a verifier is in its journal before the verifier exists: a server killed the
// moment the child is started still leaves it named. The kill falls on the first close after
// the spawn, found by tracing the same session once.
TEST_F(JournalRecovery, AVerifierStartedTheMomentItsServerDiedIsStopped) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  kill_server();
  const auto session = [&](const std::string& trace, const std::string& verify_cmd) {
    ServerSession server(dir_.path(), "",
                         "ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 exec /usr/bin/strace -o "
                         "trace -e trace=close,clone,clone3,vfork " +
                             trace + " \"$@\"");
    try {
      propose_both(server, verify_cmd);
      server.read_line();
    } catch (const std::runtime_error&) {
    }
    return server.wait().signal;
  };
  ASSERT_EQ(session("", "exit 1"), 0);
  std::istringstream calls(read_file(dir_ / "trace"));
  int closes = 0;
  bool spawned = false;
  for (std::string line; std::getline(calls, line);) {
    spawned = spawned || line.starts_with("clone") || line.starts_with("vfork");
    if (line.starts_with("close") && (++closes, spawned)) break;
  }
  ASSERT_TRUE(spawned);
  EXPECT_EQ(session("-e inject=close:signal=SIGKILL:when=" + std::to_string(closes),
                    "sleep 0.5; echo late > a"),
            SIGKILL);
  next_server_err();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(read_file(dir_ / "a"), kPrior);
}

// A file someone changed after the proposal wrote it is theirs now: it stays, and its bytes
// from before the proposal are kept where the operator can find them.
TEST_F(JournalRecovery, AFileChangedSinceIsLeftAndItsPriorBytesSaved) {
  propose_and_hang();
  kill_server();
  write_file(dir_ / "a", "edited by hand");
  // --recover does only this, and says by its status that a file was left.
  ServerSession recover(dir_.path(), "", "exec \"$@\" --recover");
  const ServerRun run = recover.wait();
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "quarry_agent_task: recovered new/b: removed\n"
            "quarry_agent_task: left a as it is: it changed after the interrupted proposal wrote "
            "it; its prior bytes are in " +
                state_ + "/recovered/a\n");
  EXPECT_EQ(read_file(dir_ / "a"), "edited by hand");
  EXPECT_EQ(read_file(state_ + "/recovered/a"), kPrior);
  EXPECT_TRUE(journals_in(dir_.path()).empty());
}

// Recovery removes the file the proposal created, never one a link planted since leads to,
// however alike their bytes.
TEST_F(JournalRecovery, ALinkPlantedWhereAFileWasCreatedIsNotFollowed) {
  propose_and_hang();
  kill_server();
  write_file(dir_ / "other", "x");
  fs::remove(dir_ / "new/b");
  fs::create_symlink("../other", dir_ / "new/b");
  EXPECT_EQ(next_server_err(),
            "quarry_agent_task: left new/b as it is: it is not the file the interrupted proposal "
            "created\n"
            "quarry_agent_task: recovered a: prior bytes restored\n");
  EXPECT_EQ(read_file(dir_ / "other"), "x");
}

// Cut before its trailer, a journal was still being written: no file had been touched yet. A
// shared journal directory holds other programs' files too; a FIFO must not hang the start.
TEST_F(JournalRecovery, AJournalCutShortIsDiscardedWithoutTouchingFiles) {
  const std::string journal = kill_and_cut_journal([](std::uintmax_t size) { return size / 2; });
  write_file(state_ + "/notes.journal", "someone else's");
  ASSERT_EQ(::mkfifo((state_ + "/fifo.journal").c_str(), 0600), 0);
  EXPECT_EQ(next_server_err(), "quarry_agent_task: discarded the incomplete journal " + journal +
                                   ": no file had been written\n");
  EXPECT_EQ(read_file(dir_ / "a"), "unverified");
  EXPECT_EQ(journals_in(dir_.path()).size(), 2u);
  EXPECT_EQ(read_file(state_ + "/notes.journal"), "someone else's");
}

// Killed part-way through a file, the server left neither the old bytes nor the new ones: that
// file goes back whatever it holds. A file deleted since comes back too.
TEST_F(JournalRecovery, AFileCutByTheKillGoesBackWhateverItHolds) {
  // The mark that every write was done (1 byte) comes before the verifier's token (17 bytes).
  kill_and_cut_journal([](std::uintmax_t size) { return size - 18; });
  write_file(dir_ / "new/b", "");
  fs::remove(dir_ / "a");
  EXPECT_EQ(next_server_err(), "quarry_agent_task: recovered new/b: removed; what it held is in " +
                                   state_ +
                                   "/recovered/new/b\n"
                                   "quarry_agent_task: recovered a: prior bytes restored\n");
  EXPECT_FALSE(file_exists(dir_ / "new/b"));
  EXPECT_EQ(read_file(dir_ / "a"), kPrior);
}

// A rollback that fails keeps the journal; the next start puts the file back whatever it
// holds by then, keeping that too.
TEST_F(JournalRecovery, AFailedRollbackIsFinishedByTheNextStart) {
  const std::string task = start_task(*server_, "rm a; mkdir a; exit 1", {"a"});
  EXPECT_EQ(tool_text(server_->request(
                propose_line(2, task, {{{"path", "a"}, {"content", "unverified"}}})))["output"],
            "rollback failed for a: Is a directory (os error 21)");
  EXPECT_EQ(server_->wait().exit_code, 0);
  fs::remove(dir_ / "a");
  write_file(dir_ / "a", "later");
  EXPECT_EQ(next_server_err(),
            "quarry_agent_task: recovered a: prior bytes restored; what it held is in " + state_ +
                "/recovered/a\n");
  EXPECT_EQ(read_file(dir_ / "a"), kPrior);
  EXPECT_EQ(read_file(state_ + "/recovered/a"), "later");
}

// Two servers on one project: while one's proposal on a file is judged, the other takes neither
// a start state nor a prior state of that file, and says why without counting an attempt.
TEST_F(JournalRecovery, TwoServersNeverTakeEachOthersUnjudgedBytes) {
  ServerSession other(dir_.path());
  const std::string task = start_task(other, "true", {"a"});
  propose_and_hang();
  const std::string busy = "a is being changed by another task; try again when it ends";
  EXPECT_EQ(other.request(direct_line(2, "task_start",
                                      {{"goal", "g"}, {"verify_cmd", "true"}, {"files", {"a"}}})),
            error_line(2, -32602, "task_start failed: " + busy));
  EXPECT_EQ(other.request(propose_line(3, task, {{{"path", "a"}, {"content", "other"}}})),
            tool_error_line(3, busy));
  ::kill(-verifier_, SIGKILL);
  EXPECT_FALSE(tool_text(server_->read_line())["passed"]);
  EXPECT_EQ(read_file(dir_ / "a"), kPrior);
  EXPECT_EQ(tool_text(other.request(
                propose_line(4, task, {{{"path", "a"}, {"content", "o"}}})))["attempt"],
            1);
}

// A put-back that finished is marked done: when another path of the same rollback fails and the
// journal stays, an edit made since to the path already put back is left, its prior bytes kept.
TEST_F(JournalRecovery, APutBackDoneIsNotDoneAgainOverALaterEdit) {
  write_file(dir_ / "c", "c");
  const std::string task = start_task(*server_, "rm c; mkdir c; exit 1", {"a", "c"});
  EXPECT_EQ(tool_text(server_->request(propose_line(
                2, task,
                {{{"path", "a"}, {"content", "x"}}, {{"path", "c"}, {"content", "x"}}})))["output"],
            "rollback failed for c: Is a directory (os error 21)");
  EXPECT_EQ(server_->wait().exit_code, 0);
  write_file(dir_ / "a", "mine");
  next_server_err();
  EXPECT_EQ(read_file(dir_ / "a"), "mine");
  EXPECT_EQ(read_file(state_ + "/recovered/a"), kPrior);
}

// A copy cut short by a full disk is never left to be taken for a whole one, and the restore it
// was made for does not go on.
TEST_F(JournalRecovery, ACopyCutShortIsNeitherKeptNorTakenForARestore) {
  kill_server();
  ServerSession server(dir_.path(), "", "ulimit -f 2; exec \"$@\"");
  const std::string task = start_task(server, "true", {"a"});
  write_file(dir_ / "a", std::string(4096, 'u'));
  EXPECT_EQ(
      server.request(call_line(2, "task_finish", {{"task_id", task}, {"commit", false}})),
      tool_error_line(2, "finish failed, task retained for retry: File too large (os error 27)"));
  EXPECT_EQ(read_file(dir_ / "a"), std::string(4096, 'u'));
  std::error_code none;
  EXPECT_TRUE(fs::is_empty(state_ + "/saved/" + task, none) || !fs::exists(state_ + "/saved"));
}

// No edit is ever written without its journal; one cut short is deleted, or on a full disk it
// would hold the space every later proposal needs.
TEST_F(JournalRecovery, AJournalThatCannotBeWrittenIsDeletedBeforeAnyWrite) {
  kill_server();
  write_file(dir_ / "a", std::string(4096, 'p'));
  ServerSession server(dir_.path(), "", "ulimit -f 2; exec \"$@\"");
  const std::string task = start_task(server, "true", {"a"});
  EXPECT_EQ(tool_text(server.request(
                propose_line(2, task, {{{"path", "a"}, {"content", "x"}}})))["output"],
            "apply failed: cannot write the undo journal: File too large (os error 27)");
  EXPECT_EQ(read_file(dir_ / "a"), std::string(4096, 'p'));
  EXPECT_TRUE(journals_in(dir_.path()).empty());
}

TEST_F(JournalRecovery, AnUnusableJournalDirectoryIsAUsageErrorAtStart) {
  kill_server();
  const std::string state_home = fs::canonical(dir_.path()).string() + "/a";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"exec \"$@\" --journal-dir a", "a: Not a directory (os error 20)"},
      {"exec \"$@\" --journal-dir none/j", "none/j: No such file or directory (os error 2)"},
      {"XDG_STATE_HOME=" + state_home + " exec \"$@\"", state_home + "/quarry-agent-task/" +
                                                            fs::path(state_).filename().string() +
                                                            ": Not a directory (os error 20)"},
  };
  for (const auto& [options, why] : rows) {
    SCOPED_TRACE(options);
    ServerSession server(dir_.path(), "", options);
    const ServerRun run = server.wait();
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "quarry_agent_task: cannot use the journal directory " + why + "\n");
  }
}

// Killed before any one of the system calls that write (the journal, its marks, the files, the
// replies), in a rollback, a commit or a restore, the server leaves each file at one whole state
// once recovered, with no journal left; recovery run again changes nothing.
TEST_F(JournalRecovery, AKillAtEverySystemCallOfAWritePathIsRecovered) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  // A killed server's input is closed under the test's next request.
  const auto previous_sigpipe = std::signal(SIGPIPE, SIG_IGN);
  // a's prior bytes (a shorter prior is cut back to size when put back), the verifier, what
  // happens to a before task_finish restores (no restore when nothing), and the states that may
  // stay, a's (mode in decimal) then new/b's.
  struct Row {
    std::string prior, verify_cmd, before_restore;
    std::vector<std::string> states;
  };
  const std::string b = "420 x; ";
  const std::vector<Row> rows = {
      {"p", "exit 1", "", {"492 p; none; "}},
      {kPrior, "true", "", {"492 unverified; " + b, "492 " + kPrior + "; none; "}},
      {"p", "true", "chmod", {"384 unverified; " + b, "492 unverified; " + b, "492 p; none; "}},
      // Recreating a file deleted since is recorded before the file exists.
      {"p", "true", "rm", {"none; " + b, "492 unverified; " + b, "492 p; none; "}},
  };
  for (const auto& [prior, verify_cmd, before_restore, states] : rows) {
    files(prior);
    for (const std::string call :
         {"openat", "write", "ftruncate", "fchmod", "unlinkat", "mkdirat"}) {
      for (int nth = 1, killed = 1; killed; ++nth) {
        SCOPED_TRACE(verify_cmd + " " + before_restore + ", " + call + std::to_string(nth));
        ServerSession server(dir_.path(), "", killed_at(call, nth));
        try {
          const std::string task = propose_both(server, verify_cmd);
          server.read_line();
          if (before_restore == "chmod") ::chmod((dir_ / "a").c_str(), 0600);
          if (before_restore == "rm") fs::remove(dir_ / "a");
          if (!before_restore.empty()) {
            server.request(call_line(3, "task_finish", {{"task_id", task}, {"commit", false}}));
          }
        } catch (const std::runtime_error&) {
        }
        killed = server.wait().signal == SIGKILL;
        next_server_err();
        const std::string recovered = files();
        EXPECT_NE(std::find(states.begin(), states.end(), recovered), states.end()) << recovered;
        EXPECT_TRUE(journals_in(dir_.path()).empty());
        EXPECT_EQ(next_server_err() + files(), recovered);  // it has nothing more to do
        files(prior);
        // Taken over by every later server, the open tasks of the rounds before would add to the
        // calls the kill counts, without end.
        fs::remove_all(state_ + "/tasks");
      }
    }
  }
  std::signal(SIGPIPE, previous_sigpipe);
}

// Recovery killed before any one of its own system calls that write leaves what the next one
// puts back whole: the prior bytes and mode. A shorter prior is written over the proposal's bytes,
// then cut to size.
TEST_F(JournalRecovery, RecoveryKilledAtEverySystemCallIsRunAgain) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  for (const std::string call : {"openat", "write", "ftruncate", "fchmod", "unlinkat"}) {
    for (int nth = 1, killed = 1; killed; ++nth) {
      SCOPED_TRACE(call + std::to_string(nth));
      const std::string prior = files("p");
      fs::remove(dir_ / "verifier.pid");
      server_ = std::make_unique<ServerSession>(dir_.path());
      propose_and_hang();
      kill_server();
      ServerSession recover(dir_.path(), "", killed_at(call, nth) + " --recover");
      killed = recover.wait().signal == SIGKILL;
      const std::string said = next_server_err();
      EXPECT_EQ(files(), prior) << said;
      fs::remove_all(state_ + "/tasks");  // or every later server takes them all over
    }
  }
}

// A journal written through a proposal is input anyone could craft.
TEST_F(JournalRecovery, PathsIntoTheJournalDirectoryAreRefusedAtStart) {
  kill_server();
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", state_ + "/1-0.journal"},
      {"--journal-dir j", "j/../j/1-0.journal"},
      {"--journal-dir j", dir_ / "j"},
  };
  for (const auto& [options, path] : rows) {
    SCOPED_TRACE(path);
    ServerSession server(dir_.path(), "", "exec \"$@\" " + options);
    EXPECT_EQ(
        server.request(direct_line(1, "task_start",
                                   {{"goal", "g"}, {"verify_cmd", "true"}, {"files", {path}}})),
        error_line(1, -32602, "task_start failed: path is reserved for the undo journal: " + path));
  }
}

// A journal is input anyone able to write into the journal directory controls: recovery trusts
// neither the base nor the confinement it names, writes no path a task could not declare, and a
// journal it cannot handle (a planted sparse file claiming a terabyte, a count of paths no server
// writes) costs one line and bounded memory while the server starts. A journal of the first
// format is still recovered.
TEST_F(JournalRecovery, APlantedJournalActsOnlyWhereATaskCould) {
  kill_server();
  write_file(dir_ / "victim", "unverified");
  write_file(dir_ / "r/a", "unverified");
  write_file(dir_ / "r/tests/x", "unverified");
  const std::string dir = fs::canonical(dir_.path()).string();
  const std::string state = state_directory(dir_ / "r");
  const std::string journal = state + "/1-0.journal";
  const auto plant = [&](const std::string& bytes, std::uintmax_t size = 0) {
    write_file(journal, bytes);
    if (size > 0) fs::resize_file(journal, size);
  };
  const std::uint64_t terabyte = std::uint64_t{1} << 40;
  // The prior's length claims a terabyte of holes; the trailer sits past them.
  const std::string sparse = planted_journal(3, dir + "/r", "a", "", 1, terabyte);
  const std::size_t prior_at = sparse.find(kPrior);
  const std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { plant(planted_journal(1, dir + "/r", "a")); }, "recovered a: prior bytes restored"},
      {[&] { plant(planted_journal(1, dir + "/r", "../victim")); },
       "left ../victim as it is: path escapes the root: ../victim"},
      {[&] { plant(planted_journal(3, dir + "/r", "tests/x")); },
       "left tests/x as it is: path is protected: tests/x"},
      {[&] { plant(planted_journal(1, dir, "../victim")); },
       "left the journal " + journal + " untouched: it belongs to " + dir +
           ", whose server recovers it"},
      {[&] { plant(planted_journal(3, dir + "/r", "a", "", 0xffffffff)); },
       "left the journal " + journal + ": it records 4294967295 paths, more than a server writes"},
      {[&] {
         const std::string trailer = "complete" + little_endian(prior_at + terabyte, 8);
         plant(sparse.substr(0, prior_at), prior_at + terabyte);
         std::ofstream(journal, std::ios::binary | std::ios::in).seekp(prior_at + terabyte)
             << trailer;
       },
       "left a as it is: its prior bytes (1099511627776) are more than recovery holds in memory"},
  };
  for (const auto& [plant_journal, said] : rows) {
    SCOPED_TRACE(said);
    plant_journal();
    ServerSession recover(dir_ / "r", "", "exec \"$@\" --root . --protect 'tests/**' --recover");
    EXPECT_EQ(recover.wait().err, "quarry_agent_task: " + said + "\n");
    fs::remove(journal);
  }
  EXPECT_EQ(read_file(dir_ / "r/a"), kPrior);
  EXPECT_EQ(read_file(dir_ / "victim"), "unverified");
  EXPECT_EQ(read_file(dir_ / "r/tests/x"), "unverified");
}

// Marks naming processes cannot stall a start: a group id and its leader's start time, planted
// in a dozen journals of the old format, name nothing and cost no wait.
TEST_F(JournalRecovery, PlantedMarksCostNoWait) {
  kill_server();
  // In the test's own group, so that no kill of a group by its id could reach it.
  const pid_t named = ::fork();
  if (named == 0) {
    ::execl("/bin/sleep", "sleep", "30", nullptr);
    ::_exit(127);
  }
  ASSERT_TRUE(wait_until(
      [&] { return read_file("/proc/" + std::to_string(named) + "/cmdline").starts_with("sleep"); },
      5s));
  const std::string mark = 'V' + little_endian(named, 4) + little_endian(start_time_of(named), 8);
  for (int i = 0; i < 12; ++i) {
    write_file(state_ + "/1-" + std::to_string(i) + ".journal",
               planted_journal(2, fs::canonical(dir_.path()), "a", mark));
  }
  const auto started = std::chrono::steady_clock::now();
  next_server_err();
  // Each would have cost half a second before: the bound here is far from both.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(::kill(named, SIGKILL), 0);
  ::waitpid(named, nullptr, 0);
}

// Journals of servers from before the state directory, in the project's .quarry-agent-task/,
// are recovered by the first server that finds the state directory unmarked, and the directory
// goes once empty; one planted there after is never read.
TEST_F(JournalRecovery, TheProjectsOldJournalDirectoryIsReadOnce) {
  kill_server();
  fs::remove_all(state_);
  const std::string old = dir_ / ".quarry-agent-task";
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    write_file(dir_ / "a", "unverified");
    write_file(old + "/.gitignore", "*\n");
    write_file(old + "/1-0.journal", planted_journal(2, fs::canonical(dir_.path()), "a"));
    EXPECT_EQ(next_server_err(),
              start == 0 ? "quarry_agent_task: recovered a: prior bytes restored\n" : "");
    EXPECT_EQ(read_file(dir_ / "a"), start == 0 ? kPrior : "unverified");
    EXPECT_EQ(file_exists(old), start == 1);
  }
}

// Another server's clean exit (a client probing with a short-lived copy), or a verifier that
// cleans ignored files, must not switch journaling off for a server that keeps going.
TEST_F(JournalRecovery, JournalingOutlivesAnotherServerAndACleanedDirectory) {
  // Every flush --sync adds, a directory made again included, on the way.
  server_ = std::make_unique<ServerSession>(dir_.path(), "", "exec \"$@\" --sync");
  const std::string task = start_task(*server_, "true", {"a"});
  const auto passes = [&](const std::string& content) {
    return tool_text(server_->request(
               propose_line(2, task, {{{"path", "a"}, {"content", content}}})))["passed"] == true;
  };
  EXPECT_TRUE(passes("1"));
  EXPECT_EQ(read_file(state_ + "/.gitignore"), "*\n");
  EXPECT_EQ(next_server_err(), "");
  EXPECT_TRUE(passes("2"));
  fs::remove_all(state_);
  EXPECT_TRUE(passes("3"));
}

// A power loss at any point under --sync must find the journal wherever a write it announces
// may have reached the disk, and never once the client was told of the commit.
TEST_F(JournalRecovery, WithSyncEachStepIsDurableBeforeTheNext) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  kill_server();
  fs::remove_all(state_);
  fs::create_directories(fs::path(state_).parent_path());
  server_ = std::make_unique<ServerSession>(
      dir_.path(), "",
      // LeakSanitizer cannot work under a tracer.
      "ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 exec /usr/bin/strace -f -y -o trace "
      "-e trace=mkdir,mkdirat,openat,fsync,fdatasync,unlinkat \"$@\" --sync");
  const std::string task = start_task(*server_, "true", {"a"});
  EXPECT_EQ(tool_text(server_->request(
                propose_line(2, task, {{{"path", "a"}, {"content", "x"}}})))["passed"],
            true);
  ASSERT_EQ(server_->wait().exit_code, 0);
  // The new directory's entry, the task's record before its name, the copy of a's start bytes
  // and its name before the record says it is whole, the journal before the write mark, the mark
  // before the write, the journal's deletion, the attempt in the record.
  EXPECT_EQ(
      durability_calls(read_file(dir_ / "trace"), fs::canonical(dir_.path()), state_),
      "mkdir S; fsync S/..; openat .gitignore; openat S/upgraded; openat claims; mkdirat tasks; "
      "fsync S; mkdirat .new-T; openat record; fsync S/tasks/.new-T/record; "
      "fsync S/tasks/.new-T; fsync S/tasks; unlinkat .0.partial; openat .0.partial; "
      "fsync S/tasks/T/.0.partial; fsync S/tasks/T; fsync S/tasks/T/record; openat J; "
      "fsync S/J; fsync S; fsync S/J; openat a; fsync a; unlinkat J; fsync S; "
      "fsync S/tasks/T/record; ");
}

}  // namespace
}  // namespace quarry::testing
