// The files a task may not touch, as a task found them: the confinement cannot keep the code
// under test from writing beneath the root, so what it did to them is found after every run
// and undone from copies kept in the state directory.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "io_error.h"
#include "journal.h"
#include "workspace.h"

namespace quarry {

// What lstat tells of a file, enough to know it untouched: a write, a chmod, a rename or a new
// file all change one of these (ctime cannot be set by a process).
struct FileStamp {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::uint32_t mode = 0;  // type and permission bits
  std::int64_t modified_ns = 0, changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp stamp_of(const struct stat& info);

// A copy of one protected file's bytes in the state directory, removed with the last task that
// holds it.
struct CopyFile {
  std::string at;  // absolute path
  CopyFile(std::string path) : at(std::move(path)) {}
  CopyFile(const CopyFile&) = delete;
  CopyFile& operator=(const CopyFile&) = delete;
  ~CopyFile();
};

struct ProtectedFile {
  FileStamp stamp;  // of the file as it stands with the copy's bytes
  std::shared_ptr<const CopyFile> copy;
};

// The protected files beneath a root when a task started, by root-relative path.
struct ProtectedSet {
  std::map<std::string, ProtectedFile> files;
};

// The copies one server keeps, in a directory of its own under the state directory's
// protected/, shared by its tasks while a file stays unchanged, so that a start copies only what
// changed since the last one. Directories of servers that are gone are removed.
class ProtectedCopies {
 public:
  explicit ProtectedCopies(std::shared_ptr<JournalDirectory> state) : state_(std::move(state)) {}
  ~ProtectedCopies();
  ProtectedCopies(const ProtectedCopies&) = delete;
  ProtectedCopies& operator=(const ProtectedCopies&) = delete;

  // Every regular file matching `workspace`'s protected patterns now, each with its copy
  // (reflinked where the file system allows).
  Result<ProtectedSet> snapshot(const Workspace& workspace);

 private:
  // This server's directory of copies, made (and the others swept) on first use.
  Result<int> directory();

  std::shared_ptr<JournalDirectory> state_;
  Fd directory_;  // locked for the server's life
  std::string directory_path_;
  std::map<std::string, std::pair<FileStamp, std::weak_ptr<const CopyFile>>> copies_;
  std::uint64_t next_copy_ = 0;
};

// Finds what changed among `set`'s files (written, created, removed, renamed, mode) and puts each
// back from its copy, removing what was created, journaled in `journal` when given, like any
// other put-back; the paths it found changed, sorted. `set` then stands for the files as put back.
Result<std::vector<std::string>> undo_protected_changes(const Workspace& workspace,
                                                        JournalDirectory* journal,
                                                        ProtectedSet& set);

}  // namespace quarry
