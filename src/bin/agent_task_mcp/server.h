// The request loop: reads lines, parses them, dispatches methods, writes replies. While a child
// runs for a request it goes on reading: pings are answered and cancellations act at once (on
// the request in flight or on one waiting its turn), batch members too; the rest waits its turn.
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

// Serves one line: the reply text to write, or nothing. `padding` bytes after the line are
// readable (see LineReader). A request that runs out of memory is answered "out of memory".
// `session` is the revision the session's last initialize negotiated, updated by an initialize;
// `context.revision` is left at the revision the line was served under.
std::optional<std::string> serve_line(TaskOperations& tasks, RequestContext& context,
                                      Revision& session, std::string_view line,
                                      std::size_t padding);

// The loop over standard input until end of input, a read error or a line of invalid UTF-8.
// Children run for a request are abandoned when `interrupt_fd` becomes readable, and replies
// written meanwhile are given up.
void serve(TaskOperations& tasks, int in_fd, int out_fd, int interrupt_fd = -1);

}  // namespace quarry
