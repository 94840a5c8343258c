// The values a proposal is made of (FileEdit, EditSet), fingerprints, the memory of rejected
// edit-sets, and the on-disk Transaction with exact rollback.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io_error.h"
#include "journal.h"
#include "workspace.h"

namespace quarry {

// A targeted edit: `old_text` in a file's current bytes becomes `new_text`.
struct TextReplacement {
  std::string old_text;
  std::string new_text;
  bool replace_all = false;  // every occurrence, rather than the only one
};

struct FileEdit {
  std::string path;     // as the client wrote it
  std::string content;  // the whole new content
  // Set for a targeted edit, whose `content` is worked out from the file's current bytes (and
  // the set's earlier edits of the path) before the set is fingerprinted or written.
  std::optional<TextReplacement> replacement = std::nullopt;
};

// The refusal of edit `index` of a proposal (from 0): InvalidInput "edit {index}: {text}".
IoError edit_refused(std::size_t index, std::string_view text);

// `replacement` applied to `bytes`; edit_refused naming `path` for an empty old_text, one that
// does not occur, or one that occurs more than once, overlapping or not, without replace_all
// (which replaces left to right, none overlapping the last replaced).
Result<std::string> replace_text(std::string_view bytes, const TextReplacement& replacement,
                                 std::size_t index, const std::string& path);

struct EditSet {
  std::vector<FileEdit> edits;  // in the client's order

  // The reported fingerprint: SHA-256 over path, 0x00, content, 0x01 for each distinct path in
  // path order (a later edit of the same path wins, the first spelling is kept).
  std::string fingerprint() const;
  // An unambiguous identity (length-prefixed paths and contents) for telling sets apart
  // whose fingerprints collide through the fingerprint's unescaped framing.
  std::string identity() const;
};

// One rejected edit-set as remembered: its fingerprint and its identity (EditSet).
struct RejectedSet {
  std::string fingerprint;
  std::string identity;
  bool operator==(const RejectedSet&) const = default;
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
  // The sets remembered under `key`, oldest first; and one remembered again (a task taken over
  // from a record), unless it is already.
  const std::vector<RejectedSet>& rejected(const std::string& key) const;
  void remember(const std::string& key, RejectedSet set);

 private:
  std::unordered_map<std::string, std::vector<RejectedSet>> rejected_;
};

// One edit-set written to disk, able to put every touched path back exactly as it was.
class Transaction {
 public:
  // Creates the parent directories and takes the prior state of every path, writes the undo
  // journal (when `journal` is given), then writes every edit in order. On failure, whatever
  // was written is already rolled back; a journal that cannot be written fails with
  // "cannot write the undo journal: {error}" before any file is touched, and a rollback that
  // fails adds its lines to the error text. `workspace` must outlive the transaction.
  // `check`, when given, sees every prior state before anything is written; its error ends the
  // apply unchanged. The transaction holds `claim` (its paths, claimed for changing) until it
  // is committed or wholly rolled back.
  static Result<Transaction> apply(
      const EditSet& set, const Workspace& workspace, JournalDirectory* journal,
      const std::function<Status(const std::vector<TouchedPath>&)>& check = {},
      FileClaim claim = {});

  Transaction(Transaction&&) noexcept;
  Transaction& operator=(Transaction&&) = delete;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();  // rolls back while active; a journal kept for failed paths stays on disk

  // Keeps the edits and deletes the journal; hands over what was touched.
  std::vector<TouchedPath> commit() &&;
  // Puts back every path not put back yet, newest first. One line "rollback failed for
  // {path}: {error}" per path that could not be; the journal then stays, marked, and a later
  // call tries those paths again.
  std::vector<std::string> rollback();
  bool rollback_pending() const;
  // Records in the journal the token of a child about to be started on the edits (the
  // verifier), so that recovery can stop it and what it starts when the server dies meanwhile.
  Status announce_run(const std::string& token);
  bool touches(const PathKey& key) const { return index_.contains(key); }

 private:
  Transaction() = default;

  const Workspace* workspace_ = nullptr;
  std::map<PathKey, std::size_t> index_;  // path -> position in touched_
  std::vector<TouchedPath> touched_;      // in order of first write
  std::unique_ptr<Journal> journal_;
  FileClaim claim_;
  bool active_ = false;
};

}  // namespace quarry
