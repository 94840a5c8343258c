#include "agentic.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "provenance.h"

namespace quarry {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using Edits = std::vector<FileEdit>;

EditSet set_of(Edits edits) {
  return EditSet{std::move(edits)};
}

// ---------------------------------------------------------------------------------------------
// Path identity and order

// Each row lists spellings of one path; rows ascend. Guards against plain byte order (which
// puts a-b before a/b), signed-char comparison of bytes from 0x80 up, ranking ".", ".." and the
// root by their bytes, and against collapsing "..", dropping a leading "." or keeping empty and
// inner "." components.
TEST(PathKey, IdentityAndOrder) {
  const std::vector<std::vector<std::string>> ascending = {
      {""},
      {"/"},
      {"/a", "//a", "/./a"},
      {"."},
      {"./a", ".//a", "././a"},
      {".."},
      {"\x01"},
      {"a", "a/."},
      {"a/../b"},
      {"a/b", "a//b", "a/./b", "a/b/", "a/b//."},
      {"a/b/c"},
      {"a-b"},
      {"ab"},
      {"b"},
      {"\xc3\xa9"}};
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    const PathKey first = PathKey::of(ascending[i].front());
    for (const std::string& spelling : ascending[i]) {
      EXPECT_EQ(PathKey::of(spelling), first) << spelling;
      EXPECT_EQ(PathKeyHash{}(PathKey::of(spelling)), PathKeyHash{}(first)) << spelling;
    }
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      SCOPED_TRACE(ascending[i].back() + " vs " + ascending[j].back());
      const PathKey other = PathKey::of(ascending[j].back());
      EXPECT_EQ(first < other, i < j);
      EXPECT_EQ(first == other, i == j);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Fingerprints and identity

TEST(Fingerprint, KnownValues) {
  EXPECT_EQ(set_of({{"a", "abc"}}).fingerprint(),
            "414779670feb4879fc7c0cdbfb2fc755f39769fe7614bd64a966397ab10d6b88");
  EXPECT_EQ(set_of({}).fingerprint(), sha256_hex(""));
  // Entries go in path order, not byte order.
  EXPECT_EQ(set_of({{"a-b", "1"}, {"a/b", "2"}}).fingerprint(),
            sha256_hex("a/b"s + '\0' + "2\x01" + "a-b" + '\0' + "1\x01"));
}

// Content is not escaped, so one edit whose content holds 0x01, a path and 0x00 frames the
// same bytes as two edits.
EditSet colliding_one() {
  return set_of({{"a",
                  "x\x01"
                  "b\0y"s}});
}
EditSet colliding_two() {
  return set_of({{"a", "x"}, {"b", "y"}});
}

TEST(Fingerprint, WhichSetsShareFingerprintAndIdentity) {
  struct Row {
    std::string name;
    EditSet first;
    EditSet second;
    bool same_fingerprint;
    bool same_identity;
  };
  const std::vector<Row> rows = {
      // Guards against hashing edits in the client's order.
      {"reordered", set_of({{"src/a.rs", "a"}, {"README", "r"}, {"/etc/x", "x"}, {"./b", "b"}}),
       set_of({{"./b", "b"}, {"/etc/x", "x"}, {"README", "r"}, {"src/a.rs", "a"}}), true, true},
      // Guards against a lost first spelling or an earlier content winning.
      {"duplicate path: first spelling, later content",
       set_of({{"a//b", "old"}, {"z", "z"}, {"a/b", "new"}}), set_of({{"a//b", "new"}, {"z", "z"}}),
       true, true},
      {"respelled path", set_of({{"a//b", "1"}}), set_of({{"a/b", "1"}}), false, true},
      {"path bytes read as lossy UTF-8", set_of({{"\xff", "c"}}), set_of({{"\xef\xbf\xbd", "c"}}),
       true, false},
      {"unescaped framing", colliding_one(), colliding_two(), true, false},
      {"content moved to another path", set_of({{"a", "1"}, {"b", "2"}}),
       set_of({{"a", "2"}, {"b", "1"}}), false, false},
      {"empty content against one NUL", set_of({{"x", ""}}), set_of({{"x", "\0"s}}), false, false},
      // Guards against an identity that is ambiguous itself: lengths keep parts apart.
      {"component and content boundary", set_of({{"ab", "c"}}), set_of({{"a", "bc"}}), false,
       false},
      {"components against one name", set_of({{"a/b", "c"}}), set_of({{"ab", "c"}}), false, false},
      {"one edit more", set_of({{"a", ""}, {"b", ""}}), set_of({{"a", ""}}), false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.first.fingerprint() == row.second.fingerprint(), row.same_fingerprint);
    EXPECT_EQ(row.first.identity() == row.second.identity(), row.same_identity);
  }
}

// ---------------------------------------------------------------------------------------------
// Attempt memory

TEST(AttemptMemory, SameSetIsStoredOnceInAnyOrder) {
  AttemptMemory memory;
  memory.record_rejected("goal", set_of({{"a", "1"}, {"b", "2"}}));
  memory.record_rejected("goal", set_of({{"b", "2"}, {"a", "1"}}));
  EXPECT_EQ(memory.count("goal"), 1u);
  EXPECT_TRUE(memory.was_rejected("goal", set_of({{"b", "2"}, {"a", "1"}})));
  EXPECT_FALSE(memory.was_rejected("goal", set_of({{"a", "1"}, {"b", "3"}})));
}

// Guards against refusing a set that was never tried because its fingerprint collides with a
// rejected one.
TEST(AttemptMemory, CollidingSetsAreNotConfused) {
  AttemptMemory memory;
  memory.record_rejected("goal", colliding_one());
  EXPECT_TRUE(memory.was_rejected("goal", colliding_one()));
  EXPECT_FALSE(memory.was_rejected("goal", colliding_two()));
  memory.record_rejected("goal", colliding_two());
  EXPECT_TRUE(memory.was_rejected("goal", colliding_two()));
  EXPECT_EQ(memory.count("goal"), 2u);
}

// Keys match by exact bytes; guards against one memory list shared by every key.
TEST(AttemptMemory, OtherKeyKnowsNothing) {
  AttemptMemory memory;
  const EditSet set = set_of({{"a", "1"}});
  memory.record_rejected("goal", set);
  for (const char* key : {"Goal", "goal ", ""}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(memory.was_rejected(key, set));
    EXPECT_EQ(memory.count(key), 0u);
  }
}

// ---------------------------------------------------------------------------------------------
// File operations and transactions, on a real disk

std::optional<std::string> contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void put(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

mode_t permission_bits(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

// Owns a fresh temporary directory and runs each test inside it, so relative paths such as
// ./x and x can be used as the server would use them.
class OnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quarry-agentic-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    previous_ = fs::current_path();
    fs::current_path(directory_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }

 private:
  fs::path directory_;
  fs::path previous_;
};

const Workspace& here() {
  static const Workspace workspace = Workspace::unconfined();
  return workspace;
}

Result<Transaction> apply_set(const Edits& edits) {
  return Transaction::apply(set_of(edits), here(), nullptr);
}

using FileOperations = OnDisk;
using TransactionOnDisk = OnDisk;

// Guards against trusting the size fstat reports: such files claim to be empty.
TEST_F(FileOperations, ReadsFilesThatReportNoSize) {
  if (!exists("/proc/self/status")) GTEST_SKIP() << "no /proc";
  const Result<PriorState> read = read_prior_state(here(), "/proc/self/status");
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_NE(read.value().bytes->find("Name:"), std::string::npos);
}

// A NUL ends the path for the OS, which would then read, truncate, delete or create "bad"
// instead of failing.
TEST_F(FileOperations, PathWithNulTouchesNoFile) {
  put("bad", "keep");
  const std::string path = "bad\0/name"s;
  const auto error_of = [](const auto& outcome) {
    return outcome.ok() ? IoError{} : outcome.error();
  };
  const std::vector<std::pair<std::string, IoError>> errors = {
      {"read", error_of(read_prior_state(here(), path))},
      {"write", error_of(write_whole_file(here(), path, "x"))},
      {"remove", error_of(put_back(here(), path, PriorState{}, FileIdentity{}))},
      {"parents", error_of(create_parent_directories(here(), path))},
      {"transaction", error_of(apply_set({{"ok.txt", "A"}, {path, "B"}}))},
  };
  for (const auto& [operation, error] : errors) {
    SCOPED_TRACE(operation);
    EXPECT_EQ(error.kind, ErrorKind::InvalidInput);
    EXPECT_EQ(error.message, "path contains a NUL byte");
  }
  EXPECT_EQ(contents("bad"), "keep");
  EXPECT_FALSE(exists("ok.txt"));
}

// Two spellings of one file, or a link and its target, are separate snapshot keys. Undoing in
// path order or in order of first write would finish with an intermediate content; only
// newest-first ends at the start. One key written twice must be snapshot once: a second
// snapshot would hold "A" and make the rollback stop there.
TEST_F(TransactionOnDisk, RollbackOfOneFileWrittenTwice) {
  struct Row {
    std::string name;
    std::optional<std::string> initial;  // of x; nullopt: no file
    Edits edits;
  };
  const std::vector<Row> rows = {
      {"./x then x", "orig", {{"./x", "A"}, {"x", "B"}}},
      {"x then ./x", "orig", {{"x", "A"}, {"./x", "B"}}},
      {"link then target", "orig", {{"link", "A"}, {"x", "B"}}},
      {"new file, ./x then x", std::nullopt, {{"./x", "A"}, {"x", "B"}}},
      {"x twice", "orig", {{"x", "A"}, {"x", "B"}}},
      {"./x then .//x", "orig", {{"./x", "A"}, {".//x", "B"}}},
  };
  ASSERT_EQ(::symlink("x", "link"), 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.initial) {
      put("x", *row.initial);
    } else {
      fs::remove("x");
    }
    Result<Transaction> applied = apply_set(row.edits);
    ASSERT_TRUE(applied.ok()) << applied.error().message;
    EXPECT_EQ(contents("x"), row.edits.back().content);
    static_cast<void>(applied.value().rollback());
    EXPECT_EQ(contents("x"), row.initial);
    EXPECT_TRUE(fs::is_symlink("link"));
  }
}

// Megabytes of every byte value guard against a write or read that stops at a NUL or after
// one short chunk; an empty file is a prior state of its own, not an absent one; a file
// removed behind the transaction's back must not stop the rollback of the others.
TEST_F(TransactionOnDisk, RollbackRestoresBytesAndRemovesNewFilesOnly) {
  std::string binary;
  for (int i = 0; i < (3 << 20) + 7; ++i) binary.push_back(static_cast<char>(i * 131 + i / 977));
  put("bin", binary);
  put("empty", "");
  Result<Transaction> applied =
      apply_set({{"bin", "text"}, {"empty", "z"}, {"new//dir/./fresh", binary}, {"gone", "g"}});
  ASSERT_TRUE(applied.ok());
  EXPECT_TRUE(contents("new/dir/fresh") == binary);
  fs::remove("gone");
  static_cast<void>(applied.value().rollback());
  EXPECT_TRUE(contents("bin") == binary);
  EXPECT_EQ(contents("empty"), "");
  EXPECT_FALSE(exists("new/dir/fresh"));
  EXPECT_FALSE(exists("gone"));
  EXPECT_TRUE(fs::is_directory("new/dir"));
  EXPECT_TRUE(fs::is_empty("new/dir"));
}

// A failure part-way must leave the earlier edits' files exactly as before the call and
// return the failing call's own error. A file that cannot be read must not be written, as a
// rollback could not bring it back; an error from creating directories must not be replaced
// by a later one.
TEST_F(TransactionOnDisk, FailingEditUndoesTheEarlierOnes) {
  put("file", "plain");
  fs::create_directory("dir");
  put("locked", "secret");
  fs::create_directory("ro");
  ASSERT_EQ(::chmod("locked", 0200), 0);
  ASSERT_EQ(::chmod("ro", 0555), 0);
  struct Row {
    std::string failing;
    ErrorKind kind;
    std::string message;
    bool only_without_root;  // root reads and writes whatever the mode
  };
  const std::vector<Row> rows = {
      {"file/x", ErrorKind::NotADirectory, "Not a directory (os error 20)", false},
      {"dir", ErrorKind::IsADirectory, "Is a directory (os error 21)", false},
      // Missing, so the snapshot says absent; the open for writing is what fails.
      {"missing/", ErrorKind::IsADirectory, "Is a directory (os error 21)", false},
      {"locked", ErrorKind::PermissionDenied, "Permission denied (os error 13)", true},
      {"ro/sub/f", ErrorKind::PermissionDenied, "Permission denied (os error 13)", true},
  };
  for (const Row& row : rows) {
    if (row.only_without_root && ::geteuid() == 0) continue;
    SCOPED_TRACE(row.failing);
    put("kept.txt", "before\n");
    const Result<Transaction> applied =
        apply_set({{"kept.txt", "after"}, {"new.txt", "n"}, {row.failing, "z"}});
    ASSERT_FALSE(applied.ok());
    EXPECT_EQ(applied.error().kind, row.kind);
    EXPECT_EQ(applied.error().message, row.message);
    EXPECT_EQ(contents("kept.txt"), "before\n");
    EXPECT_FALSE(exists("new.txt"));
  }
  ASSERT_EQ(::chmod("locked", 0600), 0);
  ASSERT_EQ(::chmod("ro", 0755), 0);
  EXPECT_EQ(contents("file"), "plain");
  EXPECT_TRUE(fs::is_empty("dir"));
  EXPECT_FALSE(exists("missing"));
  EXPECT_EQ(contents("locked"), "secret");
  EXPECT_TRUE(fs::is_empty("ro"));
}

// Guards against a write through a fresh descriptor that resets the owner's chosen mode.
TEST_F(TransactionOnDisk, ExistingModeIsKeptAndNewFilesGet0666BeforeTheMask) {
  put("x", "orig");
  ASSERT_EQ(::chmod("x", 0640), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  Result<Transaction> applied = apply_set({{"x", "new"}, {"y", "new"}});
  ASSERT_TRUE(applied.ok());
  EXPECT_EQ(permission_bits("x"), 0640u);
  EXPECT_EQ(permission_bits("y"), 0666u & ~mask);
  static_cast<void>(applied.value().rollback());
  EXPECT_EQ(permission_bits("x"), 0640u);
}

// Guards against a destructor that leaves an active transaction's edits in place, one that
// rolls back once more and undoes later changes by others, and a moved-from transaction that
// still restores files it no longer owns.
TEST_F(TransactionOnDisk, DestructionRollsBackOnlyWhileActive) {
  put("x", "orig");
  {
    const Result<Transaction> applied = apply_set({{"x", "new"}, {"n", "n"}});
    ASSERT_TRUE(applied.ok());
    EXPECT_EQ(contents("x"), "new");
  }
  EXPECT_EQ(contents("x"), "orig");
  EXPECT_FALSE(exists("n"));
  {
    Result<Transaction> applied = apply_set({{"x", "new"}});
    ASSERT_TRUE(applied.ok());
    static_cast<void>(applied.value().rollback());
    put("x", "later");
  }
  EXPECT_EQ(contents("x"), "later");
  {
    Result<Transaction> applied = apply_set({{"x", "new"}, {"d/y", "why"}});
    ASSERT_TRUE(applied.ok());
    Transaction owner(std::move(applied.value()));
    std::move(owner).commit();
  }
  EXPECT_EQ(contents("x"), "new");
  EXPECT_EQ(contents("d/y"), "why");
}

}  // namespace
}  // namespace quarry
