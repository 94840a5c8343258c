#include "agentic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <utility>

#include "process.h"
#include "provenance.h"
#include "text.h"

namespace quarry {
namespace {

constexpr std::string_view kRoot = "/";
constexpr std::string_view kCurrent = ".";
constexpr std::string_view kParent = "..";

// A name can never be "/" or "." (those are only kept as the first component), so the text
// alone tells the kind.
int rank(std::string_view component) {
  if (component == kRoot) return 0;
  if (component == kCurrent) return 1;
  if (component == kParent) return 2;
  return 3;
}

bool component_less(const std::string& a, const std::string& b) {
  const int rank_a = rank(a);
  const int rank_b = rank(b);
  if (rank_a != rank_b) return rank_a < rank_b;
  // char_traits<char> compares as unsigned char, so bytes >= 0x80 sort after ASCII.
  return a.compare(b) < 0;
}

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

bool contains_nul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// The OS would stop at the NUL and address a different file.
IoError nul_in_path() {
  return IoError{ErrorKind::InvalidInput, "path contains a NUL byte"};
}

Result<Fd> open_file(const std::string& path, int flags, mode_t mode = 0) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags, mode);
    if (fd >= 0) return Fd(fd);
    const int error = errno;
    if (error != EINTR) return os_error(error);
  }
}

bool is_directory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Makes directories[count - 1] and whichever of its ancestors are missing; directories[i] is
// the path of the first i + 1 components. Trying the deepest first costs one call when the
// parent exists already, the usual case.
Status make_directories(const std::vector<std::string>& directories, std::size_t count) {
  if (count == 0) return {};
  const std::string& directory = directories[count - 1];
  if (::mkdir(directory.c_str(), 0777) == 0) return {};
  int error = errno;
  if (error == ENOENT) {
    Status ancestors = make_directories(directories, count - 1);
    if (!ancestors) return ancestors;
    if (::mkdir(directory.c_str(), 0777) == 0) return {};
    error = errno;
  }
  if (is_directory(directory)) return {};
  return os_error(error);
}

}  // namespace

PathKey PathKey::of(std::string_view path) {
  PathKey key;
  if (!path.empty() && path.front() == '/') key.components.emplace_back(kRoot);
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    // A "." is only kept as the very first component: "./a" names something other than "a"
    // to a client, while "a/./b" is just "a/b".
    if (!component.empty() && (component != kCurrent || key.components.empty())) {
      key.components.emplace_back(component);
    }
    start = end + 1;
  }
  return key;
}

bool operator<(const PathKey& a, const PathKey& b) {
  return std::lexicographical_compare(a.components.begin(), a.components.end(),
                                      b.components.begin(), b.components.end(), component_less);
}

std::size_t PathKeyHash::operator()(const PathKey& key) const {
  std::size_t hash = key.components.size();
  for (const std::string& component : key.components) {
    hash ^= std::hash<std::string>{}(component) + 0x9e3779b9 + (hash << 6) + (hash >> 2);
  }
  return hash;
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
  for (const Rejected& rejected : list->second) {
    if (rejected.fingerprint != fingerprint) continue;
    if (!identity) identity = set.identity();
    if (rejected.identity == *identity) return true;
  }
  return false;
}

void AttemptMemory::record_rejected(const std::string& key, const EditSet& set) {
  Rejected entry{set.fingerprint(), set.identity()};
  std::vector<Rejected>& list = rejected_[key];
  for (const Rejected& rejected : list) {
    if (rejected.fingerprint == entry.fingerprint && rejected.identity == entry.identity) return;
  }
  list.push_back(std::move(entry));
}

std::size_t AttemptMemory::count(const std::string& key) const {
  const auto list = rejected_.find(key);
  return list == rejected_.end() ? 0 : list->second.size();
}

Result<std::string> read_whole_file(const std::string& path) {
  if (contains_nul(path)) return nul_in_path();
  Result<Fd> file = open_file(path, O_RDONLY | O_CLOEXEC);
  if (!file) return file.error();
  struct stat info;
  if (::fstat(file.value().get(), &info) != 0) return os_error(errno);
  // One byte beyond the reported size lets the end show up without growing the buffer; files
  // such as those under /proc report size 0 and grow it.
  std::string bytes(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)) + 1, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(std::max<std::size_t>(2 * bytes.size(), 4096));
    const ssize_t n = ::read(file.value().get(), bytes.data() + used, bytes.size() - used);
    if (n == 0) break;
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return os_error(error);
    }
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

Status write_whole_file(const std::string& path, std::string_view bytes) {
  if (contains_nul(path)) return nul_in_path();
  Result<Fd> file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (!file) return file.error();
  while (!bytes.empty()) {
    const ssize_t n = ::write(file.value().get(), bytes.data(), bytes.size());
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return os_error(error);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  // Network file systems may report a failed write only when the file is closed. Linux frees
  // the descriptor even when close is interrupted, so EINTR is no failure of the write.
  if (::close(file.value().release()) != 0) {
    const int error = errno;
    if (error != EINTR) return os_error(error);
  }
  return {};
}

Status remove_file(const std::string& path) {
  if (contains_nul(path)) return nul_in_path();
  // A write to a symbolic link created the file it points to; undoing that write removes
  // that file and keeps the link, as it was before.
  std::string target = path;
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) return os_error(errno);
    target = resolved.get();
  }
  if (::unlink(target.c_str()) != 0) return os_error(errno);
  return {};
}

Status create_parent_directories(const std::string& path) {
  if (contains_nul(path)) return nul_in_path();
  const PathKey key = PathKey::of(path);
  if (key.components.size() < 2) return {};
  std::vector<std::string> directories;
  directories.reserve(key.components.size() - 1);
  for (std::size_t i = 0; i + 1 < key.components.size(); ++i) {
    const std::string& component = key.components[i];
    if (i == 0) {
      directories.push_back(component);
    } else if (directories.back() == kRoot) {
      directories.push_back(directories.back() + component);
    } else {
      directories.push_back(directories.back() + '/' + component);
    }
  }
  return make_directories(directories, directories.size());
}

Result<Transaction> Transaction::apply(const EditSet& set) {
  Transaction transaction;
  for (const FileEdit& edit : set.edits) {
    PathKey key = PathKey::of(edit.path);
    if (!transaction.index_.contains(key)) {
      Result<std::string> current = read_whole_file(edit.path);
      std::optional<std::string> prior;
      if (current) {
        prior = std::move(current).value();
      } else if (current.error().kind != ErrorKind::NotFound) {
        // Writing a path whose bytes were not saved would make the change impossible to undo.
        transaction.rollback();
        return current.error();
      }
      transaction.index_.emplace(std::move(key), transaction.entries_.size());
      transaction.entries_.push_back(Entry{edit.path, std::move(prior)});
    }
    Status written = create_parent_directories(edit.path);
    if (written) written = write_whole_file(edit.path, edit.content);
    if (!written) {
      transaction.rollback();
      return written.error();
    }
  }
  transaction.active_ = true;
  return transaction;
}

Transaction::Transaction(Transaction&& other) noexcept
    : index_(std::move(other.index_)),
      entries_(std::move(other.entries_)),
      active_(std::exchange(other.active_, false)) {}

Transaction::~Transaction() {
  if (active_) rollback();
}

void Transaction::commit() && {
  active_ = false;
  index_.clear();
  entries_.clear();
}

void Transaction::rollback() {
  // Two keys can reach one file (./x and x, a link and its target); the later entry's prior
  // bytes are then the earlier entry's new content, so undoing newest first ends with the
  // bytes from before the set.
  for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
    // Best effort: one path that cannot be restored must not stop the others. A file that is
    // already gone is exactly the wanted state, so a failed delete needs no attention either.
    if (entry->prior) {
      static_cast<void>(write_whole_file(entry->path, *entry->prior));
    } else {
      static_cast<void>(remove_file(entry->path));
    }
  }
  active_ = false;
}

}  // namespace quarry
