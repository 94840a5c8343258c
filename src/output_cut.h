// What a verdict keeps of a verifier's output: at most 8000 bytes of it. The older rule keeps the
// first bytes, standard output first; the newer one keeps the head and the tail of each stream,
// so that a runner's summary (printed last) and standard error (where errors go) survive a long
// build log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarry {

inline constexpr std::size_t kOutputLimit = 8000;
inline constexpr std::string_view kStderrSeparator = "\n--- stderr ---\n";
inline constexpr std::string_view kTruncationMarker = "\n...[truncated]";

// How an output longer than the limit is cut.
enum class OutputCut {
  Head,         // its first 8000 bytes, then the marker: a long stdout pushes stderr out
  HeadAndTail,  // each stream's head and tail, stderr with a third of the room at least
};

// The two ends of one captured stream and its length: all a cut needs, without the middle.
struct StreamEnds {
  std::string head;  // its first bytes; the whole stream when `size` is no more
  std::string tail;  // its last bytes
  std::uint64_t size = 0;

  bool whole() const { return size == head.size(); }
};

// Bytes of each end the cuts read: decoding never shrinks text and no character takes more than
// four bytes, so 8000 decoded bytes and whether the next byte starts a character lie within them.
inline constexpr std::size_t kEndWindow = kOutputLimit + 3;

// Keeps the ends of a stream as it arrives, each at most `window` bytes; each byte is moved at
// most once.
class StreamEndsKeeper {
 public:
  explicit StreamEndsKeeper(std::size_t window = kEndWindow) : window_(window) {}
  void add(std::string_view bytes);
  StreamEnds take();

 private:
  std::size_t window_;
  StreamEnds ends_;
};

// Whether both streams are whole and, joined, within the limit: what no cut changes.
bool fits_whole(const StreamEnds& out, const StreamEnds& err);

// Standard output, then the separator and standard error when there is any, decoded with U+FFFD
// for invalid bytes. At most 8000 bytes: unchanged. Longer: cut by `rule` to at most 8000 bytes
// ending with the marker; HeadAndTail joins each stream's head and tail by an omission line
// naming `log` (when not empty), each cut on a line boundary within 200 bytes, never inside a
// character.
std::string cut_output(OutputCut rule, const StreamEnds& out, const StreamEnds& err,
                       std::string_view log);

// "...[N bytes omitted]...", with "; whole log: LOG" before the closing bracket when `log` is
// not empty.
std::string omission_line(std::uint64_t omitted, std::string_view log);

// `output` cut to its last bytes behind an omission line (naming `log` when not empty), ending
// with the marker, `limit` bytes in all; unchanged when no longer than `limit`.
std::string keep_last(std::string_view output, std::size_t limit, std::string_view log);

// How much of `head` to keep: up to the last line feed within its last 200 bytes, else all of
// it but a character its end would split.
std::size_t head_end(std::string_view head);
// Where to start keeping `tail`: after the first line feed within its first 200 bytes, else at
// its first character boundary.
std::size_t tail_start(std::string_view tail);

}  // namespace quarry
