#include "journal_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <utility>

#include "provenance.h"

namespace quarry {
namespace {

constexpr std::string_view kGitignore = ".gitignore";
constexpr std::string_view kStateDirectoryName = "quarry-agent-task";
constexpr std::string_view kClaimsFile = "claims";
// How long a claim waits for another server's brief one (a start reading its files) to end.
constexpr std::chrono::milliseconds kClaimWait{500};
// The readable part of a state directory's key.
constexpr std::size_t kKeyReadableLength = 64;

// The directory holding `path`, as spelled.
std::string parent_of(const std::string& path) {
  const std::string trimmed = path.substr(0, path.find_last_not_of('/') + 1);
  const std::size_t slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : trimmed.substr(0, slash);
}

// A journal's path as a path under an area of copies: the root and "." dropped, ".." spelled so
// that it cannot climb out.
std::vector<std::string> mirrored(const std::string& path) {
  std::vector<std::string> components;
  for (const std::string& component : PathKey::of(path).components) {
    if (component == "/" || component == ".") continue;
    components.push_back(component == ".." ? "%2E%2E" : component);
  }
  if (components.empty()) components.push_back("%2E");
  return components;
}

// Opens (making it when missing) each directory of `components` beneath `parent`, never through
// a link; `shown` follows along.
Status open_directories(Fd& parent, const std::vector<std::string>& components, std::size_t count,
                        std::string& shown) {
  for (std::size_t i = 0; i < count; ++i) {
    if (::mkdirat(parent.get(), components[i].c_str(), 0700) != 0 && errno != EEXIST) {
      return os_error(errno);
    }
    const int next = ::openat(parent.get(), components[i].c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return os_error(errno);
    parent.reset(next);
    shown += "/" + components[i];
  }
  return {};
}

// Keeps `bytes` at `path` mirrored under `area` in the directory `shown` open as `directory_fd`,
// never over an earlier file nor through a link; the path it was kept at. The copy is written
// under a temporary name and given its own only once whole, so that a copy cut short by a full
// disk is never taken for one.
Result<std::string> save_copy(std::string shown, int directory_fd,
                              const std::vector<std::string>& area, const std::string& path,
                              std::string_view bytes) {
  std::vector<std::string> components = mirrored(path);
  components.insert(components.begin(), area.begin(), area.end());
  Fd parent(::fcntl(directory_fd, F_DUPFD_CLOEXEC, 0));
  if (!parent) return os_error(errno);
  if (Status opened = open_directories(parent, components, components.size() - 1, shown); !opened) {
    return opened.error();
  }
  const std::string& leaf = components.back();
  const std::string partial = "." + leaf + ".partial-" + new_run_token().substr(0, 8);
  Fd file(::openat(parent.get(), partial.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) return os_error(errno);
  const auto discard = [&](int error) {
    ::unlinkat(parent.get(), partial.c_str(), 0);
    return os_error(error);
  };
  if (Status written = write_all(file.get(), bytes); !written) {
    ::unlinkat(parent.get(), partial.c_str(), 0);
    return written.error();
  }
  if (::close(file.release()) != 0 && errno != EINTR) return discard(errno);
  for (int attempt = 0;; ++attempt) {
    const std::string name = attempt == 0 ? leaf : leaf + "." + std::to_string(attempt);
    if (::renameat2(parent.get(), partial.c_str(), parent.get(), name.c_str(), RENAME_NOREPLACE) ==
        0) {
      return shown + "/" + name;
    }
    if (errno != EEXIST || attempt == 1000) return discard(errno);
  }
}

// The readable part of a state directory's key: the root's components joined by "-", characters
// a file name should not hold replaced, the end kept when it is long.
std::string readable_key(const std::string& root) {
  std::string key;
  for (const std::string& component : PathKey::of(root).components) {
    if (component == "/") continue;
    if (!key.empty()) key += '-';
    for (const char c : component) {
      const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
      key += plain ? c : '_';
    }
  }
  if (key.empty()) return "root";
  return key.size() > kKeyReadableLength ? key.substr(key.size() - kKeyReadableLength) : key;
}

Result<std::string> state_home() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    return std::string(state);
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state";
  }
  if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir[0] == '/') {
    return std::string(user->pw_dir) + "/.local/state";
  }
  return IoError{ErrorKind::NotFound, "no home directory: set XDG_STATE_HOME or HOME"};
}

// The directory `path` names, open, after its entry is flushed to the device: otherwise a power
// loss could take a new directory, and the journals in it, away.
Status sync_entry(const Workspace& where, const std::string& path) {
  Result<Fd> parent = where.open(parent_of(path), O_RDONLY | O_DIRECTORY);
  if (!parent) return parent.error();
  if (::fsync(parent.value().get()) != 0) return os_error(errno);
  return {};
}

// Makes `path` and its missing ancestors with mode 0700, each flushed with `sync`. Another
// server making the same ones at the same moment is no failure.
Status make_directories(const Workspace& where, const std::string& path, bool sync) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno == EEXIST) return {};
    if (errno != ENOENT || parent_of(path) == path) return os_error(errno);
    if (Status made = make_directories(where, parent_of(path), sync); !made) return made;
    if (::mkdir(path.c_str(), 0700) != 0) return errno == EEXIST ? Status() : os_error(errno);
  }
  return sync ? sync_entry(where, path) : Status();
}

}  // namespace

Result<std::string> project_state_directory(const std::string& project_root) {
  Result<std::string> home = state_home();
  if (!home) return home.error();
  return home.value() + "/" + std::string(kStateDirectoryName) + "/" + readable_key(project_root) +
         "-" + sha256_hex(project_root).substr(0, 12);
}

JournalDirectory::JournalDirectory(std::string path, Kind kind, bool sync, Workspace where)
    : path_(std::move(path)), kind_(kind), sync_(sync), where_(std::move(where)) {}

Result<std::string> JournalDirectory::keep_copy(const std::vector<std::string>& area,
                                                const std::string& path, std::string_view bytes) {
  Result<int> fd = open();
  if (!fd) return fd.error();
  return save_copy(path_, fd.value(), area, path, bytes);
}

Status JournalDirectory::prepare() {
  if (kind_ != Kind::Legacy) {
    Result<int> opened = open();
    return opened ? Status() : Status(opened.error());
  }
  Result<int> existing = open_existing();
  if (!existing && existing.error().kind != ErrorKind::NotFound) return existing.error();
  return {};
}

Result<int> JournalDirectory::open_existing() {
  if (fd_) {
    struct stat info;
    // Removed since: journals written through this descriptor would go nowhere.
    if (::fstat(fd_.get(), &info) == 0 && info.st_nlink > 0) return fd_.get();
    fd_.reset();
    ignored_ = false;
  }
  return open_by_path(false);
}

Result<int> JournalDirectory::open_by_path(bool create) {
  Result<Fd> opened = where_.open(path_, O_RDONLY | O_DIRECTORY);
  if (!opened && create && opened.error().kind == ErrorKind::NotFound) {
    // The state directory holds copies of the project's files: only its owner may read them.
    Status made = kind_ == Kind::State ? make_directories(where_, path_, sync_)
                                       : where_.make_directory(path_);
    if (!made && made.error().kind != ErrorKind::AlreadyExists) return made.error();
    if (made && sync_ && kind_ != Kind::State) made = sync_entry(where_, path_);
    if (!made && made.error().kind != ErrorKind::AlreadyExists) return made.error();
    opened = where_.open(path_, O_RDONLY | O_DIRECTORY);
  }
  if (!opened) return opened.error();
  Fd fd = std::move(opened).value();
  while (::flock(fd.get(), LOCK_SH) != 0) {
    if (errno != EINTR) return os_error(errno);
  }
  // Another server's clean exit may have removed it between the open and the lock.
  struct stat locked;
  if (::fstat(fd.get(), &locked) != 0) return os_error(errno);
  if (locked.st_nlink == 0) return create ? open_by_path(create) : Result<int>(os_error(ENOENT));
  fd_ = std::move(fd);
  return fd_.get();
}

Result<int> JournalDirectory::open() {
  Result<int> fd = open_existing();
  if (!fd && fd.error().kind == ErrorKind::NotFound && kind_ != Kind::Legacy) {
    fd = open_by_path(true);
  }
  if (!fd || ignored_) return fd;
  // Version control never shows the journals, wherever the directory is.
  const int ignore = ::openat(fd.value(), std::string(kGitignore).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (ignore >= 0) {
    Fd file(ignore);
    if (Status written = write_all(file.get(), "*\n"); !written) return written.error();
  } else if (errno != EEXIST) {
    return os_error(errno);
  }
  ignored_ = true;
  return fd;
}

bool JournalDirectory::holds(const Workspace& workspace, const std::string& path) const {
  Result<std::string> location = workspace.absolute_location(path);
  Result<std::string> directory = where_.absolute_location(path_);
  if (!location || !directory) return false;
  const PathKey inside = PathKey::of(location.value());
  const PathKey journals = PathKey::of(directory.value());
  return inside.components.size() >= journals.components.size() &&
         std::equal(journals.components.begin(), journals.components.end(),
                    inside.components.begin());
}

void JournalDirectory::remove_if_unused() {
  Result<int> fd = open_existing();
  if (!fd) return;
  // Another server holds it shared: it may write a journal there at any moment.
  if (::flock(fd.value(), LOCK_EX | LOCK_NB) != 0) return;
  Fd listing_fd(::fcntl(fd.value(), F_DUPFD_CLOEXEC, 0));
  DIR* listing = listing_fd ? ::fdopendir(listing_fd.release()) : nullptr;
  if (listing == nullptr) return;
  bool only_gitignore = true;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && name != kGitignore) only_gitignore = false;
  }
  ::closedir(listing);
  if (only_gitignore) {
    ::unlinkat(fd.value(), std::string(kGitignore).c_str(), 0);
    static_cast<void>(where_.remove_directory(path_));
  }
  fd_.reset();
}

FileClaim::FileClaim(FileClaim&& other) noexcept
    : directory_(std::exchange(other.directory_, nullptr)),
      kind_(other.kind_),
      keys_(std::move(other.keys_)) {}

FileClaim& FileClaim::operator=(FileClaim&& other) noexcept {
  if (this != &other) {
    if (directory_ != nullptr) directory_->release(*this);
    directory_ = std::exchange(other.directory_, nullptr);
    kind_ = other.kind_;
    keys_ = std::move(other.keys_);
  }
  return *this;
}

FileClaim::~FileClaim() {
  if (directory_ != nullptr) directory_->release(*this);
}

bool JournalDirectory::lock_key(std::uint64_t key, short type) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(key);
  range.l_len = 1;
  while (::fcntl(claims_.get(), F_OFD_SETLK, &range) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

Result<FileClaim> JournalDirectory::claim(const Workspace& workspace,
                                          const std::vector<std::string>& paths, ClaimKind kind) {
  if (!claims_) {
    Result<int> fd = open();
    if (!fd) return fd.error();
    claims_.reset(::openat(fd.value(), std::string(kClaimsFile).c_str(),
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!claims_) return os_error(errno);
  }
  FileClaim claim;
  claim.directory_ = this;
  claim.kind_ = kind;
  const auto until = std::chrono::steady_clock::now() + kClaimWait;
  for (const std::string& path : paths) {
    // A file is known by where its path leads, so that two spellings of it are one claim.
    Result<std::string> location = workspace.absolute_location(path);
    const std::string digest = content_digest(location ? location.value() : path);
    const std::uint64_t key = std::stoull(digest.substr(0, 15), nullptr, 16);
    if (changing_.contains(key)) {
      // This server changes it already; a read of it is its own.
      if (kind == ClaimKind::Changing) {
        ++changing_[key];
        claim.keys_.push_back(key);
      }
      continue;
    }
    const short type = kind == ClaimKind::Changing ? F_WRLCK : F_RDLCK;
    while (!lock_key(key, type)) {
      if ((errno != EAGAIN && errno != EACCES) || std::chrono::steady_clock::now() >= until) {
        return IoError{ErrorKind::InvalidInput,
                       path + " is being changed by another task; try again when it ends"};
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (kind == ClaimKind::Changing) changing_[key] = 1;
    claim.keys_.push_back(key);
  }
  return claim;
}

void JournalDirectory::release(const FileClaim& claim) {
  for (const std::uint64_t key : claim.keys_) {
    if (claim.kind_ == ClaimKind::Changing && --changing_[key] > 0) continue;
    changing_.erase(key);
    lock_key(key, F_UNLCK);
  }
}

}  // namespace quarry
