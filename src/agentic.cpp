#include "agentic.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

#include "provenance.h"
#include "text.h"

namespace quarry {
namespace {

// The distinct paths of a set in path order, each with its first spelling and its last content.
struct Entry {
  const std::string* path;
  const std::string* content;
};

std::map<PathKey, Entry> entries_by_path(const EditSet& set) {
  std::map<PathKey, Entry> entries;
  for (const FileEdit& edit : set.edits) {
    auto [it, inserted] =
        entries.try_emplace(PathKey::of(edit.path), Entry{&edit.path, &edit.content});
    if (!inserted) it->second.content = &edit.content;
  }
  return entries;
}

void update_length(Sha256& hash, std::uint64_t length) {
  char bytes[8];
  for (int i = 7; i >= 0; --i) {
    bytes[i] = static_cast<char>(length & 0xff);
    length >>= 8;
  }
  hash.update(std::string_view(bytes, sizeof bytes));
}

// How often `needle` occurs in `text`, overlapping occurrences counted ("abab" twice in
// "ababab"): an edit meant for one of them is ambiguous. Knuth-Morris-Pratt, linear in both, so
// that no text and needle (a long run of one byte in each) make the count quadratic.
std::size_t count_occurrences(std::string_view text, std::string_view needle) {
  // border[i]: the length of the longest proper prefix of needle[0..i] that is also its suffix.
  std::vector<std::size_t> border(needle.size(), 0);
  for (std::size_t i = 1, matched = 0; i < needle.size(); ++i) {
    while (matched > 0 && needle[i] != needle[matched]) matched = border[matched - 1];
    if (needle[i] == needle[matched]) ++matched;
    border[i] = matched;
  }
  std::size_t count = 0;
  for (std::size_t i = 0, matched = 0; i < text.size(); ++i) {
    while (matched > 0 && text[i] != needle[matched]) matched = border[matched - 1];
    if (text[i] == needle[matched]) ++matched;
    if (matched == needle.size()) {
      ++count;
      matched = border[matched - 1];
    }
  }
  return count;
}

}  // namespace

IoError edit_refused(std::size_t index, std::string_view text) {
  std::string message = "edit " + std::to_string(index) + ": ";
  message += text;
  return IoError{ErrorKind::InvalidInput, std::move(message)};
}

Result<std::string> replace_text(std::string_view bytes, const TextReplacement& replacement,
                                 std::size_t index, const std::string& path) {
  const std::string_view old_text = replacement.old_text;
  if (old_text.empty()) return edit_refused(index, "old_text must not be empty");
  const std::size_t occurrences = count_occurrences(bytes, old_text);
  if (occurrences == 0) return edit_refused(index, "old_text not found in " + path);
  if (occurrences > 1 && !replacement.replace_all) {
    return edit_refused(index, "old_text occurs " + std::to_string(occurrences) + " times in " +
                                   path + "; add context or set replace_all");
  }
  // Every occurrence, left to right: one that overlaps the last replaced is not one any more.
  std::string result;
  std::size_t copied = 0;
  for (std::size_t at = bytes.find(old_text); at != std::string_view::npos;
       at = bytes.find(old_text, at + old_text.size())) {
    result.append(bytes.substr(copied, at - copied));
    result.append(replacement.new_text);
    copied = at + old_text.size();
  }
  result.append(bytes.substr(copied));
  return result;
}

std::string EditSet::fingerprint() const {
  Sha256 hash;
  for (const auto& [key, entry] : entries_by_path(*this)) {
    hash.update(utf8_lossy(*entry.path));
    hash.update(std::string_view("\0", 1));
    hash.update(*entry.content);
    hash.update("\x01");
  }
  return hash.hex_digest();
}

std::string EditSet::identity() const {
  const std::map<PathKey, Entry> entries = entries_by_path(*this);
  Sha256 hash;
  update_length(hash, entries.size());
  for (const auto& [key, entry] : entries) {
    update_length(hash, key.components.size());
    for (const std::string& component : key.components) {
      update_length(hash, component.size());
      hash.update(component);
    }
    update_length(hash, entry.content->size());
    hash.update(*entry.content);
  }
  return hash.hex_digest();
}

bool AttemptMemory::was_rejected(const std::string& key, const EditSet& set) const {
  if (!rejected_.contains(key)) return false;
  return was_rejected(key, set, set.fingerprint());
}

bool AttemptMemory::was_rejected(const std::string& key, const EditSet& set,
                                 const std::string& fingerprint) const {
  const auto list = rejected_.find(key);
  if (list == rejected_.end()) return false;
  // The identity costs a second pass over the contents, so it is only worked out for a
  // fingerprint that matches.
  std::optional<std::string> identity;
  for (const RejectedSet& rejected : list->second) {
    if (rejected.fingerprint != fingerprint) continue;
    if (!identity) identity = set.identity();
    if (rejected.identity == *identity) return true;
  }
  return false;
}

void AttemptMemory::record_rejected(const std::string& key, const EditSet& set) {
  remember(key, RejectedSet{set.fingerprint(), set.identity()});
}

void AttemptMemory::remember(const std::string& key, RejectedSet set) {
  std::vector<RejectedSet>& list = rejected_[key];
  if (std::find(list.begin(), list.end(), set) == list.end()) list.push_back(std::move(set));
}

const std::vector<RejectedSet>& AttemptMemory::rejected(const std::string& key) const {
  static const std::vector<RejectedSet> none;
  const auto list = rejected_.find(key);
  return list == rejected_.end() ? none : list->second;
}

std::size_t AttemptMemory::count(const std::string& key) const {
  const auto list = rejected_.find(key);
  return list == rejected_.end() ? 0 : list->second.size();
}

Result<Transaction> Transaction::apply(
    const EditSet& set, const Workspace& workspace, JournalDirectory* journal,
    const std::function<Status(const std::vector<TouchedPath>&)>& check, FileClaim claim) {
  Transaction transaction;
  transaction.workspace_ = &workspace;
  transaction.claim_ = std::move(claim);
  std::vector<std::size_t> slot_of_edit;
  std::vector<const std::string*> last_content;
  std::vector<std::string> made;  // directories made for the set, shallowest first
  // Refused before its first write, the set leaves no directory it made behind.
  const auto refused = [&workspace, &made](IoError error) {
    for (auto directory = made.rbegin(); directory != made.rend(); ++directory) {
      static_cast<void>(workspace.remove_directory(*directory));
    }
    return error;
  };
  slot_of_edit.reserve(set.edits.size());
  for (const FileEdit& edit : set.edits) {
    auto [slot, is_new] =
        transaction.index_.try_emplace(PathKey::of(edit.path), transaction.touched_.size());
    slot_of_edit.push_back(slot->second);
    if (!is_new) {
      last_content[slot->second] = &edit.content;
      continue;
    }
    // The prior state is taken once the parent directories exist: through a directory that is
    // missing now, "d/../a" would read as absent and the write would then replace an existing a.
    if (Status parents = create_parent_directories(workspace, edit.path, &made); !parents) {
      return refused(parents.error());
    }
    Result<PriorState> prior = read_prior_state(workspace, edit.path);
    if (!prior) return refused(prior.error());
    transaction.touched_.push_back(
        TouchedPath{edit.path, std::move(prior).value(), {}, std::nullopt, false, false});
    last_content.push_back(&edit.content);
  }
  if (check) {
    if (Status checked = check(transaction.touched_); !checked) return refused(checked.error());
  }
  if (journal != nullptr) {
    for (std::size_t i = 0; i < last_content.size(); ++i) {
      transaction.touched_[i].written_digest = content_digest(*last_content[i]);
    }
    Result<Journal> written = Journal::write(*journal, workspace, transaction.touched_);
    if (!written) return refused(written.error());
    transaction.journal_ = std::make_unique<Journal>(std::move(written).value());
  }

  // From the first write on, destruction rolls back, whatever ends the apply early.
  transaction.active_ = true;
  for (std::size_t i = 0; i < set.edits.size(); ++i) {
    const std::size_t slot = slot_of_edit[i];
    TouchedPath& touched = transaction.touched_[slot];
    // Known before the first byte, so that a write failing part-way still removes the file.
    const auto opened = [&](const FileIdentity& identity) -> Status {
      if (touched.prior.bytes || touched.created) return {};
      touched.created = identity;
      return transaction.journal_ ? transaction.journal_->mark_created(slot, identity) : Status();
    };
    Status status;
    if (transaction.journal_) status = transaction.journal_->mark_writing(slot);
    if (status)
      status = write_whole_file(workspace, set.edits[i].path, set.edits[i].content, opened);
    if (!status) {
      IoError error = status.error();
      for (const std::string& line : transaction.rollback()) error.message += "\n" + line;
      return error;
    }
  }
  if (transaction.journal_) static_cast<void>(transaction.journal_->mark_all_written());
  return transaction;
}

Transaction::Transaction(Transaction&& other) noexcept
    : workspace_(other.workspace_),
      index_(std::move(other.index_)),
      touched_(std::move(other.touched_)),
      journal_(std::move(other.journal_)),
      claim_(std::move(other.claim_)),
      active_(std::exchange(other.active_, false)) {}

Transaction::~Transaction() {
  if (active_) static_cast<void>(rollback());
}

std::vector<TouchedPath> Transaction::commit() && {
  active_ = false;
  if (journal_) {
    if (journal_->sync()) {
      for (const TouchedPath& touched : touched_) {
        Result<Fd> file = workspace_->open(touched.path, O_RDONLY | O_NONBLOCK);
        if (file) static_cast<void>(::fsync(file.value().get()));
      }
    }
    static_cast<void>(journal_->remove());
    journal_.reset();
  }
  claim_ = {};
  index_.clear();
  return std::move(touched_);
}

std::vector<std::string> Transaction::rollback() {
  std::vector<std::string> failures;
  // Two keys can reach one file (./x and x, a link and its target); both hold the bytes from
  // before the set, so the order only has to be the same every time: newest first.
  for (std::size_t i = touched_.size(); i-- > 0;) {
    TouchedPath& touched = touched_[i];
    if (touched.put_back) continue;
    // Killed part-way through the put-back, the file holds neither state: recovery must know
    // that what it holds is ours.
    if (journal_ && !touched.putting_back) {
      static_cast<void>(journal_->mark_putting_back(i));
      touched.putting_back = true;
    }
    Status restored = put_back(*workspace_, touched.path, touched.prior, touched.created);
    if (restored) {
      touched.put_back = true;
      if (journal_) static_cast<void>(journal_->mark_put_back(i));
      continue;
    }
    failures.push_back("rollback failed for " + touched.path + ": " + restored.error().message);
    if (journal_ && !touched.rollback_failed) static_cast<void>(journal_->mark_failed(i));
    touched.rollback_failed = true;
  }
  active_ = false;
  if (failures.empty()) {
    if (journal_) static_cast<void>(journal_->remove());
    journal_.reset();
    claim_ = {};
  }
  return failures;
}

Status Transaction::announce_run(const std::string& token) {
  return journal_ ? journal_->mark_run(token) : Status();
}

bool Transaction::rollback_pending() const {
  return std::any_of(touched_.begin(), touched_.end(),
                     [](const TouchedPath& touched) { return !touched.put_back; });
}

}  // namespace quarry
