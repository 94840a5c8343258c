// The loop's input: newline-terminated lines read from a descriptor without a length limit,
// parsed where they lie in the reader's buffer.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quarry {

// Reads newline-terminated lines from a descriptor without a length limit. Each line is
// followed in memory by at least kLinePadding readable bytes, so it can be parsed in place.
class LineReader {
 public:
  static constexpr std::size_t kLinePadding = 64;
  // Buffers grown past this for a large request are given back once the server is idle.
  static constexpr std::size_t kRetainedCapacity = std::size_t{4} << 20;

  // A line without its "\n" (and a "\r" before it), or the mark of one too long to hold in
  // memory, whose bytes were dropped up to its end.
  struct Line {
    std::string_view text;
    bool too_long = false;
  };

  explicit LineReader(int fd);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line; nothing at end of input or on a read error. The view lives until the next
  // call of a member that reads or releases.
  std::optional<Line> next_line();
  // The next line when it is already read (or the last one, input having ended); never reads.
  std::optional<Line> buffered_line();
  // Reads once, blocking until something arrives; false at end of input or on a read error.
  bool read_more();
  // Whether a whole line is already read, so that next_line will not block.
  bool has_buffered_line() const;
  // Gives back a buffer grown for a large line, keeping what is read and not yet taken.
  void release_memory();

 private:
  int fd_;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // start of unconsumed data
  std::size_t end_ = 0;    // end of data read so far
  std::size_t scanned_ = 0;
  bool eof_ = false;
  bool discarding_ = false;  // dropping a line too long to hold, up to its newline
};

}  // namespace quarry
