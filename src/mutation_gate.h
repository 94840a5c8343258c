// The enforcing mutation gate inside every task start.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io_error.h"
#include "process.h"

namespace quarry {

struct MutationMeasurement {
  std::string tool;
  double score = 0;  // fraction of mutants killed
};

// The gate decision for a start. No minimum, or no measurement: an empty optional. A minimum
// outside 0.0..1.0 fails with InvalidInput; a measured score below it with PermissionDenied.
Result<std::optional<MutationMeasurement>> run_mutation_gate(
    std::optional<double> min_mutation_score, const std::string& verify_cmd,
    const RunHooks& hooks = {});

// Measures a pytest verifier with bitegauge; nothing for other verifiers or a missing tool. A
// failed measuring run or an unreadable report also gives nothing, with one line on stderr.
std::optional<MutationMeasurement> measure_verifier_strength(const std::string& verify_cmd,
                                                             const RunHooks& hooks = {});

// The standard output of `program args...` when it exits with code 0 within 300 s and is valid
// UTF-8; nothing otherwise. Its standard error is discarded.
std::optional<std::string> run_tool(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const RunHooks& hooks = {});

// The fraction of mutants killed read from a bitegauge summary (any case), from its first line
// that yields one; nothing when no line does.
std::optional<double> parse_summary_score(std::string_view summary);

// The number (digits and full stops) that follows the first occurrence of `word` in `line`.
std::optional<double> extract_number_after(std::string_view line, std::string_view word);

// The fraction written as a percentage (0..100) directly before the last percent sign of `line`.
std::optional<double> parse_percentage(std::string_view line);

}  // namespace quarry
