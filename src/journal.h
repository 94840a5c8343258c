// The undo journal. Before a transaction's first write, the prior state of every path it will
// touch goes to one file in the journal directory; deleting that file is the commit. A journal
// whose owner died is hot: the next server started there puts its files back.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "io_error.h"
#include "process.h"
#include "workspace.h"

namespace quarry {

// One path a transaction touches and how to put it back.
struct TouchedPath {
  std::string path;  // first spelling written
  PriorState prior;
  std::string written_digest;           // SHA-256 of the bytes the set leaves there
  std::optional<FileIdentity> created;  // the file the set created there, when it was absent
  bool put_back = false;
  bool rollback_failed = false;
};

// Where journals live, created when first needed with a .gitignore of "*".
class JournalDirectory {
 public:
  // Nothing for `path`: .quarry-agent-task/ in the working directory, which remove_if_unused
  // takes away again. With `sync`, journals and the directory reach the device before the
  // first write of their transaction, and written files at commit.
  JournalDirectory(std::optional<std::string> path, bool sync);

  const std::string& path() const { return path_; }
  bool sync() const { return sync_; }
  // The directory's descriptor; creates the directory and its .gitignore when missing.
  Result<int> open();
  // The directory's descriptor when it exists, without creating it.
  std::optional<int> open_existing();
  // At a clean exit: removes the default directory when it holds nothing but its .gitignore.
  void remove_if_unused();

 private:
  std::string path_;
  bool is_default_;
  bool sync_;
  Fd fd_;
};

// One journal file, held under an exclusive flock for as long as it exists.
class Journal {
 public:
  // Writes the prior state of `touched` and the trailer that marks the journal complete.
  static Result<Journal> write(JournalDirectory& directory, const Workspace& workspace,
                               const std::vector<TouchedPath>& touched);
  Journal(Journal&&) noexcept = default;
  Journal& operator=(Journal&&) noexcept = default;
  // Closing releases the lock: a journal not removed stays, hot once the process is gone.
  ~Journal() = default;

  // Before each file write, and once all are done: a path written when the process died may
  // hold part of its new bytes, and recovery puts it back whatever it holds.
  Status mark_writing(std::size_t index);
  Status mark_all_written();
  // Records that the rollback of touched[index] failed, so that recovery puts it back
  // whatever the file holds.
  Status mark_failed(std::size_t index);
  // After the commit or a completed rollback.
  Status remove();
  bool sync() const { return sync_; }

 private:
  Journal() = default;
  Status mark(char kind, std::optional<std::size_t> index);

  Fd file_;
  bool sync_ = false;
  int directory_fd_ = -1;
  std::string name_;
};

// Puts back the files of every hot journal in `directory`, one line per path through `say`.
// False when a file could not be put back or was left alone because it changed since.
bool recover_journals(JournalDirectory& directory,
                      const std::function<void(const std::string&)>& say);

}  // namespace quarry
