#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quarry {
namespace {

constexpr std::size_t kFirstCapacity = 64 * 1024;

}  // namespace

LineReader::LineReader(int fd) : fd_(fd) {}

LineReader::~LineReader() {
  std::free(buffer_);
}

bool LineReader::has_buffered_line() const {
  return end_ > scanned_ && std::memchr(buffer_ + scanned_, '\n', end_ - scanned_) != nullptr;
}

bool LineReader::read_more() {
  if (eof_) return false;
  if (begin_ > 0) {
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    scanned_ -= begin_;
    begin_ = 0;
  }
  // Room for a sizeable read, and always the padding behind the data.
  if (capacity_ < end_ + kLinePadding + kFirstCapacity / 2) {
    // Whole lines already read make room once they are taken: growing (or, failing that,
    // dropping what was read) is only for a line longer than the buffer.
    if (has_buffered_line()) return true;
    std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
    while (capacity < end_ + kLinePadding + kFirstCapacity / 2) capacity *= 2;
    char* grown = static_cast<char*>(std::realloc(buffer_, capacity));
    if (grown != nullptr) {
      buffer_ = grown;
      capacity_ = capacity;
    } else if (capacity_ == 0) {
      eof_ = true;
      return false;
    } else {
      // The line does not fit in memory: what is read of it is dropped, and so is the rest up
      // to its newline, so that the line can be answered and the ones after it served.
      discarding_ = true;
      end_ = scanned_ = 0;
    }
  }
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_ + end_, capacity_ - kLinePadding - end_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      eof_ = true;
      return false;
    }
    end_ += static_cast<std::size_t>(got);
    // The parser may read the padding behind a line; it must hold defined bytes.
    std::memset(buffer_ + end_, 0, kLinePadding);
    return true;
  }
}

std::optional<LineReader::Line> LineReader::buffered_line() {
  const void* newline =
      end_ > scanned_ ? std::memchr(buffer_ + scanned_, '\n', end_ - scanned_) : nullptr;
  if (discarding_) {
    if (newline == nullptr && !eof_) {
      begin_ = end_ = scanned_ = 0;
      return std::nullopt;
    }
    begin_ = scanned_ = newline == nullptr ? end_ : static_cast<const char*>(newline) - buffer_ + 1;
    discarding_ = false;
    return Line{{}, true};
  }
  if (newline != nullptr) {
    const std::size_t at = static_cast<const char*>(newline) - buffer_;
    std::size_t length = at - begin_;
    if (length > 0 && buffer_[at - 1] == '\r') --length;
    const std::string_view line(buffer_ + begin_, length);
    begin_ = scanned_ = at + 1;
    return Line{line};
  }
  scanned_ = end_;
  if (!eof_ || begin_ == end_) return std::nullopt;
  // The last line may lack its "\n".
  std::size_t length = end_ - begin_;
  if (buffer_[end_ - 1] == '\r') --length;
  const std::string_view line(buffer_ + begin_, length);
  begin_ = scanned_ = end_;
  return Line{line};
}

std::optional<LineReader::Line> LineReader::next_line() {
  for (;;) {
    if (std::optional<Line> line = buffered_line()) return line;
    if (!read_more()) return buffered_line();
  }
}

void LineReader::release_memory() {
  if (capacity_ <= kRetainedCapacity || end_ - begin_ > kFirstCapacity / 2) return;
  std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
  end_ -= begin_;
  scanned_ -= begin_;
  begin_ = 0;
  if (char* shrunk = static_cast<char*>(std::realloc(buffer_, kFirstCapacity))) {
    buffer_ = shrunk;
    capacity_ = kFirstCapacity;
  }
}

}  // namespace quarry
