// The one assertion of the fuzz targets: a failed property aborts, so libFuzzer keeps the input
// and the report names the condition.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace quarry::fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace quarry::fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::quarry::fuzz::fail(#condition, __FILE__, __LINE__))
