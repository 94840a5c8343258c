#include "journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
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
//   before the server (rollback, restore, recovery) first puts a path back; 'V', u32 process
//   group, u64 start time of its leader once the verifier is started (both from version 2).
// A str is a u64 length and the bytes. The trailer goes last: a journal cut short has none.
constexpr std::string_view kMagic = "quarry-agent-task journal\n";
constexpr std::uint32_t kVersion = 2;
constexpr std::string_view kTrailer = "complete";
constexpr char kWritingMark = 'W';
constexpr char kCreatedMark = 'C';
constexpr char kAllWrittenMark = 'A';
constexpr char kFailedMark = 'F';
constexpr char kPuttingBackMark = 'P';
constexpr char kVerifierMark = 'V';
// A verifier killed at recovery is given this long to be gone before files are put back.
constexpr std::chrono::milliseconds kVerifierEndWait{500};
constexpr std::uint8_t kPriorPresent = 1;
constexpr std::uint8_t kThroughLink = 2;
constexpr std::string_view kSuffix = ".journal";
constexpr std::string_view kDefaultDirectory = ".quarry-agent-task";
constexpr std::string_view kGitignore = ".gitignore";
constexpr std::string_view kRecovered = "recovered";

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

// Reads the layout above; any read past the end fails the whole parse.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  std::size_t offset() const { return offset_; }

  std::string_view take(std::size_t length) {
    if (!ok_ || bytes_.size() - offset_ < length) {
      ok_ = false;
      return {};
    }
    std::string_view taken = bytes_.substr(offset_, length);
    offset_ += length;
    return taken;
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
  std::string_view str() {
    const auto length = le<std::uint64_t>();
    return take(static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes_.size())));
  }

 private:
  std::string_view bytes_;
  std::size_t offset_ = 0;
  bool ok_ = true;
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

// The digest `version` records of the bytes a set writes.
std::string journal_digest(std::uint32_t version, std::string_view bytes) {
  return version == 1 ? sha256_hex(bytes) : content_digest(bytes);
}

bool read_header(Reader& reader, JournalContents& contents) {
  if (reader.take(kMagic.size()) != kMagic) return false;
  contents.version = reader.le<std::uint32_t>();
  if (!reader.ok() || !is_readable_version(contents.version)) return false;
  contents.confined = reader.le<std::uint8_t>() != 0;
  contents.base = std::string(reader.str());
  return reader.ok();
}

bool read_entry(Reader& reader, JournalContents& contents) {
  TouchedPath touched;
  const auto flags = reader.le<std::uint8_t>();
  touched.prior.mode = reader.le<std::uint32_t>();
  touched.prior.through_link = (flags & kThroughLink) != 0;
  touched.path = std::string(reader.str());
  touched.written_digest = std::string(reader.take(digest_length(contents.version)));
  const std::string_view prior = reader.str();
  if (flags & kPriorPresent) touched.prior.bytes = std::string(prior);
  if (!reader.ok()) return false;
  contents.touched.push_back(std::move(touched));
  return true;
}

bool read_trailer(Reader& reader) {
  const std::size_t trailer_at = reader.offset();
  return reader.take(kTrailer.size()) == kTrailer && reader.le<std::uint64_t>() == trailer_at &&
         reader.ok();
}

// What the marks tell beyond single paths.
struct MarkState {
  std::optional<std::size_t> writing;
  bool all_written = false;
};

// A mark's reader; false for a mark cut short or naming no entry, which ends the marks.
using MarkReader = bool (*)(Reader&, JournalContents&, MarkState&);

std::optional<std::size_t> read_index(Reader& reader, const JournalContents& contents) {
  const auto index = reader.le<std::uint32_t>();
  if (!reader.ok() || index >= contents.touched.size()) return std::nullopt;
  return index;
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
  contents.touched[*index].created = created;
  return true;
}

bool read_all_written_mark(Reader&, JournalContents&, MarkState& state) {
  state.all_written = true;
  return true;
}

bool read_failed_mark(Reader& reader, JournalContents& contents, MarkState&) {
  const std::optional<std::size_t> index = read_index(reader, contents);
  if (index) contents.touched[*index].rollback_failed = true;
  return index.has_value();
}

bool read_putting_back_mark(Reader& reader, JournalContents& contents, MarkState&) {
  const std::optional<std::size_t> index = read_index(reader, contents);
  if (index) contents.touched[*index].putting_back = true;
  return index.has_value();
}

bool read_verifier_mark(Reader& reader, JournalContents& contents, MarkState&) {
  VerifierGroup group;
  group.id = static_cast<int>(reader.le<std::uint32_t>());
  group.leader_start = reader.le<std::uint64_t>();
  if (!reader.ok() || group.id <= 1) return false;
  contents.verifier = group;
  return true;
}

struct MarkKind {
  char kind;
  MarkReader read;
};
constexpr MarkKind kMarks[] = {
    {kWritingMark, read_writing_mark},          {kCreatedMark, read_created_mark},
    {kAllWrittenMark, read_all_written_mark},   {kFailedMark, read_failed_mark},
    {kPuttingBackMark, read_putting_back_mark}, {kVerifierMark, read_verifier_mark},
};

bool is_running(const VerifierGroup& group) {
  const std::optional<ProcessStatus> leader = process_status(group.id);
  return leader && leader->start_time == group.leader_start && !leader->ended();
}

// The verifier of a server that died may still be rewriting the files. Its group is killed
// only while its leader is the very process that was started: a pid given to another process
// since has another start time. The leader is waited for (not reaped: it is not ours), as the
// sign that the group the same signal reached is gone too.
void stop_verifier(const VerifierGroup& group) {
  if (!is_running(group)) return;
  ::kill(-group.id, SIGKILL);
  const auto until = std::chrono::steady_clock::now() + kVerifierEndWait;
  while (is_running(group) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void read_marks(Reader& reader, JournalContents& contents) {
  MarkState state;
  for (;;) {
    const std::string_view kind = reader.take(1);
    if (!reader.ok()) break;
    const auto known = std::find_if(std::begin(kMarks), std::end(kMarks),
                                    [&](const MarkKind& mark) { return mark.kind == kind[0]; });
    if (known == std::end(kMarks) || !known->read(reader, contents, state)) break;
  }
  // Killed during a write, the file may hold part of the new bytes: it goes back whatever it
  // holds, as after a failed rollback.
  if (state.writing && !state.all_written) contents.touched[*state.writing].rollback_failed = true;
}

// A journal's path as a path under recovered/: the root and "." dropped, ".." spelled so
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

// Keeps `bytes` at `path` mirrored under `area` in the journal directory open as
// `directory_fd`, never over an earlier file nor through a link; the path it was saved at.
Result<std::string> save_copy(const std::string& directory, int directory_fd,
                              const std::vector<std::string>& area, const std::string& path,
                              std::string_view bytes) {
  std::vector<std::string> components = mirrored(path);
  components.insert(components.begin(), area.begin(), area.end());
  Fd parent(::fcntl(directory_fd, F_DUPFD_CLOEXEC, 0));
  if (!parent) return os_error(errno);
  std::string shown = directory;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    if (::mkdirat(parent.get(), components[i].c_str(), 0777) != 0 && errno != EEXIST) {
      return os_error(errno);
    }
    const int next = ::openat(parent.get(), components[i].c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return os_error(errno);
    parent.reset(next);
    shown += "/" + components[i];
  }
  const std::string& leaf = components.back();
  for (int attempt = 0;; ++attempt) {
    const std::string name = attempt == 0 ? leaf : leaf + "." + std::to_string(attempt);
    const int fd = ::openat(parent.get(), name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST && attempt < 1000) continue;
      return os_error(errno);
    }
    Fd file(fd);
    if (Status written = write_all(file.get(), bytes); !written) return written.error();
    return shown + "/" + name;
  }
}

enum class Recovery {
  Done,
  Left,     // left as it is; its prior bytes, if any, saved under recovered/
  Kept,     // left, and its prior bytes could not be saved: the journal must stay
  NotOurs,  // a journal of another project: it stays, for that project's server
};

// Puts one path of a hot journal back; `mark_putting_back` is called before it is written.
Recovery recover_path(JournalDirectory& directory, int directory_fd, const Workspace& workspace,
                      const JournalContents& contents, const TouchedPath& touched,
                      const std::vector<std::string>& written_digests,
                      const std::function<void()>& mark_putting_back,
                      const std::function<void(const std::string&)>& say) {
  const std::string& path = touched.path;
  const std::optional<std::string>& prior = touched.prior.bytes;
  Result<PriorState> current = read_prior_state(workspace, path);

  const auto keep = [&](std::string_view bytes) -> std::optional<std::string> {
    Result<std::string> saved =
        save_copy(directory.path(), directory_fd, {std::string(kRecovered)}, path, bytes);
    if (!saved) {
      say("could not save the bytes of " + path + " under " + directory.path() + "/" +
          std::string(kRecovered) + ": " + saved.error().message);
      return std::nullopt;
    }
    return saved.value();
  };
  const auto left_alone = [&](const std::string& why) {
    std::string line = "left " + path + " as it is: " + why;
    Recovery outcome = Recovery::Left;
    if (prior) {
      if (std::optional<std::string> saved = keep(*prior)) {
        line += "; its prior bytes are in " + *saved;
      } else {
        line += "; its prior bytes stay in the journal";
        outcome = Recovery::Kept;
      }
    }
    say(line);
    return outcome;
  };

  // A directory, a FIFO, a file that cannot be read: nothing of the proposal's.
  if (!current) return left_alone(current.error().message);
  const std::optional<std::string>& held = current.value().bytes;  // nothing: no file there
  if (held == prior && (!held || current.value().mode == touched.prior.mode)) {
    say("recovered " + path + ": already as it was");
    return Recovery::Done;
  }
  const bool holds_written =
      held && std::find(written_digests.begin(), written_digests.end(),
                        journal_digest(contents.version, *held)) != written_digests.end();
  // Only the file the proposal created is removed: not one a link planted since leads to, even
  // with the same bytes. Version 1 recorded no identity; its file is the one at the path itself.
  std::optional<FileIdentity> created = touched.created;
  if (contents.version == 1 && !workspace.is_symbolic_link(path)) {
    created = current.value().identity;
  }
  // Killed between creating the file and recording it, the server left it empty: removing it
  // loses nothing of anyone's.
  if (!prior && !created && touched.rollback_failed && held && held->empty() &&
      !workspace.is_symbolic_link(path)) {
    created = current.value().identity;
  }
  if (!prior && held && current.value().identity != created) {
    return left_alone("it is not the file the interrupted proposal created");
  }
  // A rollback that failed left the proposal's bytes, or whatever came after them: the prior
  // state goes back all the same, and what the file held is kept. One the server was only
  // putting back holds nothing but what it wrote itself.
  std::string note;
  if (held && !holds_written && (touched.rollback_failed || !touched.putting_back)) {
    if (!touched.rollback_failed) {
      return left_alone("it changed after the interrupted proposal wrote it");
    }
    std::optional<std::string> saved = keep(*held);
    if (!saved) return left_alone("its bytes could not be saved before putting it back");
    note = "; what it held is in " + *saved;
  }
  mark_putting_back();
  if (Status restored = put_back(workspace, path, touched.prior, created); !restored) {
    return left_alone("it could not be put back: " + restored.error().message);
  }
  say("recovered " + path + (prior ? ": prior bytes restored" : ": removed") + note);
  return Recovery::Done;
}

// The names in the journal directory that a journal may have, in the order written.
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

// The journal `name`, locked, when it is one of ours and its server is gone. A shared journal
// directory may hold anyone's files: only a regular file beginning with the magic line is ours.
std::optional<Fd> open_journal(int directory_fd, const std::string& name) {
  // Non-blocking: a FIFO given a journal's name must not hang the start.
  // Opened for writing too: recovery appends its own marks.
  Fd file(::openat(directory_fd, name.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
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

// Puts back the paths of one journal read from `shown`, open as `journal_fd`; the worst outcome
// of its paths.
Recovery recover_journal(JournalDirectory& directory, int directory_fd, int journal_fd,
                         const Workspace& workspace, const JournalContents& recorded,
                         const std::string& shown,
                         const std::function<void(const std::string&)>& say) {
  if (recorded.version != 0 && !is_readable_version(recorded.version)) {
    say("warning: left the journal " + shown + " untouched: unknown format version " +
        std::to_string(recorded.version));
    return Recovery::Kept;
  }
  if (!recorded.complete) {
    say("discarded the incomplete journal " + shown + ": no file had been written");
    return Recovery::Done;
  }
  // A journal names its own base and confinement; neither is trusted, or a journal planted
  // through a proposal would lead recovery out of the root.
  if (recorded.base != workspace.base_path()) {
    say("left the journal " + shown + " untouched: it belongs to " + recorded.base +
        ", whose server recovers it");
    return Recovery::NotOurs;
  }
  std::optional<Workspace> confined;
  if (recorded.confined && !workspace.is_confined()) {
    Result<Workspace> opened = Workspace::confined(recorded.base);
    if (!opened) {
      say("left the journal " + shown + ": cannot open " + recorded.base + ": " +
          opened.error().message);
      return Recovery::Kept;
    }
    confined = std::move(opened).value();
  }
  const Workspace& paths = confined ? *confined : workspace;
  if (recorded.verifier) stop_verifier(*recorded.verifier);
  // Two spellings can name one file (x and ./x); it then holds the later one's bytes.
  std::vector<std::string> digests;
  for (const TouchedPath& touched : recorded.touched) digests.push_back(touched.written_digest);
  Recovery outcome = Recovery::Done;
  for (std::size_t i = recorded.touched.size(); i-- > 0;) {
    // Appended after what was read: the marks of this recovery, for the next one.
    const auto mark_putting_back = [journal_fd, i] {
      static_cast<void>(write_all(journal_fd, mark_bytes(kPuttingBackMark, i)));
    };
    outcome = std::max(outcome, recover_path(directory, directory_fd, paths, recorded,
                                             recorded.touched[i], digests, mark_putting_back, say));
  }
  return outcome;
}

}  // namespace

bool is_readable_version(std::uint32_t version) {
  return version == 1 || version == kVersion;
}

JournalContents read_journal(std::string_view bytes) {
  JournalContents contents;
  Reader reader(bytes);
  if (!read_header(reader, contents)) return contents;
  const auto count = reader.le<std::uint32_t>();
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!read_entry(reader, contents)) return contents;
  }
  if (!read_trailer(reader)) return contents;
  contents.complete = true;
  read_marks(reader, contents);
  return contents;
}

JournalDirectory::JournalDirectory(std::optional<std::string> path, bool sync, Workspace where)
    : path_(path ? std::move(*path) : std::string(kDefaultDirectory)),
      is_default_(!path),
      sync_(sync),
      where_(std::move(where)) {}

Result<std::string> JournalDirectory::keep_copy(const std::vector<std::string>& area,
                                                const std::string& path, std::string_view bytes) {
  Result<int> fd = open();
  if (!fd) return fd.error();
  return save_copy(path_, fd.value(), area, path, bytes);
}

Status JournalDirectory::prepare() {
  if (!is_default_) {
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
    Status made = where_.make_directory(path_);
    if (!made && made.error().kind != ErrorKind::AlreadyExists) return made.error();
    opened = where_.open(path_, O_RDONLY | O_DIRECTORY);
    // Otherwise a power loss could take the new directory, and the journals in it, away.
    if (opened && made && sync_) {
      Result<Fd> parent = where_.open(parent_of(path_), O_RDONLY | O_DIRECTORY);
      if (!parent) return parent.error();
      if (::fsync(parent.value().get()) != 0) return os_error(errno);
    }
  }
  if (!opened) return opened.error();
  fd_ = std::move(opened).value();
  while (::flock(fd_.get(), LOCK_SH) != 0) {
    if (errno != EINTR) return os_error(errno);
  }
  return fd_.get();
}

Result<int> JournalDirectory::open() {
  Result<int> fd = open_existing();
  if (!fd && fd.error().kind == ErrorKind::NotFound) fd = open_by_path(true);
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
  if (!is_default_) return;
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
  if (!only_gitignore) return;
  ::unlinkat(fd.value(), std::string(kGitignore).c_str(), 0);
  // A server starting in the same directory may have just written a journal there; then the
  // directory stays, and needs its .gitignore again.
  if (!where_.remove_directory(path_)) {
    ignored_ = false;
    static_cast<void>(open());
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

Status Journal::mark_verifier(const VerifierGroup& group) {
  std::string payload;
  put_le<std::uint32_t>(payload, static_cast<std::uint32_t>(group.id));
  put_le<std::uint64_t>(payload, group.leader_start);
  return mark(kVerifierMark, std::nullopt, payload);
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

bool recover_journals(JournalDirectory& directory, const Workspace& workspace,
                      const std::function<void(const std::string&)>& say) {
  Result<int> directory_fd = directory.open_existing();
  if (!directory_fd) return true;
  bool clean = true;
  for (const std::string& name : journal_names(directory_fd.value())) {
    std::optional<Fd> file = open_journal(directory_fd.value(), name);
    if (!file) continue;
    const std::string shown = directory.path() + "/" + name;
    Result<std::string> bytes = read_all(file->get());
    if (!bytes) {
      say("left the journal " + shown + ": " + bytes.error().message);
      clean = false;
      continue;
    }
    const JournalContents recorded = read_journal(bytes.value());
    const Recovery outcome = recover_journal(directory, directory_fd.value(), file->get(),
                                             workspace, recorded, shown, say);
    if (outcome == Recovery::NotOurs) continue;
    clean &= outcome == Recovery::Done;
    if (outcome != Recovery::Kept) ::unlinkat(directory_fd.value(), name.c_str(), 0);
  }
  return clean;
}

}  // namespace quarry
