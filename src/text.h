// UTF-8 helpers shared by the verifier run, fingerprints and the tool runners.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarry {

bool is_valid_utf8(std::string_view bytes);

// Decodes `bytes`, replacing each maximal invalid subsequence by U+FFFD (the Unicode
// standard's recommended practice).
std::string utf8_lossy(std::string_view bytes);

// Cuts `text` to at most `limit` bytes, stepping back to a character boundary, and appends
// `marker` when anything was cut. A text of exactly `limit` bytes is left whole.
std::string truncate_utf8(std::string text, std::size_t limit, std::string_view marker);

}  // namespace quarry
