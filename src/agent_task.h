// Tasks: the verifier run, AgentTask's lifecycle and the TaskRegistry.
#pragma once

#include <string>

#include "process.h"

namespace quarry {

// The verdict of one verifier run.
struct Verdict {
  bool passed = false;
  std::string output;  // stdout, then "\n--- stderr ---\n" and stderr; at most 8000 bytes + marker
  bool interrupted = false;  // the run was abandoned through hooks.interrupt_fd
};

// Runs `sh -c verify_cmd` once, in its own process group, without a time limit. Never fails:
// a verifier that cannot be run is a failed verdict saying why.
Verdict run_verifier(const std::string& verify_cmd, const RunHooks& hooks = {});

}  // namespace quarry
