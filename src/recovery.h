// Recovery of the journals a server that died left behind: the processes its runs started are
// stopped, then every path is put back, or left with one line saying why. A journal is input
// anyone able to write into its directory may have crafted: recovery acts only on its own
// project, writes only paths a task could declare there, and waits a bounded time in all.
#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "journal.h"
#include "workspace.h"

namespace quarry {

// How long recovery waits, for every journal together, for the processes it stops to end.
inline constexpr std::chrono::milliseconds kRecoveryWaitLimit{1000};

// Why `path` of `workspace` is one no task may declare (outside the root, protected, in one of
// `reserved`), or nothing.
std::optional<IoError> undeclarable(const Workspace& workspace, const std::string& path,
                                    const std::vector<const JournalDirectory*>& reserved);

struct RecoveryOptions {
  // Journals of `workspace`'s base directory are this server's; their paths are put back
  // through it, and so beneath its root when confined.
  const Workspace* workspace = nullptr;
  // Where copies of bytes recovery keeps aside go (under recovered/).
  JournalDirectory* copies = nullptr;
  // Directories no path of a journal may lead into.
  std::vector<const JournalDirectory*> reserved;
  // Tries again the journals an earlier recovery gave up on (--recover); otherwise they cost
  // nothing but their line.
  bool retry_given_up = false;
  std::function<void(const std::string&)> say;
  // Given, receives the run tokens of every journal recovery put back: the verifiers whose
  // proposals it rolled back.
  std::set<std::string>* put_back_runs = nullptr;
};

// Stops the processes of every hot journal in `journals` and puts their files back, one line
// per path through `say`. Each put-back is marked in the journal first and once done, so that a
// recovery killed part-way can be run again. False when a file could not be put back or was
// left alone because it changed since, or a journal was left.
bool recover_journals(JournalDirectory& journals, const RecoveryOptions& options);

}  // namespace quarry
