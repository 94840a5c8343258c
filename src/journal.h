// The undo journal. Before a transaction's first write, the prior state of every path it will
// touch goes to one file in the journal directory; deleting that file is the commit. A journal
// whose owner died is hot: the next server started there puts its files back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io_error.h"
#include "process.h"
#include "workspace.h"

namespace quarry {

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

// A verifier's process group, and the start time of its leader (process_status).
struct VerifierGroup {
  int id = 0;
  std::uint64_t leader_start = 0;
};

// Where journals live, created when first needed with a .gitignore of "*". Every server using
// the directory holds a shared lock on it, so that none removes it under another.
class JournalDirectory {
 public:
  // Nothing for `path`: .quarry-agent-task/ in the base directory of `where` (beneath the root,
  // never through a link out of it, when confined), which remove_if_unused takes away again.
  // With `sync`, journals and the directory reach the device before the first write of their
  // transaction, each write mark before its write, and written files and the commit at commit.
  JournalDirectory(std::optional<std::string> path, bool sync, Workspace where);

  const std::string& path() const { return path_; }
  bool sync() const { return sync_; }
  // At start: a given directory is created when missing; the default one is only checked. Its
  // error is the reason the server cannot keep journals there.
  Status prepare();
  // The directory's descriptor; creates the directory and its .gitignore when missing, again
  // when it was removed since (by `git clean -X`, say).
  Result<int> open();
  // The directory's descriptor when it exists, without creating it.
  Result<int> open_existing();
  // Keeps a copy of `bytes` at `path` beneath the directory's `area` (its root dropped, ".."
  // spelled %2E%2E), never over an earlier copy nor through a link; where it was kept.
  Result<std::string> keep_copy(const std::vector<std::string>& area, const std::string& path,
                                std::string_view bytes);
  // Whether `path` of `workspace` leads into the directory, by where both resolve.
  bool holds(const Workspace& workspace, const std::string& path) const;
  // At a clean exit: removes the default directory when it holds nothing but its .gitignore and
  // no other server uses it.
  void remove_if_unused();

 private:
  // Opens the directory by its path; with `create`, makes it first when missing.
  Result<int> open_by_path(bool create);

  std::string path_;
  bool is_default_;
  bool sync_;
  Workspace where_;
  Fd fd_;
  bool ignored_ = false;  // the .gitignore of the open directory is in place
};

// One journal file, held under an exclusive flock for as long as it exists.
class Journal {
 public:
  // Writes the prior state of `touched` and the trailer that marks the journal complete. Fails
  // with "cannot write the undo journal: {error}".
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
  // Once the verifier is started: recovery kills its group before putting anything back.
  Status mark_verifier(const VerifierGroup& group);
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

// What a journal file holds, read back without touching any file: its bytes may be anyone's.
struct JournalContents {
  std::uint32_t version = 0;  // 0: the file is not a journal
  bool complete = false;      // every prior state is there; only then may anything be put back
  bool confined = false;
  std::string base;  // the directory its server's paths were relative to
  // rollback_failed is set for a path recovery puts back whatever it holds: its rollback failed,
  // or the server died while writing it.
  std::vector<TouchedPath> touched;
  std::optional<VerifierGroup> verifier;  // the last verifier started on these files
};
JournalContents read_journal(std::string_view bytes);
// Whether this server can act on a journal of `version`.
bool is_readable_version(std::uint32_t version);

// Puts back the files of every hot journal in `directory`, one line per path through `say`, once
// the verifier its server started, if still running, is killed. Each put-back is marked in the
// journal first, so that a recovery killed part-way can be run again.
// False when a file could not be put back or was left alone because it changed since.
// Only journals of `workspace`'s base directory are this server's; their paths are put back
// through `workspace`, and so beneath its root when confined.
bool recover_journals(JournalDirectory& directory, const Workspace& workspace,
                      const std::function<void(const std::string&)>& say);

}  // namespace quarry
