// The JSON text of requests and replies: parsing (simdjson with its fallback) against nlohmann
// alone, and the compact writer's output read back to the same value and the same text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "check.h"
#include "json_text.h"
#include "text.h"

namespace {

using quarry::Json;

constexpr std::size_t kPadding = 64;

// Parsing in place behind readable padding must give what parsing a copy gives.
std::variant<Json, std::string> parse_padded(std::string_view text) {
  const auto buffer = std::make_unique<char[]>(text.size() + kPadding);
  std::memcpy(buffer.get(), text.data(), text.size());
  std::memset(buffer.get() + text.size(), 0, kPadding);
  return quarry::parse_json(std::string_view(buffer.get(), text.size()), kPadding);
}

void check_written(const Json& value) {
  // nlohmann refuses raw control characters and invalid UTF-8, which the writer must never put
  // out.
  const std::string text = quarry::write_json(value);
  FUZZ_CHECK(Json::parse(text, nullptr, false) == value);
  auto reparsed = quarry::parse_json(text);
  FUZZ_CHECK(std::holds_alternative<Json>(reparsed));
  FUZZ_CHECK(std::get<Json>(reparsed) == value);
  // Same text again: no number changed its kind (1.0 against 1) or its digits on the way.
  FUZZ_CHECK(quarry::write_json(std::get<Json>(reparsed)) == text);
}

// A double taken from the input bytes: the shortest text must read back to the same bits.
void check_double(const std::uint8_t* data, std::size_t size) {
  double value = 0;
  if (size < sizeof value) return;
  std::memcpy(&value, data, sizeof value);
  if (!std::isfinite(value)) return;
  const std::string text = quarry::format_double(value);
  char* end = nullptr;
  const double read = std::strtod(text.c_str(), &end);
  FUZZ_CHECK(end == text.c_str() + text.size() && std::memcmp(&read, &value, sizeof value) == 0);
  FUZZ_CHECK(text.find_first_of(".e") != std::string::npos);
  const auto parsed = quarry::parse_json(text);
  FUZZ_CHECK(std::holds_alternative<Json>(parsed) && std::get<Json>(parsed).is_number_float());
  FUZZ_CHECK(std::get<Json>(parsed).get<double>() == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_double(data, size);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = quarry::parse_json(text);
  const auto padded = parse_padded(text);
  FUZZ_CHECK(parsed.index() == padded.index());
  // nlohmann takes a NUL byte for the end of its input; no JSON text holds one.
  const Json reference = text.find('\0') == std::string_view::npos
                             ? Json::parse(text, nullptr, false)
                             : Json(Json::value_t::discarded);

  if (const auto* message = std::get_if<std::string>(&parsed)) {
    // The message is quoted in a reply line.
    FUZZ_CHECK(!message->empty() && quarry::is_valid_utf8(*message));
    FUZZ_CHECK(*message == std::get<std::string>(padded));
    // Only the depth limit refuses what nlohmann alone accepts.
    if (!reference.is_discarded()) FUZZ_CHECK(message->starts_with("nesting deeper than"));
    return 0;
  }
  const Json& value = std::get<Json>(parsed);
  FUZZ_CHECK(std::get<Json>(padded) == value && reference == value);
  check_written(value);
  return 0;
}
