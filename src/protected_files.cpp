#include "protected_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <utility>

#include "provenance.h"

namespace quarry {
namespace {

constexpr const char* kArea = "protected";

bool has_wildcard(const std::string& component) {
  return component.find_first_of("*?[") != std::string::npos;
}

bool is_directory(const struct stat& info) {
  return S_ISDIR(info.st_mode);
}

// The entries of the directory open as `directory`, without "." and "..".
std::vector<std::string> entries_of(int directory) {
  std::vector<std::string> names;
  Fd listing_fd(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
  DIR* listing = listing_fd ? ::fdopendir(listing_fd.release()) : nullptr;
  if (listing == nullptr) return names;
  ::rewinddir(listing);
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

// Everything but directories that `pattern` from component `p` on matches beneath the directory
// open as `directory`, root-relative path `prefix`, never through a link.
void expand(int directory, const std::string& prefix, const std::vector<std::string>& pattern,
            std::size_t p, std::map<std::string, FileStamp>& found) {
  if (p == pattern.size()) return;
  const std::string& component = pattern[p];
  const bool last = p + 1 == pattern.size();
  // `name` matched component `p`: a directory goes on with `deeper`, anything else is found when
  // it ends the pattern.
  const auto visit = [&](const std::string& name, std::size_t deeper) {
    struct stat info;
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    if (!is_directory(info)) {
      if (last) found.emplace(path, stamp_of(info));
      return;
    }
    Fd child(::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (child) expand(child.get(), path, pattern, deeper, found);
  };
  if (component == "**") {
    // Zero components here, or this one and any number more beneath.
    expand(directory, prefix, pattern, p + 1, found);
    for (const std::string& name : entries_of(directory)) visit(name, p);
    return;
  }
  if (!has_wildcard(component)) {
    visit(component, p + 1);
    return;
  }
  for (const std::string& name : entries_of(directory)) {
    if (::fnmatch(component.c_str(), name.c_str(), FNM_PATHNAME) == 0) visit(name, p + 1);
  }
}

// What the protected patterns match beneath the root now.
Result<std::map<std::string, FileStamp>> protected_now(const Workspace& workspace) {
  std::map<std::string, FileStamp> found;
  if (workspace.protected_patterns().empty()) return found;
  Result<Fd> root = workspace.open(".", O_RDONLY | O_DIRECTORY);
  if (!root) return root.error();
  for (const std::string& pattern : workspace.protected_patterns()) {
    std::vector<std::string> components = PathKey::of(pattern).components;
    if (!components.empty() && components.front() == ".") components.erase(components.begin());
    expand(root.value().get(), "", components, 0, found);
  }
  return found;
}

// Whether the file at root-relative `path` holds exactly the bytes of the copy at `copy`.
bool same_bytes(const Workspace& workspace, const std::string& path, const std::string& copy) {
  Result<Fd> file = workspace.open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  Fd kept(::open(copy.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file || !kept) return false;
  std::array<char, 64 * 1024> a;
  std::array<char, 64 * 1024> b;
  for (;;) {
    const ssize_t n = ::read(file.value().get(), a.data(), a.size());
    if (n < 0) return false;
    std::size_t got = 0;
    while (got < static_cast<std::size_t>(n)) {
      const ssize_t m = ::read(kept.get(), b.data() + got, static_cast<std::size_t>(n) - got);
      if (m <= 0) return false;
      got += static_cast<std::size_t>(m);
    }
    if (!std::equal(a.begin(), a.begin() + n, b.begin())) return false;
    if (n == 0) return ::read(kept.get(), b.data(), 1) == 0;
  }
}

Result<std::string> read_copy(const std::string& copy) {
  Fd kept(::open(copy.c_str(), O_RDONLY | O_CLOEXEC));
  if (!kept) return os_error(errno);
  return read_all(kept.get());
}

}  // namespace

FileStamp stamp_of(const struct stat& info) {
  return FileStamp{static_cast<std::uint64_t>(info.st_dev),
                   static_cast<std::uint64_t>(info.st_ino),
                   static_cast<std::uint64_t>(info.st_size),
                   static_cast<std::uint32_t>(info.st_mode),
                   info.st_mtim.tv_sec * 1'000'000'000 + info.st_mtim.tv_nsec,
                   info.st_ctim.tv_sec * 1'000'000'000 + info.st_ctim.tv_nsec};
}

CopyFile::~CopyFile() {
  ::unlink(at.c_str());
}

ProtectedCopies::~ProtectedCopies() {
  if (directory_) ::rmdir(directory_path_.c_str());
}

Result<int> ProtectedCopies::directory() {
  if (directory_) return directory_.get();
  Result<int> state = state_->open();
  if (!state) return state.error();
  if (::mkdirat(state.value(), kArea, 0700) != 0 && errno != EEXIST) return os_error(errno);
  Fd area(::openat(state.value(), kArea, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!area) return os_error(errno);
  // Copies a server that died left: no live task holds them.
  for (const std::string& name : entries_of(area.get())) {
    Fd other(::openat(area.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!other || ::flock(other.get(), LOCK_EX | LOCK_NB) != 0) continue;
    for (const std::string& copy : entries_of(other.get()))
      ::unlinkat(other.get(), copy.c_str(), 0);
    ::unlinkat(area.get(), name.c_str(), AT_REMOVEDIR);
  }
  const std::string name = std::to_string(::getpid()) + "-" + new_run_token().substr(0, 8);
  if (::mkdirat(area.get(), name.c_str(), 0700) != 0) return os_error(errno);
  directory_.reset(
      ::openat(area.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory_) return os_error(errno);
  if (::flock(directory_.get(), LOCK_EX) != 0) return os_error(errno);
  directory_path_ = state_->path() + "/" + kArea + "/" + name;
  return directory_.get();
}

Result<ProtectedSet> ProtectedCopies::snapshot(const Workspace& workspace) {
  Result<std::map<std::string, FileStamp>> now = protected_now(workspace);
  if (!now) return now.error();
  ProtectedSet set;
  for (const auto& [path, stamp] : now.value()) {
    if (!S_ISREG(stamp.mode)) continue;
    auto& [known, cached] = copies_[path];
    std::shared_ptr<const CopyFile> copy = cached.lock();
    if (!copy || known != stamp) {
      Result<int> into = directory();
      if (!into) return into.error();
      Result<Fd> file = workspace.open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
      if (!file) return file.error();
      const std::string name = std::to_string(next_copy_++);
      Fd made(::openat(into.value(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (!made) return os_error(errno);
      copy = std::make_shared<const CopyFile>(directory_path_ + "/" + name);
      if (Status copied = copy_file_contents(file.value().get(), made.get()); !copied) {
        return copied.error();
      }
      known = stamp;
      cached = copy;
    }
    set.files.emplace(path, ProtectedFile{stamp, std::move(copy)});
  }
  return set;
}

Result<std::vector<std::string>> undo_protected_changes(const Workspace& workspace,
                                                        JournalDirectory* journal,
                                                        ProtectedSet& set) {
  Result<std::map<std::string, FileStamp>> now = protected_now(workspace);
  if (!now) return now.error();
  std::vector<TouchedPath> touched;
  for (auto& [path, file] : set.files) {
    const auto found = now.value().find(path);
    if (found != now.value().end() && found->second == file.stamp) continue;
    // Touched, or rewritten with the same bytes: unchanged, and known so from now on.
    if (found != now.value().end() && S_ISREG(found->second.mode) &&
        found->second.mode == file.stamp.mode && same_bytes(workspace, path, file.copy->at)) {
      file.stamp = found->second;
      continue;
    }
    Result<std::string> bytes = read_copy(file.copy->at);
    if (!bytes) return bytes.error();
    const std::uint32_t mode = file.stamp.mode & 07777;
    touched.push_back(TouchedPath{
        path, PriorState{std::move(bytes).value(), mode, false, std::nullopt}, {}, std::nullopt});
  }
  for (const auto& [path, stamp] : now.value()) {
    if (set.files.contains(path)) continue;
    touched.push_back(TouchedPath{path, PriorState{}, {}, FileIdentity{stamp.device, stamp.inode}});
  }
  std::sort(touched.begin(), touched.end(),
            [](const TouchedPath& a, const TouchedPath& b) { return a.path < b.path; });
  std::vector<std::string> changed;
  if (touched.empty()) return changed;
  std::optional<Journal> written;
  if (journal != nullptr) {
    Result<Journal> opened = Journal::write(*journal, workspace, touched);
    if (!opened) return opened.error();
    written.emplace(std::move(opened).value());
  }
  Status restored;
  for (std::size_t i = 0; i < touched.size(); ++i) {
    const TouchedPath& path = touched[i];
    changed.push_back(path.path);
    if (written) static_cast<void>(written->mark_putting_back(i));
    // What was made where no protected file was goes, whatever it is, but never through a link.
    Status back = path.prior.bytes ? put_back(workspace, path.path, path.prior, std::nullopt)
                                   : workspace.unlink(path.path);
    if (!back && restored) restored = back;
    if (back && written) static_cast<void>(written->mark_put_back(i));
  }
  if (written) static_cast<void>(written->remove());
  if (!restored) return restored.error();
  // The stamps of what was put back are new; their bytes are the copies'.
  Result<std::map<std::string, FileStamp>> after = protected_now(workspace);
  if (after) {
    for (auto& [path, file] : set.files) {
      const auto found = after.value().find(path);
      if (found != after.value().end()) file.stamp = found->second;
    }
  }
  return changed;
}

}  // namespace quarry
