// Path identity and order, fingerprints, digests and the memory of rejected edit-sets.
#include "agentic.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "provenance.h"

namespace quarry {
namespace {

using namespace std::string_literals;

EditSet set_of(std::vector<FileEdit> edits) {
  return EditSet{std::move(edits)};
}

// Each row spells one path; rows ascend. Guards against plain byte order (which puts a-b before
// a/b), signed bytes from 0x80 up, ranking the root, "." and ".." by their bytes, and against
// collapsing "..", dropping a leading "." or keeping empty and inner "." components.
TEST(PathKey, IdentityAndOrder) {
  // Spellings of one path share a row, separated by blanks.
  const std::vector<std::string> ascending = {
      "",      "/",    "/a //a /./a", ".",      "./a .//a ././a",
      "..",    "\x01", "a a/.",       "a/../b", "a/b a//b a/./b a/b/",
      "a/b/c", "a-b",  "ab",          "b",      "\xc3\xa9"};
  const auto spellings = [&](std::size_t row) {
    std::vector<std::string> all;
    std::istringstream words(ascending[row]);
    for (std::string word; words >> word;) all.push_back(word);
    return all.empty() ? std::vector<std::string>{""} : all;
  };
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (const std::string& spelling : spellings(i)) {
      SCOPED_TRACE(spelling);
      const PathKey key = PathKey::of(spelling);
      EXPECT_EQ(PathKeyHash{}(key), PathKeyHash{}(PathKey::of(spellings(i)[0])));
      for (std::size_t j = 0; j < ascending.size(); ++j) {
        const PathKey other = PathKey::of(spellings(j)[0]);
        EXPECT_EQ(key < other, i < j) << ascending[j];
        EXPECT_EQ(key == other, i == j) << ascending[j];
      }
    }
  }
}

// The worked example; an empty set hashes no bytes; entries go in path order (a/b before a-b).
// Digests in upper case, without zero padding, or of a C string (cut at the first NUL) would
// change every reported fingerprint.
TEST(Fingerprint, KnownValues) {
  EXPECT_EQ(set_of({{"a", "abc"}}).fingerprint(),
            "414779670feb4879fc7c0cdbfb2fc755f39769fe7614bd64a966397ab10d6b88");
  EXPECT_EQ(set_of({}).fingerprint(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Octal escapes: \000 then the digit 2.
  EXPECT_EQ(set_of({{"a-b", "1"}, {"a/b", "2"}}).fingerprint(),
            sha256_hex("a/b\0002\1a-b\0001\1"s));
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("\0\0\0"s),
            "709e80c88487a2411e1ee4dfb9f22a861492d20c4765150c0c794abd70f8147c");
}

// A set is refused only when it is the rejected one: same fingerprint, same paths and contents.
// Content is not escaped in the fingerprint, so a set whose fingerprint collides with a rejected
// one must still be verified; path bytes are hashed as lossy UTF-8 and collide the same way.
TEST(AttemptMemory, RefusesOnlyTheSetRejected) {
  struct Row {
    const char* name;
    EditSet rejected;
    EditSet proposed;
    bool same_fingerprint;
    bool refused;
  };
  const Row rows[] = {
      {"reordered", set_of({{"b", "2"}, {"./a", "1"}, {"/x", "x"}}),
       set_of({{"/x", "x"}, {"./a", "1"}, {"b", "2"}}), true, true},
      {"a later edit of a path wins, its first spelling is hashed",
       set_of({{"a//b", "old"}, {"z", "z"}, {"a/b", "new"}}), set_of({{"a//b", "new"}, {"z", "z"}}),
       true, true},
      {"respelled path", set_of({{"a//b", "1"}}), set_of({{"a/b", "1"}}), false, false},
      {"content moved", set_of({{"a", "1"}, {"b", "2"}}), set_of({{"a", "2"}, {"b", "1"}}), false,
       false},
      {"empty content, one NUL", set_of({{"x", ""}}), set_of({{"x", "\0"s}}), false, false},
      {"colliding framing", set_of({{"a", "x\x01"s + "b\0y"s}}), set_of({{"a", "x"}, {"b", "y"}}),
       true, false},
      {"lossy path", set_of({{"\xff", "c"}}), set_of({{"\xef\xbf\xbd", "c"}}), true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.rejected.fingerprint() == row.proposed.fingerprint(), row.same_fingerprint);
    AttemptMemory memory;
    memory.record_rejected("goal", row.rejected);
    EXPECT_EQ(memory.was_rejected("goal", row.proposed), row.refused);
    EXPECT_FALSE(memory.was_rejected("Goal", row.rejected));  // keys match by exact bytes
    memory.record_rejected("goal", row.proposed);
    EXPECT_EQ(memory.count("goal"), row.refused ? 1u : 2u);
  }
}

}  // namespace
}  // namespace quarry
