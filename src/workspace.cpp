#include "workspace.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>

#include "provenance.h"

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

bool contains_nul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// The OS would stop at the NUL and address a different file.
IoError nul_in_path() {
  return IoError{ErrorKind::InvalidInput, "path contains a NUL byte"};
}

constexpr std::string_view kEscapes = "path escapes the root: ";

IoError escapes_root(const std::string& path) {
  return IoError{ErrorKind::InvalidInput, std::string(kEscapes) + path};
}

// A refusal names the path the client asked for, not the part of it that was being opened.
IoError naming(const std::string& path, IoError error) {
  return error.message.starts_with(kEscapes) ? escapes_root(path) : error;
}

IoError not_a_regular_file(const std::string& path) {
  return IoError{ErrorKind::Other, "not a regular file: " + path};
}

FileIdentity identity_of(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino)};
}

// The regular file `path` leads to, open for reading, with its status in `info`; nothing when
// there is no file.
Result<std::optional<Fd>> open_for_reading(const Workspace& workspace, const std::string& path,
                                           struct stat& info) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  Result<Fd> file = workspace.open(path, O_RDONLY | O_NONBLOCK);
  if (!file) {
    if (file.error().kind != ErrorKind::NotFound) return file.error();
    return std::optional<Fd>();
  }
  if (::fstat(file.value().get(), &info) != 0) return os_error(errno);
  if (S_ISDIR(info.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(info.st_mode)) return not_a_regular_file(path);
  return std::optional<Fd>(std::move(file).value());
}

std::string join(const std::vector<std::string>& components, std::size_t from, std::size_t to) {
  std::string path;
  for (std::size_t i = from; i < to; ++i) {
    if (!path.empty() && path != "/") path += '/';
    path += components[i];
  }
  return path.empty() ? std::string(kCurrent) : path;
}

// The absolute path an open descriptor stands for, as the kernel reports it.
Result<std::string> path_of(const Fd& file) {
  const std::string link = "/proc/self/fd/" + std::to_string(file.get());
  std::string target(4096, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length < 0) return os_error(errno);
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// `path` (absolute) as a path below `base`, or nothing when it is not below it.
std::optional<std::vector<std::string>> components_below(const PathKey& path, const PathKey& base) {
  if (path.components.size() < base.components.size() ||
      !std::equal(base.components.begin(), base.components.end(), path.components.begin())) {
    return std::nullopt;
  }
  return std::vector<std::string>(path.components.begin() + base.components.size(),
                                  path.components.end());
}

std::string current_directory() {
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  return cwd ? cwd.get() : "";
}

std::string absolute_spelling(const std::string& directory) {
  if (!directory.empty() && directory.front() == '/') return directory;
  return current_directory() + "/" + directory;
}

// Writes every byte over an open file from its start, cuts what is left of a longer one, gives
// it `mode` when one is given, and closes it; a file that is not a regular file (a FIFO or a
// device made since) is refused before anything is written. Opening with O_TRUNC instead would
// cost ext4 a flush of the new blocks at close (its guard against zero-length files after a
// crash): a tenth of a small proposal.
Status write_bytes(Fd file, const std::string& path, std::string_view bytes,
                   const OpenedFile& opened = nullptr,
                   std::optional<std::uint32_t> mode = std::nullopt) {
  struct stat info;
  if (::fstat(file.get(), &info) != 0) return os_error(errno);
  if (!S_ISREG(info.st_mode)) return not_a_regular_file(path);
  if (opened) {
    if (Status told = opened(identity_of(info)); !told) return told;
  }
  if (mode && (info.st_mode & 07777) != *mode && ::fchmod(file.get(), *mode) != 0) {
    return os_error(errno);
  }
  if (Status written = write_all(file.get(), bytes); !written) return written;
  const auto size = static_cast<off_t>(bytes.size());
  if (info.st_size > size && ::ftruncate(file.get(), size) != 0) return os_error(errno);
  // Network file systems may report a failed write only when the file is closed. Linux frees
  // the descriptor even when close is interrupted, so EINTR is no failure of the write.
  if (::close(file.release()) != 0) {
    const int error = errno;
    if (error != EINTR) return os_error(error);
  }
  return {};
}

Result<Fd> open_at(int directory, const std::string& path, int flags, std::uint32_t mode) {
  for (;;) {
    const int fd = ::openat(directory, path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return Fd(fd);
    if (errno != EINTR) return os_error(errno);
  }
}

// `shown` is the path as the client wrote it, for the refusal.
Result<Fd> open_beneath(int directory, const std::string& path, int flags, std::uint32_t mode,
                        const std::string& shown) {
  struct open_how how = {};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  // openat2 refuses a mode that would not be used.
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, directory, path.c_str(), &how, sizeof how);
    if (fd >= 0) return Fd(static_cast<int>(fd));
    if (errno == EXDEV) return escapes_root(shown);
    if (errno != EINTR && errno != EAGAIN) return os_error(errno);
  }
}

bool matches_from(const std::vector<std::string>& pattern, std::size_t p,
                  const std::vector<std::string>& path, std::size_t i) {
  if (p == pattern.size()) return i == path.size();
  if (pattern[p] == "**") {
    for (std::size_t skip = i; skip <= path.size(); ++skip) {
      if (matches_from(pattern, p + 1, path, skip)) return true;
    }
    return false;
  }
  return i < path.size() && ::fnmatch(pattern[p].c_str(), path[i].c_str(), FNM_PATHNAME) == 0 &&
         matches_from(pattern, p + 1, path, i + 1);
}

}  // namespace

bool matches_pattern(const std::vector<std::string>& pattern,
                     const std::vector<std::string>& components) {
  return matches_from(pattern, 0, components, 0);
}

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
Workspace Workspace::unconfined() {
  Workspace workspace;
  workspace.base_path_ = current_directory();
  return workspace;
}

Result<Workspace> Workspace::confined(const std::string& root) {
  Workspace workspace;
  Result<Fd> opened = open_at(AT_FDCWD, root, O_PATH | O_DIRECTORY, 0);
  if (!opened) return opened.error();
  Result<std::string> real = path_of(opened.value());
  if (!real) return real.error();
  workspace.base_ = std::move(opened).value();
  workspace.base_path_ = real.value();
  workspace.confined_ = true;
  // Agents send the root as they know it, which need not be its resolved form.
  workspace.root_spellings_ = {real.value(), absolute_spelling(root)};
  return workspace;
}

Result<std::string> Workspace::relative(const std::string& path) const {
  if (contains_nul(path)) return nul_in_path();
  if (!confined_ || path.empty() || path.front() != '/') return path;
  const PathKey key = PathKey::of(path);
  for (const std::string& spelling : root_spellings_) {
    if (std::optional<std::vector<std::string>> below =
            components_below(key, PathKey::of(spelling))) {
      return join(*below, 0, below->size());
    }
  }
  return escapes_root(path);
}

Result<Fd> Workspace::open(const std::string& path, int flags, std::uint32_t mode) const {
  Result<std::string> relative_path = relative(path);
  if (!relative_path) return relative_path.error();
  if (confined_) return open_beneath(base(), relative_path.value(), flags, mode, path);
  return open_at(base(), relative_path.value(), flags, mode);
}

Result<Fd> Workspace::open_parent(const std::string& path, std::string& leaf) const {
  const PathKey key = PathKey::of(path);
  if (key.components.empty()) return os_error(ENOENT);
  leaf = key.components.back();
  return open(join(key.components, 0, key.components.size() - 1), O_PATH | O_DIRECTORY);
}

Result<struct stat> Workspace::status(const std::string& path, bool follow_links) const {
  struct stat info;
  if (!confined_) {
    if (contains_nul(path)) return nul_in_path();
    const int flags = follow_links ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::fstatat(base(), path.c_str(), &info, flags) != 0) {
      return os_error(errno);
    }
    return info;
  }
  Result<Fd> file = open(path, O_PATH | (follow_links ? 0 : O_NOFOLLOW));
  if (!file) return file.error();
  if (::fstat(file.value().get(), &info) != 0) return os_error(errno);
  return info;
}

Result<FileIdentity> Workspace::identity(const std::string& path, bool follow_links) const {
  Result<struct stat> info = status(path, follow_links);
  if (!info) return info.error();
  return identity_of(info.value());
}

bool Workspace::is_symbolic_link(const std::string& path) const {
  Result<struct stat> info = status(path, false);
  return info && S_ISLNK(info.value().st_mode);
}

Status Workspace::at_parent(const std::string& path, int (*call)(int, const char*)) const {
  if (contains_nul(path)) return nul_in_path();
  int directory = base();
  std::string name = path;
  Fd parent;
  if (confined_) {
    Result<Fd> opened = open_parent(path, name);
    if (!opened) return opened.error();
    parent = std::move(opened).value();
    directory = parent.get();
  }
  if (call(directory, name.c_str()) != 0) return os_error(errno);
  return {};
}

Status Workspace::make_directory(const std::string& path) const {
  return at_parent(
      path, [](int directory, const char* name) { return ::mkdirat(directory, name, 0777); });
}

Status Workspace::unlink(const std::string& path) const {
  return at_parent(path,
                   [](int directory, const char* name) { return ::unlinkat(directory, name, 0); });
}

Status Workspace::remove_directory(const std::string& path) const {
  return at_parent(path, [](int directory, const char* name) {
    return ::unlinkat(directory, name, AT_REMOVEDIR);
  });
}

Result<std::string> Workspace::link_target(const std::string& path) const {
  Result<Fd> file = open(path, O_PATH);
  if (!file) return file.error();
  Result<std::string> target = path_of(file.value());
  if (!target || !confined_) return target;
  std::optional<std::vector<std::string>> below =
      components_below(PathKey::of(target.value()), PathKey::of(base_path_));
  if (!below) return escapes_root(path);
  return join(*below, 0, below->size());
}

Result<std::vector<std::string>> Workspace::location(const std::string& path) const {
  Result<std::string> relative_path = relative(path);
  if (!relative_path) return relative_path.error();
  std::vector<std::string> components = PathKey::of(relative_path.value()).components;
  if (!components.empty() && components.front() == kCurrent) components.erase(components.begin());
  const PathKey base = PathKey::of(base_path_);
  // A ".." of the missing part never climbs above the root (confined) or "/".
  const std::size_t floor = confined_ ? base.components.size() : 1;
  // The longest part that exists is resolved by the kernel; the rest is taken as spelled.
  for (std::size_t existing = components.size() + 1; existing-- > 0;) {
    Result<Fd> prefix = open(join(components, 0, existing), O_PATH);
    if (!prefix) {
      if (prefix.error().kind == ErrorKind::NotFound ||
          prefix.error().kind == ErrorKind::NotADirectory) {
        continue;
      }
      return naming(path, prefix.error());
    }
    Result<std::string> real = path_of(prefix.value());
    if (!real) return real.error();
    std::vector<std::string> resolved = PathKey::of(real.value()).components;
    if (confined_ && !components_below(PathKey{resolved}, base)) return escapes_root(path);
    for (std::size_t i = existing; i < components.size(); ++i) {
      if (components[i] != kParent) {
        resolved.push_back(components[i]);
      } else if (resolved.size() > floor) {
        resolved.pop_back();
      } else if (confined_) {
        return escapes_root(path);
      }
    }
    return resolved;
  }
  return escapes_root(path);
}

Result<std::string> Workspace::resolved_location(const std::string& path) const {
  Result<std::vector<std::string>> components = location(path);
  if (!components) return components.error();
  std::optional<std::vector<std::string>> below =
      components_below(PathKey{components.value()}, PathKey::of(base_path_));
  if (!below) return escapes_root(path);
  return join(*below, 0, below->size());
}

Result<std::string> Workspace::absolute_location(const std::string& path) const {
  Result<std::vector<std::string>> components = location(path);
  if (!components) return components.error();
  return join(components.value(), 0, components.value().size());
}

bool Workspace::is_protected(const std::string& path) const {
  if (protected_.empty()) return false;
  Result<std::string> location = resolved_location(path);
  if (!location) return false;
  const std::vector<std::string> components = PathKey::of(location.value()).components;
  return std::any_of(protected_.begin(), protected_.end(), [&](const std::string& pattern) {
    return matches_pattern(PathKey::of(pattern).components, components);
  });
}

Status Workspace::check_inside(const std::string& path) const {
  if (!confined_) return {};
  // The part that exists is checked by the kernel, the rest by its spelling, ".." included.
  Result<std::string> location = resolved_location(path);
  return location ? Status() : Status(location.error());
}

Result<PriorState> read_prior_state(const Workspace& workspace, const std::string& path) {
  struct stat info;
  Result<std::optional<Fd>> file = open_for_reading(workspace, path, info);
  if (!file) return file.error();
  PriorState state;
  // A dangling symbolic link too: writing it creates the file it names.
  state.through_link = workspace.is_symbolic_link(path);
  if (!file.value()) return state;
  state.mode = info.st_mode & 07777;
  state.identity = identity_of(info);
  Result<std::string> bytes =
      read_all(file.value()->get(), static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)));
  if (!bytes) return bytes.error();
  state.bytes = std::move(bytes).value();
  return state;
}

Result<std::optional<std::string>> read_content_digest(const Workspace& workspace,
                                                       const std::string& path) {
  struct stat info;
  Result<std::optional<Fd>> file = open_for_reading(workspace, path, info);
  if (!file) return file.error();
  if (!file.value()) return std::optional<std::string>();
  ContentDigest digest;
  std::array<char, 64 * 1024> piece;
  for (;;) {
    const ssize_t n = ::read(file.value()->get(), piece.data(), piece.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    digest.update(std::string_view(piece.data(), static_cast<std::size_t>(n)));
  }
  return std::optional<std::string>(digest.hex_digest());
}

Status write_whole_file(const Workspace& workspace, const std::string& path, std::string_view bytes,
                        const OpenedFile& opened) {
  Result<Fd> file = workspace.open(path, O_WRONLY | O_CREAT | O_NONBLOCK, 0666);
  if (!file) return file.error();
  return write_bytes(std::move(file).value(), path, bytes, opened);
}

Status copy_file_contents(int from, int to) {
  if (::ioctl(to, FICLONE, from) == 0) return {};
  for (;;) {
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
    if (n == 0) return {};
    if (n > 0 || errno == EINTR) continue;
    // Across file systems, or where the kernel cannot: through memory.
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
      return os_error(errno);
    }
    break;
  }
  std::array<char, 64 * 1024> piece;
  for (;;) {
    const ssize_t got = ::read(from, piece.data(), piece.size());
    if (got == 0) return {};
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return os_error(errno);
    const std::string_view bytes(piece.data(), static_cast<std::size_t>(got));
    if (Status written = write_all(to, bytes); !written) return written;
  }
}

Status create_parent_directories(const Workspace& workspace, const std::string& path,
                                 std::vector<std::string>* made) {
  const PathKey key = PathKey::of(path);
  if (key.components.size() < 2) return {};
  // The deepest directory that exists is looked for from the parent up: one call when the
  // parent exists already, the usual case.
  std::size_t existing = key.components.size() - 1;
  for (; existing > 0; --existing) {
    Result<Fd> opened = workspace.open(join(key.components, 0, existing), O_PATH | O_DIRECTORY);
    if (opened) break;
    if (opened.error().kind != ErrorKind::NotFound) return naming(path, opened.error());
  }
  for (std::size_t depth = existing + 1; depth < key.components.size(); ++depth) {
    const std::string directory = join(key.components, 0, depth);
    Status made_one = workspace.make_directory(directory);
    if (made_one && made != nullptr) made->push_back(directory);
    if (!made_one && made_one.error().kind != ErrorKind::AlreadyExists) {
      return naming(path, made_one.error());
    }
  }
  return {};
}

Status put_back(const Workspace& workspace, const std::string& path, const PriorState& prior,
                const std::optional<FileIdentity>& created, const OpenedFile& opened) {
  if (!prior.bytes) {
    if (!created) return {};
    Result<FileIdentity> now = workspace.identity(path, true);
    if (!now) return now.error().kind == ErrorKind::NotFound ? Status() : Status(now.error());
    if (now.value() != *created) return {};
    // Made through a dangling symbolic link: the file it created goes, the link stays.
    std::string target = path;
    if (workspace.is_symbolic_link(path)) {
      Result<std::string> resolved = workspace.link_target(path);
      if (!resolved) return resolved.error();
      target = resolved.value();
    }
    Status removed = workspace.unlink(target);
    if (!removed && removed.error().kind != ErrorKind::NotFound) return removed;
    return {};
  }
  const int no_follow = prior.through_link ? 0 : O_NOFOLLOW;
  // A symbolic link planted where a file was must not lead the prior bytes elsewhere.
  if (!prior.through_link && workspace.is_symbolic_link(path)) {
    if (Status removed = workspace.unlink(path); !removed) return removed;
  }
  Result<Fd> file = workspace.open(path, O_WRONLY | O_NONBLOCK | no_follow);
  if (!file && file.error().kind == ErrorKind::NotFound) {
    // Deleted since, perhaps with its directory: it comes back where it was.
    if (Status made = create_parent_directories(workspace, path); !made) return made;
    file = workspace.open(path, O_WRONLY | O_CREAT | O_NONBLOCK | no_follow, prior.mode);
  }
  if (!file) return file.error();
  // The mode it had, not one a verifier set since nor the one the file-creation mask leaves.
  return write_bytes(std::move(file).value(), path, *prior.bytes, opened, prior.mode);
}
}  // namespace quarry
