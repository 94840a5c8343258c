// The task store: each open task kept on disk beside the journal, in tasks/{id}/ of the journal
// directory, so that a server started after its own was killed, or ended at end of input, takes
// it over. A task's directory holds its record and, named by each declared file's index, the
// bytes that file held at start. The server holding a task holds an exclusive lock on its
// directory: a free lock is a task whose server is gone. A kept task is input anyone able to
// write there may have crafted: its record is read with bounded memory, and a task taken over
// passes the checks of a new one.
#pragma once

#include <sys/stat.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "agent_task.h"
#include "io_error.h"
#include "journal_directory.h"
#include "workspace.h"

namespace quarry {

// The output of a proposal whose verifier ran when its server died, recorded once recovery has
// rolled its edits back. It keeps its attempt number and counts against no limit: the next
// proposal takes the same number.
inline constexpr std::string_view kInterruptedAttemptOutput =
    "interrupted: the server stopped while the verifier ran; its edits were rolled back";

// An open task left untouched this long is dropped by the next server's start.
inline constexpr std::chrono::hours kUntouchedLimit{24 * 7};

// The bytes a declared file held at start, as a record describes them.
struct KeptStart {
  std::uint64_t size = 0;
  std::string digest;  // content_digest
  bool kept = false;   // their copy beside the record is whole
};

// What a record holds.
struct KeptTask {
  std::string base;  // the directory the paths of its server were relative to
  TaskRecord record;
  std::vector<AttemptRecord> attempts;
  std::vector<std::optional<KeptStart>> starts;  // per file; nothing where there was no file
  // The attempt whose verifier was starting when the record ends, and the token it carried.
  std::optional<AttemptRecord> in_flight;
  std::string in_flight_token;
};

// Reads the record open as `fd` in pieces: memory stays bounded whatever size the file claims. A
// last piece cut short (its server died writing it) ends the record; InvalidInput says why a file
// is no record this server can take over.
Result<KeptTask> read_task_record(int fd);
// The bytes of a record holding `kept`, as read_task_record reads them back.
std::string task_record_bytes(const KeptTask& kept);

class TaskStore final : public TaskKeeper {
 public:
  // Records go beneath `directory`; task paths are reached through `workspace`, which must
  // outlive the store.
  TaskStore(std::shared_ptr<JournalDirectory> directory, const Workspace& workspace,
            std::function<void(const std::string&)> say);
  ~TaskStore() override;
  TaskStore(const TaskStore&) = delete;
  TaskStore& operator=(const TaskStore&) = delete;

  // At start, after recovery: looks over the open tasks of this project whose servers are gone.
  // A task untouched for kUntouchedLimit is dropped, and one whose record does not read is left
  // alone, each with one line; an attempt that was running one of `put_back_runs` (the
  // verifiers whose proposals recovery rolled back) is recorded as interrupted. None is taken
  // over yet: a server holds only the tasks its requests name.
  void survey(const std::set<std::string>& put_back_runs);
  // The kept task `id`, now this server's, when no live server holds it and it checks as a new
  // task would; nothing otherwise (a task that does not check is said once, then left alone).
  std::optional<AgentTask> take_over(const std::string& id,
                                     const std::shared_ptr<const TaskSettings>& settings);
  // Whether a record of `id` is kept, whoever holds it.
  bool has_record(const std::string& id);

  // The record is written before the task is registered; the start bytes are copied beside it
  // after, until the task's first operation, whose settle waits for them.
  Status keep(const AgentTask& task) override;
  void settle(const AgentTask& task) override;
  void verifier_starting(const std::string& id, const AttemptRecord& attempt,
                         const std::string& token) override;
  void changed(const AgentTask& task) override;
  void forget(const std::string& id) override;

 private:
  struct Held;

  // The tasks/ directory of the journal directory; with `create`, made when missing.
  Result<Fd> open_tasks_directory(bool create);
  // Adds `pieces` to the record of `held`; an addition that fails is cut off again.
  Status append(Held& held, std::string_view pieces, bool durably);
  // A record as read, with when it last changed.
  struct Opened {
    KeptTask kept;
    struct stat info;
    struct timespec modified;
    std::chrono::system_clock::time_point touched() const;
  };
  void survey_one(int tasks, const std::string& name, int directory,
                  const std::set<std::string>& put_back_runs);
  // The record of the task `name`, its directory open as `directory`; nothing when it does not
  // read (then left, and said).
  std::optional<Opened> open_record(int directory, const std::string& name);
  // Writes `kept` whole as the record in `directory`, keeping `modified` as its time; the record
  // open for appending.
  Result<Fd> write_record(int directory, const KeptTask& kept, const struct timespec& modified);
  // Says why the task `name` is left alone, and leaves it for the rest of this server's life.
  void leave(const std::string& name, const std::string& why);
  // Checks the task kept as `name` (its directory open and locked as `directory`) and takes it
  // over; nothing when it is another project's or left alone (said).
  std::optional<AgentTask> take_over_one(const std::string& name, Fd directory,
                                         const std::shared_ptr<const TaskSettings>& settings);
  // The start bytes of `file` of the kept `task`, checked against `start`: from their copy beside
  // the record when it is whole, else from the file itself when it still holds them.
  Result<std::string> read_start(int directory, const KeptFile& file, std::size_t index,
                                 const KeptStart& start) const;
  // Waits until the start bytes of `held` are copied beside its record.
  static void wait_for_copies(Held& held);

  std::shared_ptr<JournalDirectory> directory_;
  const Workspace& workspace_;
  std::function<void(const std::string&)> say_;
  std::set<std::string> left_;  // tasks said not to check, not tried again
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Held>> held_;
  std::string pieces_;  // what changed writes, its memory reused
};

}  // namespace quarry
