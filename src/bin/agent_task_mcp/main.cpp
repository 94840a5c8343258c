// quarry_agent_task: the MCP server on standard input and output.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "journal.h"
#include "options.h"
#include "registry_tasks.h"
#include "sandbox.h"
#include "server.h"
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
  std::optional<std::string> journal_dir;
  if (options.journal_dir) journal_dir = absolute(*options.journal_dir);
  if (options.root) {
    quarry::Result<quarry::Workspace> root = quarry::Workspace::confined(*options.root);
    if (!root || ::chdir(options.root->c_str()) != 0) {
      say("--root " + *options.root + ": " +
          (root ? quarry::os_error(errno) : root.error()).message);
      return 2;
    }
    settings->workspace = std::move(root).value();
    settings->protect = options.protect;
  }
  // The default journal directory is the project's own, beneath the root when there is one.
  quarry::Result<quarry::Workspace> journal_base = options.root && !journal_dir
                                                       ? quarry::Workspace::confined(".")
                                                       : quarry::Workspace::unconfined();
  if (!journal_base) {
    say("--root " + *options.root + ": " + journal_base.error().message);
    return 2;
  }
  auto journal = std::make_shared<quarry::JournalDirectory>(journal_dir, options.sync,
                                                            std::move(journal_base).value());
  if (quarry::Status ready = journal->prepare(); !ready) {
    say("cannot use the journal directory " + options.journal_dir.value_or(journal->path()) + ": " +
        ready.error().message);
    return 2;
  }
#ifndef QUARRY_WITHOUT_JOURNAL  // defined only for a benchmark that weighs the journal's cost
  settings->journal = journal;
#endif

  // A client that closes our standard output or error makes writes fail instead of ending the
  // process, here in the middle of a recovery too; a file-size limit fails a write (and rolls
  // its edit-set back) instead of ending the process part-way through a transaction.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Files left holding an unjudged edit-set by a server that died go back before anything else.
  const bool recovered = quarry::recover_journals(*journal, settings->workspace, say);
  if (options.recover) return recovered ? 0 : 1;
  {
    quarry::RegistryTasks tasks(quarry::TaskRegistry::create(), std::move(settings), options.verify,
                                &sandbox);
    const int interrupt_fd = quarry::termination::install();
    quarry::serve(tasks, 0, 1, interrupt_fd);
  }
  journal->remove_if_unused();
  return 0;
}
