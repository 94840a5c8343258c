// The cut of a verdict's output and the log beside it, in process: the bytes each keeps of long
// streams, and which tasks' logs outlive them.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "journal.h"
#include "output_cut.h"
#include "test_support.h"
#include "text.h"
#include "verifier_log.h"

namespace quarry::testing {
namespace {

namespace fs = std::filesystem;

const std::string kMarker = "\n...[truncated]";
const std::string kSeparator = "\n--- stderr ---\n";

// Lines `first` to `last` of a stream of ten-byte lines "out 00042\n".
std::string lines(const std::string& stream, int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) {
    const std::string number = std::to_string(i);
    text += stream + " " + std::string(5 - number.size(), '0') + number + "\n";
  }
  return text;
}

StreamEnds ends_of(const std::string& bytes) {
  StreamEndsKeeper keeper;
  for (std::size_t at = 0; at < bytes.size(); at += 4096) keeper.add(bytes.substr(at, 4096));
  return keeper.take();
}

// Each long stream keeps a third of its room for its head and the rest for its tail, cut after
// line ends; standard error gets a third of the room when both are long, what standard output
// leaves when that is more; nothing is split inside a character; 8000 bytes are left whole.
TEST(OutputCut, KeepsTheHeadAndTailOfEachStream) {
  const std::string out = lines("out", 0, 999);
  const std::string err = lines("err", 0, 999);
  const std::string log = "/s/logs/t/1.log";
  const auto omitted = [&log](int bytes) {
    return "...[" + std::to_string(bytes) + " bytes omitted; whole log: " + log + "]...\n";
  };
  const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> rows = {
      {{out, ""}, lines("out", 0, 263) + omitted(2080) + lines("out", 472, 999) + kMarker},
      {{out, err},
       lines("out", 0, 174) + omitted(4750) + lines("out", 650, 999) + kSeparator +
           lines("err", 0, 85) + omitted(7410) + lines("err", 827, 999) + kMarker},
      {{"x\n", err},
       "x\n" + kSeparator + lines("err", 0, 262) + omitted(2100) + lines("err", 473, 999) +
           kMarker},
      {{lines("out", 0, 398), lines("err", 0, 399)},
       lines("out", 0, 398) + kSeparator + lines("err", 0, 129) + omitted(90) +
           lines("err", 139, 399) + kMarker},
      {{lines("out", 0, 398), lines("err", 0, 398)},
       lines("out", 0, 398) + kSeparator + lines("err", 0, 398)},
  };
  for (const auto& [streams, expected] : rows) {
    SCOPED_TRACE(expected.substr(0, 40));
    EXPECT_EQ(
        cut_output(OutputCut::HeadAndTail, ends_of(streams.first), ends_of(streams.second), log),
        expected);
  }
  std::string accents;
  for (int i = 0; i < 9000; ++i) accents += "\xC3\xA9";
  for (const std::string& odd : {accents, std::string(5000, '\xFF')}) {
    const std::string cut = cut_output(OutputCut::HeadAndTail, ends_of(odd), ends_of(odd), log);
    EXPECT_LE(cut.size(), 8000u);
    EXPECT_TRUE(is_valid_utf8(cut));
  }
}

class VerifierLog : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(state_.prepare().ok()); }
  // Task `id`'s logs with one log of `out` and `err`, written in chunks that wrap the spools;
  // what the log holds goes to `bytes`.
  std::unique_ptr<TaskLogs> task(const std::string& id, const std::string& out,
                                 const std::string& err = "", std::string* bytes = nullptr) {
    auto logs = std::make_unique<TaskLogs>(&state_, id, limits_);
    LogWriter log = logs->writer("1.log");
    for (std::size_t at = 0; at < std::max(out.size(), err.size()); at += 7) {
      if (at < out.size()) log.add(0, std::string_view(out).substr(at, 7));
      if (at < err.size()) log.add(1, std::string_view(err).substr(at, 7));
    }
    EXPECT_TRUE(log.finish());
    if (bytes != nullptr) *bytes = read_file(log.path());
    return logs;
  }
  std::set<std::string> task_directories() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_ / "logs")) {
      names.insert(entry.path().filename());
    }
    return names;
  }

  TempDir dir_;
  JournalDirectory state_{dir_.path(), JournalDirectory::Kind::Given, false,
                          Workspace::unconfined()};
  LogLimits limits_{.stream_bytes = 300, .ended_tasks = 2, .total_bytes = 1'000'000};
};

// A log is standard output, then the separator and standard error, byte for byte; a stream
// beyond its limit keeps its first third and its last bytes, cut after line ends.
TEST_F(VerifierLog, HoldsBothStreamsAndCutsOnlyBeyondTheLimit) {
  const std::string out = lines("out", 0, 99);
  const std::string err = lines("err", 0, 99);
  const std::string out_cut =
      lines("out", 0, 9) + "...[730 bytes omitted]...\n" + lines("out", 83, 99);
  const std::string err_cut =
      lines("err", 0, 9) + "...[730 bytes omitted]...\n" + lines("err", 83, 99);
  const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> rows = {
      {{out, ""}, out_cut},
      {{"x", err}, "x" + kSeparator + err_cut},
      {{out, err}, out_cut + kSeparator + err_cut},
      {{out.substr(0, 300), "e"}, out.substr(0, 300) + kSeparator + "e"},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    std::string bytes;
    task("row" + std::to_string(i), rows[i].first.first, rows[i].first.second, &bytes);
    EXPECT_EQ(bytes, rows[i].second);
  }
}

// Logs stay while their task lives; once it has ended, only for the most recently ended tasks
// and within the bytes allowed in all, the oldest removed first.
TEST_F(VerifierLog, EndedTasksGoOldestFirst) {
  limits_ = {.stream_bytes = 1'000'000, .ended_tasks = 2, .total_bytes = 1000};
  auto first = task("first", std::string(100, 'x'));
  auto second = task("second", std::string(100, 'x'));
  auto third = task("third", std::string(100, 'x'));
  const auto live = task("live", std::string(650, 'x'));
  first.reset();
  second.reset();
  EXPECT_EQ(task_directories(), (std::set<std::string>{"first", "second", "third", "live"}));
  third.reset();
  EXPECT_EQ(task_directories(), (std::set<std::string>{"second", "third", "live"}));
  task("next", std::string(300, 'x')).reset();
  EXPECT_EQ(task_directories(), (std::set<std::string>{"live", "next"}));
}

}  // namespace
}  // namespace quarry::testing
