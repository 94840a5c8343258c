#include "sandbox.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace quarry {
namespace {

// Landlock's stable system-call interface, up to ABI 7. The system headers may predate the
// later members, so the values are spelled out here; the kernel never changes them.
constexpr unsigned kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;

constexpr std::uint64_t kFsWriteFile = 1ULL << 1;
constexpr std::uint64_t kFsRemoveDir = 1ULL << 4;
constexpr std::uint64_t kFsRemoveFile = 1ULL << 5;
constexpr std::uint64_t kFsMakeChar = 1ULL << 6;
constexpr std::uint64_t kFsMakeDir = 1ULL << 7;
constexpr std::uint64_t kFsMakeReg = 1ULL << 8;
constexpr std::uint64_t kFsMakeSock = 1ULL << 9;
constexpr std::uint64_t kFsMakeFifo = 1ULL << 10;
constexpr std::uint64_t kFsMakeBlock = 1ULL << 11;
constexpr std::uint64_t kFsMakeSym = 1ULL << 12;
constexpr std::uint64_t kFsRefer = 1ULL << 13;                 // ABI 2
constexpr std::uint64_t kFsTruncate = 1ULL << 14;              // ABI 3
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;               // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;            // ABI 4
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;              // ABI 6

// An older kernel takes the larger structure as long as the members it does not know are zero.
struct RulesetAttr {
  std::uint64_t handled_access_fs = 0;
  std::uint64_t handled_access_net = 0;  // ABI 4
  std::uint64_t scoped = 0;              // ABI 6
};

struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowed_access = 0;
  std::int32_t parent_fd = -1;
};

// Every right that changes the file system. Reading and executing are left unhandled, so they
// stay allowed everywhere.
std::uint64_t handled_writes(long abi) {
  std::uint64_t handled = kFsWriteFile | kFsRemoveDir | kFsRemoveFile | kFsMakeChar | kFsMakeDir |
                          kFsMakeReg | kFsMakeSock | kFsMakeFifo | kFsMakeBlock | kFsMakeSym;
  // Once handled, renames and links across directories are allowed where granted; unhandled
  // (ABI 1) they are always refused.
  if (abi >= 2) handled |= kFsRefer;
  if (abi >= 3) handled |= kFsTruncate;
  return handled;
}

std::string unavailable(int error) {
  std::string reason;
  switch (error) {
    case ENOSYS:
      reason = "ENOSYS: no Landlock in this kernel, or a seccomp filter refuses it";
      break;
    case EOPNOTSUPP:
      reason = "EOPNOTSUPP: Landlock is disabled in this kernel (see its lsm= boot parameter)";
      break;
    case EPERM:
      reason = "EPERM: a seccomp filter refuses it";
      break;
    default:
      reason = "landlock: " + os_error(error).message;
  }
  return "unavailable (" + reason + ")";
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The user's cache directory as the XDG base directory rules name it; empty when unknown.
std::string cache_directory() {
  const std::string configured = environment("XDG_CACHE_HOME");
  if (configured.starts_with('/')) return configured;
  const std::string home = environment("HOME");
  return home.empty() ? "" : home + "/.cache";
}

std::string real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? real.get() : path;
}

bool beneath(const std::string& path, const std::string& directory) {
  return directory == "/" || path == directory ||
         (path.starts_with(directory) && path[directory.size()] == '/');
}

// Grants `path` the handled rights that fit it (a file takes no directory rights). False when
// there is no such path, an error when the kernel refuses the rule.
Result<bool> grant(int ruleset, const std::string& path, std::uint64_t handled) {
  Fd target(::open(path.c_str(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (!target || ::fstat(target.get(), &st) != 0) return false;
  PathBeneathAttr rule;
  rule.allowed_access = S_ISDIR(st.st_mode) ? handled : handled & (kFsWriteFile | kFsTruncate);
  rule.parent_fd = target.get();
  if (::syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0) != 0) {
    return os_error(errno);
  }
  return true;
}

}  // namespace

Sandbox Sandbox::build(const SandboxRequest& request) {
  Sandbox sandbox;
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
  if (abi < 0) {
    sandbox.report_ = unavailable(errno);
    return sandbox;
  }
  RulesetAttr attr;
  attr.handled_access_fs = handled_writes(abi);
  if (abi >= 4 && !request.network) attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
  if (abi >= 6) attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
  Fd ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
  if (!ruleset) {
    sandbox.report_ = unavailable(errno);
    return sandbox;
  }

  const auto refused = [&sandbox](const IoError& error) {
    sandbox.writable_.clear();
    sandbox.report_ = "unavailable (landlock: " + error.message + ")";
    return std::move(sandbox);
  };
  // Shells and test runners write to these whatever they do; they hold no one's files.
  for (const char* device : {"/dev/null", "/dev/tty", "/dev/ptmx", "/dev/pts"}) {
    Result<bool> granted = grant(ruleset.get(), device, attr.handled_access_fs);
    if (!granted) return refused(granted.error());
  }
  const std::string temporary = environment("TMPDIR");
  std::vector<std::string> listed = {request.root, temporary.empty() ? "/tmp" : temporary,
                                     cache_directory(), "/dev/shm"};
  listed.insert(listed.end(), request.writable.begin(), request.writable.end());
  for (const std::string& path : listed) {
    Result<bool> granted = grant(ruleset.get(), path, attr.handled_access_fs);
    if (!granted) return refused(granted.error());
    const std::string real = real_path(path);
    std::vector<std::string>& shown = sandbox.writable_;
    if (granted.value() && std::find(shown.begin(), shown.end(), real) == shown.end()) {
      shown.push_back(real);
    }
  }
  sandbox.ruleset_ = std::move(ruleset);

  std::string report = "landlock ABI " + std::to_string(abi) + " (writable: ";
  for (std::size_t i = 0; i < sandbox.writable_.size(); ++i) {
    report += (i == 0 ? "" : ", ") + sandbox.writable_[i];
  }
  report += request.network ? "; network on" : abi >= 4 ? "; network off" : "; network open";
  if (abi < 6) report += "; signals open";
  // The user's files are what the confinement is for; a root that holds them all guards nothing.
  const std::string home = environment("HOME");
  for (const std::string& everything : {std::string("/"), real_path(home)}) {
    if (everything.empty() || !sandbox.leaves_writable(everything)) continue;
    report +=
        "; nothing useful is confined: " + everything + " is writable (give --root the project)";
    break;
  }
  sandbox.report_ = report + ")";
  return sandbox;
}

Sandbox Sandbox::off() {
  Sandbox sandbox;
  sandbox.report_ = "off (--no-sandbox)";
  return sandbox;
}

bool Sandbox::leaves_writable(const std::string& path) const {
  if (!confines()) return true;
  std::error_code error;
  const std::string real = std::filesystem::weakly_canonical(path, error).string();
  const std::string& resolved = error ? path : real;
  return std::any_of(writable_.begin(), writable_.end(), [&resolved](const std::string& directory) {
    return beneath(resolved, directory);
  });
}

// Runs in a child sharing the server's memory, on a stack of its own: nothing here may allocate
// or be instrumented.
__attribute__((no_sanitize("address"))) int Sandbox::restrict_child() const noexcept {
  if (!ruleset_) return 0;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (::syscall(SYS_landlock_restrict_self, ruleset_.get(), 0) != 0) return errno;
  return 0;
}

}  // namespace quarry
