#include "task_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

#include "journal.h"
#include "provenance.h"
#include "recovery.h"

namespace quarry {
namespace {

// Layout, integers little-endian: kMagic, u32 version, then pieces, each a kind byte, a u32
// length, that many bytes of fields, and the u64 content_checksum of the kind, the length and the
// fields. A field is a u8 tag, a u32 length and its value: an integer as u64
// (a mode as u32), a flag as u8, a double as the u64 of its bits, a text as its bytes, a record
// as fields of its own. A reader skips tags it does not know and leaves a member whose tag is
// missing at its default, so that a member added later reads as before, either way.
// Pieces: 'T' the task, first and once; 'F' a declared file by index, with the size and digest of
// its start bytes when there was a file, again whenever it changes; 'S' that the copy of a file's
// start bytes beside the record is whole; 'A' an attempt, with the count of proposals once it was
// recorded when added later; 'R' a rejected set; 'C' the count of proposals, the paths a restore
// saved and the tests of the reference run; 'V' the attempt whose verifier is starting, and its
// token. A record is written whole at start and when taken over; each change appends pieces.
constexpr std::string_view kMagic = "quarry-agent-task task\n";
constexpr std::uint32_t kVersion = 1;
constexpr char kTaskPiece = 'T';
constexpr char kFilePiece = 'F';
constexpr char kStartKeptPiece = 'S';
constexpr char kAttemptPiece = 'A';
constexpr char kRejectedPiece = 'R';
constexpr char kCountsPiece = 'C';
constexpr char kVerifierPiece = 'V';
constexpr std::size_t kPieceLead = 5;  // kind and length
constexpr std::size_t kChecksumLength = sizeof(std::uint64_t);

// What a record written by a server can hold; beyond them a file was not written by one, and
// reading it on would only cost memory.
constexpr std::uint32_t kLargestPiece = 16 << 20;
constexpr std::uint64_t kLargestRecord = std::uint64_t{256} << 20;
constexpr std::uint64_t kMostFiles = 1 << 20;
// As recovery: start bytes beyond this are more than a task taken over holds in memory.
constexpr std::uint64_t kLargestStart = std::uint64_t{512} << 20;

constexpr const char* kTasksArea = "tasks";
constexpr const char* kRecordName = "record";
constexpr const char* kRewrittenName = "record.new";
// A task's directory is made under the first name and given its own once whole, and given the
// second before it is emptied: either, found unlocked, is the remains of a server that died.
constexpr std::string_view kNewPrefix = ".new-";
constexpr std::string_view kGonePrefix = ".gone-";

IoError unreadable(const std::string& why) {
  return IoError{ErrorKind::InvalidInput, why};
}

// The members of each kept value with their tags: the one place that names them, for writing
// and for reading back. A member added later takes a tag of its own, one line here.
template <typename Attempt, typename Visit>
void attempt_members(Attempt& attempt, Visit& visit) {
  visit(1, attempt.attempt);
  visit(2, attempt.fingerprint);
  visit(3, attempt.passed);
  visit(4, attempt.output);
  visit(5, attempt.verified);
  visit(6, attempt.log);
}

template <typename File, typename Visit>
void file_members(File& file, Visit& visit) {
  visit(1, file.path);
  visit(2, file.present);
  visit(3, file.mode);
  visit(4, file.through_link);
  visit(5, file.identity);
  visit(6, file.created);
  visit(7, file.seen);
  visit(8, file.own);
  visit(9, file.mixed);
}

template <typename Measurement, typename Visit>
void measurement_members(Measurement& measurement, Visit& visit) {
  visit(1, measurement.tool);
  visit(2, measurement.score);
}

template <typename Task, typename Visit>
void task_members(Task& task, Visit& visit) {
  visit(1, task.id);
  visit(2, task.goal);
  visit(3, task.verify_cmd);
  visit(4, task.min_mutation_score);
  visit(5, task.mutation_measurement);
  visit(6, task.max_attempts);
}

// Appends fields to `out` in place: nested records are written where they go, and their length
// set once they are whole.
class FieldWriter {
 public:
  explicit FieldWriter(std::string& out) : out_(out) {}

  void operator()(std::uint8_t tag, std::string_view value) {
    lead(tag, value.size());
    out_.append(value);
  }
  void operator()(std::uint8_t tag, const std::string& value) {
    (*this)(tag, std::string_view(value));
  }
  void operator()(std::uint8_t tag, const std::uint64_t& value) { integer(tag, value); }
  void operator()(std::uint8_t tag, const std::uint32_t& value) { integer(tag, value); }
  void operator()(std::uint8_t tag, const bool& value) {
    integer(tag, static_cast<std::uint8_t>(value ? 1 : 0));
  }
  void operator()(std::uint8_t tag, const double& value) {
    integer(tag, std::bit_cast<std::uint64_t>(value));
  }
  void operator()(std::uint8_t tag, const FileIdentity& value) {
    lead(tag, 2 * sizeof(std::uint64_t));
    put_le(out_, value.device);
    put_le(out_, value.inode);
  }
  void operator()(std::uint8_t tag, const MutationMeasurement& value) {
    nested(tag, [&](FieldWriter& fields) { measurement_members(value, fields); });
  }
  void operator()(std::uint8_t tag, const std::vector<std::string>& values) {
    nested(tag, [&](FieldWriter& fields) {
      for (const std::string& value : values) fields(1, value);
    });
  }
  template <typename T>
  void operator()(std::uint8_t tag, const std::optional<T>& value) {
    if (value) (*this)(tag, *value);
  }
  // A record of its own as the field `tag`, written by `write`.
  template <typename Write>
  void nested(std::uint8_t tag, Write&& write) {
    lead(tag, 0);
    const std::size_t start = out_.size();
    write(*this);
    set_length(start - sizeof(std::uint32_t), out_.size() - start);
  }
  void set_length(std::size_t at, std::size_t length) {
    for (std::size_t i = 0; i < sizeof(std::uint32_t); ++i) {
      out_[at + i] = static_cast<char>((length >> (8 * i)) & 0xff);
    }
  }

 private:
  void lead(std::uint8_t tag, std::size_t length) {
    out_.push_back(static_cast<char>(tag));
    put_le<std::uint32_t>(out_, static_cast<std::uint32_t>(length));
  }
  template <typename Integer>
  void integer(std::uint8_t tag, Integer value) {
    lead(tag, sizeof(Integer));
    put_le(out_, value);
  }

  std::string& out_;
};

// Fields as FieldWriter writes them; a value of the wrong size for its member fails the read.
class FieldReader {
 public:
  explicit FieldReader(std::string_view fields) {
    while (!fields.empty() && ok_) {
      const std::uint32_t length =
          fields.size() < kPieceLead ? 0 : get_le<std::uint32_t>(fields.substr(1));
      ok_ = fields.size() >= kPieceLead && fields.size() - kPieceLead >= length;
      if (!ok_) break;
      fields_.emplace_back(static_cast<std::uint8_t>(fields[0]), fields.substr(kPieceLead, length));
      fields.remove_prefix(kPieceLead + length);
    }
  }

  bool ok() const { return ok_; }
  bool has(std::uint8_t tag) const { return find(tag).has_value(); }

  void operator()(std::uint8_t tag, std::string& value) {
    if (const std::optional<std::string_view> field = find(tag)) value = *field;
  }
  void operator()(std::uint8_t tag, std::uint64_t& value) { integer(tag, value); }
  void operator()(std::uint8_t tag, std::uint32_t& value) { integer(tag, value); }
  void operator()(std::uint8_t tag, bool& value) {
    std::uint8_t flag = 0;
    integer(tag, flag);
    ok_ = ok_ && flag <= 1;
    value = flag == 1;
  }
  void operator()(std::uint8_t tag, double& value) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    integer(tag, bits);
    value = std::bit_cast<double>(bits);
  }
  void operator()(std::uint8_t tag, FileIdentity& value) {
    const std::optional<std::string_view> field = find(tag);
    if (!field) return;
    ok_ = ok_ && field->size() == 2 * sizeof(std::uint64_t);
    if (!ok_) return;
    value.device = get_le<std::uint64_t>(*field);
    value.inode = get_le<std::uint64_t>(field->substr(sizeof(std::uint64_t)));
  }
  void operator()(std::uint8_t tag, MutationMeasurement& value) {
    FieldReader nested(find(tag).value_or(std::string_view()));
    measurement_members(value, nested);
    ok_ = ok_ && nested.ok();
  }
  void operator()(std::uint8_t tag, std::vector<std::string>& values) {
    FieldReader nested(find(tag).value_or(std::string_view()));
    values.clear();
    for (const auto& [inner, value] : nested.fields_) {
      if (inner == 1) values.emplace_back(value);
    }
    ok_ = ok_ && nested.ok();
  }
  template <typename T>
  void operator()(std::uint8_t tag, std::optional<T>& value) {
    if (!has(tag)) return;
    value.emplace();
    (*this)(tag, *value);
  }

 private:
  std::optional<std::string_view> find(std::uint8_t tag) const {
    for (auto field = fields_.rbegin(); field != fields_.rend(); ++field) {
      if (field->first == tag) return field->second;
    }
    return std::nullopt;
  }
  template <typename Integer>
  void integer(std::uint8_t tag, Integer& value) {
    const std::optional<std::string_view> field = find(tag);
    if (!field) return;
    ok_ = ok_ && field->size() == sizeof(Integer);
    if (ok_) value = get_le<Integer>(*field);
  }

  std::vector<std::pair<std::uint8_t, std::string_view>> fields_;
  bool ok_ = true;
};

// The attempt record's encoding and its decoding; false for bytes that are none.
void encode_attempt(FieldWriter& fields, const AttemptRecord& attempt) {
  attempt_members(attempt, fields);
}

bool decode_attempt(std::string_view bytes, AttemptRecord& attempt) {
  FieldReader fields(bytes);
  attempt_members(attempt, fields);
  return fields.ok();
}

// Appends a piece of `kind` whose fields `write` writes.
template <typename Write>
void add_piece(std::string& out, char kind, Write&& write) {
  const std::size_t start = out.size();
  out.push_back(kind);
  out.append(sizeof(std::uint32_t), '\0');
  FieldWriter fields(out);
  write(fields);
  fields.set_length(start + 1, out.size() - start - kPieceLead);
  put_le(out, content_checksum(std::string_view(out).substr(start)));
}

// An attempt, with the count of proposals once it was recorded when given: a refusal then costs
// one piece.
void add_attempt(std::string& out, const AttemptRecord& attempt,
                 const std::optional<std::uint64_t>& proposal_count) {
  add_piece(out, kAttemptPiece, [&](FieldWriter& fields) {
    fields.nested(1, [&](FieldWriter& members) { encode_attempt(members, attempt); });
    fields(2, proposal_count);
  });
}

void add_file(std::string& out, std::uint64_t index, const KeptFile& file,
              const std::optional<KeptStart>& start) {
  add_piece(out, kFilePiece, [&](FieldWriter& fields) {
    fields(1, index);
    fields.nested(2, [&](FieldWriter& members) { file_members(file, members); });
    if (start) {
      fields(3, start->size);
      fields(4, start->digest);
    }
  });
}

void add_start_kept(std::string& out, std::uint64_t index) {
  add_piece(out, kStartKeptPiece, [&](FieldWriter& fields) { fields(1, index); });
}

void add_rejected(std::string& out, const RejectedSet& rejected) {
  add_piece(out, kRejectedPiece, [&](FieldWriter& fields) {
    fields(1, rejected.fingerprint);
    fields(2, rejected.identity);
  });
}

void add_counts(std::string& out, const TaskRecord& record) {
  add_piece(out, kCountsPiece, [&](FieldWriter& fields) {
    fields(1, record.proposal_count);
    fields(2, record.saved);
    fields(3, record.reference_tests);
  });
}

void add_in_flight(std::string& out, const AttemptRecord& attempt, const std::string& token) {
  add_piece(out, kVerifierPiece, [&](FieldWriter& fields) {
    fields.nested(1, [&](FieldWriter& members) { encode_attempt(members, attempt); });
    fields(2, token);
  });
}

// A record as it is read, piece by piece.
class RecordReader {
 public:
  Status take(char kind, std::string_view bytes) {
    FieldReader fields(bytes);
    if (!fields.ok()) return unreadable("its record does not parse");
    if (kind == kTaskPiece) return take_task(fields);
    if (!has_task_) return unreadable("its record holds no task");
    switch (kind) {
      case kFilePiece:
        return take_file(fields);
      case kStartKeptPiece: {
        std::uint64_t index = 0;
        fields(1, index);
        if (!fields.ok() || index >= kept_.starts.size() || !kept_.starts[index]) break;
        kept_.starts[index]->kept = true;
        return {};
      }
      case kAttemptPiece: {
        std::string attempt;
        fields(1, attempt);
        fields(2, kept_.record.proposal_count);
        if (!fields.ok() || !decode_attempt(attempt, kept_.attempts.emplace_back())) break;
        kept_.in_flight.reset();
        return {};
      }
      case kRejectedPiece:
        fields(1, kept_.record.rejected.emplace_back().fingerprint);
        fields(2, kept_.record.rejected.back().identity);
        return fields.ok() ? Status() : unreadable("its record does not parse");
      case kCountsPiece:
        fields(1, kept_.record.proposal_count);
        fields(2, kept_.record.saved);
        fields(3, kept_.record.reference_tests);
        return fields.ok() ? Status() : unreadable("its record does not parse");
      case kVerifierPiece: {
        std::string attempt;
        fields(1, attempt);
        fields(2, kept_.in_flight_token);
        if (!fields.ok() || !decode_attempt(attempt, kept_.in_flight.emplace())) break;
        return {};
      }
      default:
        return {};  // a piece of a later kind: whatever it says, the rest stands
    }
    return unreadable("its record does not parse");
  }

  Result<KeptTask> finish() {
    if (!has_task_ || kept_.record.files.size() != file_count_) {
      return unreadable("its record is cut short");
    }
    return std::move(kept_);
  }

 private:
  Status take_task(FieldReader& fields) {
    if (has_task_) return unreadable("its record holds two tasks");
    task_members(kept_.record, fields);
    fields(7, kept_.base);
    fields(8, file_count_);
    if (!fields.ok() || !fields.has(1) || file_count_ > kMostFiles) {
      return unreadable("its record does not parse");
    }
    has_task_ = true;
    return {};
  }

  Status take_file(FieldReader& fields) {
    std::uint64_t index = 0;
    std::string kept;
    fields(1, index);
    fields(2, kept);
    KeptFile file;
    FieldReader members(kept);
    file_members(file, members);
    std::optional<KeptStart> start;
    if (fields.has(3)) {
      start.emplace();
      fields(3, start->size);
      fields(4, start->digest);
    }
    std::vector<std::optional<KeptStart>>& starts = kept_.starts;
    // Files come in order at first; a later piece replaces one, keeping its start unless it
    // says another.
    if (!fields.ok() || !members.ok() || index > starts.size() || index >= file_count_ ||
        file.mode > 07777 || (start && !file.present)) {
      return unreadable("its record does not parse");
    }
    if (index == starts.size()) {
      kept_.record.files.emplace_back();
      starts.emplace_back();
    }
    if (start || !file.present) starts[index] = std::move(start);
    if (file.present != starts[index].has_value()) return unreadable("its record does not parse");
    kept_.record.files[index] = std::move(file);
    return {};
  }

  KeptTask kept_;
  bool has_task_ = false;
  std::uint64_t file_count_ = 0;
};

// Fills `into` from `fd` at `at`; false when the file ends first.
Result<bool> read_exactly(int fd, std::uint64_t at, std::string& into) {
  std::size_t got = 0;
  while (got < into.size()) {
    const ssize_t n =
        ::pread(fd, into.data() + got, into.size() - got, static_cast<off_t>(at + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_error(errno);
    if (n == 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool is_task_id(std::string_view name) {
  if (!name.starts_with("task-")) return false;
  name.remove_prefix(5);
  const std::size_t dash = name.find('-');
  return dash != 0 && dash != std::string_view::npos && dash + 1 < name.size() &&
         name.substr(0, dash).find_first_not_of("0123456789abcdef") == std::string_view::npos &&
         name.substr(dash + 1).find_first_not_of("0123456789") == std::string_view::npos;
}

// Opens the directory `name` beneath `parent` without following a link.
Fd open_directory(int parent, const std::string& name) {
  return Fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Empties the directory open as `directory` of its files and removes it as `name` in `parent`;
// anything else in it (a directory planted there) keeps it.
void remove_directory(int parent, const std::string& name, int directory) {
  Fd listing_fd(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
  if (DIR* listing = listing_fd ? ::fdopendir(listing_fd.release()) : nullptr) {
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view found = entry->d_name;
      if (found != "." && found != "..") names.emplace_back(found);
    }
    ::closedir(listing);
    for (const std::string& file : names) ::unlinkat(directory, file.c_str(), 0);
  }
  ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// Removes the task directory `name` of `parent`, open as `directory`: under another name first,
// so that a server dying part-way leaves no task with half its files.
void remove_task_directory(int parent, const std::string& name, int directory, bool sync) {
  const std::string gone = std::string(kGonePrefix) + name;
  if (::renameat(parent, name.c_str(), parent, gone.c_str()) != 0) return;
  if (sync) ::fsync(parent);
  remove_directory(parent, gone, directory);
}

// Whether the file open as `file` holds exactly `size` bytes of `digest`.
bool holds(int file, std::uint64_t size, const std::string& digest) {
  struct stat info;
  if (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) != size) {
    return false;
  }
  ContentDigest held;
  std::array<char, 64 * 1024> piece;
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(file, piece.data(), piece.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    held.update(std::string_view(piece.data(), static_cast<std::size_t>(n)));
    at += n;
  }
  return held.hex_digest() == digest;
}

// Writes `bytes` of `digest` as the file `name` in `directory`, under a temporary name first so
// that a copy cut short never takes its name: a reflink of `source` (FICLONE), sharing its blocks
// at no cost in time or space, where the file system allows one and `source` still holds those
// bytes; else from memory.
Status write_start_file(int directory, const std::string& name, std::string_view bytes,
                        const std::string& digest, int source, bool sync) {
  const std::string partial = "." + name + ".partial";
  ::unlinkat(directory, partial.c_str(), 0);
  Fd file(::openat(directory, partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600));
  if (!file) return os_error(errno);
  Status written;
  const bool reflinked = source >= 0 && ::ioctl(file.get(), FICLONE, source) == 0;
  if (!reflinked || !holds(source, bytes.size(), digest)) {
    if (reflinked && ::ftruncate(file.get(), 0) != 0) written = os_error(errno);
    if (written) written = write_all(file.get(), bytes);
  }
  if (written && sync && ::fsync(file.get()) != 0) written = os_error(errno);
  if (written && ::renameat(directory, partial.c_str(), directory, name.c_str()) != 0) {
    written = os_error(errno);
  }
  if (!written) ::unlinkat(directory, partial.c_str(), 0);
  return written;
}

// The start bytes of one file, to be copied beside a new task's record.
struct StartCopy {
  std::size_t index;
  std::string path;
  std::string_view bytes;  // the task's own, which it holds unchanged until it is settled
  std::string digest;
};

// Copies each start beside the record open as `record` in `directory`, then notes which are
// whole. Runs beside the server: everything it needs is its own.
void copy_starts(const Workspace& workspace, Fd directory, Fd record, bool sync,
                 std::vector<StartCopy> copies) {
  std::string pieces;
  for (const StartCopy& copy : copies) {
    Result<Fd> source = workspace.open(copy.path, O_RDONLY | O_NONBLOCK);
    if (write_start_file(directory.get(), std::to_string(copy.index), copy.bytes, copy.digest,
                         source ? source.value().get() : -1, sync)) {
      add_start_kept(pieces, copy.index);
    }
  }
  // With --sync, the names the copies took are on the device before the record says so.
  if (pieces.empty() || (sync && ::fsync(directory.get()) != 0)) return;
  if (write_all(record.get(), pieces) && sync) ::fsync(record.get());
}

// Runs `work` on a thread of its own with every signal blocked, so that the server's own thread
// takes them; on this one when no thread can be started.
template <typename Work>
std::thread beside(Work work) {
  auto shared = std::make_shared<Work>(std::move(work));
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::thread started;
  try {
    started = std::thread([shared] { (*shared)(); });
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    (*shared)();
    return started;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

}  // namespace

Result<KeptTask> read_task_record(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return os_error(errno);
  const auto size = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));
  std::string head(kMagic.size() + sizeof(std::uint32_t), '\0');
  Result<bool> read = read_exactly(fd, 0, head);
  if (!read) return read.error();
  if (!read.value() || !head.starts_with(kMagic)) return unreadable("it is not a task record");
  const auto version = get_le<std::uint32_t>(std::string_view(head).substr(kMagic.size()));
  if (version != kVersion) {
    return unreadable("its record is of format version " + std::to_string(version) +
                      ", which this server does not read");
  }
  RecordReader record;
  std::uint64_t at = head.size();
  std::uint64_t total = 0;
  std::string piece;
  // A piece cut short, or whose digest does not match, was being written when its server died:
  // the record ends before it.
  while (size - at >= kPieceLead + kChecksumLength) {
    piece.resize(kPieceLead);
    read = read_exactly(fd, at, piece);
    if (!read) return read.error();
    const auto length = get_le<std::uint32_t>(std::string_view(piece).substr(1));
    if (!read.value() || length > kLargestPiece ||
        size - at - kPieceLead - kChecksumLength < length) {
      break;
    }
    total += length;
    if (total > kLargestRecord) return unreadable("its record is larger than a server writes");
    piece.resize(kPieceLead + length + kChecksumLength);
    read = read_exactly(fd, at, piece);
    if (!read) return read.error();
    const std::string_view whole(piece);
    if (!read.value() || content_checksum(whole.substr(0, kPieceLead + length)) !=
                             get_le<std::uint64_t>(whole.substr(kPieceLead + length))) {
      break;
    }
    if (Status taken = record.take(piece[0], whole.substr(kPieceLead, length)); !taken) {
      return taken.error();
    }
    at += piece.size();
  }
  return record.finish();
}

std::string task_record_bytes(const KeptTask& kept) {
  std::string out(kMagic);
  put_le(out, kVersion);
  add_piece(out, kTaskPiece, [&](FieldWriter& fields) {
    task_members(kept.record, fields);
    fields(7, kept.base);
    fields(8, std::uint64_t{kept.record.files.size()});
  });
  for (std::size_t i = 0; i < kept.record.files.size(); ++i) {
    const std::optional<KeptStart>& start = i < kept.starts.size() ? kept.starts[i] : std::nullopt;
    add_file(out, i, kept.record.files[i], start);
    if (start && start->kept) add_start_kept(out, i);
  }
  for (const AttemptRecord& attempt : kept.attempts) {
    add_attempt(out, attempt, std::nullopt);
  }
  for (const RejectedSet& rejected : kept.record.rejected) add_rejected(out, rejected);
  add_counts(out, kept.record);
  if (kept.in_flight) add_in_flight(out, *kept.in_flight, kept.in_flight_token);
  return out;
}

// One task this server holds.
struct TaskStore::Held {
  Fd directory;  // the task's directory, locked
  Fd record;     // its record, open for appending
  std::uint64_t size = 0;
  TaskRecord kept;           // as the record has it
  TaskRecord now;            // the task as last asked, its memory reused
  std::size_t attempts = 0;  // how many attempts the record has
  std::thread copying;       // the start bytes being copied beside the record
};

TaskStore::TaskStore(std::shared_ptr<JournalDirectory> directory, const Workspace& workspace,
                     std::function<void(const std::string&)> say)
    : directory_(std::move(directory)), workspace_(workspace), say_(std::move(say)) {}

std::chrono::system_clock::time_point TaskStore::Opened::touched() const {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(modified.tv_sec) + std::chrono::nanoseconds(modified.tv_nsec)));
}

TaskStore::~TaskStore() {
  for (auto& [id, held] : held_) wait_for_copies(*held);
}

Result<Fd> TaskStore::open_tasks_directory(bool create) {
  Result<int> state = create ? directory_->open() : directory_->open_existing();
  if (!state) return state.error();
  if (create && ::mkdirat(state.value(), kTasksArea, 0700) == 0 && directory_->sync()) {
    ::fsync(state.value());
  }
  Fd tasks = open_directory(state.value(), kTasksArea);
  if (!tasks) return os_error(errno);
  return tasks;
}

Status TaskStore::append(Held& held, std::string_view pieces, bool durably) {
  Status written = write_all(held.record.get(), pieces);
  if (written && durably && directory_->sync() && ::fsync(held.record.get()) != 0) {
    written = os_error(errno);
  }
  if (!written) {
    // Cut off, it cannot hide what a later addition says behind a piece that reads as torn.
    static_cast<void>(::ftruncate(held.record.get(), static_cast<off_t>(held.size)));
    return written;
  }
  held.size += pieces.size();
  return {};
}

void TaskStore::wait_for_copies(Held& held) {
  if (!held.copying.joinable()) return;
  held.copying.join();
  struct stat info;
  if (::fstat(held.record.get(), &info) == 0) held.size = static_cast<std::uint64_t>(info.st_size);
}

Status TaskStore::keep(const AgentTask& task) {
  std::lock_guard lock(mutex_);
  const std::string& id = task.id();
  if (held_.contains(id)) return {};
  const auto refused = [](const IoError& error) {
    return IoError{error.kind, "cannot keep the task: " + error.message};
  };
  Result<Fd> tasks = open_tasks_directory(true);
  if (!tasks) return refused(tasks.error());
  const int parent = tasks.value().get();
  const bool sync = directory_->sync();
  const std::string partial = std::string(kNewPrefix) + id;
  auto held = std::make_unique<Held>();
  // A server starting meanwhile may take the new directory for the remains of a dead one and
  // remove it before the lock is ours.
  for (;;) {
    if (::mkdirat(parent, partial.c_str(), 0700) != 0) return refused(os_error(errno));
    held->directory = open_directory(parent, partial);
    struct stat info;
    if (!held->directory || ::flock(held->directory.get(), LOCK_EX) != 0 ||
        ::fstat(held->directory.get(), &info) != 0) {
      return refused(os_error(errno));
    }
    if (info.st_nlink > 0) break;
  }
  const int directory = held->directory.get();
  KeptTask kept{workspace_.base_path(), task.record(), task.attempts(), {}, std::nullopt, {}};
  std::vector<StartCopy> copies;
  for (std::size_t i = 0; i < kept.record.files.size(); ++i) {
    const std::optional<std::string>& bytes = task.start_bytes(i);
    if (!bytes) {
      kept.starts.emplace_back();
      continue;
    }
    // At start, the bytes the task last left are its start bytes.
    const std::string& digest = kept.record.files[i].own;
    kept.starts.push_back(KeptStart{bytes->size(), digest, false});
    copies.push_back(StartCopy{i, kept.record.files[i].path, *bytes, digest});
  }
  const std::string bytes = task_record_bytes(kept);
  held->record =
      Fd(::openat(directory, kRecordName,
                  O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  Status written = held->record ? write_all(held->record.get(), bytes) : os_error(errno);
  if (written && sync && (::fsync(held->record.get()) != 0 || ::fsync(directory) != 0)) {
    written = os_error(errno);
  }
  if (written && ::renameat2(parent, partial.c_str(), parent, id.c_str(), RENAME_NOREPLACE) != 0) {
    written = os_error(errno);
  }
  if (!written) {
    remove_directory(parent, partial, directory);
    return refused(written.error());
  }
  if (sync) ::fsync(parent);
  held->size = bytes.size();
  held->kept = std::move(kept.record);
  held->attempts = kept.attempts.size();
  Fd copy_directory(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
  Fd copy_record(::fcntl(held->record.get(), F_DUPFD_CLOEXEC, 0));
  if (copy_directory && copy_record && !copies.empty()) {
    held->copying =
        beside([this, copy_directory = std::move(copy_directory),
                copy_record = std::move(copy_record), sync, copies = std::move(copies)]() mutable {
          copy_starts(workspace_, std::move(copy_directory), std::move(copy_record), sync,
                      std::move(copies));
        });
  }
  held_.emplace(id, std::move(held));
  return {};
}

void TaskStore::settle(const AgentTask& task) {
  std::lock_guard lock(mutex_);
  const auto found = held_.find(task.id());
  if (found != held_.end()) wait_for_copies(*found->second);
}

void TaskStore::verifier_starting(const std::string& id, const AttemptRecord& attempt,
                                  const std::string& token) {
  std::lock_guard lock(mutex_);
  const auto found = held_.find(id);
  if (found == held_.end()) return;
  std::string pieces;
  add_in_flight(pieces, attempt, token);
  // Not made durable: a power loss ends the verifier with everything else.
  static_cast<void>(append(*found->second, pieces, false));
}

void TaskStore::changed(const AgentTask& task) {
  std::lock_guard lock(mutex_);
  const auto found = held_.find(task.id());
  if (found == held_.end()) return;
  Held& held = *found->second;
  const std::vector<AttemptRecord>& attempts = task.attempts();
  // Asked after every operation, a refusal among them: nothing here allocates once warm.
  TaskRecord& now = held.now;
  task.record(now);
  std::string& pieces = pieces_;
  pieces.clear();
  for (std::size_t i = held.attempts; i < attempts.size(); ++i) {
    add_attempt(pieces, attempts[i], now.proposal_count);
  }
  for (std::size_t i = held.kept.rejected.size(); i < now.rejected.size(); ++i) {
    add_rejected(pieces, now.rejected[i]);
  }
  for (std::size_t i = 0; i < now.files.size(); ++i) {
    if (now.files[i] == held.kept.files[i]) continue;
    // A file absent at start that a proposal found there after all: what it found is its start.
    std::optional<KeptStart> start;
    if (now.files[i].present && !held.kept.files[i].present) {
      const std::string& bytes = *task.start_bytes(i);
      start = KeptStart{bytes.size(), content_digest(bytes), false};
      const bool sync = directory_->sync();
      start->kept = write_start_file(held.directory.get(), std::to_string(i), bytes, start->digest,
                                     -1, sync) &&
                    (!sync || ::fsync(held.directory.get()) == 0);
    }
    add_file(pieces, i, now.files[i], start);
    if (start && start->kept) add_start_kept(pieces, i);
  }
  const bool counted =
      held.attempts < attempts.size() || now.proposal_count == held.kept.proposal_count;
  if (!counted || now.saved != held.kept.saved ||
      now.reference_tests != held.kept.reference_tests) {
    add_counts(pieces, now);
  }
  if (pieces.empty() || !append(held, pieces, true)) return;
  held.attempts = attempts.size();
  std::swap(held.kept, now);
}

void TaskStore::forget(const std::string& id) {
  std::lock_guard lock(mutex_);
  const auto found = held_.find(id);
  if (found == held_.end()) return;
  Held& held = *found->second;
  wait_for_copies(held);
  if (Result<Fd> tasks = open_tasks_directory(false)) {
    remove_task_directory(tasks.value().get(), id, held.directory.get(), directory_->sync());
  }
  held_.erase(found);
}

void TaskStore::survey(const std::set<std::string>& put_back_runs) {
  Result<Fd> tasks = open_tasks_directory(false);
  if (!tasks) return;
  const int parent = tasks.value().get();
  std::vector<std::string> names;
  Fd listing_fd(::fcntl(parent, F_DUPFD_CLOEXEC, 0));
  if (DIR* listing = listing_fd ? ::fdopendir(listing_fd.release()) : nullptr) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(listing);
  }
  std::sort(names.begin(), names.end());
  std::lock_guard lock(mutex_);
  for (const std::string& name : names) {
    Fd directory = open_directory(parent, name);
    // Locked: its server is alive, and keeps it.
    if (!directory || ::flock(directory.get(), LOCK_EX | LOCK_NB) != 0) continue;
    if (name.starts_with(kNewPrefix) || name.starts_with(kGonePrefix)) {
      remove_directory(parent, name, directory.get());
      continue;
    }
    survey_one(parent, name, directory.get(), put_back_runs);
  }
}

void TaskStore::survey_one(int tasks, const std::string& name, int directory,
                           const std::set<std::string>& put_back_runs) {
  std::optional<Opened> opened = open_record(directory, name);
  if (!opened) return;
  KeptTask& kept = opened->kept;
  // Another project's, sharing the journal directory: its own server looks after it.
  if (kept.base != workspace_.base_path()) return;
  if (std::chrono::system_clock::now() - opened->touched() > kUntouchedLimit) {
    remove_task_directory(tasks, name, directory, directory_->sync());
    say_("dropped the task " + name + ", untouched for 7 days; its files keep their state");
    return;
  }
  // Only now is it known that recovery rolled the proposal back: the record says so from here
  // on, whichever server takes the task over.
  if (!kept.in_flight || !put_back_runs.contains(kept.in_flight_token)) return;
  AttemptRecord interrupted = std::move(*kept.in_flight);
  interrupted.passed = false;
  interrupted.output = kInterruptedAttemptOutput;
  kept.attempts.push_back(std::move(interrupted));
  kept.in_flight.reset();
  if (Result<Fd> written = write_record(directory, kept, opened->modified); !written) {
    leave(name, "its record cannot be written again: " + written.error().message);
  }
}

std::optional<TaskStore::Opened> TaskStore::open_record(int directory, const std::string& name) {
  Fd record(::openat(directory, kRecordName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  Opened opened;
  if (!record || ::fstat(record.get(), &opened.info) != 0) {
    leave(name, "its record cannot be read: " + os_error(errno).message);
    return std::nullopt;
  }
  if (!S_ISREG(opened.info.st_mode)) {
    leave(name, "it is not a task record");
    return std::nullopt;
  }
  Result<KeptTask> read = read_task_record(record.get());
  if (!read) {
    leave(name, read.error().message);
    return std::nullopt;
  }
  opened.kept = std::move(read).value();
  opened.modified = opened.info.st_mtim;
  return opened;
}

void TaskStore::leave(const std::string& name, const std::string& why) {
  say_("left the task " + directory_->path() + "/" + kTasksArea + "/" + name + ": " + why);
  left_.insert(name);
}

Result<Fd> TaskStore::write_record(int directory, const KeptTask& kept,
                                   const struct timespec& modified) {
  const std::string bytes = task_record_bytes(kept);
  ::unlinkat(directory, kRewrittenName, 0);
  Fd record(::openat(directory, kRewrittenName,
                     O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!record) return os_error(errno);
  Status written = write_all(record.get(), bytes);
  // Written again is no touch: it keeps the time of the last change.
  const struct timespec times[2] = {{0, UTIME_OMIT}, modified};
  if (written && ::futimens(record.get(), times) != 0) written = os_error(errno);
  const bool sync = directory_->sync();
  if (written && sync && ::fsync(record.get()) != 0) written = os_error(errno);
  if (written && ::renameat(directory, kRewrittenName, directory, kRecordName) != 0) {
    written = os_error(errno);
  }
  if (!written) return written.error();
  if (sync) ::fsync(directory);
  return record;
}

std::optional<AgentTask> TaskStore::take_over(const std::string& id,
                                              const std::shared_ptr<const TaskSettings>& settings) {
  std::lock_guard lock(mutex_);
  if (!is_task_id(id) || left_.contains(id) || held_.contains(id)) return std::nullopt;
  Result<Fd> tasks = open_tasks_directory(false);
  if (!tasks) return std::nullopt;
  Fd directory = open_directory(tasks.value().get(), id);
  // Locked: another server that is alive holds it.
  if (!directory || ::flock(directory.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  return take_over_one(id, std::move(directory), settings);
}

bool TaskStore::has_record(const std::string& id) {
  Result<Fd> tasks = open_tasks_directory(false);
  return tasks && is_task_id(id) && ::faccessat(tasks.value().get(), id.c_str(), F_OK, 0) == 0;
}

std::optional<AgentTask> TaskStore::take_over_one(
    const std::string& name, Fd directory, const std::shared_ptr<const TaskSettings>& settings) {
  std::optional<Opened> opened = open_record(directory.get(), name);
  if (!opened) return std::nullopt;
  KeptTask& kept = opened->kept;
  if (kept.base != workspace_.base_path()) return std::nullopt;
  const auto refused = [&](const std::string& why) -> std::optional<AgentTask> {
    leave(name, why);
    return std::nullopt;
  };
  if (kept.record.id != name) return refused("its record names another task");
  TaskRecord& record_kept = kept.record;
  for (const KeptFile& file : record_kept.files) {
    if (std::optional<IoError> undeclared =
            undeclarable(workspace_, file.path, {directory_.get()})) {
      return refused(undeclared->message);
    }
  }
  std::vector<std::optional<std::string>> start_bytes;
  for (std::size_t i = 0; i < record_kept.files.size(); ++i) {
    if (!kept.starts[i]) {
      start_bytes.emplace_back();
      continue;
    }
    Result<std::string> bytes =
        read_start(directory.get(), record_kept.files[i], i, *kept.starts[i]);
    if (!bytes) {
      return refused("the start bytes of " + record_kept.files[i].path + " " +
                     bytes.error().message);
    }
    start_bytes.emplace_back(std::move(bytes).value());
  }
  Result<AgentTask> task = AgentTask::from_record(std::move(record_kept), std::move(kept.attempts),
                                                  std::move(start_bytes), settings);
  if (!task) return refused(task.error().message);
  // Start bytes only the files themselves still held are copied now, and the record is written
  // whole again without what the dead server was doing: the task is this server's from here on.
  KeptTask rewritten{kept.base, task.value().record(), task.value().attempts(),
                     {},        std::nullopt,          {}};
  for (std::size_t i = 0; i < kept.starts.size(); ++i) {
    std::optional<KeptStart>& start = kept.starts[i];
    if (start && !start->kept) {
      start->kept =
          write_start_file(directory.get(), std::to_string(i), *task.value().start_bytes(i),
                           start->digest, -1, directory_->sync())
              .ok();
    }
    rewritten.starts.push_back(std::move(start));
  }
  Result<Fd> record = write_record(directory.get(), rewritten, opened->modified);
  if (!record) return refused("its record cannot be written again: " + record.error().message);
  auto held = std::make_unique<Held>();
  held->record = std::move(record).value();
  held->directory = std::move(directory);
  held->size = task_record_bytes(rewritten).size();
  held->kept = std::move(rewritten.record);
  held->attempts = rewritten.attempts.size();
  held_.emplace(name, std::move(held));
  return std::move(task).value();
}

Result<std::string> TaskStore::read_start(int directory, const KeptFile& file, std::size_t index,
                                          const KeptStart& start) const {
  if (start.size > kLargestStart) {
    return unreadable("(" + std::to_string(start.size) +
                      ") are more than a task taken over holds in memory");
  }
  if (!start.kept) {
    // The server died before it copied them: the file itself may still hold them.
    Result<PriorState> now = read_prior_state(workspace_, file.path);
    if (!now || !now.value().bytes || now.value().bytes->size() != start.size ||
        content_digest(*now.value().bytes) != start.digest) {
      return unreadable("were not kept, and the file changed since");
    }
    return std::move(*now.value().bytes);
  }
  Fd kept(::openat(directory, std::to_string(index).c_str(),
                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (!kept || ::fstat(kept.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_size) != start.size) {
    return unreadable("do not match their digest");
  }
  Result<std::string> bytes = read_all(kept.get(), start.size);
  if (!bytes) return bytes.error();
  if (content_digest(bytes.value()) != start.digest) return unreadable("do not match their digest");
  return bytes;
}

}  // namespace quarry
