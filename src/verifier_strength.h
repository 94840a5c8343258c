// The advisory mutation-score check of the direct task_start method, and the tool runner it
// shares with the mutation gate.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "process.h"

namespace quarry {

// A warning text when an external mutation tool measures the verifier below 70 %; nothing
// otherwise. Never fails. Blocks while the tools run (up to 120 s each).
std::optional<std::string> check_verifier_strength(const std::string& verify_cmd,
                                                   const RunHooks& hooks = {});

// Runs a mutation tool in its own process group, so that a time limit or an interruption also
// reaches the test runs it starts, keeping the last megabyte of each output stream. The run
// only when it exited with code 0 within `time_limit` and was not interrupted; nothing when it
// could not be started.
std::optional<RunResult> run_tool_to_success(Command command, std::chrono::seconds time_limit,
                                             const RunHooks& hooks);

// Whether `name --version` can be started and exits with code 0 within 120 s.
bool tool_available(const std::string& name, const RunHooks& hooks = {});

// Runs `command` with both output streams captured for at most 120 s. The text of a run that
// exits with code 0: standard output, then standard error, a stream not valid UTF-8 left out.
std::optional<std::string> run_with_timeout(const Command& command, const RunHooks& hooks = {});

// The mutation score in percent found in a tool's report: the first `N%` (0..100) on a line
// mentioning mutation, score or killed, else the first `a/b` ratio on a line mentioning killed.
std::optional<double> parse_score(std::string_view text);

}  // namespace quarry
