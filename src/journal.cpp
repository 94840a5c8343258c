#include "journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <utility>

#include "provenance.h"

namespace quarry {
namespace {

// Layout, integers little-endian:
//   magic, u32 version, u8 confined, str base directory, u32 entry count,
//   per entry: u8 flags, u32 mode, str path, the digest of the bytes written (64 hex digits of
//   SHA-256 in version 1, 32 of XXH3-128 from version 2), str prior bytes,
//   trailer: kTrailer, u64 offset of the trailer,
//   then marks, a kind byte and its payload: 'W', u32 index before each file write; 'C', u32
//   index, u64 device, u64 inode once a file absent before is created (from version 2); 'A'
//   once every write is done; 'F', u32 index for a path whose rollback failed; 'P', u32 index
//   before the server (rollback, restore, recovery) first puts a path back; from version 3:
//   'D', u32 index once that put-back is done; 'T', 16 bytes, the token of a child about to be
//   started; 'G' once a recovery gave up stopping those children. Version 2's 'V' (a process
//   group and its leader's start time) is skipped: anyone can read both and write them.
// A str is a u64 length and the bytes. The trailer goes last: a journal cut short has none.
constexpr std::string_view kMagic = "quarry-agent-task journal\n";
constexpr std::uint32_t kVersion = 3;
constexpr std::string_view kTrailer = "complete";
constexpr char kWritingMark = 'W';
constexpr char kCreatedMark = 'C';
constexpr char kAllWrittenMark = 'A';
constexpr char kFailedMark = 'F';
constexpr char kPuttingBackMark = 'P';
constexpr char kPutBackMark = 'D';
constexpr char kRunMark = 'T';
constexpr char kGivenUpMark = 'G';
constexpr char kVersion2VerifierMark = 'V';
constexpr std::uint8_t kPriorPresent = 1;
constexpr std::uint8_t kThroughLink = 2;
constexpr std::string_view kSuffix = ".journal";
constexpr std::string_view kGitignore = ".gitignore";
constexpr std::string_view kStateDirectoryName = "quarry-agent-task";
constexpr std::size_t kTokenBytes = 16;
constexpr std::string_view kClaimsFile = "claims";
// How long a claim waits for another server's brief one (a start reading its files) to end.
constexpr std::chrono::milliseconds kClaimWait{500};

// What a journal written by a server can hold; a file beyond them was not written by one, and
// reading it on would only cost memory and time at every start.
constexpr std::uint32_t kMostRecordedPaths = 1 << 20;
constexpr std::size_t kLongestPath = 4096;
constexpr std::size_t kMostRunTokens = 4096;
constexpr std::uint64_t kLargestPriorInMemory = std::uint64_t{512} << 20;
// The readable part of a state directory's key.
constexpr std::size_t kKeyReadableLength = 64;

template <typename Integer>
void put_le(std::string& out, Integer value) {
  for (std::size_t i = 0; i < sizeof(Integer); ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

void put_str(std::string& out, std::string_view text) {
  put_le<std::uint64_t>(out, text.size());
  out.append(text);
}

std::string mark_bytes(char kind, std::optional<std::size_t> index, std::string_view payload = {}) {
  std::string mark(1, kind);
  if (index) put_le<std::uint32_t>(mark, static_cast<std::uint32_t>(*index));
  mark.append(payload);
  return mark;
}

std::string hex_of(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : bytes) {
    hex += kDigits[static_cast<unsigned char>(byte) >> 4];
    hex += kDigits[static_cast<unsigned char>(byte) & 0xf];
  }
  return hex;
}

std::string bytes_of_hex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    bytes.push_back(static_cast<char>(digit(hex[i]) << 4 | digit(hex[i + 1])));
  }
  return bytes;
}

// Reads the layout above from a file in pieces; a read past the end, or of a piece larger than
// any the layout has, fails the whole read.
class Reader {
 public:
  Reader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  bool ok() const { return ok_; }
  int error() const { return error_; }
  std::uint64_t offset() const { return offset_; }
  std::uint64_t size() const { return size_; }

  // Valid until the next call.
  std::string_view take(std::size_t length) {
    if (!ok_ || length > kLongestPath + 64 || size_ - offset_ < length) return fail();
    if (offset_ < window_start_ || offset_ + length > window_start_ + window_.size()) {
      window_.resize(std::max<std::size_t>(length, 64 * 1024));
      ssize_t n;
      while ((n = ::pread(fd_, window_.data(), window_.size(), static_cast<off_t>(offset_))) < 0 &&
             errno == EINTR) {
      }
      if (n < 0) error_ = errno;
      window_.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
      window_start_ = offset_;
      if (window_.size() < length) return fail();
    }
    const std::string_view taken =
        std::string_view(window_).substr(static_cast<std::size_t>(offset_ - window_start_), length);
    offset_ += length;
    return taken;
  }
  void skip(std::uint64_t length) {
    if (!ok_ || size_ - offset_ < length) {
      fail();
      return;
    }
    offset_ += length;
  }
  template <typename Integer>
  Integer le() {
    const std::string_view raw = take(sizeof(Integer));
    Integer value = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      value |= static_cast<Integer>(static_cast<unsigned char>(raw[i])) << (8 * i);
    }
    return value;
  }
  // A str of at most `longest` bytes.
  std::string_view str(std::size_t longest) {
    const auto length = le<std::uint64_t>();
    if (length > longest) return fail();
    return take(static_cast<std::size_t>(length));
  }

 private:
  std::string_view fail() {
    ok_ = false;
    return {};
  }

  int fd_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;
  std::string window_;
  std::uint64_t window_start_ = 0;
  bool ok_ = true;
  int error_ = 0;
};

// The directory holding `path`, as spelled.
std::string parent_of(const std::string& path) {
  const std::string trimmed = path.substr(0, path.find_last_not_of('/') + 1);
  const std::size_t slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : trimmed.substr(0, slash);
}

std::string journal_name() {
  static std::atomic<std::uint64_t> sequence{0};
  return std::to_string(::getpid()) + "-" + std::to_string(sequence++) + std::string(kSuffix);
}

// Whether `name` is one journal_name gives.
bool is_journal_name(std::string_view name) {
  const auto digits = [&name](std::size_t from, std::size_t to) {
    return to > from && name.find_first_not_of("0123456789", from) == to;
  };
  if (!name.ends_with(kSuffix)) return false;
  const std::size_t dash = name.find('-');
  return dash != std::string_view::npos && digits(0, dash) &&
         digits(dash + 1, name.size() - kSuffix.size());
}

std::size_t digest_length(std::uint32_t version) {
  return version == 1 ? 64 : 32;
}

bool read_header(Reader& reader, JournalContents& contents) {
  if (reader.take(kMagic.size()) != kMagic) return false;
  contents.version = reader.le<std::uint32_t>();
  if (!reader.ok() || !is_readable_version(contents.version)) return false;
  contents.confined = reader.le<std::uint8_t>() != 0;
  contents.base = std::string(reader.str(kLongestPath));
  return reader.ok();
}

bool read_entry(Reader& reader, JournalContents& contents) {
  RecordedPath recorded;
  const auto flags = reader.le<std::uint8_t>();
  recorded.mode = reader.le<std::uint32_t>();
  recorded.through_link = (flags & kThroughLink) != 0;
  recorded.prior_present = (flags & kPriorPresent) != 0;
  recorded.path = std::string(reader.str(kLongestPath));
  recorded.written_digest = std::string(reader.take(digest_length(contents.version)));
  recorded.prior_length = reader.le<std::uint64_t>();
  recorded.prior_offset = reader.offset();
  // Skipped, never read here: however large a planted file claims its priors are, nothing of
  // them is held in memory.
  reader.skip(recorded.prior_length);
  if (!reader.ok()) return false;
  contents.paths.push_back(std::move(recorded));
  return true;
}

bool read_trailer(Reader& reader) {
  const std::uint64_t trailer_at = reader.offset();
  return reader.take(kTrailer.size()) == kTrailer && reader.le<std::uint64_t>() == trailer_at &&
         reader.ok();
}

// What the marks tell beyond single paths.
struct MarkState {
  std::optional<std::size_t> writing;
  bool all_written = false;
  std::vector<bool> done;
};

// A mark's reader; false for a mark cut short or naming no entry, which ends the marks.
using MarkReader = bool (*)(Reader&, JournalContents&, MarkState&);

std::optional<std::size_t> read_index(Reader& reader, const JournalContents& contents) {
  const auto index = reader.le<std::uint32_t>();
  if (!reader.ok() || index >= contents.paths.size()) return std::nullopt;
  return index;
}

// `set` on the path a mark names.
template <typename Set>
bool read_indexed(Reader& reader, JournalContents& contents, Set&& set) {
  const std::optional<std::size_t> index = read_index(reader, contents);
  if (index) set(contents.paths[*index], *index);
  return index.has_value();
}

bool read_writing_mark(Reader& reader, JournalContents& contents, MarkState& state) {
  state.writing = read_index(reader, contents);
  return state.writing.has_value();
}

bool read_created_mark(Reader& reader, JournalContents& contents, MarkState&) {
  const std::optional<std::size_t> index = read_index(reader, contents);
  FileIdentity created;
  created.device = reader.le<std::uint64_t>();
  created.inode = reader.le<std::uint64_t>();
  if (!index || !reader.ok()) return false;
  contents.paths[*index].created = created;
  return true;
}

bool read_all_written_mark(Reader&, JournalContents&, MarkState& state) {
  state.all_written = true;
  return true;
}

bool read_failed_mark(Reader& reader, JournalContents& contents, MarkState&) {
  return read_indexed(reader, contents,
                      [](RecordedPath& path, std::size_t) { path.rollback_failed = true; });
}

bool read_putting_back_mark(Reader& reader, JournalContents& contents, MarkState&) {
  return read_indexed(reader, contents,
                      [](RecordedPath& path, std::size_t) { path.putting_back = true; });
}

// A path put back holds what it did before the transaction, like one never written.
bool read_put_back_mark(Reader& reader, JournalContents& contents, MarkState& state) {
  return read_indexed(reader, contents, [&state](RecordedPath& path, std::size_t index) {
    path.putting_back = path.rollback_failed = false;
    state.done[index] = true;
  });
}

bool read_run_mark(Reader& reader, JournalContents& contents, MarkState&) {
  const std::string token = hex_of(reader.take(kTokenBytes));
  if (!reader.ok()) return false;
  std::vector<std::string>& tokens = contents.run_tokens;
  if (std::find(tokens.begin(), tokens.end(), token) != tokens.end()) return true;
  if (tokens.size() == kMostRunTokens) return false;
  tokens.push_back(token);
  return true;
}

bool read_given_up_mark(Reader&, JournalContents& contents, MarkState&) {
  contents.given_up = true;
  return true;
}

bool skip_version_2_verifier_mark(Reader& reader, JournalContents& contents, MarkState&) {
  reader.skip(sizeof(std::uint32_t) + sizeof(std::uint64_t));
  return reader.ok() && contents.version == 2;
}

struct MarkKind {
  char kind;
  MarkReader read;
};
constexpr MarkKind kMarks[] = {
    {kWritingMark, read_writing_mark},
    {kCreatedMark, read_created_mark},
    {kAllWrittenMark, read_all_written_mark},
    {kFailedMark, read_failed_mark},
    {kPuttingBackMark, read_putting_back_mark},
    {kPutBackMark, read_put_back_mark},
    {kRunMark, read_run_mark},
    {kGivenUpMark, read_given_up_mark},
    {kVersion2VerifierMark, skip_version_2_verifier_mark},
};

void read_marks(Reader& reader, JournalContents& contents) {
  MarkState state;
  state.done.assign(contents.paths.size(), false);
  while (reader.ok() && reader.offset() < reader.size()) {
    const std::string_view kind = reader.take(1);
    if (!reader.ok()) break;
    const auto known = std::find_if(std::begin(kMarks), std::end(kMarks),
                                    [&](const MarkKind& mark) { return mark.kind == kind[0]; });
    if (known == std::end(kMarks) || !known->read(reader, contents, state)) break;
  }
  // Killed during a write, the file may hold part of the new bytes: it goes back whatever it
  // holds, as after a failed rollback, unless it was put back since.
  if (state.writing && !state.all_written && !state.done[*state.writing]) {
    contents.paths[*state.writing].rollback_failed = true;
  }
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

Status append(int fd, char kind, std::optional<std::size_t> index) {
  return write_all(fd, mark_bytes(kind, index));
}

}  // namespace

bool is_readable_version(std::uint32_t version) {
  return version >= 1 && version <= kVersion;
}

Result<JournalContents> read_journal(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return os_error(errno);
  JournalContents contents;
  Reader reader(fd, static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0)));
  // Cut short, or not a journal at all: what was read says which.
  const auto failure = [&]() -> Result<JournalContents> {
    if (reader.error() != 0) return os_error(reader.error());
    return contents;
  };
  if (!read_header(reader, contents)) return failure();
  const auto count = reader.le<std::uint32_t>();
  if (reader.ok() && count > kMostRecordedPaths) {
    return IoError{ErrorKind::InvalidInput,
                   "it records " + std::to_string(count) + " paths, more than a server writes"};
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!read_entry(reader, contents)) return failure();
  }
  if (!read_trailer(reader)) return failure();
  contents.complete = true;
  read_marks(reader, contents);
  if (reader.error() != 0) return os_error(reader.error());
  return contents;
}

Result<std::string> read_prior_bytes(int fd, const RecordedPath& path) {
  if (path.prior_length > kLargestPriorInMemory) {
    return IoError{ErrorKind::InvalidInput, "its prior bytes (" +
                                                std::to_string(path.prior_length) +
                                                ") are more than recovery holds in memory"};
  }
  std::string bytes(static_cast<std::size_t>(path.prior_length), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got,
                              static_cast<off_t>(path.prior_offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return os_error(n < 0 ? errno : EIO);
    got += static_cast<std::size_t>(n);
  }
  return bytes;
}

Status append_putting_back(int fd, std::size_t index) {
  return append(fd, kPuttingBackMark, index);
}

Status append_put_back(int fd, std::size_t index) {
  return append(fd, kPutBackMark, index);
}

Status append_given_up(int fd) {
  return append(fd, kGivenUpMark, std::nullopt);
}

std::vector<std::string> journal_names(int directory_fd) {
  std::vector<std::string> names;
  Fd listing_fd(::fcntl(directory_fd, F_DUPFD_CLOEXEC, 0));
  if (DIR* listing = listing_fd ? ::fdopendir(listing_fd.release()) : nullptr) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view name = entry->d_name;
      if (name.size() > kSuffix.size() && name.ends_with(kSuffix)) names.emplace_back(name);
    }
    ::closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<Fd> open_hot_journal(int directory_fd, const std::string& name) {
  // Non-blocking: a FIFO given a journal's name must not hang the start.
  // Opened for writing too: recovery appends its own marks.
  Fd file(::openat(directory_fd, name.c_str(),
                   O_RDWR | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat info;
  if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string magic(kMagic.size(), '\0');
  const bool begins_with_magic =
      ::pread(file.get(), magic.data(), magic.size(), 0) == static_cast<ssize_t>(magic.size()) &&
      magic == kMagic;
  // Killed between creating its journal and the first write, a server leaves it empty.
  if (!begins_with_magic && !(info.st_size == 0 && is_journal_name(name))) return std::nullopt;
  // Locked: its server is alive and will commit or roll back itself.
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  return file;
}

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

Result<Journal> Journal::write(JournalDirectory& directory, const Workspace& workspace,
                               const std::vector<TouchedPath>& touched) {
  const auto refused = [](const IoError& error) {
    return IoError{error.kind, "cannot write the undo journal: " + error.message};
  };
  Result<int> directory_fd = directory.open();
  if (!directory_fd) return refused(directory_fd.error());
  Journal journal;
  journal.directory_fd_ = directory_fd.value();
  journal.sync_ = directory.sync();
  if (Status created = journal.create(); !created) return refused(created.error());
  if (Status written = journal.write_contents(workspace, touched); !written) {
    // Cut short, it would hold its space (on a full disk, every later proposal would fail
    // too) and read as incomplete anyway.
    static_cast<void>(::unlinkat(journal.directory_fd_, journal.name_.c_str(), 0));
    return refused(written.error());
  }
  return journal;
}

Status Journal::create() {
  for (;;) {
    name_ = journal_name();
    const int fd =
        ::openat(directory_fd_, name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return os_error(errno);
    }
    file_.reset(fd);
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return os_error(errno);
    }
    // A server starting in the same directory may have taken the empty file for the remains
    // of a dead one and deleted it before the lock was ours.
    struct stat info;
    if (::fstat(fd, &info) != 0) return os_error(errno);
    if (info.st_nlink > 0) return {};
  }
}

Status Journal::write_contents(const Workspace& workspace,
                               const std::vector<TouchedPath>& touched) {
  std::string head(kMagic);
  put_le<std::uint32_t>(head, kVersion);
  put_le<std::uint8_t>(head, workspace.is_confined() ? 1 : 0);
  put_str(head, workspace.base_path());
  put_le<std::uint32_t>(head, static_cast<std::uint32_t>(touched.size()));
  const int fd = file_.get();
  for (const TouchedPath& path : touched) {
    const PriorState& prior = path.prior;
    put_le<std::uint8_t>(head, static_cast<std::uint8_t>((prior.bytes ? kPriorPresent : 0) |
                                                         (prior.through_link ? kThroughLink : 0)));
    put_le<std::uint32_t>(head, prior.mode);
    put_str(head, path.path);
    head.append(path.written_digest);
    put_le<std::uint64_t>(head, prior.bytes ? prior.bytes->size() : 0);
    // The prior bytes go straight from the transaction's copy: no second copy in memory.
    if (Status written = write_all(fd, head); !written) return written;
    if (prior.bytes) {
      if (Status written = write_all(fd, *prior.bytes); !written) return written;
    }
    head.clear();
  }
  // A journal that only names children has no entry to carry its header out.
  if (Status written = write_all(fd, head); !written) return written;
  head.clear();
  const off_t trailer_at = ::lseek(fd, 0, SEEK_CUR);
  if (trailer_at < 0) return os_error(errno);
  head.append(kTrailer);
  put_le<std::uint64_t>(head, static_cast<std::uint64_t>(trailer_at));
  if (Status written = write_all(fd, head); !written) return written;
  if (sync_ && (::fsync(fd) != 0 || ::fsync(directory_fd_) != 0)) return os_error(errno);
  return {};
}

Status Journal::mark(char kind, std::optional<std::size_t> index, std::string_view payload) {
  return write_all(file_.get(), mark_bytes(kind, index, payload));
}

Status Journal::mark_durably(char kind, std::size_t index, std::string_view payload) {
  if (Status marked = mark(kind, index, payload); !marked) return marked;
  if (sync_ && ::fsync(file_.get()) != 0) return os_error(errno);
  return {};
}

Status Journal::mark_writing(std::size_t index) {
  return mark_durably(kWritingMark, index);
}

Status Journal::mark_created(std::size_t index, const FileIdentity& created) {
  std::string identity;
  put_le<std::uint64_t>(identity, created.device);
  put_le<std::uint64_t>(identity, created.inode);
  return mark_durably(kCreatedMark, index, identity);
}

// Not made durable: lost, it leaves the last written path to go back whatever it holds, which
// it then does hold.
Status Journal::mark_all_written() {
  return mark(kAllWrittenMark, std::nullopt);
}

Status Journal::mark_failed(std::size_t index) {
  return mark_durably(kFailedMark, index);
}

Status Journal::mark_putting_back(std::size_t index) {
  return mark_durably(kPuttingBackMark, index);
}

// Not made durable: lost, the path goes back again, to the bytes it already holds.
Status Journal::mark_put_back(std::size_t index) {
  return mark(kPutBackMark, index);
}

// Not made durable: a power loss ends the child with everything else.
Status Journal::mark_run(const std::string& token) {
  return mark(kRunMark, std::nullopt, bytes_of_hex(token));
}

Status Journal::remove() {
  Status removed;
  if (::unlinkat(directory_fd_, name_.c_str(), 0) != 0) {
    removed = os_error(errno);
    // A journal that cannot be deleted must not be recovered: cut short, it reads as one that
    // never completed and is discarded.
    static_cast<void>(::ftruncate(file_.get(), 0));
  } else if (sync_ && ::fsync(directory_fd_) != 0) {
    // Undone by a power loss, the deletion would bring the journal back, and recovery would
    // roll back a commit the client was told about.
    removed = os_error(errno);
  }
  file_.reset();
  return removed;
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

RunJournal::~RunJournal() {
  if (journal_) static_cast<void>(journal_->remove());
}

Status RunJournal::announce(const std::string& token) {
  if (directory_ == nullptr) return {};
  if (!journal_) {
    Result<Journal> written = Journal::write(*directory_, workspace_, {});
    if (!written) return written.error();
    journal_.emplace(std::move(written).value());
  }
  return journal_->mark_run(token);
}

}  // namespace quarry
