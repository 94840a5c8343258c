#include "recovery.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "provenance.h"

namespace quarry {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRecovered = "recovered";

enum class Recovery {
  Done,
  Left,     // left as it is; its prior bytes, if any, saved under recovered/
  Kept,     // left, and the journal must stay: its prior bytes are nowhere else
  NotOurs,  // a journal of another project: it stays, for that project's server
};

// The digest `version` records of the bytes a set writes.
std::string journal_digest(std::uint32_t version, std::string_view bytes) {
  return version == 1 ? sha256_hex(bytes) : content_digest(bytes);
}

// A process carrying a run's token, held by a pidfd so that the signal reaches that process and
// never a later one given its id.
struct Carrier {
  Fd pidfd;
  std::string token;
};

std::optional<std::string> run_token_of(const std::string& environment,
                                        const std::set<std::string>& tokens) {
  const std::string prefix = std::string(kRunTokenVariable) + "=";
  for (std::size_t at = 0; at < environment.size();) {
    const std::size_t end = std::min(environment.find('\0', at), environment.size());
    const std::string_view entry = std::string_view(environment).substr(at, end - at);
    if (entry.starts_with(prefix)) {
      const std::string token(entry.substr(prefix.size()));
      if (tokens.contains(token)) return token;
    }
    at = end + 1;
  }
  return std::nullopt;
}

// Every process but this one whose environment carries one of `tokens`, whoever leads its
// group and whatever became of the child that started it.
std::vector<Carrier> find_carriers(const std::set<std::string>& tokens) {
  std::vector<Carrier> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const int pid = std::atoi(name.c_str());
    if (pid == ::getpid()) continue;
    // Taken before its environment is read: a process that ends in between leaves a pidfd
    // that no signal can take to another.
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd) continue;
    Fd environ_file(::open(("/proc/" + name + "/environ").c_str(), O_RDONLY | O_CLOEXEC));
    if (!environ_file) continue;
    Result<std::string> environment = read_all(environ_file.get());
    if (!environment) continue;
    if (std::optional<std::string> token = run_token_of(environment.value(), tokens)) {
      found.push_back(Carrier{std::move(pidfd), std::move(*token)});
    }
  }
  return found;
}

// Waits until every carrier has ended or `deadline` passes; drops those that ended.
void wait_for_ends(std::vector<Carrier>& alive, Clock::time_point deadline) {
  while (!alive.empty()) {
    std::vector<pollfd> watched;
    for (const Carrier& carrier : alive) watched.push_back({carrier.pidfd.get(), POLLIN, 0});
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    const int ready = ::poll(watched.data(), watched.size(),
                             static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (ready < 0 && errno != EINTR) return;
    for (std::size_t i = watched.size(); i-- > 0;) {
      if (watched[i].revents != 0) alive.erase(alive.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

// Kills every process carrying one of `tokens`, again for those they start meanwhile, and waits
// for them to end until `deadline`; the tokens of those still alive then.
std::set<std::string> stop_runs(const std::set<std::string>& tokens, Clock::time_point deadline) {
  std::vector<Carrier> alive;
  for (;;) {
    std::vector<Carrier> found = find_carriers(tokens);
    if (found.empty()) break;
    for (Carrier& carrier : found) {
      ::syscall(SYS_pidfd_send_signal, carrier.pidfd.get(), SIGKILL, nullptr, 0);
      alive.push_back(std::move(carrier));
    }
    wait_for_ends(alive, deadline);
    if (Clock::now() >= deadline) break;
  }
  std::set<std::string> unstopped;
  for (const Carrier& carrier : alive) unstopped.insert(carrier.token);
  return unstopped;
}

// What recovering one journal needs beside the journal itself.
struct Context {
  const RecoveryOptions& options;
  const Workspace& paths;  // the workspace its paths are put back through
  int journal_fd;
  const JournalContents& contents;
  std::vector<std::string> written_digests;
};

// Puts one path of a hot journal back.
Recovery recover_path(const Context& context, std::size_t index) {
  const RecoveryOptions& options = context.options;
  const Workspace& workspace = context.paths;
  const RecordedPath& recorded = context.contents.paths[index];
  const std::string& path = recorded.path;
  if (std::optional<IoError> refused = undeclarable(workspace, path, options.reserved)) {
    options.say("left " + path + " as it is: " + refused->message);
    return Recovery::Left;
  }
  std::optional<std::string> prior;
  if (recorded.prior_present) {
    Result<std::string> bytes = read_prior_bytes(context.journal_fd, recorded);
    if (!bytes) {
      options.say("left " + path + " as it is: " + bytes.error().message);
      return Recovery::Kept;
    }
    prior = std::move(bytes).value();
  }
  Result<PriorState> current = read_prior_state(workspace, path);

  const auto keep = [&](std::string_view bytes) -> std::optional<std::string> {
    Result<std::string> saved = options.copies->keep_copy({kRecovered}, path, bytes);
    if (!saved) {
      options.say("could not save the bytes of " + path + " under " + options.copies->path() + "/" +
                  kRecovered + ": " + saved.error().message);
      return std::nullopt;
    }
    return saved.value();
  };
  const auto left_alone = [&](const std::string& why) {
    std::string line = "left " + path + " as it is: " + why;
    Recovery outcome = Recovery::Left;
    if (prior) {
      if (std::optional<std::string> saved = keep(*prior)) {
        line += "; its prior bytes are in " + *saved;
      } else {
        line += "; its prior bytes stay in the journal";
        outcome = Recovery::Kept;
      }
    }
    options.say(line);
    return outcome;
  };

  // A directory, a FIFO, a file that cannot be read: nothing of the proposal's.
  if (!current) return left_alone(current.error().message);
  const std::optional<std::string>& held = current.value().bytes;  // nothing: no file there
  if (held == prior && (!held || current.value().mode == recorded.mode)) {
    options.say("recovered " + path + ": already as it was");
    return Recovery::Done;
  }
  const std::vector<std::string>& digests = context.written_digests;
  const bool holds_written =
      held && std::find(digests.begin(), digests.end(),
                        journal_digest(context.contents.version, *held)) != digests.end();
  // Only the file the proposal created is removed: not one a link planted since leads to, even
  // with the same bytes. Version 1 recorded no identity; its file is the one at the path itself.
  std::optional<FileIdentity> created = recorded.created;
  if (context.contents.version == 1 && !workspace.is_symbolic_link(path)) {
    created = current.value().identity;
  }
  // Killed between creating the file and recording it, the server left it empty: removing it
  // loses nothing of anyone's.
  if (!prior && !created && (recorded.rollback_failed || recorded.putting_back) && held &&
      held->empty() && !workspace.is_symbolic_link(path)) {
    created = current.value().identity;
  }
  if (!prior && held && current.value().identity != created) {
    return left_alone("it is not the file the interrupted proposal created");
  }
  // A rollback that failed left the proposal's bytes, or whatever came after them: the prior
  // state goes back all the same, and what the file held is kept. One the server was only
  // putting back holds nothing but what it wrote itself.
  std::string note;
  if (held && !holds_written && (recorded.rollback_failed || !recorded.putting_back)) {
    if (!recorded.rollback_failed) {
      return left_alone("it changed after the interrupted proposal wrote it");
    }
    std::optional<std::string> saved = keep(*held);
    if (!saved) return left_alone("its bytes could not be saved before putting it back");
    note = "; what it held is in " + *saved;
  }
  static_cast<void>(append_putting_back(context.journal_fd, index));
  PriorState state{prior, recorded.mode, recorded.through_link, std::nullopt};
  if (Status restored = put_back(workspace, path, state, created); !restored) {
    return left_alone("it could not be put back: " + restored.error().message);
  }
  static_cast<void>(append_put_back(context.journal_fd, index));
  options.say("recovered " + path + (prior ? ": prior bytes restored" : ": removed") + note);
  return Recovery::Done;
}

// A hot journal as found: open and locked, its contents read.
struct HotJournal {
  std::string shown;
  Fd file;
  Result<JournalContents> contents;
};

// Whether a journal is one this server acts on; the line and outcome that leave it otherwise.
std::optional<Recovery> leave_unless_ours(const HotJournal& journal,
                                          const RecoveryOptions& options) {
  const auto say = [&](const std::string& why, Recovery outcome) {
    options.say(why);
    return outcome;
  };
  if (!journal.contents) {
    return say("left the journal " + journal.shown + ": " + journal.contents.error().message,
               Recovery::Kept);
  }
  const JournalContents& recorded = journal.contents.value();
  if (recorded.version != 0 && !is_readable_version(recorded.version)) {
    return say("warning: left the journal " + journal.shown +
                   " untouched: unknown format version " + std::to_string(recorded.version),
               Recovery::Kept);
  }
  if (!recorded.complete) {
    return say("discarded the incomplete journal " + journal.shown + ": no file had been written",
               Recovery::Done);
  }
  // A journal names its own base and confinement; neither is trusted, or a journal planted
  // through a proposal would lead recovery out of the root.
  if (recorded.base != options.workspace->base_path()) {
    return say("left the journal " + journal.shown + " untouched: it belongs to " + recorded.base +
                   ", whose server recovers it",
               Recovery::NotOurs);
  }
  return std::nullopt;
}

// Puts back the paths of one journal of this project whose runs are stopped; the worst outcome
// of its paths.
Recovery recover_journal(const HotJournal& journal, const RecoveryOptions& options) {
  const JournalContents& recorded = journal.contents.value();
  const Workspace& workspace = *options.workspace;
  std::optional<Workspace> confined;
  if (recorded.confined && !workspace.is_confined()) {
    Result<Workspace> opened = Workspace::confined(recorded.base);
    if (!opened) {
      options.say("left the journal " + journal.shown + ": cannot open " + recorded.base + ": " +
                  opened.error().message);
      return Recovery::Kept;
    }
    confined = std::move(opened).value();
  }
  const Workspace& paths = confined ? *confined : workspace;
  // A server alive now may be changing one of the files since the dead one left it.
  std::vector<std::string> spelled;
  for (const RecordedPath& path : recorded.paths) spelled.push_back(path.path);
  Result<FileClaim> claim = options.copies->claim(paths, spelled, ClaimKind::Changing);
  if (!claim) {
    options.say("left the journal " + journal.shown + ": " + claim.error().message);
    return Recovery::Kept;
  }
  Context context{options, paths, journal.file.get(), recorded, {}};
  // Two spellings can name one file (x and ./x); it then holds the later one's bytes.
  for (const RecordedPath& path : recorded.paths) {
    context.written_digests.push_back(path.written_digest);
  }
  Recovery outcome = Recovery::Done;
  for (std::size_t i = recorded.paths.size(); i-- > 0;) {
    outcome = std::max(outcome, recover_path(context, i));
  }
  return outcome;
}

}  // namespace

std::optional<IoError> undeclarable(const Workspace& workspace, const std::string& path,
                                    const std::vector<const JournalDirectory*>& reserved) {
  if (Status inside = workspace.check_inside(path); !inside) return inside.error();
  for (const JournalDirectory* directory : reserved) {
    if (directory != nullptr && directory->holds(workspace, path)) {
      return IoError{ErrorKind::InvalidInput, "path is reserved for the undo journal: " + path};
    }
  }
  if (workspace.is_protected(path)) {
    return IoError{ErrorKind::InvalidInput, "path is protected: " + path};
  }
  return std::nullopt;
}

bool recover_journals(JournalDirectory& journals, const RecoveryOptions& options) {
  Result<int> directory_fd = journals.open_existing();
  if (!directory_fd) {
    if (directory_fd.error().kind == ErrorKind::NotFound) return true;
    options.say("left the journal directory " + journals.path() + ": " +
                directory_fd.error().message);
    return false;
  }
  std::vector<HotJournal> hot;
  for (const std::string& name : journal_names(directory_fd.value())) {
    std::optional<Fd> file = open_hot_journal(directory_fd.value(), name);
    if (!file) continue;
    Result<JournalContents> contents = read_journal(file->get());
    hot.push_back(HotJournal{journals.path() + "/" + name, std::move(*file), std::move(contents)});
  }
  // The children of every journal are stopped together, within one bound for all of them.
  std::set<std::string> tokens;
  for (const HotJournal& journal : hot) {
    // Another project's runs are its own server's to stop.
    if (!journal.contents || journal.contents.value().base != options.workspace->base_path() ||
        (journal.contents.value().given_up && !options.retry_given_up)) {
      continue;
    }
    tokens.insert(journal.contents.value().run_tokens.begin(),
                  journal.contents.value().run_tokens.end());
  }
  const std::set<std::string> unstopped =
      tokens.empty() ? tokens : stop_runs(tokens, Clock::now() + kRecoveryWaitLimit);

  bool clean = true;
  for (HotJournal& journal : hot) {
    std::optional<Recovery> outcome = leave_unless_ours(journal, options);
    if (!outcome) {
      const JournalContents& recorded = journal.contents.value();
      const bool running =
          (recorded.given_up && !options.retry_given_up) ||
          std::any_of(recorded.run_tokens.begin(), recorded.run_tokens.end(),
                      [&](const std::string& token) { return unstopped.contains(token); });
      if (running) {
        if (!recorded.given_up) static_cast<void>(append_given_up(journal.file.get()));
        options.say("left the journal " + journal.shown +
                    ": a process it started could not be stopped; run with --recover to try again");
        outcome = Recovery::Kept;
      } else {
        outcome = recover_journal(journal, options);
      }
    }
    if (*outcome == Recovery::NotOurs) continue;
    clean &= *outcome == Recovery::Done;
    if (*outcome != Recovery::Kept) {
      if (options.put_back_runs != nullptr && journal.contents) {
        const std::vector<std::string>& runs = journal.contents.value().run_tokens;
        options.put_back_runs->insert(runs.begin(), runs.end());
      }
      const std::string name = journal.shown.substr(journals.path().size() + 1);
      ::unlinkat(directory_fd.value(), name.c_str(), 0);
    }
  }
  return clean;
}

}  // namespace quarry
