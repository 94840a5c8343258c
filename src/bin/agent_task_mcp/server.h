// The request loop: reads lines, parses them, dispatches methods, writes replies.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "handlers.h"

namespace quarry {

// Reads newline-terminated lines from a descriptor without a length limit. Each line is
// followed in memory by at least kLinePadding readable bytes, so it can be parsed in place.
class LineReader {
 public:
  static constexpr std::size_t kLinePadding = 64;

  explicit LineReader(int fd);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its "\n" (and a "\r" before it); nothing at end of input or on a
  // read error. The view lives until the next call.
  std::optional<std::string_view> next_line();
  // Whether a whole line is already read, so that next_line will not block.
  bool has_buffered_line() const;

 private:
  bool fill();  // reads more input; false at end of input or on error

  int fd_;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // start of unconsumed data
  std::size_t end_ = 0;    // end of data read so far
  std::size_t scanned_ = 0;
  bool eof_ = false;
};

// Serves one line: the reply text to write, or nothing. `padding` bytes after the line are
// readable (see LineReader).
std::optional<std::string> serve_line(TaskOperations& tasks, const RequestContext& context,
                                      std::string_view line, std::size_t padding);

// The loop over standard input until end of input, a read error or a line of invalid UTF-8.
// Children run for a request are abandoned when `interrupt_fd` becomes readable.
void serve(TaskOperations& tasks, int in_fd, int out_fd, int interrupt_fd = -1);

}  // namespace quarry
