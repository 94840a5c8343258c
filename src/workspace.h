// Where task paths lead: path identity and order, confinement beneath a root, the identity of
// the file a path reaches, prior states, and the file operations every write goes through.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io_error.h"
#include "process.h"

namespace quarry {

// Path identity: components split at "/", a leading "." kept, other "." and empty components
// dropped, ".." kept, a leading "/" as the root component. Nothing touches the file system.
struct PathKey {
  std::vector<std::string> components;  // "/" stands for the root

  static PathKey of(std::string_view path);
  bool operator==(const PathKey&) const = default;
};
// Component-wise order: root, then ".", then "..", then names by unsigned bytes; a prefix first.
bool operator<(const PathKey& a, const PathKey& b);

struct PathKeyHash {
  std::size_t operator()(const PathKey& key) const;
};

// Which file a path leads to.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A path's state before a change: the file it led to, or absent.
struct PriorState {
  std::optional<std::string> bytes;  // nullopt: no file there
  std::uint32_t mode = 0666;         // permission bits, given back with the bytes
  bool through_link = false;         // the path was a symbolic link: putting back follows it
  std::optional<FileIdentity> identity;
};

// Where task paths lead. Unconfined, a path is used as written, relative to the base directory
// (the working directory). Confined, it must stay beneath the root, through symbolic links too:
// every open resolves with openat2(RESOLVE_BENEATH), so a link planted later cannot lead out.
class Workspace {
 public:
  static Workspace unconfined();
  // Confined beneath `root`; an absolute path inside it is taken relative to it.
  static Result<Workspace> confined(const std::string& root);

  bool is_confined() const { return confined_; }
  // The absolute directory that relative paths start from.
  const std::string& base_path() const { return base_path_; }
  // InvalidInput "path escapes the root: {path}" when a confined path leads outside, by its
  // spelling or through a symbolic link that exists now. Paths through missing directories are
  // checked again at every open.
  Status check_inside(const std::string& path) const;
  // Where `path` leads, relative to the root: symbolic links of the part that exists resolved,
  // the rest taken by its spelling. Only for a confined workspace.
  Result<std::string> resolved_location(const std::string& path) const;
  // The same as an absolute path, for a workspace of either kind.
  Result<std::string> absolute_location(const std::string& path) const;

  Result<Fd> open(const std::string& path, int flags, std::uint32_t mode = 0) const;
  Result<FileIdentity> identity(const std::string& path, bool follow_links) const;
  bool is_symbolic_link(const std::string& path) const;
  // Root-relative patterns of files no task may declare and recovery never writes: "*", "?" and
  // "[...]" within one component, "**" as a whole component for any number of them.
  void protect(std::vector<std::string> patterns) { protected_ = std::move(patterns); }
  const std::vector<std::string>& protected_patterns() const { return protected_; }
  // Whether a protected pattern matches where `path` leads (confined workspaces only).
  bool is_protected(const std::string& path) const;

  Status make_directory(const std::string& path) const;
  Status unlink(const std::string& path) const;
  Status remove_directory(const std::string& path) const;  // an empty one
  // The path of the file a symbolic link leads to, usable with this workspace.
  Result<std::string> link_target(const std::string& path) const;

 private:
  Workspace() = default;
  int base() const { return base_ ? base_.get() : AT_FDCWD; }
  Result<struct stat> status(const std::string& path, bool follow_links) const;
  // Where `path` leads as absolute components, "/" first.
  Result<std::vector<std::string>> location(const std::string& path) const;
  // The path to hand to the *at calls: relative to the root when confined.
  Result<std::string> relative(const std::string& path) const;
  // Opens the directory holding `path` and gives the last component.
  Result<Fd> open_parent(const std::string& path, std::string& leaf) const;
  // `call` on the directory holding `path` and its last component; unconfined, on the working
  // directory and the whole path, so that it costs one system call.
  Status at_parent(const std::string& path, int (*call)(int, const char*)) const;

  Fd base_;  // not open: the working directory
  std::string base_path_;
  bool confined_ = false;
  std::vector<std::string> root_spellings_;  // absolute forms of the root, for absolute paths
  std::vector<std::string> protected_;
};

// Whether `pattern` (see Workspace::protect) matches the root-relative path `components`.
bool matches_pattern(const std::vector<std::string>& pattern,
                     const std::vector<std::string>& components);

// File operations on client paths through a workspace. A path holding a NUL byte fails with
// InvalidInput. Nothing ever blocks on a FIFO or reads a device: a path that exists and is
// neither a regular file nor a directory fails with "not a regular file: {path}".
Result<PriorState> read_prior_state(const Workspace& workspace, const std::string& path);
// The content digest of the file `path` leads to, read in pieces so that no copy of a large file
// is made; nothing when there is no file. Fails as read_prior_state does.
Result<std::optional<std::string>> read_content_digest(const Workspace& workspace,
                                                       const std::string& path);
// Told the identity of a file as soon as it is open, before any byte is written to it, so that a
// write failing part-way, or a process dying during it, still names it; an error ends the write.
using OpenedFile = std::function<Status(const FileIdentity&)>;
// Creates the file or writes over it, leaving exactly `bytes`.
Status write_whole_file(const Workspace& workspace, const std::string& path, std::string_view bytes,
                        const OpenedFile& opened = nullptr);
// Makes the missing directories of `path`, adding each one made, shallowest first, to `made`.
// Every byte of the file open as `from` into the empty file open as `to`: a reflink (FICLONE)
// where the file system shares blocks, else a copy in the kernel, else through memory.
Status copy_file_contents(int from, int to);

Status create_parent_directories(const Workspace& workspace, const std::string& path,
                                 std::vector<std::string>* made = nullptr);
// Puts `prior` back at `path`. Bytes are written back in place with the prior mode (a file that
// is gone is recreated, its directory too; a link planted since is replaced, not followed). An
// absent prior removes the file only when it is `created`, the file this task or transaction
// made there: a file that existed before, or one a link planted since leads to, is left alone.
// `opened` is told the file written, as by write_whole_file.
Status put_back(const Workspace& workspace, const std::string& path, const PriorState& prior,
                const std::optional<FileIdentity>& created, const OpenedFile& opened = nullptr);

}  // namespace quarry
