// Reading a 200 KB verifier output for failures and counts, as every verifier run does: build
// progress, passing tests (some lines coloured), then pytest's failure and summary and a compiler
// error on stderr.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "runner_report.h"

namespace {

std::string make_output() {
  std::string output;
  for (int i = 0; output.size() < 200'000; ++i) {
    const std::string n = std::to_string(i);
    output +=
        "[" + n + "/4000] Building CXX object src/CMakeFiles/engine.dir/module_" + n + ".cpp.o\n";
    output += "tests/test_b.py::test_case_" + n + " PASSED\n";
    output += "  \x1b[32m\xe2\x9c\x93\x1b[39m handles case " + n + "\x1b[2m (3 ms)\x1b[22m\n";
  }
  output +=
      "FAILED tests/test_a.py::test_x - AssertionError\n"
      "=================== 1 failed, 999 passed in 3.21s ===================\n"
      "\n--- stderr ---\nsrc/native.c:3:5: error: expected ';' before 'return'\n";
  return output;
}

void BM_RecogniseRunnerOutput(benchmark::State& state) {
  const std::string output = make_output();
  for (auto _ : state) {
    benchmark::DoNotOptimize(quarry::recognise_runner_output(output));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(output.size()));
}
BENCHMARK(BM_RecogniseRunnerOutput)->Unit(benchmark::kMicrosecond);

}  // namespace
