// The confinement of every child: a Landlock domain, built once in the server, that may read and
// execute everything but write only beneath the project root, the temporary and cache
// directories, the directories the operator adds, /dev/null and the terminals; that may neither
// bind nor connect TCP sockets unless allowed; and that can signal no process outside itself.
#pragma once

#include <string>
#include <vector>

#include "process.h"

namespace quarry {

// What the operator leaves open to the children.
struct SandboxRequest {
  std::string root;                   // the project root, absolute
  std::vector<std::string> writable;  // further directories (or files), absolute
  bool network = false;               // TCP bind and connect allowed
};

class Sandbox {
 public:
  // Probes Landlock and builds the ruleset for `request` plus $TMPDIR (else /tmp),
  // $XDG_CACHE_HOME (else ~/.cache) and /dev/shm; a path that does not exist is left out. Never
  // fails: without Landlock the sandbox confines nothing and its report gives the reason.
  static Sandbox build(const SandboxRequest& request);
  // Confinement turned off by the operator.
  static Sandbox off();

  // Whether children are confined.
  bool confines() const { return static_cast<bool>(ruleset_); }
  // "landlock ABI N (writable: DIR, ...; network off)", "unavailable (REASON)" or
  // "off (--no-sandbox)".
  const std::string& report() const { return report_; }
  // Whether a confined child may write at `path`, which need not exist yet: true beneath a
  // writable directory, and everywhere when nothing is confined.
  bool leaves_writable(const std::string& path) const;

  // For the child between fork and exec, async-signal-safe: sets no_new_privs and enters the
  // domain. Returns 0 (at once when nothing is confined) or the errno of the step that failed.
  int restrict_child() const noexcept;

 private:
  Sandbox() = default;

  Fd ruleset_;
  std::vector<std::string> writable_;  // the real paths granted, in the report's order
  std::string report_;
};

}  // namespace quarry
