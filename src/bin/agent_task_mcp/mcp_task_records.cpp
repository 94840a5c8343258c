#include "mcp_task_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <variant>

namespace quarry {
namespace {

constexpr const char* kArea = "mcp-tasks";
constexpr std::string_view kPartial = ".partial-";
constexpr std::array<std::string_view, 4> kStatusNames = {"working", "completed", "failed",
                                                          "cancelled"};
constexpr std::size_t kLongestTaskId = 256;

std::optional<Revision> revision_named(std::string_view name) {
  for (std::size_t i = 0; i < kRevisionCount; ++i) {
    const RevisionTraits& shape = traits(static_cast<Revision>(i));
    if (shape.name == name && (shape.task_augmentation || shape.task_extension)) {
      return static_cast<Revision>(i);
    }
  }
  return std::nullopt;
}

std::optional<McpTaskStatus> status_named(std::string_view name) {
  for (std::size_t i = 0; i < kStatusNames.size(); ++i) {
    if (kStatusNames[i] == name) return static_cast<McpTaskStatus>(i);
  }
  return std::nullopt;
}

const std::string* text_member(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? &found->get_ref<const std::string&>()
                                                     : nullptr;
}

std::optional<std::int64_t> integer_member(const Json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_number_integer()) return std::nullopt;
  if (found->is_number_unsigned() && found->get<std::uint64_t>() > INT64_MAX) return std::nullopt;
  return found->get<std::int64_t>();
}

// A tools/call result as this server writes one: a single text block, and no member it does
// not write itself.
bool is_tool_result(const Json& result) {
  if (!result.is_object()) return false;
  const auto content = result.find("content");
  if (content == result.end() || !content->is_array() || content->size() != 1) return false;
  const Json& block = content->front();
  if (!block.is_object() || block.size() != 2 || text_member(block, "text") == nullptr) {
    return false;
  }
  const std::string* type = text_member(block, "type");
  if (type == nullptr || *type != "text") return false;
  for (const auto& [name, value] : result.items()) {
    const bool known = name == "content" || (name == "isError" && value.is_boolean()) ||
                       (name == "structuredContent" && value.is_object()) ||
                       (name == "_meta" && value.is_object()) ||
                       (name == "resultType" && value == "complete");
    if (!known) return false;
  }
  return true;
}

// At most kLargestRecord bytes, and nothing for a file larger than that.
std::optional<std::string> read_bounded(int fd) {
  std::string bytes(kLargestRecord + 1, '\0');
  std::size_t used = 0;
  while (used < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + used, bytes.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  if (used > kLargestRecord) return std::nullopt;
  bytes.resize(used);
  return bytes;
}

// A record's own name, or the name it is written under before it takes that one.
bool is_record_name(std::string_view name) {
  if (is_handle(name)) return true;
  return name.size() > kPartial.size() + 33 && name[0] == '.' && is_handle(name.substr(1, 32)) &&
         name.substr(33).starts_with(kPartial);
}

}  // namespace

std::string_view status_name(McpTaskStatus status) {
  return kStatusNames[static_cast<std::size_t>(status)];
}

bool is_handle(std::string_view text) {
  if (text.size() != 32) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string record_text(const McpTaskRecord& record) {
  Json text = {{"attempt", record.attempt},
               {"created_ms", record.created_ms},
               {"handle", record.handle},
               {"revision", traits(record.revision).name},
               {"status", status_name(record.status)},
               {"task_id", record.task_id},
               {"tool", record.tool},
               {"ttl_ms", record.ttl_ms},
               {"updated_ms", record.updated_ms},
               {"what", record.what}};
  if (!record.result.is_null()) text["result"] = record.result;
  return write_json(text);
}

std::optional<McpTaskRecord> parse_record(std::string_view bytes, std::string_view handle) {
  if (bytes.size() > kLargestRecord || !is_handle(handle)) return std::nullopt;
  std::variant<Json, std::string> parsed = parse_json(bytes);
  const Json* value = std::get_if<Json>(&parsed);
  if (value == nullptr || !value->is_object()) return std::nullopt;
  const Json& text = *value;
  const std::string* own = text_member(text, "handle");
  const std::string* revision = text_member(text, "revision");
  const std::string* status = text_member(text, "status");
  const std::string* task_id = text_member(text, "task_id");
  const std::string* tool = text_member(text, "tool");
  const std::string* what = text_member(text, "what");
  const std::optional<std::int64_t> attempt = integer_member(text, "attempt");
  const std::optional<std::int64_t> created = integer_member(text, "created_ms");
  const std::optional<std::int64_t> updated = integer_member(text, "updated_ms");
  const std::optional<std::int64_t> ttl = integer_member(text, "ttl_ms");
  if (own == nullptr || *own != handle || revision == nullptr || status == nullptr ||
      task_id == nullptr || task_id->size() > kLongestTaskId || tool == nullptr ||
      (*tool != "task_propose" && *tool != "task_start") || what == nullptr ||
      (*what != "verifier" && *what != "mutation tool") || !attempt || *attempt < 0 || !created ||
      *created < 0 || !updated || *updated < *created || !ttl || *ttl < kShortestTtlMs ||
      *ttl > kLongestTtlMs) {
    return std::nullopt;
  }
  McpTaskRecord record;
  record.handle = *own;
  record.tool = *tool;
  record.task_id = *task_id;
  record.attempt = static_cast<std::uint64_t>(*attempt);
  record.what = *what;
  record.created_ms = *created;
  record.updated_ms = *updated;
  record.ttl_ms = *ttl;
  const std::optional<Revision> design = revision_named(*revision);
  const std::optional<McpTaskStatus> state = status_named(*status);
  if (!design || !state) return std::nullopt;
  record.revision = *design;
  record.status = *state;
  const auto result = text.find("result");
  const bool ended =
      record.status == McpTaskStatus::Completed || record.status == McpTaskStatus::Failed;
  if (ended != (result != text.end())) return std::nullopt;
  if (ended) {
    if (!is_tool_result(*result)) return std::nullopt;
    record.result = *result;
  }
  return record;
}

void McpTaskRecords::keep(const McpTaskRecord& record) {
  const Fd area = directory(true);
  if (!area) return;
  const std::string partial = "." + record.handle + std::string(kPartial) + new_run_token();
  Fd file(::openat(area.get(), partial.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) return;
  // Locked before it takes its name, so that no reader finds a working record unlocked.
  const bool working = record.status == McpTaskStatus::Working;
  const bool written = (!working || ::flock(file.get(), LOCK_EX | LOCK_NB) == 0) &&
                       write_all(file.get(), record_text(record)).ok() &&
                       (!state_->sync() || ::fdatasync(file.get()) == 0);
  if (!written || ::renameat(area.get(), partial.c_str(), area.get(), record.handle.c_str()) != 0) {
    ::unlinkat(area.get(), partial.c_str(), 0);
    return;
  }
  if (working) {
    held_[record.handle] = std::move(file);
  } else {
    held_.erase(record.handle);
  }
}

std::optional<McpTaskRecords::Found> McpTaskRecords::find(const std::string& handle) {
  if (!is_handle(handle)) return std::nullopt;
  const Fd area = directory(false);
  if (!area) return std::nullopt;
  // Non-blocking: a FIFO given a handle's name must not hang the server.
  const Fd file(
      ::openat(area.get(), handle.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const std::optional<std::string> bytes = read_bounded(file.get());
  std::optional<McpTaskRecord> record = bytes ? parse_record(*bytes, handle) : std::nullopt;
  if (!record) return std::nullopt;
  const bool running = record->status == McpTaskStatus::Working &&
                       ::flock(file.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  return Found{std::move(*record), running};
}

void McpTaskRecords::remove(const std::string& handle) {
  held_.erase(handle);
  if (const Fd area = directory(false); area && is_handle(handle)) {
    ::unlinkat(area.get(), handle.c_str(), 0);
  }
}

void McpTaskRecords::sweep(std::chrono::milliseconds age) {
  const Fd area = directory(false);
  Fd listing_fd(area ? ::fcntl(area.get(), F_DUPFD_CLOEXEC, 0) : -1);
  DIR* listing = listing_fd ? ::fdopendir(listing_fd.release()) : nullptr;
  if (listing == nullptr) return;
  const auto oldest = std::chrono::system_clock::now() - age;
  const std::time_t before = std::chrono::system_clock::to_time_t(oldest);
  while (const dirent* entry = ::readdir(listing)) {
    const char* name = entry->d_name;
    struct stat info;
    if (!is_record_name(name) || ::fstatat(area.get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || info.st_mtime >= before) {
      continue;
    }
    // A working record its server still holds is kept however old.
    const Fd file(::openat(area.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file && ::flock(file.get(), LOCK_EX | LOCK_NB) == 0) ::unlinkat(area.get(), name, 0);
  }
  ::closedir(listing);
}

Fd McpTaskRecords::directory(bool create) {
  if (state_ == nullptr) return Fd();
  const Result<int> state = create ? state_->open() : state_->open_existing();
  if (!state) return Fd();
  if (create && ::mkdirat(state.value(), kArea, 0700) != 0 && errno != EEXIST) return Fd();
  return Fd(::openat(state.value(), kArea, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace quarry
