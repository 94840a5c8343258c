// quarry_agent_task: the MCP server on standard input and output.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "journal.h"
#include "options.h"
#include "recovery.h"
#include "registry_tasks.h"
#include "revision.h"
#include "sandbox.h"
#include "server.h"
#include "task_store.h"
#include "termination.h"

namespace {

void say(const std::string& line) {
  static_cast<void>(quarry::write_all(STDERR_FILENO, "quarry_agent_task: " + line + "\n"));
}

// A directory given relative to where the server was started, whatever --root changes.
std::string absolute(const std::string& directory) {
  if (directory.starts_with('/')) return directory;
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  return std::string(cwd ? cwd.get() : ".") + "/" + directory;
}

// Journals in the project's own .quarry-agent-task/, where servers kept them before the state
// directory: recovered once, by the first server that finds the state directory without its
// mark, and never read again, so that a journal planted there later does nothing.
bool upgrade(const quarry::TaskSettings& settings, quarry::RecoveryOptions recovery) {
  const std::string mark = settings.journal->path() + "/upgraded";
  if (::access(mark.c_str(), F_OK) == 0) return true;
  const quarry::Workspace& project = settings.workspace;
  quarry::Result<quarry::Workspace> where = project.is_confined()
                                                ? quarry::Workspace::confined(project.base_path())
                                                : quarry::Workspace::unconfined();
  if (!where) return false;
  quarry::JournalDirectory legacy(project.base_path() + "/.quarry-agent-task",
                                  quarry::JournalDirectory::Kind::Legacy, false,
                                  std::move(where).value());
  recovery.reserved.push_back(&legacy);
  const bool recovered = quarry::recover_journals(legacy, recovery);
  legacy.remove_if_unused();
  quarry::Fd made(::open(mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  return recovered;
}

// The confinement of every child the options ask for, directories given relative to where the
// server was started.
quarry::Sandbox confinement(const quarry::Options& options) {
  if (!options.sandbox) return quarry::Sandbox::off();
  quarry::SandboxRequest request;
  request.root = absolute(options.root.value_or("."));
  for (const std::string& directory : options.writable) {
    request.writable.push_back(absolute(directory));
  }
  request.network = options.network;
  return quarry::Sandbox::build(request);
}

}  // namespace

int main(int argc, char** argv) {
  const quarry::CommandLine command_line =
      quarry::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  const quarry::Options& options = command_line.options;
  if (command_line.exit_status) {
    std::string text = command_line.text;
    if (command_line.report_sandbox) text += "sandbox: " + confinement(options).report() + "\n";
    static_cast<void>(
        quarry::write_all(command_line.text_to_stderr ? STDERR_FILENO : STDOUT_FILENO, text));
    return *command_line.exit_status;
  }

  // A standard stream the client closed is opened again on the null device: otherwise the next
  // descriptor opened (a verifier's pipe, a task's file, a journal) would take its number and
  // receive what is meant for the client.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      (void)::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }

  const quarry::Sandbox sandbox = confinement(options);
  if (options.sandbox && !sandbox.confines()) {
    if (options.require_sandbox) {
      say("--require-sandbox: the sandbox is " + sandbox.report());
      return 2;
    }
    say("children run unconfined: the sandbox is " + sandbox.report());
  }

  auto settings = std::make_shared<quarry::TaskSettings>();
  settings->verify_timeout = options.verify_timeout;
  settings->min_tests =
      options.min_tests_baseline ? quarry::MinTests::Baseline : quarry::MinTests::Warn;
  if (options.verify) quarry::name_fixed_verifier(*options.verify);
  if (options.root) {
    quarry::Result<quarry::Workspace> root = quarry::Workspace::confined(*options.root);
    if (!root || ::chdir(options.root->c_str()) != 0) {
      say("--root " + *options.root + ": " +
          (root ? quarry::os_error(errno) : root.error()).message);
      return 2;
    }
    settings->workspace = std::move(root).value();
    settings->workspace.protect(options.protect);
  }
  const std::string& project = settings->workspace.base_path();
  quarry::Result<std::string> journal_path =
      options.journal_dir ? quarry::Result<std::string>(absolute(*options.journal_dir))
                          : quarry::project_state_directory(project);
  if (!journal_path) {
    say("cannot find the state directory: " + journal_path.error().message);
    return 2;
  }
  const auto kind = options.journal_dir ? quarry::JournalDirectory::Kind::Given
                                        : quarry::JournalDirectory::Kind::State;
  auto journal = std::make_shared<quarry::JournalDirectory>(
      journal_path.value(), kind, options.sync, quarry::Workspace::unconfined());
  if (quarry::Status ready = journal->prepare(); !ready) {
    say("cannot use the journal directory " + options.journal_dir.value_or(journal->path()) + ": " +
        ready.error().message);
    return 2;
  }
  // Journals the code under test can write are journals it can plant.
  if (sandbox.confines() && sandbox.leaves_writable(journal->path())) {
    say("warning: the verifier may write into the journal directory " + journal->path() +
        ", so journals there could be planted; give --journal-dir a directory outside the "
        "project and the writable ones");
  }
  settings->journal = journal;
  if (!options.protect.empty()) {
    settings->protected_copies = std::make_shared<quarry::ProtectedCopies>(journal);
  }
#ifdef QUARRY_WITHOUT_JOURNAL  // defined only for a benchmark that weighs the journal's cost
  settings->journaling = false;
#endif

  // A client that closes our standard output or error makes writes fail instead of ending the
  // process, here in the middle of a recovery too; a file-size limit fails a write (and rolls
  // its edit-set back) instead of ending the process part-way through a transaction.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Files left holding an unjudged edit-set by a server that died go back before anything else.
  std::set<std::string> put_back_runs;
  quarry::RecoveryOptions recovery{&settings->workspace, journal.get(), {journal.get()},
                                   options.recover,      say,           &put_back_runs};
  bool recovered = quarry::recover_journals(*journal, recovery);
  if (kind == quarry::JournalDirectory::Kind::State) recovered &= upgrade(*settings, recovery);
  if (options.recover) return recovered ? 0 : 1;
  {
    // Then the open tasks of servers that are gone, their files as recovery left them: each is
    // taken over by the first request that names it.
    auto registry = quarry::TaskRegistry::create();
    std::shared_ptr<quarry::TaskStore> store;
    if (settings->journaling) {
      store = std::make_shared<quarry::TaskStore>(journal, settings->workspace, say);
      store->survey(put_back_runs);
      settings->keeper = store;
    }
    quarry::RegistryTasks tasks(std::move(registry), std::move(settings), options.verify, &sandbox,
                                std::move(store));
    const int interrupt_fd = quarry::termination::install();
    quarry::serve(tasks, 0, 1, interrupt_fd);
  }
  return 0;
}
