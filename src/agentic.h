// The values a proposal is made of (FileEdit, EditSet), path identity and order, fingerprints,
// the memory of rejected edit-sets, and the on-disk Transaction with exact rollback.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io_error.h"

namespace quarry {

// Path identity: components split at "/", a leading "." kept, other "." and empty components
// dropped, ".." kept, a leading "/" as the root component. Nothing touches the file system.
struct PathKey {
  std::vector<std::string> components;  // "/" stands for the root

  static PathKey of(std::string_view path);
  bool operator==(const PathKey&) const = default;
};
// Component-wise order: root, then ".", then "..", then names by unsigned bytes; a prefix first.
bool operator<(const PathKey& a, const PathKey& b);

struct PathKeyHash {
  std::size_t operator()(const PathKey& key) const;
};

struct FileEdit {
  std::string path;     // as the client wrote it
  std::string content;  // the whole new content
};

struct EditSet {
  std::vector<FileEdit> edits;  // in the client's order

  // The reported fingerprint: SHA-256 over path, 0x00, content, 0x01 for each distinct path in
  // path order (a later edit of the same path wins, the first spelling is kept).
  std::string fingerprint() const;
  // An unambiguous identity (length-prefixed paths and contents) for telling sets apart
  // whose fingerprints collide through the fingerprint's unescaped framing.
  std::string identity() const;
};

// Fingerprints of rejected edit-sets, per key (the task's goal).
class AttemptMemory {
 public:
  // True when a set with the same fingerprint and the same identity was recorded under `key`.
  // An unknown key answers false without hashing anything.
  bool was_rejected(const std::string& key, const EditSet& set) const;
  // The same, for a caller that has already worked out the set's fingerprint.
  bool was_rejected(const std::string& key, const EditSet& set,
                    const std::string& fingerprint) const;
  void record_rejected(const std::string& key, const EditSet& set);
  // How many distinct rejected sets are remembered under `key`.
  std::size_t count(const std::string& key) const;

 private:
  struct Rejected {
    std::string fingerprint;
    std::string identity;
  };
  std::unordered_map<std::string, std::vector<Rejected>> rejected_;
};

// File operations on client paths. A path holding a NUL byte fails with InvalidInput.
Result<std::string> read_whole_file(const std::string& path);
Status write_whole_file(const std::string& path, std::string_view bytes);
// Removes the file the path names: through a symbolic link, the file it points to.
Status remove_file(const std::string& path);
Status create_parent_directories(const std::string& path);

// One edit-set written to disk, able to put every touched path back exactly as it was.
class Transaction {
 public:
  // Writes every edit in order, saving each path's prior bytes before its first write. A path
  // that cannot be read for any reason but not existing fails before it is written. On failure,
  // whatever was written is already rolled back and the error is the failing call's.
  static Result<Transaction> apply(const EditSet& set);

  Transaction(Transaction&&) noexcept;
  Transaction& operator=(Transaction&&) = delete;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();  // rolls back while active

  void commit() &&;
  void rollback();  // best effort; restores paths in reverse order of their first write

 private:
  Transaction() = default;

  struct Entry {
    std::string path;                  // first spelling written
    std::optional<std::string> prior;  // nullopt: the file did not exist
  };
  std::map<PathKey, std::size_t> index_;  // path -> position in entries_
  std::vector<Entry> entries_;            // in order of first write
  bool active_ = false;
};

}  // namespace quarry
