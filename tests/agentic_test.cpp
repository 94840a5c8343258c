#include "agentic.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "provenance.h"

namespace quarry {
namespace {

namespace fs = std::filesystem;

using Edits = std::vector<FileEdit>;

EditSet set_of(Edits edits) {
  return EditSet{std::move(edits)};
}

// ---------------------------------------------------------------------------------------------
// Path identity and order

TEST(PathKey, ComponentsOfSpellings) {
  struct Row {
    std::string path;
    std::vector<std::string> components;
  };
  const std::vector<Row> rows = {
      {"a/b", {"a", "b"}},   {"a//b", {"a", "b"}},
      {"a/./b", {"a", "b"}}, {"a/b/", {"a", "b"}},
      {"a/.", {"a"}},        {"./a/b", {".", "a", "b"}},
      {".//a", {".", "a"}},  {"././a", {".", "a"}},
      {".", {"."}},          {"/a/b", {"/", "a", "b"}},
      {"//a", {"/", "a"}},   {"/./a", {"/", "a"}},
      {"/", {"/"}},          {"a/../b", {"a", "..", "b"}},
      {"../a", {"..", "a"}}, {"", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(PathKey::of(row.path).components, row.components);
  }
}

// Guards against plain byte order (which puts a-b before a/b), against signed-char comparison
// of bytes from 0x80 up, and against ranking ".", ".." and the root by their bytes.
TEST(PathKey, OrderIsComponentWise) {
  const std::vector<std::string> ascending = {
      "/", "/a",  ".",     "./a", "..", "../a", "\x01",     "-",
      "a", "a/b", "a/b/c", "a-b", "ab", "b",    "\xc3\xa9",
  };
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      SCOPED_TRACE(ascending[i] + " vs " + ascending[j]);
      EXPECT_EQ(PathKey::of(ascending[i]) < PathKey::of(ascending[j]), i < j);
    }
  }
}

TEST(PathKey, SpellingsOfOnePathAreEqualAndHashAlike) {
  const std::vector<std::string> spellings = {"a/b", "a//b", "a/./b", "a/b/", "a/b//."};
  const PathKey first = PathKey::of(spellings.front());
  for (const std::string& spelling : spellings) {
    SCOPED_TRACE(spelling);
    const PathKey key = PathKey::of(spelling);
    EXPECT_EQ(key, first);
    EXPECT_FALSE(key < first);
    EXPECT_EQ(PathKeyHash{}(key), PathKeyHash{}(first));
  }
  for (const char* other : {"./a/b", "/a/b", "a/b/..", "b/a"}) {
    SCOPED_TRACE(other);
    EXPECT_NE(PathKey::of(other), first);
  }
}

// ---------------------------------------------------------------------------------------------
// Fingerprints and identity

TEST(Fingerprint, WorkedExample) {
  EXPECT_EQ(set_of({{"a", "abc"}}).fingerprint(),
            "414779670feb4879fc7c0cdbfb2fc755f39769fe7614bd64a966397ab10d6b88");
}

// Each set must hash exactly the framed bytes: guards against wrong order, a lost first
// spelling, an earlier content winning, or a framing byte too many or too few.
TEST(Fingerprint, HashesTheFramedEntriesInPathOrder) {
  using namespace std::string_literals;
  struct Row {
    std::string name;
    Edits edits;
    std::string hashed;
  };
  const std::vector<Row> rows = {
      {"empty set hashes nothing", {}, ""},
      {"one edit", {{"a", "abc"}}, "a\0abc\x01"s},
      {"a/b before a-b",
       {{"a-b", "1"}, {"a/b", "2"}},
       "a/b\0"
       "2\x01"
       "a-b\0"
       "1\x01"s},
      {"root, then ., then names",
       {{"b", "2"}, {"./b", "1"}, {"/b", "3"}},
       "/b\0"
       "3\x01"
       "./b\0"
       "1\x01"
       "b\0"
       "2\x01"s},
      {"first spelling, later content",
       {{"a//b", "old"}, {"z", "z"}, {"a/b", "new"}},
       "a//b\0new\x01"
       "z\0z\x01"s},
      {"empty content", {{"x", ""}}, "x\0\x01"s},
      {"content of one NUL", {{"x", "\0"s}}, "x\0\0\x01"s},
      {"path bytes that are not UTF-8", {{"\xff", "c"}}, "\xef\xbf\xbd\0c\x01"s},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(set_of(row.edits).fingerprint(), sha256_hex(row.hashed));
  }
}

TEST(Fingerprint, EmptySetIsTheDigestOfNoBytes) {
  EXPECT_EQ(set_of({}).fingerprint(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Guards against hashing edits in the client's order.
TEST(Fingerprint, IndependentOfEditOrder) {
  Edits edits = {{"src/a.rs", "a"}, {"src/b.rs", "b"}, {"README", "r"}, {"/etc/x", "x"}};
  std::sort(edits.begin(), edits.end(),
            [](const FileEdit& a, const FileEdit& b) { return a.path < b.path; });
  const std::string expected = set_of(edits).fingerprint();
  while (std::next_permutation(edits.begin(), edits.end(),
                               [](const auto& a, const auto& b) { return a.path < b.path; })) {
    EXPECT_EQ(set_of(edits).fingerprint(), expected);
  }
}

TEST(Fingerprint, DifferentSetsDiffer) {
  using namespace std::string_literals;
  struct Row {
    std::string name;
    Edits first;
    Edits second;
  };
  const std::vector<Row> rows = {
      {"one byte of content", {{"a", "abc"}}, {{"a", "abd"}}},
      {"content moved to another path", {{"a", "1"}, {"b", "2"}}, {{"a", "2"}, {"b", "1"}}},
      {"empty content against one NUL", {{"x", ""}}, {{"x", "\0"s}}},
      {"./x against x", {{"./x", "1"}}, {{"x", "1"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_NE(set_of(row.first).fingerprint(), set_of(row.second).fingerprint());
    EXPECT_NE(set_of(row.first).identity(), set_of(row.second).identity());
  }
}

// Content is not escaped, so one edit whose content holds 0x01, a path and 0x00 frames the
// same bytes as two edits.
EditSet colliding_one() {
  using namespace std::string_literals;
  return set_of({{"a",
                  "x\x01"
                  "b\0y"s}});
}
EditSet colliding_two() {
  return set_of({{"a", "x"}, {"b", "y"}});
}

TEST(Fingerprint, UnescapedFramingCollidesButIdentityDoesNot) {
  EXPECT_EQ(colliding_one().fingerprint(), colliding_two().fingerprint());
  EXPECT_NE(colliding_one().identity(), colliding_two().identity());
}

TEST(Identity, SameForReorderedAndRespelledSets) {
  const EditSet base = set_of({{"a/b", "1"}, {"c", "2"}});
  EXPECT_EQ(set_of({{"c", "2"}, {"a//b", "1"}}).identity(), base.identity());
  EXPECT_EQ(set_of({{"a/b", "old"}, {"c", "2"}, {"a/./b", "1"}}).identity(), base.identity());
}

// Guards against an identity that is ambiguous itself: lengths must keep the components and
// the content apart.
TEST(Identity, ComponentsAndContentStayApart) {
  EXPECT_NE(set_of({{"ab", "c"}}).identity(), set_of({{"a", "bc"}}).identity());
  EXPECT_NE(set_of({{"a/b", "c"}}).identity(), set_of({{"ab", "c"}}).identity());
  EXPECT_NE(set_of({{"a", ""}, {"b", ""}}).identity(), set_of({{"a", ""}}).identity());
}

// ---------------------------------------------------------------------------------------------
// Attempt memory

TEST(AttemptMemory, RecognisesARecordedSetInAnyOrder) {
  AttemptMemory memory;
  memory.record_rejected("goal", set_of({{"a", "1"}, {"b", "2"}}));
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

TEST(AttemptMemory, SameSetIsStoredOnce) {
  AttemptMemory memory;
  memory.record_rejected("goal", set_of({{"a", "1"}, {"b", "2"}}));
  memory.record_rejected("goal", set_of({{"a", "1"}, {"b", "2"}}));
  memory.record_rejected("goal", set_of({{"b", "2"}, {"a", "1"}}));
  EXPECT_EQ(memory.count("goal"), 1u);
}

// Keys match by exact bytes; guards against one memory list shared by every key.
TEST(AttemptMemory, OtherKeyKnowsNothing) {
  AttemptMemory memory;
  const EditSet set = set_of({{"a", "1"}});
  memory.record_rejected("goal", set);
  EXPECT_FALSE(memory.was_rejected("Goal", set));
  EXPECT_FALSE(memory.was_rejected("goal ", set));
  EXPECT_FALSE(memory.was_rejected("", set));
  EXPECT_EQ(memory.count("Goal"), 0u);
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

bool is_directory(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

mode_t permission_bits(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

std::string all_byte_values() {
  std::string bytes;
  for (int round = 0; round < 2; ++round) {
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
  }
  return bytes + "\r\n\r";
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

  bool directory_is_empty() const { return fs::is_empty(directory_); }

  fs::path directory_;

 private:
  fs::path previous_;
};

using FileOperations = OnDisk;
using TransactionOnDisk = OnDisk;

TEST_F(FileOperations, ReadErrorsCarryTheSystemText) {
  put("file", "f");
  fs::create_directory("dir");
  struct Row {
    std::string path;
    ErrorKind kind;
    std::string message;
  };
  const std::vector<Row> rows = {
      {"missing", ErrorKind::NotFound, "No such file or directory (os error 2)"},
      {"dir", ErrorKind::IsADirectory, "Is a directory (os error 21)"},
      {"file/x", ErrorKind::NotADirectory, "Not a directory (os error 20)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const Result<std::string> read = read_whole_file(row.path);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().kind, row.kind);
    EXPECT_EQ(read.error().message, row.message);
  }
}

// Guards against trusting the size fstat reports: such files claim to be empty.
TEST_F(FileOperations, ReadsFilesThatReportNoSize) {
  if (!exists("/proc/self/status")) GTEST_SKIP() << "no /proc";
  const Result<std::string> read = read_whole_file("/proc/self/status");
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_NE(read.value().find("Name:"), std::string::npos);
}

TEST_F(FileOperations, WriteThenReadIsByteExact) {
  std::string large;
  for (int i = 0; i < (3 << 20) + 7; ++i) large.push_back(static_cast<char>(i * 131 + i / 977));
  for (const std::string& bytes : {std::string(), all_byte_values(), large}) {
    SCOPED_TRACE(bytes.size());
    ASSERT_TRUE(write_whole_file("f", bytes).ok());
    const Result<std::string> read = read_whole_file("f");
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(read.value() == bytes);
  }
}

TEST_F(FileOperations, WriteAndRemoveErrorsCarryTheSystemText) {
  fs::create_directory("dir");
  const Status write = write_whole_file("dir", "x");
  ASSERT_FALSE(write.ok());
  EXPECT_EQ(write.error().message, "Is a directory (os error 21)");
  const Status remove = remove_file("missing");
  ASSERT_FALSE(remove.ok());
  EXPECT_EQ(remove.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(remove.error().message, "No such file or directory (os error 2)");
}

TEST_F(FileOperations, CreateParentDirectories) {
  put("file", "f");
  fs::create_directory("existing");
  struct Row {
    std::string path;
    std::string made;     // a directory that must exist afterwards; empty: none expected
    std::string message;  // empty: success expected
  };
  const std::vector<Row> rows = {
      {"plain.txt", "", ""},
      {"a/b/c.txt", "a/b", ""},
      {"d//e/./f/g.txt", "d/e/f", ""},
      {"existing/x", "existing", ""},
      {"./h/i", "h", ""},
      {(directory_ / "abs/j/k").string(), "abs/j", ""},
      // The last missing directory is taken by a file: mkdir's own error, not a later one.
      {"file/x", "", "File exists (os error 17)"},
      {"file/sub/x", "", "Not a directory (os error 20)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const Status made = create_parent_directories(row.path);
    if (row.message.empty()) {
      EXPECT_TRUE(made.ok()) << made.error().message;
    } else {
      ASSERT_FALSE(made.ok());
      EXPECT_EQ(made.error().message, row.message);
    }
    if (!row.made.empty()) {
      EXPECT_TRUE(is_directory(row.made));
    }
  }
  EXPECT_EQ(contents("file"), "f");
  EXPECT_FALSE(exists("plain.txt"));
}

// A NUL ends the path for the OS, which would then read, truncate, delete or create "bad"
// instead of failing.
TEST_F(FileOperations, PathWithNulTouchesNoFile) {
  using namespace std::string_literals;
  put("bad", "keep");
  const std::string path = "bad\0/name"s;
  const auto error_of = [](const auto& outcome) -> std::optional<IoError> {
    if (outcome.ok()) return std::nullopt;
    return outcome.error();
  };
  const std::vector<std::pair<std::string, std::optional<IoError>>> errors = {
      {"read", error_of(read_whole_file(path))},
      {"write", error_of(write_whole_file(path, "x"))},
      {"remove", error_of(remove_file(path))},
      {"parents", error_of(create_parent_directories(path))},
  };
  for (const auto& [operation, error] : errors) {
    SCOPED_TRACE(operation);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, ErrorKind::InvalidInput);
    EXPECT_EQ(error->message, "path contains a NUL byte");
  }
  EXPECT_EQ(contents("bad"), "keep");

  const Result<Transaction> applied = Transaction::apply(set_of({{"ok.txt", "A"}, {path, "B"}}));
  ASSERT_FALSE(applied.ok());
  EXPECT_EQ(applied.error().message, "path contains a NUL byte");
  EXPECT_EQ(contents("bad"), "keep");
  EXPECT_FALSE(exists("ok.txt"));
}

TEST_F(TransactionOnDisk, CommitKeepsTheEdits) {
  put("x", "orig");
  {
    Result<Transaction> applied = Transaction::apply(set_of({{"x", "new"}, {"d/y", "why"}}));
    ASSERT_TRUE(applied.ok());
    EXPECT_EQ(contents("x"), "new");
    std::move(applied.value()).commit();
  }
  EXPECT_EQ(contents("x"), "new");
  EXPECT_EQ(contents("d/y"), "why");
}

// Two spellings of one file, or a link and its target, are separate snapshot keys. Undoing in
// path order would finish with an intermediate content; only newest-first ends at the start.
TEST_F(TransactionOnDisk, RollbackOfOneFileReachedThroughTwoKeys) {
  struct Row {
    std::string name;
    std::optional<std::string> initial;  // of x; nullopt: no file
    Edits edits;
  };
  const std::vector<Row> rows = {
      {"./x then x", "orig", {{"./x", "A"}, {"x", "B"}}},
      {"x then ./x", "orig", {{"x", "A"}, {"./x", "B"}}},
      {"link then target", "orig", {{"link", "A"}, {"x", "B"}}},
      {"target then link", "orig", {{"x", "A"}, {"link", "B"}}},
      {"three keys", "orig", {{"./x", "A"}, {"link", "B"}, {"x", "C"}}},
      {"new file, x then ./x", std::nullopt, {{"x", "A"}, {"./x", "B"}}},
      {"new file, ./x then x", std::nullopt, {{"./x", "A"}, {"x", "B"}}},
  };
  ASSERT_EQ(::symlink("x", "link"), 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.initial) {
      put("x", *row.initial);
    } else {
      fs::remove("x");
    }
    Result<Transaction> applied = Transaction::apply(set_of(row.edits));
    ASSERT_TRUE(applied.ok()) << applied.error().message;
    EXPECT_EQ(contents("x"), row.edits.back().content);
    applied.value().rollback();
    EXPECT_EQ(contents("x"), row.initial);
    EXPECT_TRUE(fs::is_symlink("link"));
  }
}

TEST_F(TransactionOnDisk, RollbackIsByteExactForBinaryFiles) {
  const std::string binary = all_byte_values();
  put("bin", binary);
  Result<Transaction> applied = Transaction::apply(set_of({{"bin", "text"}, {"fresh", binary}}));
  ASSERT_TRUE(applied.ok());
  // Content is bytes too: guards against a write that stops at a NUL.
  EXPECT_TRUE(contents("fresh") == binary);
  applied.value().rollback();
  EXPECT_TRUE(contents("bin") == binary);
  EXPECT_FALSE(exists("fresh"));
}

// An empty file is a prior state of its own: guards against treating empty as absent.
TEST_F(TransactionOnDisk, EmptyFileIsNotAbsent) {
  {
    Result<Transaction> applied = Transaction::apply(set_of({{"x", ""}}));
    ASSERT_TRUE(applied.ok());
    EXPECT_EQ(contents("x"), "");
    std::move(applied.value()).commit();
  }
  Result<Transaction> applied = Transaction::apply(set_of({{"x", "z"}}));
  ASSERT_TRUE(applied.ok());
  applied.value().rollback();
  EXPECT_EQ(contents("x"), "");
}

TEST_F(TransactionOnDisk, RollbackDeletesNewFilesAndLeavesNewDirectories) {
  Result<Transaction> applied =
      Transaction::apply(set_of({{"top.txt", "t"}, {"new/dir/f.txt", "f"}}));
  ASSERT_TRUE(applied.ok());
  EXPECT_EQ(contents("new/dir/f.txt"), "f");
  applied.value().rollback();
  EXPECT_FALSE(exists("top.txt"));
  EXPECT_FALSE(exists("new/dir/f.txt"));
  EXPECT_TRUE(is_directory("new/dir"));
  EXPECT_TRUE(fs::is_empty("new/dir"));
}

// Guards against a rollback that gives up at the first path it cannot restore.
TEST_F(TransactionOnDisk, RollbackGoesOnPastAFileAlreadyGone) {
  put("kept", "before");
  Result<Transaction> applied = Transaction::apply(set_of({{"kept", "after"}, {"gone", "g"}}));
  ASSERT_TRUE(applied.ok());
  fs::remove("gone");
  applied.value().rollback();
  EXPECT_EQ(contents("kept"), "before");
  EXPECT_FALSE(exists("gone"));
}

TEST_F(TransactionOnDisk, SamePathTwiceEndsWithTheLaterContent) {
  struct Row {
    std::string name;
    std::string file;
    Edits edits;
  };
  const std::vector<Row> rows = {
      {"one spelling", "x", {{"x", "A"}, {"x", "B"}}},
      {"two spellings", "src/a.rs", {{"src/a.rs", "A"}, {"src//a.rs", "B"}}},
  };
  fs::create_directory("src");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    put(row.file, "orig");
    Result<Transaction> applied = Transaction::apply(set_of(row.edits));
    ASSERT_TRUE(applied.ok());
    EXPECT_EQ(contents(row.file), "B");
    // A second read would snapshot "A" and make the rollback stop there.
    applied.value().rollback();
    EXPECT_EQ(contents(row.file), "orig");
  }
}

// A failure part-way must leave the earlier edits' files exactly as before the call and
// return the failing call's own error.
TEST_F(TransactionOnDisk, FailingEditUndoesTheEarlierOnes) {
  put("file", "plain");
  fs::create_directory("dir");
  struct Row {
    std::string name;
    std::string failing;
    ErrorKind kind;
    std::string message;
  };
  const std::vector<Row> rows = {
      {"parent is a regular file", "file/x", ErrorKind::NotADirectory,
       "Not a directory (os error 20)"},
      {"ancestor is a regular file", "file/sub/x", ErrorKind::NotADirectory,
       "Not a directory (os error 20)"},
      {"path is a directory", "dir", ErrorKind::IsADirectory, "Is a directory (os error 21)"},
      // Missing, so the snapshot says absent; the open for writing is what fails.
      {"missing name with a trailing slash", "missing/", ErrorKind::IsADirectory,
       "Is a directory (os error 21)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    put("kept.txt", "before\n");
    const Result<Transaction> applied =
        Transaction::apply(set_of({{"kept.txt", "after"}, {"new.txt", "n"}, {row.failing, "z"}}));
    ASSERT_FALSE(applied.ok());
    EXPECT_EQ(applied.error().kind, row.kind);
    EXPECT_EQ(applied.error().message, row.message);
    EXPECT_EQ(contents("kept.txt"), "before\n");
    EXPECT_FALSE(exists("new.txt"));
    EXPECT_EQ(contents("file"), "plain");
    EXPECT_TRUE(is_directory("dir"));
    EXPECT_TRUE(fs::is_empty("dir"));
    EXPECT_FALSE(exists("missing"));
  }
}

// A file whose bytes cannot be read must not be written: a rollback could not bring it back.
TEST_F(TransactionOnDisk, UnreadableFileIsNeverWritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  put("kept.txt", "before");
  put("locked", "secret");
  ASSERT_EQ(::chmod("locked", 0200), 0);
  const Result<Transaction> applied =
      Transaction::apply(set_of({{"kept.txt", "after"}, {"locked", "overwritten"}}));
  ASSERT_EQ(::chmod("locked", 0600), 0);
  ASSERT_FALSE(applied.ok());
  EXPECT_EQ(applied.error().kind, ErrorKind::PermissionDenied);
  EXPECT_EQ(applied.error().message, "Permission denied (os error 13)");
  EXPECT_EQ(contents("locked"), "secret");
  EXPECT_EQ(contents("kept.txt"), "before");
}

// Guards against an error from creating directories being replaced by a later one.
TEST_F(TransactionOnDisk, ParentThatCannotBeCreated) {
  if (::geteuid() == 0) GTEST_SKIP() << "root creates directories whatever their mode";
  put("kept.txt", "before");
  fs::create_directory("ro");
  ASSERT_EQ(::chmod("ro", 0555), 0);
  const Result<Transaction> applied =
      Transaction::apply(set_of({{"kept.txt", "after"}, {"ro/sub/f", "f"}}));
  ASSERT_EQ(::chmod("ro", 0755), 0);
  ASSERT_FALSE(applied.ok());
  EXPECT_EQ(applied.error().message, "Permission denied (os error 13)");
  EXPECT_EQ(contents("kept.txt"), "before");
  EXPECT_TRUE(fs::is_empty("ro"));
}

// Guards against a write through a fresh descriptor that resets the owner's chosen mode.
TEST_F(TransactionOnDisk, ExistingModeIsKeptAndNewFilesGet0666BeforeTheMask) {
  put("x", "orig");
  ASSERT_EQ(::chmod("x", 0640), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  Result<Transaction> applied = Transaction::apply(set_of({{"x", "new"}, {"y", "new"}}));
  ASSERT_TRUE(applied.ok());
  EXPECT_EQ(permission_bits("x"), 0640u);
  EXPECT_EQ(permission_bits("y"), 0666u & ~mask);
  applied.value().rollback();
  EXPECT_EQ(permission_bits("x"), 0640u);
}

TEST_F(TransactionOnDisk, DestroyedWhileActiveRollsBack) {
  put("x", "orig");
  {
    const Result<Transaction> applied = Transaction::apply(set_of({{"x", "new"}, {"n", "n"}}));
    ASSERT_TRUE(applied.ok());
    EXPECT_EQ(contents("x"), "new");
  }
  EXPECT_EQ(contents("x"), "orig");
  EXPECT_FALSE(exists("n"));
}

// Guards against a destructor that rolls back once more and undoes later changes by others.
TEST_F(TransactionOnDisk, DestroyedAfterRollbackDoesNothingFurther) {
  put("x", "orig");
  {
    Result<Transaction> applied = Transaction::apply(set_of({{"x", "new"}}));
    ASSERT_TRUE(applied.ok());
    applied.value().rollback();
    EXPECT_EQ(contents("x"), "orig");
    put("x", "later");
  }
  EXPECT_EQ(contents("x"), "later");
}

// Guards against a moved-from transaction that still restores the files it no longer owns.
TEST_F(TransactionOnDisk, MovedFromTransactionIsInactive) {
  put("x", "orig");
  {
    Result<Transaction> applied = Transaction::apply(set_of({{"x", "new"}}));
    ASSERT_TRUE(applied.ok());
    Transaction owner(std::move(applied.value()));
    std::move(owner).commit();
  }
  EXPECT_EQ(contents("x"), "new");
}

TEST_F(TransactionOnDisk, EmptySetTouchesNothing) {
  {
    Result<Transaction> applied = Transaction::apply(set_of({}));
    ASSERT_TRUE(applied.ok());
    applied.value().rollback();
  }
  EXPECT_TRUE(directory_is_empty());
}

}  // namespace
}  // namespace quarry
