#include "output_cut.h"

#include <algorithm>
#include <limits>

#include "text.h"

namespace quarry {
namespace {

// How far from a cut a line boundary is looked for.
constexpr std::size_t kLineReach = 200;

// An omission line wider than this share of a part's room names no log: a path that long would
// leave nothing of the output.
constexpr std::size_t kWidestLineShare = 4;

std::size_t decoded_size(const StreamEnds& ends) {
  return ends.whole() ? utf8_lossy(ends.head).size() : std::numeric_limits<std::size_t>::max();
}

// Where a tail of `text` from `start` on begins: there when a line ends just before, else as
// tail_start finds.
std::size_t line_start(std::string_view text, std::size_t start) {
  if (start > 0 && start <= text.size() && text[start - 1] == '\n') return start;
  return start + tail_start(text.substr(start));
}

// The head of `ends` decoded in at most `room` bytes, and the raw bytes it came from.
std::string_view kept_head(const StreamEnds& ends, std::size_t room, std::string& text) {
  std::string_view head = std::string_view(ends.head).substr(0, room);
  head = head.substr(0, head_end(head));
  text = utf8_lossy(head);
  // Invalid bytes decode to three each: step back by what the decoding added.
  while (text.size() > room) {
    const std::size_t excess = std::min(text.size() - room, head.size());
    head = head.substr(0, head_end(head.substr(0, head.size() - excess)));
    text = utf8_lossy(head);
  }
  return head;
}

// The tail of `ends` after its first `skipped` bytes, decoded in at most `room` bytes, and the
// raw bytes it came from.
std::string_view kept_tail(const StreamEnds& ends, std::uint64_t skipped, std::size_t room,
                           std::string& text) {
  const std::string_view window = ends.tail;
  const std::size_t available =
      static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), ends.size - skipped));
  std::size_t start = window.size() - std::min(room, available);
  start = line_start(window, start);
  text = utf8_lossy(window.substr(start));
  while (text.size() > room) {
    start = line_start(window, start + std::min(text.size() - room, window.size() - start));
    text = utf8_lossy(window.substr(start));
  }
  return window.substr(start);
}

// One stream's part of a cut output, in at most `room` bytes: whole when it fits, else its head
// (a third) and tail joined by the omission line.
std::string stream_part(const StreamEnds& ends, std::size_t room, std::string_view log) {
  if (ends.whole()) {
    std::string whole = utf8_lossy(ends.head);
    if (whole.size() <= room) return whole;
  }
  // The widest line the cut can need: nothing omitted can be more than the stream.
  if (omission_line(ends.size, log).size() > room / kWidestLineShare) log = {};
  const std::size_t line_room = omission_line(ends.size, log).size() + 2;
  const std::size_t left = room > line_room ? room - line_room : 0;
  std::string head_text;
  std::string tail_text;
  const std::string_view head = kept_head(ends, left / 3, head_text);
  const std::string_view tail = kept_tail(ends, head.size(), left - left / 3, tail_text);
  std::string part;
  part.reserve(room);
  part += head_text;
  if (!part.empty() && part.back() != '\n') part += '\n';
  part += omission_line(ends.size - head.size() - tail.size(), log);
  part += '\n';
  part += tail_text;
  return part;
}

std::string head_and_tail(const StreamEnds& out, const StreamEnds& err, std::string_view log) {
  const bool has_err = err.size > 0;
  const std::size_t room =
      kOutputLimit - kTruncationMarker.size() - (has_err ? kStderrSeparator.size() : 0);
  const std::size_t third = room / 3;
  const std::size_t err_need = decoded_size(err);
  const std::size_t out_need = decoded_size(out);
  // Standard error gets a third when both are long: where compilers and most runners print errors.
  const std::size_t err_room = err_need <= third          ? err_need
                               : out_need <= room - third ? room - out_need
                                                          : third;
  std::string text = stream_part(out, room - err_room, log);
  if (has_err) {
    text += kStderrSeparator;
    text += stream_part(err, err_room, log);
  }
  text += kTruncationMarker;
  return text;
}

}  // namespace

void StreamEndsKeeper::add(std::string_view bytes) {
  ends_.size += bytes.size();
  if (ends_.head.size() < window_) {
    ends_.head.append(bytes.substr(0, window_ - ends_.head.size()));
  }
  if (bytes.size() >= window_) {
    ends_.tail.assign(bytes.substr(bytes.size() - window_));
    return;
  }
  ends_.tail.append(bytes);
  // Cut only once a whole window's worth has piled up, so each byte is moved at most once.
  if (ends_.tail.size() >= 2 * window_) ends_.tail.erase(0, ends_.tail.size() - window_);
}

StreamEnds StreamEndsKeeper::take() {
  if (ends_.tail.size() > window_) ends_.tail.erase(0, ends_.tail.size() - window_);
  return std::move(ends_);
}

bool fits_whole(const StreamEnds& out, const StreamEnds& err) {
  if (!out.whole() || !err.whole()) return false;
  const std::size_t separator = err.size > 0 ? kStderrSeparator.size() : 0;
  return decoded_size(out) + separator + decoded_size(err) <= kOutputLimit;
}

std::string cut_output(OutputCut rule, const StreamEnds& out, const StreamEnds& err,
                       std::string_view log) {
  if (rule == OutputCut::Head || (out.whole() && err.whole())) {
    std::string joined = utf8_lossy(out.head);
    if (err.size > 0) {
      joined += kStderrSeparator;
      joined += utf8_lossy(err.head);
    }
    if (rule == OutputCut::Head) {
      return truncate_utf8(std::move(joined), kOutputLimit, kTruncationMarker);
    }
    if (joined.size() <= kOutputLimit) return joined;
  }
  return head_and_tail(out, err, log);
}

std::string omission_line(std::uint64_t omitted, std::string_view log) {
  std::string line = "...[" + std::to_string(omitted) + " bytes omitted";
  if (!log.empty()) {
    line += "; whole log: ";
    line += log;
  }
  line += "]...";
  return line;
}

std::string keep_last(std::string_view output, std::size_t limit, std::string_view log) {
  if (output.size() <= limit) return std::string(output);
  std::string_view body = output;
  if (body.ends_with(kTruncationMarker)) body.remove_suffix(kTruncationMarker.size());
  if (omission_line(output.size(), log).size() > limit / kWidestLineShare) log = {};
  const std::size_t framing =
      omission_line(output.size(), log).size() + 1 + kTruncationMarker.size();
  const std::size_t room = limit > framing ? limit - framing : 0;
  const std::string_view tail =
      body.substr(line_start(body, body.size() - std::min(body.size(), room)));
  std::string kept = omission_line(body.size() - tail.size(), log);
  kept += '\n';
  kept += tail;
  kept += kTruncationMarker;
  return kept;
}

std::size_t head_end(std::string_view head) {
  const std::size_t near = head.size() > kLineReach ? head.size() - kLineReach : 0;
  const std::size_t feed = head.substr(near).rfind('\n');
  if (feed != std::string_view::npos) return near + feed + 1;
  // The last character begun, dropped when the end leaves it incomplete.
  for (std::size_t back = 1; back <= 3 && back <= head.size(); ++back) {
    const auto byte = static_cast<unsigned char>(head[head.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? head.size() - back : head.size();
  }
  return head.size();
}

std::size_t tail_start(std::string_view tail) {
  const std::size_t feed = tail.substr(0, kLineReach).find('\n');
  if (feed != std::string_view::npos) return feed + 1;
  return continuation_prefix(tail);
}

}  // namespace quarry
