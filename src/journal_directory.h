// Where journals live: the project's state directory (or one the operator names), the copies
// kept there, and the claims that keep two servers on one project from taking each other's
// unjudged bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "io_error.h"
#include "process.h"
#include "workspace.h"

namespace quarry {

// The project's own state directory, where its journals, saved and recovered copies live unless
// --journal-dir says otherwise: $XDG_STATE_HOME/quarry-agent-task/{key} (else
// ~/.local/state/...), {key} a readable form of `project_root` (a real path) and a short hash of
// it, so that two projects never share one and the operator can tell which is whose.
Result<std::string> project_state_directory(const std::string& project_root);

class JournalDirectory;

// What a claim on files is for: reading them as a task's start state, or changing them.
enum class ClaimKind { Reading, Changing };

// Files claimed against every other server using one journal directory, given up on destruction.
class FileClaim {
 public:
  FileClaim() = default;
  FileClaim(FileClaim&& other) noexcept;
  FileClaim& operator=(FileClaim&& other) noexcept;
  FileClaim(const FileClaim&) = delete;
  FileClaim& operator=(const FileClaim&) = delete;
  ~FileClaim();

 private:
  friend class JournalDirectory;
  JournalDirectory* directory_ = nullptr;
  ClaimKind kind_ = ClaimKind::Reading;
  std::vector<std::uint64_t> keys_;  // what was claimed
};

// Where journals live. Every server using the directory holds a shared lock on it, so that none
// removes it under another.
class JournalDirectory {
 public:
  enum class Kind {
    State,   // the project's state directory: made with its parents (mode 0700), never removed
    Given,   // --journal-dir: made when missing
    Legacy,  // .quarry-agent-task/ in the project, from before the state directory: only read
  };
  // With `sync`, journals and the directory reach the device before the first write of their
  // transaction, each write mark before its write, and written files and the commit at commit.
  // Paths are opened through `where` (beneath the root for the legacy directory of a confined
  // server, so that a link out of it is never followed).
  JournalDirectory(std::string path, Kind kind, bool sync, Workspace where);

  // The directory as the operator reads it in replies and messages: absolute.
  const std::string& path() const { return path_; }
  bool sync() const { return sync_; }
  // At start: the directory is made when missing (the legacy one is only checked). Its error is
  // the reason the server cannot keep journals there.
  Status prepare();
  // The directory's descriptor; makes the directory (and a .gitignore of "*") when missing, again
  // when it was removed since.
  Result<int> open();
  // The directory's descriptor when it exists, without making it.
  Result<int> open_existing();
  // Keeps a copy of `bytes` at `path` beneath the directory's `area` (its root dropped, ".."
  // spelled %2E%2E), never over an earlier copy nor through a link; where it was kept.
  Result<std::string> keep_copy(const std::vector<std::string>& area, const std::string& path,
                                std::string_view bytes);
  // Whether `path` of `workspace` leads into the directory, by where both resolve.
  bool holds(const Workspace& workspace, const std::string& path) const;
  // Removes the directory when it holds nothing but its .gitignore and no other server uses it.
  void remove_if_unused();

  // Claims the files `paths` of `workspace` lead to, against every other server using the
  // directory: while one changes a file (a proposal, a restore, recovery), no other takes its
  // bytes as a start or prior state, nor changes it. A file another holds is waited for a
  // moment, then refused: InvalidInput "{path} is being changed by another task; try again when
  // it ends". Claims of one server never conflict with each other.
  Result<FileClaim> claim(const Workspace& workspace, const std::vector<std::string>& paths,
                          ClaimKind kind);

 private:
  friend class FileClaim;
  // Locks or unlocks the byte `key` of the claims file; false when another server holds it.
  bool lock_key(std::uint64_t key, short type);
  void release(const FileClaim& claim);
  // Opens the directory by its path; with `create`, makes it first when missing.
  Result<int> open_by_path(bool create);

  std::string path_;
  Kind kind_;
  bool sync_;
  Workspace where_;
  Fd fd_;
  bool ignored_ = false;  // the .gitignore of the open directory is in place
  // Byte-range locks of open file descriptions (F_OFD_SETLK), one byte per claimed file, on a
  // file of the directory that every server opens once: locks of one server never conflict.
  Fd claims_;
  std::map<std::uint64_t, std::size_t> changing_;  // keys this server claims for changing
};

}  // namespace quarry
