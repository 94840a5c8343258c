// Fingerprinting a large edit-set against hashing the same bytes with libcrypto directly: the
// fingerprint streams contents into the hash, so it should cost little more than the hash.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>

#include "agentic.h"

namespace {

constexpr std::size_t kContentBytes = std::size_t{16} << 20;

std::string make_content() {
  std::string content(kContentBytes, '\0');
  std::uint32_t state = 2463534242u;
  for (char& byte : content) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state);
  }
  return content;
}

const std::string& content() {
  static const std::string bytes = make_content();
  return bytes;
}

void BM_FingerprintOneFile(benchmark::State& state) {
  const quarry::EditSet set{{{"src/large.bin", content()}}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(set.fingerprint());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kContentBytes));
}
BENCHMARK(BM_FingerprintOneFile)->Unit(benchmark::kMillisecond);

void BM_RawSha256OneShot(benchmark::State& state) {
  const std::string& bytes = content();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_RawSha256OneShot)->Unit(benchmark::kMillisecond);

}  // namespace
