// The undo journal. Before a transaction's first write, the prior state of every path it will
// touch goes to one file in the journal directory; deleting that file is the commit. Before any
// child is started, the token it will carry goes there too. A journal whose owner died is hot:
// the next server started for the project stops its children and puts its files back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io_error.h"
#include "journal_directory.h"
#include "process.h"
#include "workspace.h"

namespace quarry {

// Integers little-endian, as journals and task records lay them out.
template <typename Integer>
void put_le(std::string& out, Integer value) {
  for (std::size_t i = 0; i < sizeof(Integer); ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}
// `bytes` holds at least sizeof(Integer) bytes.
template <typename Integer>
Integer get_le(std::string_view bytes) {
  Integer value = 0;
  for (std::size_t i = 0; i < sizeof(Integer); ++i) {
    value |= static_cast<Integer>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return value;
}

// One path a transaction touches and how to put it back.
struct TouchedPath {
  std::string path;  // first spelling written
  PriorState prior;
  std::string written_digest;           // content_digest of the bytes the set leaves there
  std::optional<FileIdentity> created;  // the file the set created there, when it was absent
  bool put_back = false;
  bool rollback_failed = false;
  bool putting_back = false;  // the server began putting it back: it goes back whatever it holds
};

// One journal file, held under an exclusive flock for as long as it exists.
class Journal {
 public:
  // Writes the prior state of `touched` (none for a journal that only names children) and the
  // trailer that marks the journal complete. Fails with "cannot write the undo journal: {error}".
  static Result<Journal> write(JournalDirectory& directory, const Workspace& workspace,
                               const std::vector<TouchedPath>& touched);
  Journal(Journal&&) noexcept = default;
  Journal& operator=(Journal&&) noexcept = default;
  // Closing releases the lock: a journal not removed stays, hot once the process is gone.
  ~Journal() = default;

  // Before each file write, and once all are done: a path written when the process died may
  // hold part of its new bytes, and recovery puts it back whatever it holds.
  Status mark_writing(std::size_t index);
  // Once touched[index], absent before, is created: recovery removes that file and no other.
  Status mark_created(std::size_t index, const FileIdentity& created);
  Status mark_all_written();
  // Records that the rollback of touched[index] failed, so that recovery puts it back
  // whatever the file holds.
  Status mark_failed(std::size_t index);
  // Before the server itself first writes touched[index] back (a rollback, a restore): killed
  // part-way, that file goes back whatever it holds, with nothing of it kept.
  Status mark_putting_back(std::size_t index);
  // Once touched[index] is back: recovery then treats it as any other path.
  Status mark_put_back(std::size_t index);
  // Before a child carrying `token` (new_run_token) is started: recovery stops every process
  // that carries it before it puts anything back.
  Status mark_run(const std::string& token);
  // After the commit or a completed rollback.
  Status remove();
  bool sync() const { return sync_; }

 private:
  Journal() = default;
  // Creates and locks a new file in the directory.
  Status create();
  Status write_contents(const Workspace& workspace, const std::vector<TouchedPath>& touched);
  Status mark(char kind, std::optional<std::size_t> index, std::string_view payload = {});
  // With --sync, on the device before the write it announces.
  Status mark_durably(char kind, std::size_t index, std::string_view payload = {});

  Fd file_;
  bool sync_ = false;
  int directory_fd_ = -1;
  std::string name_;
};

// A journal that only names the children of runs that change no file (a baseline, the mutation
// tools), written on the first run it announces and removed with it.
class RunJournal {
 public:
  RunJournal(JournalDirectory* directory, const Workspace& workspace)
      : directory_(directory), workspace_(workspace) {}
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // RunHooks::announce for runs that carry `token`; nothing is written without a directory.
  Status announce(const std::string& token);

 private:
  JournalDirectory* directory_;
  const Workspace& workspace_;
  std::optional<Journal> journal_;
};

// One path as a journal file records it; its prior bytes stay in the file until put back.
struct RecordedPath {
  std::string path;
  bool prior_present = false;
  std::uint32_t mode = 0666;
  bool through_link = false;
  std::uint64_t prior_offset = 0;  // where the prior bytes are in the journal file
  std::uint64_t prior_length = 0;
  std::string written_digest;
  std::optional<FileIdentity> created;
  // Recovery puts it back whatever it holds: its rollback failed, or the server died while
  // writing it.
  bool rollback_failed = false;
  bool putting_back = false;  // the server began putting it back and had not finished
};

// What a journal file holds, read back without touching any file: its bytes may be anyone's.
struct JournalContents {
  std::uint32_t version = 0;  // 0: the file is not a journal
  bool complete = false;      // every prior state is there; only then may anything be put back
  bool confined = false;
  std::string base;  // the directory its server's paths were relative to
  std::vector<RecordedPath> paths;
  std::vector<std::string> run_tokens;  // the children started on these files, distinct
  bool given_up = false;  // a recovery found children it could not stop, and left the journal
};

// Reads the journal open as `fd` in pieces, holding no prior bytes: memory stays bounded however
// large the file claims to be. An error is a file that cannot be handled: too many records, a
// record too large, a read that failed.
Result<JournalContents> read_journal(int fd);
// Whether this server can act on a journal of `version`.
bool is_readable_version(std::uint32_t version);
// The prior bytes of `path`, read from the journal open as `fd`; InvalidInput when they are
// larger than recovery holds in memory.
Result<std::string> read_prior_bytes(int fd, const RecordedPath& path);
// Appends to the journal open as `fd`, as recovery does, so that a recovery killed part-way can
// be run again: a put-back begun and done, and that its children could not be stopped.
Status append_putting_back(int fd, std::size_t index);
Status append_put_back(int fd, std::size_t index);
Status append_given_up(int fd);

// The names in the journal directory open as `directory_fd` that a journal may have, sorted.
std::vector<std::string> journal_names(int directory_fd);
// The journal `name`, locked, when it is one of ours and its server is gone. A shared journal
// directory may hold anyone's files: only a regular file beginning with the magic line is taken,
// or an empty one with a journal's name (a server killed before its first write left it).
std::optional<Fd> open_hot_journal(int directory_fd, const std::string& name);

}  // namespace quarry
