#include "server.h"

#include <simdjson.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "catalogue.h"
#include "envelopes.h"
#include "termination.h"
#include "text.h"

namespace quarry {
namespace {

constexpr std::size_t kFirstCapacity = 64 * 1024;

constexpr std::size_t kFlushThreshold = 64 * 1024;

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    // A client that closed its end gets nothing more; serving goes on regardless.
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

Json take_member(Json& object, const char* name) {
  auto found = object.find(name);
  return found == object.end() ? Json(nullptr) : std::move(*found);
}

const Json& initialize_result() {
  static const Json result = {
      {"capabilities", {{"tools", Json::object()}}},
      {"protocolVersion", "2024-11-05"},
      {"serverInfo", {{"name", "quarry-agent-task"}, {"version", "0.5.0"}}},
  };
  return result;
}

std::optional<std::string> dispatch(TaskOperations& tasks, const RequestContext& context,
                                    const std::string& method, const Json& id, Json params) {
  if (method == "tools/list") return handle_tools_list(id);
  if (method == "tools/call") return handle_tools_call(tasks, context, id, std::move(params));
  if (method == "task_propose") return handle_propose(tasks, context, id, std::move(params));
  if (method == "task_start") return handle_start(tasks, context, id, std::move(params));
  if (method == "task_history") return handle_history(tasks, id, std::move(params));
  if (method == "task_finish") return handle_finish(tasks, id, std::move(params));
  if (method == "initialize") return ok(id, initialize_result());
  // Every MCP server must answer the base protocol's liveness check.
  if (method == "ping") return ok(id, Json::object());
  // A notification has no reply, even when a client gives it an id.
  if (method == "notifications/initialized") return std::nullopt;
  return err(id, kMethodNotFound, "unknown method: " + method);
}

}  // namespace

LineReader::LineReader(int fd) : fd_(fd) {}

LineReader::~LineReader() {
  std::free(buffer_);
}

bool LineReader::has_buffered_line() const {
  return end_ > scanned_ && std::memchr(buffer_ + scanned_, '\n', end_ - scanned_) != nullptr;
}

bool LineReader::fill() {
  if (eof_) return false;
  if (begin_ > 0) {
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    scanned_ -= begin_;
    begin_ = 0;
  }
  // Room for a sizeable read, and always the padding behind the data.
  if (capacity_ < end_ + kLinePadding + kFirstCapacity / 2) {
    std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
    while (capacity < end_ + kLinePadding + kFirstCapacity / 2) capacity *= 2;
    char* grown = static_cast<char*>(std::realloc(buffer_, capacity));
    if (grown == nullptr) return false;
    buffer_ = grown;
    capacity_ = capacity;
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

std::optional<std::string_view> LineReader::next_line() {
  for (;;) {
    const void* newline =
        end_ > scanned_ ? std::memchr(buffer_ + scanned_, '\n', end_ - scanned_) : nullptr;
    if (newline != nullptr) {
      const std::size_t at = static_cast<const char*>(newline) - buffer_;
      std::size_t length = at - begin_;
      if (length > 0 && buffer_[at - 1] == '\r') --length;
      const std::string_view line(buffer_ + begin_, length);
      begin_ = scanned_ = at + 1;
      return line;
    }
    scanned_ = end_;
    if (!fill()) {
      if (begin_ == end_) return std::nullopt;
      // The last line may lack its "\n".
      std::size_t length = end_ - begin_;
      if (buffer_[end_ - 1] == '\r') --length;
      const std::string_view line(buffer_ + begin_, length);
      begin_ = scanned_ = end_;
      return line;
    }
  }
}

std::optional<std::string> serve_line(TaskOperations& tasks, const RequestContext& context,
                                      std::string_view line, std::size_t padding) {
  const std::string_view text = trim_white_space(line);
  if (text.empty()) return std::nullopt;
  const std::size_t trimmed_tail = (line.data() + line.size()) - (text.data() + text.size());

  auto parsed = parse_json(text, padding + trimmed_tail);
  if (auto* message = std::get_if<std::string>(&parsed)) {
    return err(Json(nullptr), kParseError, "parse error: " + *message);
  }
  Json& request = std::get<Json>(parsed);
  if (!request.is_object()) return std::nullopt;

  const bool has_id = request.contains("id");
  const Json id = take_member(request, "id");
  const Json* method_member = request.contains("method") ? &request["method"] : nullptr;
  const std::string method = method_member != nullptr && method_member->is_string()
                                 ? method_member->get_ref<const std::string&>()
                                 : std::string();
  // The request is carried out in full even when nobody will read the reply.
  std::optional<std::string> reply =
      dispatch(tasks, context, method, id, take_member(request, "params"));
  if (!has_id) return std::nullopt;
  return reply;
}

void serve(TaskOperations& tasks, int in_fd, int out_fd, int interrupt_fd) {
  LineReader reader(in_fd);
  // Replies to pipelined requests are written together; they are flushed whenever the next
  // line is not already read, so a client never waits for a reply it has not been sent.
  std::string pending;
  const auto flush = [&] {
    write_all(out_fd, pending);
    pending.clear();
  };
  RequestContext context;
  context.flush = flush;
  context.notify = [&](const std::string& line) {
    flush();
    write_all(out_fd, line + "\n");
  };
  context.interrupt_fd = interrupt_fd;
  while (std::optional<std::string_view> line = reader.next_line()) {
    if (!simdjson::validate_utf8(line->data(), line->size())) break;
    termination::enter_request();
    std::optional<std::string> reply = serve_line(tasks, context, *line, LineReader::kLinePadding);
    termination::leave_request();
    if (reply) {
      pending += *reply;
      pending += '\n';
    }
    if (pending.size() >= kFlushThreshold || !reader.has_buffered_line()) flush();
  }
  flush();
}

}  // namespace quarry
