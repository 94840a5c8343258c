// Path identity and order, and the fingerprint and identity of edit-sets, on arbitrary paths
// and contents. Nothing here touches the file system.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "agentic.h"
#include "check.h"

namespace {

using quarry::EditSet;
using quarry::FileEdit;
using quarry::PathKey;

constexpr std::size_t kMaxEdits = 8;

// The documented order, written out independently: root, then ".", then "..", then names by
// unsigned bytes; a key that is a prefix of another comes first.
int kind(const std::string& component) {
  if (component == "/") return 0;
  if (component == ".") return 1;
  if (component == "..") return 2;
  return 3;
}

bool component_before(const std::string& a, const std::string& b) {
  if (kind(a) != kind(b)) return kind(a) < kind(b);
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

bool key_before(const PathKey& a, const PathKey& b) {
  const std::size_t common = std::min(a.components.size(), b.components.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (component_before(a.components[i], b.components[i])) return true;
    if (component_before(b.components[i], a.components[i])) return false;
  }
  return a.components.size() < b.components.size();
}

// A spelling of `key` that reads back as the same key.
std::string spelling_of(const PathKey& key) {
  std::string path;
  for (const std::string& component : key.components) {
    if (component == "/") {
      path = "/";
      continue;
    }
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path += component;
  }
  return path;
}

// No empty component, "/" only as the root, and a spelling that reads back as the same key.
void check_key(const PathKey& key) {
  for (std::size_t i = 0; i < key.components.size(); ++i) {
    FUZZ_CHECK(!key.components[i].empty());
    FUZZ_CHECK(key.components[i].find('/') == std::string::npos ||
               (i == 0 && key.components[i] == "/"));
  }
  FUZZ_CHECK(PathKey::of(spelling_of(key)) == key);
}

void check_order(const std::vector<PathKey>& keys) {
  const quarry::PathKeyHash hash;
  for (const PathKey& a : keys) {
    FUZZ_CHECK(!(a < a));
    for (const PathKey& b : keys) {
      const bool less = a < b;
      FUZZ_CHECK(less == key_before(a, b));
      if (less) FUZZ_CHECK(!(b < a));
      // The order is total: keys neither side of each other are the same key.
      FUZZ_CHECK((!less && !(b < a)) == (a == b));
      if (a == b) FUZZ_CHECK(hash(a) == hash(b));
      for (const PathKey& c : keys) {
        if (less && b < c) FUZZ_CHECK(a < c);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, kMaxEdits);
  std::vector<FileEdit> edits;
  std::vector<PathKey> keys;
  for (std::size_t i = 0; i < count; ++i) {
    FileEdit edit{input.ConsumeRandomLengthString(64), input.ConsumeRandomLengthString(64)};
    keys.push_back(PathKey::of(edit.path));
    check_key(keys.back());
    edits.push_back(std::move(edit));
  }
  check_order(keys);

  const EditSet set{edits};
  const std::string fingerprint = set.fingerprint();
  const std::string identity = set.identity();

  // One edit per distinct path, with its first spelling and its last content: the set both
  // digests describe, whatever the order.
  std::map<PathKey, FileEdit> distinct;
  for (std::size_t i = 0; i < edits.size(); ++i) {
    const auto [entry, inserted] = distinct.try_emplace(keys[i], edits[i]);
    if (!inserted) entry->second.content = edits[i].content;
  }
  EditSet shuffled;
  EditSet respelled;
  for (const auto& [key, edit] : distinct) {
    shuffled.edits.push_back(edit);
    respelled.edits.push_back(FileEdit{spelling_of(key), edit.content});
  }
  std::mt19937 random(input.ConsumeIntegral<std::uint32_t>());
  std::shuffle(shuffled.edits.begin(), shuffled.edits.end(), random);
  std::shuffle(respelled.edits.begin(), respelled.edits.end(), random);
  FUZZ_CHECK(shuffled.fingerprint() == fingerprint);
  FUZZ_CHECK(shuffled.identity() == identity);
  // The identity goes by path identity, not by spelling.
  FUZZ_CHECK(respelled.identity() == identity);

  // One more byte in one content is another set under both digests.
  EditSet changed = shuffled;
  changed.edits[random() % changed.edits.size()].content.push_back('x');
  FUZZ_CHECK(changed.fingerprint() != fingerprint);
  FUZZ_CHECK(changed.identity() != identity);

  quarry::AttemptMemory memory;
  memory.record_rejected("goal", set);
  memory.record_rejected("goal", shuffled);
  FUZZ_CHECK(memory.count("goal") == 1 && memory.was_rejected("goal", shuffled));
  FUZZ_CHECK(!memory.was_rejected("goal", changed) && !memory.was_rejected("other goal", set));
  return 0;
}
