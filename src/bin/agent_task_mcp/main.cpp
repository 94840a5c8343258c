// quarry_agent_task: the MCP server on standard input and output.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "options.h"
#include "registry_tasks.h"
#include "server.h"
#include "termination.h"

int main(int argc, char** argv) {
  const quarry::CommandLine command_line =
      quarry::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  if (command_line.exit_status) {
    const std::string& text = command_line.text;
    (void)!::write(command_line.text_to_stderr ? STDERR_FILENO : STDOUT_FILENO, text.data(),
                   text.size());
    return *command_line.exit_status;
  }
  const quarry::Options& options = command_line.options;

  // A standard stream the client closed is opened again on the null device: otherwise the next
  // descriptor opened (a verifier's pipe, a task's file) would take its number and receive
  // what is meant for the client.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      (void)::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }

  // A client that closes our standard output makes writes fail instead of ending the process,
  // and a file-size limit fails a write (and rolls its edit-set back) instead of ending it
  // part-way through a transaction.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  auto settings = std::make_shared<quarry::TaskSettings>();
  settings->verify_timeout = options.verify_timeout;
  quarry::RegistryTasks tasks(quarry::TaskRegistry::create(), std::move(settings));
  const int interrupt_fd = quarry::termination::install();
  quarry::serve(tasks, 0, 1, interrupt_fd);
  return 0;
}
