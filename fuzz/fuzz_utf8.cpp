// Lossy UTF-8 decoding and truncation of arbitrary bytes. simdjson's validator is the
// independent judge of validity.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "text.h"

namespace {

constexpr std::size_t kOutputLimit = 8000;
constexpr std::string_view kMarker = "\n...[truncated]";

bool valid_by_simdjson(std::string_view bytes) {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

std::string ascii_bytes(std::string_view bytes) {
  std::string ascii;
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) < 0x80) ascii.push_back(c);
  }
  return ascii;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void check_truncation(const std::string& text, std::size_t limit, bool text_is_valid) {
  const std::string cut = quarry::truncate_utf8(text, limit, kMarker);
  if (text.size() <= limit) {
    FUZZ_CHECK(cut == text);
    return;
  }
  FUZZ_CHECK(cut.size() <= limit + kMarker.size());
  FUZZ_CHECK(std::string_view(cut).ends_with(kMarker));
  const std::string_view kept = std::string_view(cut).substr(0, cut.size() - kMarker.size());
  FUZZ_CHECK(std::string_view(text).starts_with(kept));
  // The cut never lands inside a character.
  FUZZ_CHECK(kept.empty() || !is_continuation(text[kept.size()]));
  if (text_is_valid) {
    FUZZ_CHECK(quarry::is_valid_utf8(cut));
    // Stepping back to a boundary never passes more than the tail of one character.
    FUZZ_CHECK(kept.size() + 3 >= limit);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const bool valid = quarry::is_valid_utf8(bytes);
  FUZZ_CHECK(valid == valid_by_simdjson(bytes));

  const std::string text = quarry::utf8_lossy(bytes);
  FUZZ_CHECK(quarry::is_valid_utf8(text));
  FUZZ_CHECK(valid_by_simdjson(text));
  FUZZ_CHECK(text.size() >= bytes.size());
  if (valid) FUZZ_CHECK(text == bytes);
  // An ASCII byte never belongs to an invalid sequence, and U+FFFD holds none.
  FUZZ_CHECK(ascii_bytes(text) == ascii_bytes(bytes));

  check_truncation(text, kOutputLimit, true);
  check_truncation(bytes, kOutputLimit, valid);
  // Short limits reach the boundary cases without inputs of 8000 bytes.
  const std::size_t short_limit = size > 0 ? data[0] % 32 : 0;
  check_truncation(text, short_limit, true);
  check_truncation(bytes, short_limit, valid);
  return 0;
}
