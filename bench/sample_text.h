// Sample file contents for the benchmarks: printable source-like text with line breaks and
// now and then a quotation mark or backslash, so the parser meets the escapes a real file
// brings. Different seeds give different texts of the same size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string make_text(std::size_t size, std::uint32_t seed) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz_0123456789(){};=+-*/<>.,: ";
  std::string text;
  text.reserve(size);
  std::uint32_t state = seed;
  std::size_t column = 0;
  while (text.size() < size) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    if (column > 40 && state % 16 == 0) {
      text.push_back('\n');
      column = 0;
    } else if (state % 97 == 0) {
      text.push_back((state >> 8) % 2 == 0 ? '"' : '\\');
      ++column;
    } else {
      text.push_back(kLetters[(state >> 8) % (sizeof kLetters - 1)]);
      ++column;
    }
  }
  return text;
}
