// The enforcing mutation gate inside every task start.
#pragma once

#include <optional>
#include <string>

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

}  // namespace quarry
