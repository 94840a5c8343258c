// The request loop: reads lines, parses them, dispatches methods, writes replies. While a child
// runs for a request it goes on reading: pings are answered and cancellations act at once (on
// the request in flight or on one waiting its turn), batch members too; the rest waits its turn.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "handlers.h"
#include "line_reader.h"

namespace quarry {

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
