// The advisory mutation-score check of the direct task_start method.
#pragma once

#include <optional>
#include <string>

#include "process.h"

namespace quarry {

// A warning text when an external mutation tool measures the verifier below 70 %; nothing
// otherwise. Never fails.
std::optional<std::string> check_verifier_strength(const std::string& verify_cmd,
                                                   const RunHooks& hooks = {});

}  // namespace quarry
