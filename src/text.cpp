#include "text.h"

#include <cstdint>
#include <cstring>

namespace quarry {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The sequence starting at one byte: a whole valid character, or the maximal subpart of an
// invalid one (the longest prefix of some valid sequence, at least one byte).
struct Sequence {
  std::size_t length;
  bool valid;
};

// Well-formed sequences as the Unicode standard tabulates them: the lead byte fixes the length
// and the range of the second byte, which is what excludes overlong forms, surrogates and code
// points past U+10FFFF.
Sequence sequence_at(std::string_view bytes, std::size_t at) {
  const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    return {1, true};
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    low = 0xA0;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xED) high = 0x9F;
  } else if (lead == 0xF0) {
    length = 4;
    low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4;
    high = 0x8F;
  } else {
    return {1, false};
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (at + k >= bytes.size()) return {k, false};
    const unsigned char next = byte(at + k);
    if (next < low || next > high) return {k, false};
    low = 0x80;
    high = 0xBF;
  }
  return {length, true};
}

// The index of the first byte that does not begin a valid character, at or after `from`.
std::size_t valid_until(std::string_view bytes, std::size_t from) {
  std::size_t at = from;
  while (at < bytes.size()) {
    // Output is mostly ASCII; eight bytes with no high bit set can be skipped at once.
    while (at + 8 <= bytes.size()) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + at, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      at += 8;
    }
    if (at == bytes.size()) break;
    const Sequence sequence = sequence_at(bytes, at);
    if (!sequence.valid) return at;
    at += sequence.length;
  }
  return bytes.size();
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  return valid_until(bytes, 0) == bytes.size();
}

std::string utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = valid_until(bytes, at);
    text.append(bytes.substr(at, end - at));
    if (end == bytes.size()) return text;
    text.append(kReplacement);
    at = end + sequence_at(bytes, end).length;
  }
}

std::string truncate_utf8(std::string text, std::size_t limit, std::string_view marker) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  text.append(marker);
  return text;
}

}  // namespace quarry
