#include "journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string_view>
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
constexpr std::size_t kTokenBytes = 16;

// What a journal written by a server can hold; a file beyond them was not written by one, and
// reading it on would only cost memory and time at every start.
constexpr std::uint32_t kMostRecordedPaths = 1 << 20;
constexpr std::size_t kLongestPath = 4096;
constexpr std::size_t kMostRunTokens = 4096;
constexpr std::uint64_t kLargestPriorInMemory = std::uint64_t{512} << 20;

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
    return raw.size() == sizeof(Integer) ? get_le<Integer>(raw) : Integer{0};
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
