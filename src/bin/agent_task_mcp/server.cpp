#include "server.h"

#include <limits.h>
#include <poll.h>
#include <simdjson.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <deque>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "background_runs.h"
#include "catalogue.h"
#include "envelopes.h"
#include "request_line.h"
#include "termination.h"

namespace quarry {
namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;
// No input for this long and the server is idle: what requests grew is given back. Sooner, the
// next of a run of large requests would fault in and zero all its pages again.
constexpr int kIdleAfterMs = 1000;
// The largest block glibc will take from the heap rather than map on its own.
constexpr int kLargestHeapBlock = 32 << 20;
// Lines read while a child runs are held for their turn. Past this much, reading waits for the
// child as it always did, so that a client pipelining gigabytes meanwhile cannot exhaust
// memory; each line counts for at least what a small request takes once parsed.
constexpr std::size_t kQueueLimit = std::size_t{16} << 20;
constexpr std::size_t kQueuedLineCost = 1024;

// A write while a request is served, where termination requests are held: a client that stops
// reading must not keep the process in a write while a rollback waits. Each piece is at most
// PIPE_BUF bytes, written once poll has reported room for it, so no write blocks; once a
// termination request is pending the rest is given up, as the process is ending anyway.
void write_unless_terminating(int fd, std::string_view bytes, int interrupt_fd) {
  while (!bytes.empty() && !termination::pending()) {
    pollfd watched[2] = {{fd, POLLOUT, 0}, {interrupt_fd, POLLIN, 0}};
    if (::poll(watched, interrupt_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0 || (watched[0].revents & (POLLERR | POLLNVAL)) != 0) return;
    const ssize_t written =
        ::write(fd, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

constexpr std::string_view kNotAnObject = "invalid request: not an object";

std::optional<std::string> dispatch(TaskOperations& tasks, const RequestContext& context,
                                    const std::string& method, const Json& id, Json params,
                                    BackgroundRuns* runs) {
  const Revision revision = context.revision;
  if (runs != nullptr && method.starts_with("tasks/")) {
    return runs->serve(method, id, params, revision);
  }
  if (method == "tools/list") return handle_tools_list(id, revision, tasks.fixed_verifier());
  if (method == "tools/call") return handle_tools_call(tasks, context, id, std::move(params));
  if (method == "task_propose") return handle_propose(tasks, context, id, std::move(params));
  if (method == "task_start") return handle_start(tasks, context, id, std::move(params));
  if (method == "task_history") return handle_history(tasks, context, id, std::move(params));
  if (method == "task_finish") return handle_finish(tasks, context, id, std::move(params));
  if (method == "initialize") return ok(id, initialize_result(revision), revision);
  // Answered whatever the request's metadata, so that a client probing for the stateless era
  // finds it here.
  if (method == "server/discover") return ok_with_text(id, discover_result_text());
  // Every MCP server must answer the base protocol's liveness check.
  if (method == "ping") return ok(id, Json::object(), revision);
  // A cancellation read here names no request in flight: it crossed its reply, and there is
  // nothing left to stop.
  if (is_notification(method)) return std::nullopt;
  return err(id, kMethodNotFound, "unknown method: " + method);
}

// The version a request's stateless-era metadata names, when it names one.
const Json* named_version(const Json& params) {
  if (!params.is_object()) return nullptr;
  const auto meta = params.find("_meta");
  if (meta == params.end() || !meta->is_object()) return nullptr;
  const auto version = meta->find(kProtocolVersionMeta);
  return version == meta->end() ? nullptr : &*version;
}

std::string unsupported_version_reply(const Json& id, const Json& version) {
  const std::string requested =
      version.is_string() ? version.get<std::string>() : write_json(version);
  return err_with_data(id, kUnsupportedProtocolVersion,
                       "unsupported protocol version: " + requested,
                       unsupported_version_data(requested));
}

// An initialize negotiates the session's revision, kept until the next one; any other request
// is served under the revision its metadata names, whatever the session did before, or else
// under the session's.
Revision revision_for(const Request& request, std::optional<Revision> named, Revision& session) {
  if (request.method != "initialize") return named.value_or(session);
  const Json& params = request.params;
  session = negotiate(params.is_object() ? params.value("protocolVersion", Json()) : Json());
  return session;
}

// The revision is decided here, once per request. A request whose metadata names a version not
// spoken here is answered at once; any other is carried out in full even when nobody will read
// the reply. Without `runs`, nothing runs in the background and the tasks/* methods are unknown.
std::optional<std::string> serve_request(TaskOperations& tasks, RequestContext& context,
                                         Revision& session, Request request,
                                         BackgroundRuns* runs = nullptr) {
  std::optional<std::string> reply;
  context.revision = session;
  try {
    const Json* version = named_version(request.params);
    const std::optional<Revision> named =
        version == nullptr ? std::nullopt : stateless_revision(*version);
    if (version != nullptr && !named) {
      if (!is_notification(request.method)) reply = unsupported_version_reply(request.id, *version);
    } else {
      context.revision = revision_for(request, named, session);
      if (runs != nullptr) reply = runs->offer(request, context.revision);
      if (!reply) {
        reply =
            dispatch(tasks, context, request.method, request.id, std::move(request.params), runs);
      }
    }
  } catch (const std::bad_alloc&) {
    reply = out_of_memory_reply(request.method, request.id, context.revision);
  }
  if (!request.has_id) return std::nullopt;
  return reply;
}

// The replies of a batch go in one array line: each opens it or follows a comma.
void append_to_array(std::string& replies, const std::string& reply) {
  replies += replies.empty() ? '[' : ',';
  replies += reply;
}

// Takes the request out of a line or member about to be served, so that no cancellation can
// find it any more.
Request take_request(Parsed& parsed) {
  return *std::exchange(parsed.request, std::nullopt);
}

// What a line amounts to, served under the session's revision, each request by `serve_one`. In
// a session that takes batches, an array's members are served in turn and their replies
// gathered in one array line, none when no member is owed one.
template <typename ServeOne>
std::optional<std::string> serve_parsed(Parsed& parsed, Revision session, ServeOne&& serve_one) {
  if (parsed.request) return serve_one(take_request(parsed));
  if (parsed.batch && traits(session).batches) {
    if (parsed.batch->empty()) {
      return err(Json(nullptr), kInvalidRequest, "invalid request: empty batch");
    }
    std::string replies;
    for (Parsed& member : *parsed.batch) {
      std::optional<std::string> reply = std::move(member.reply);
      if (member.request) reply = serve_one(take_request(member));
      if (member.not_object) reply = err(Json(nullptr), kInvalidRequest, kNotAnObject);
      if (reply) append_to_array(replies, *reply);
    }
    if (replies.empty()) return std::nullopt;
    return replies + ']';
  }
  if (parsed.not_object && traits(session).invalid_requests) {
    return err(Json(nullptr), kInvalidRequest, kNotAnObject);
  }
  return std::move(parsed.reply);
}

// Drops the requests with this id from a line, or from its members, that waits its turn.
void drop_request(Parsed& parsed, const Json& id) {
  if (parsed.request && parsed.request->has_id && parsed.request->id == id) parsed.request.reset();
  if (!parsed.batch) return;
  for (Parsed& member : *parsed.batch) drop_request(member, id);
}

// The loop's state: the reader, the replies held back, the lines read while a child ran and the
// request in flight.
class Session {
 public:
  Session(TaskOperations& tasks, int in_fd, int out_fd, int interrupt_fd)
      : tasks_(tasks),
        reader_(in_fd),
        in_fd_(in_fd),
        out_fd_(out_fd),
        interrupt_fd_(interrupt_fd),
        runs_(tasks) {
    context_.flush = [this] { flush_during_request(); };
    context_.on_child_start = [this] {
      flush_during_request();
      hand_out();
      static_cast<void>(take_buffered_lines());
    };
    context_.on_tick = [this] { hand_out(); };
    context_.notify = [this](const std::string& line) {
      if (!runs_.answered_for_good()) write_during_request(line + "\n");
    };
    context_.interrupt_fd = interrupt_fd;
    context_.input_fd = in_fd;
    context_.on_input = [this] { return read_while_child_runs(); };
    // Asked only while the request can still be given up: a cancellation the run no longer
    // acts on (its child has exited) leaves the reply to be sent.
    context_.abandoned = [this] {
      return abandoned_ = cancelled_ || runs_.cancel_requested() || termination::pending();
    };
  }

  void run() {
    for (;;) {
      if (queue_.empty() && !reader_.has_buffered_line()) wait_for_input();
      std::optional<Parsed> next = next_parsed();
      if (!next || next->stop) break;
      serve(std::move(*next));
      // Replies to pipelined requests are written together; they are flushed whenever the next
      // line is not already read, so a client never waits for a reply it has not been sent.
      if (pending_.size() >= kFlushThreshold || (queue_.empty() && !reader_.has_buffered_line())) {
        flush();
      }
    }
    flush();
  }

 private:
  std::optional<Parsed> next_parsed() {
    if (!queue_.empty()) {
      Parsed next = std::move(queue_.front().parsed);
      queued_bytes_ -= queue_.front().cost;
      queue_.pop_front();
      return next;
    }
    const std::optional<LineReader::Line> line = reader_.next_line();
    if (!line) return std::nullopt;
    return parse(*line);
  }

  Parsed parse(const LineReader::Line& line) {
    if (line.too_long) {
      return Parsed{std::nullopt, out_of_memory_reply("", Json(nullptr))};
    }
    if (!simdjson::validate_utf8(line.text.data(), line.text.size())) return Parsed{{}, {}, true};
    return read_request(line.text, LineReader::kLinePadding);
  }

  void serve(Parsed parsed) {
    memory_to_release_ = true;
    serving_ = &parsed;
    std::optional<std::string> reply =
        serve_parsed(parsed, session_revision_,
                     [this](Request request) { return serve_one(std::move(request)); });
    serving_ = nullptr;
    if (reply) append_reply(*reply);
  }

  std::optional<std::string> serve_one(Request request) {
    if (request.has_id) in_flight_id_ = request.id;
    cancelled_ = abandoned_ = false;
    termination::enter_request();
    std::optional<std::string> reply =
        serve_request(tasks_, context_, session_revision_, std::move(request), &runs_);
    termination::leave_request();
    in_flight_id_.reset();
    // An abandoned request gets no reply: its client has stopped waiting for it.
    if (abandoned_) reply.reset();
    if (!runs_.in_flight()) return reply;
    BackgroundRuns::Settled settled = runs_.settle(std::move(reply), abandoned_);
    for (const std::string& line : settled.owed) append_reply(line);
    return std::move(settled.reply);
  }

  // The request in flight answered with its handle, once due: a cancellation of its id has
  // crossed that reply, and tasks/cancel stops it instead.
  void hand_out() {
    if (std::optional<std::string> line = runs_.hand_out()) {
      in_flight_id_.reset();
      write_during_request(*line + "\n");
    }
  }

  void append_reply(const std::string& reply) {
    pending_ += reply;
    pending_ += '\n';
  }

  // Called whenever standard input is readable while a child runs.
  bool read_while_child_runs() {
    if (input_stopped_ || queued_bytes_ > kQueueLimit) return false;
    const bool more = reader_.read_more();
    return take_buffered_lines() && more;
  }

  // Whole lines already read are parsed while a child runs: pings and cancellations are acted
  // on at once, and every other line is held for its turn. Returns whether to go on reading.
  bool take_buffered_lines() {
    if (input_stopped_) return false;
    try {
      while (queued_bytes_ <= kQueueLimit) {
        std::optional<LineReader::Line> line = reader_.buffered_line();
        if (!line) break;
        std::size_t cost = std::max(line->text.size(), kQueuedLineCost);
        Parsed parsed = parse(*line);
        // Nothing after a line that is not UTF-8 is ever served, pings included.
        input_stopped_ = parsed.stop;
        if (is_urgent(parsed)) {
          if (std::optional<std::string> reply = act_at_once(take_request(parsed))) {
            write_during_request(*reply + "\n");
          }
          continue;
        }
        if (parsed.batch) cost += parsed.batch->size() * sizeof(Parsed);
        queue_.push_back(Queued{std::move(parsed), cost});
        queued_bytes_ += cost;
        act_on_urgent_members(queue_.back().parsed);
        if (input_stopped_) return false;
      }
      return queued_bytes_ <= kQueueLimit;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  // A batch waiting its turn, in a session that takes them, is read like lines of its own: its
  // pings and cancellations are acted on at once, the replies to the pings written now as one
  // array line, and the rest waits.
  void act_on_urgent_members(Parsed& parsed) {
    if (!parsed.batch || !traits(session_revision_).batches) return;
    std::string replies;
    for (Parsed& member : *parsed.batch) {
      if (!is_urgent(member)) continue;
      if (std::optional<std::string> reply = act_at_once(take_request(member))) {
        append_to_array(replies, *reply);
      }
    }
    if (!replies.empty()) write_during_request(replies + "]\n");
  }

  // A ping or a cancellation, and while a background run is in flight what follows it and the
  // reads that do not wait for it, are acted on at once while a child runs.
  bool is_urgent(const Parsed& parsed) const {
    if (!parsed.request) return false;
    const std::string& method = parsed.request->method;
    return method == "ping" || method == "notifications/cancelled" ||
           (runs_.in_flight() && BackgroundRuns::answered_at_once(*parsed.request));
  }

  // Such a request is served as if the server were idle, under a context of its own (the
  // loop's belongs to the request in flight); a cancellation stops the request it names.
  std::optional<std::string> act_at_once(Request request) {
    if (request.method != "notifications/cancelled") {
      RequestContext own;
      return serve_request(tasks_, own, session_revision_, std::move(request), &runs_);
    }
    if (request.params.is_object()) {
      const auto named = request.params.find("requestId");
      if (named != request.params.end()) cancel(*named);
    }
    return std::nullopt;
  }

  // The request with this id (the same JSON value: 7 and "7" are different ids) is abandoned
  // when in flight, and never runs when it waits its turn, alone or in a batch.
  void cancel(const Json& id) {
    if (in_flight_id_ && *in_flight_id_ == id) cancelled_ = true;
    for (Queued& queued : queue_) drop_request(queued.parsed, id);
    if (serving_ != nullptr) drop_request(*serving_, id);
  }

  void flush() {
    // A client that closed its end gets nothing more; serving goes on regardless.
    static_cast<void>(write_all(out_fd_, pending_));
    pending_.clear();
  }

  void flush_during_request() {
    write_unless_terminating(out_fd_, pending_, interrupt_fd_);
    pending_.clear();
  }

  void write_during_request(std::string_view line) {
    flush_during_request();
    write_unless_terminating(out_fd_, line, interrupt_fd_);
  }

  // Waits until input comes; past kIdleAfterMs, gives back what the requests since the last
  // time grew.
  void wait_for_input() {
    if (!memory_to_release_) return;
    pollfd watched = {in_fd_, POLLIN, 0};
    int ready = 0;
    do {
      ready = ::poll(&watched, 1, kIdleAfterMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) release_memory();
  }

  // The buffers a large request grew (ours, the parser's, the allocator's free pages) would
  // otherwise stay resident for the life of the process.
  void release_memory() {
    memory_to_release_ = false;
    reader_.release_memory();
    if (pending_.capacity() > LineReader::kRetainedCapacity) pending_.shrink_to_fit();
#ifdef __GLIBC__
    malloc_trim(0);
#endif
  }

  struct Queued {
    Parsed parsed;
    std::size_t cost;  // counted against kQueueLimit
  };

  TaskOperations& tasks_;
  LineReader reader_;
  int in_fd_;
  int out_fd_;
  int interrupt_fd_;
  RequestContext context_;
  BackgroundRuns runs_;
  Revision session_revision_ = Revision::V2024_11_05;
  std::string pending_;
  std::deque<Queued> queue_;
  Parsed* serving_ = nullptr;  // the line being served, whose later batch members still wait
  std::size_t queued_bytes_ = 0;
  bool memory_to_release_ = false;
  bool input_stopped_ = false;
  std::optional<Json> in_flight_id_;
  bool cancelled_ = false;
  bool abandoned_ = false;  // the request was given up for a cancellation or a termination
};

}  // namespace

std::optional<std::string> serve_line(TaskOperations& tasks, RequestContext& context,
                                      Revision& session, std::string_view line,
                                      std::size_t padding) {
  Parsed parsed = read_request(line, padding);
  return serve_parsed(parsed, session, [&](Request request) {
    return serve_request(tasks, context, session, std::move(request));
  });
}

void serve(TaskOperations& tasks, int in_fd, int out_fd, int interrupt_fd) {
#ifdef __GLIBC__
  // The allocator would otherwise unmap a large block on its free, or trim the heap once its
  // free top passes twice that size: the next large request would fault in and zero all its
  // pages again. What requests free stays for the next one; the loop gives it back once idle.
  mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
#endif
  Session(tasks, in_fd, out_fd, interrupt_fd).run();
}

}  // namespace quarry
