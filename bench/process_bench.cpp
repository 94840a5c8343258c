// Spawning and reaping `sh -c true` through quarry::run against fork + execvp + waitpid, with
// a small heap and with 1 GiB of touched heap. fork copies the page tables of the whole heap, so
// its cost grows with the parent's memory; posix_spawn's does not.
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include <benchmark/benchmark.h>

#include "process.h"

namespace {

// Resident memory of the given size in MiB, mapped and written once so every page is present.
void hold_heap(std::size_t mebibytes) {
  static std::unique_ptr<char[]> heap;
  static std::size_t held = 0;
  if (held == mebibytes) return;
  heap.reset();
  held = mebibytes;
  if (mebibytes == 0) return;
  heap.reset(new char[mebibytes << 20]);
  std::memset(heap.get(), 1, mebibytes << 20);
  benchmark::DoNotOptimize(heap.get());
}

void BM_QuarryRun(benchmark::State& state) {
  hold_heap(static_cast<std::size_t>(state.range(0)));
  const quarry::Command command{"sh", {"-c", "true"}};
  for (auto _ : state) {
    quarry::Result<quarry::RunResult> ran = quarry::run(command);
    if (!ran.ok() || !ran.value().status.success()) {
      state.SkipWithError("sh -c true failed");
      break;
    }
  }
}

void BM_ForkExec(benchmark::State& state) {
  hold_heap(static_cast<std::size_t>(state.range(0)));
  char sh[] = "sh";
  char dash_c[] = "-c";
  char script[] = "true";
  char* argv[] = {sh, dash_c, script, nullptr};
  for (auto _ : state) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execvp(argv[0], argv);
      ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || status != 0) {
      state.SkipWithError("fork + exec of sh -c true failed");
      break;
    }
  }
}

BENCHMARK(BM_QuarryRun)->ArgName("heap_mib")->Arg(0)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ForkExec)->ArgName("heap_mib")->Arg(0)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace
