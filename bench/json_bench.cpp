// The JSON text costs that scale with a request's size: parsing a propose line that carries a
// 16 MiB file in place, and writing a reply whose text block carries an 8 KB verifier output.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "envelopes.h"
#include "json_text.h"
#include "sample_text.h"

namespace {

constexpr std::size_t kPadding = 64;

// The propose line as a client writes it, followed by the readable padding the server keeps
// behind every line.
std::string make_padded_propose_line() {
  std::string line =
      R"({"jsonrpc":"2.0","id":17,"method":"tools/call","params":{"name":"task_propose",)"
      R"("arguments":{"task_id":"task-18c2f0a1b2c3d4e5-0","edits":[{"path":"src/large.txt",)"
      R"("content":)";
  quarry::append_json_string(line, make_text(std::size_t{16} << 20, 2463534242u));
  line += "}]}}}";
  line.append(kPadding, '\0');
  return line;
}

void BM_ParseProposeLine16MiB(benchmark::State& state) {
  const std::string padded = make_padded_propose_line();
  const std::string_view line(padded.data(), padded.size() - kPadding);
  for (auto _ : state) {
    auto parsed = quarry::parse_json(line, kPadding);
    if (!std::holds_alternative<quarry::Json>(parsed)) {
      state.SkipWithError("the propose line did not parse");
      break;
    }
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_ParseProposeLine16MiB)->Unit(benchmark::kMillisecond);

// A failed proposal's outcome with a verifier output at the 8000-byte bound, under each revision
// (0: the text block alone; 2: structuredContent too; 4: and the stateless era's members).
void BM_WriteToolResult8KB(benchmark::State& state) {
  const auto revision = static_cast<quarry::Revision>(state.range(0));
  const quarry::Json id = 42;
  const quarry::Json outcome = {
      {"attempt", 3},
      {"fingerprint", std::string(64, 'a')},
      {"output", make_text(8000, 88172645u)},
      {"passed", false},
  };
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string reply = quarry::tool_result(id, outcome, revision);
    bytes += reply.size();
    benchmark::DoNotOptimize(reply.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_WriteToolResult8KB)->Arg(0)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace
