// MCP tasks, here called background runs: a tools/call that may run long (a proposal, or a start
// with its baseline or mutation gate) answered with a handle while its children run, and the
// tasks/* methods through which the client follows it, in the two designs of the protocol. In a
// 2025-11-25 session the client asks for one with params.task and gets its handle as the first
// child starts (or when the call ends without one). Under 2026-07-28 a request whose client
// capabilities list the extension io.modelcontextprotocol/tasks gets a handle once its run has
// taken a second, and a quicker run is answered as ever. The loop still serves one request at a
// time: the background run is the request in flight, answered early, and while it runs the loop
// answers the tasks/* methods, the catalogue and task_history at once. Every handle is kept on
// disk, so that the next server answers for it after a restart.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "handlers.h"
#include "mcp_task_records.h"
#include "request_line.h"

namespace quarry {

class BackgroundRuns {
 public:
  // Handles are kept in `tasks`' state directory, when it has one; `tasks` must outlive this.
  explicit BackgroundRuns(TaskOperations& tasks);

  // Before a request is carried out under `revision`: a tools/call whose client asked for an MCP
  // task, of a tool that may run long, becomes the run in flight, to be handed out when due.
  // Gives the refusal of a request asking for one of a tool that cannot be one.
  std::optional<std::string> offer(const Request& request, Revision revision);
  // Whether the request in flight was offered a background run, handed out or not yet.
  bool in_flight() const { return offer_.has_value(); }
  // Whether `request` is answered at once while a background run is in flight: the tasks/*
  // methods, tools/list, server/discover and task_history.
  static bool answered_at_once(const Request& request);
  // At each child start and about every second while a child runs: the reply that hands the
  // request in flight its handle, when it is due.
  std::optional<std::string> hand_out();
  // Whether the request in flight has had its handle under the extension, whose tasks take no
  // progress notifications: its call is answered, and the task is followed through tasks/get.
  bool answered_for_good() const;
  // Whether a tasks/cancel asked the run in flight to stop.
  bool cancel_requested() const { return cancel_requested_; }

  // What to write once the request in flight is done, given `reply`, the reply the plain call
  // gets (nothing when it was abandoned): the reply to the request itself, then the lines owed
  // to the requests that waited for its run.
  struct Settled {
    std::optional<std::string> reply;
    std::vector<std::string> owed;
  };
  Settled settle(std::optional<std::string> reply, bool abandoned);

  // A tasks/* request: its reply, or nothing while it waits for the run in flight to end.
  std::optional<std::string> serve(const std::string& method, const Json& id, const Json& params,
                                   Revision revision);

 private:
  struct Run {
    McpTaskRecord record;
    std::uint64_t sequence = 0;        // in the order the runs were handed out or read back
    std::vector<Json> result_waiters;  // ids of tasks/result requests waiting for it to end
    std::vector<Json> cancel_waiters;  // ids of tasks/cancel requests waiting for it to stop
  };
  struct Offer {
    Json id;
    Revision revision;
    std::string tool;
    std::string task_id;
    std::string what;
    std::int64_t ttl_ms;
    std::chrono::steady_clock::time_point started;
    std::optional<std::string> handle;  // once handed out
  };

  McpTaskRecord new_record(const Offer& offer);
  Run& add(McpTaskRecord record);
  // The run of `handle` under `revision`'s design, from memory or from its record; nothing when
  // unknown or expired.
  Run* find(const std::string& handle, Revision revision);
  // A working record whose server is gone: the outcome it left in the task's history.
  void resolve(McpTaskRecord& record);
  std::optional<std::string> serve_run(const std::string& method, const Json& id, Run& run);
  void end(Run& run, const std::string& reply);
  bool is_in_flight(const Run& run) const;
  // The task as tasks/get and the handle's reply give it.
  Json task_json(const Run& run) const;
  std::string created_reply(const Json& id, const Run& run) const;
  std::string result_reply(const Json& id, const Run& run) const;
  std::string cancel_reply(const Json& id, const Run& run) const;
  std::string list_reply(const Json& id, const Json& params, Revision revision);
  std::vector<std::string> owed_lines(Run& run);
  void forget_old_runs();

  TaskOperations& tasks_;
  McpTaskRecords records_;
  std::deque<Run> runs_;
  std::uint64_t next_sequence_ = 1;
  std::optional<Offer> offer_;
  std::optional<Run> elsewhere_;  // the last run read back that another live server runs
  bool cancel_requested_ = false;
};

}  // namespace quarry
