// quarry_agent_task: the MCP server on standard input and output.
#include <csignal>

#include "registry_tasks.h"
#include "server.h"
#include "termination.h"

int main() {
  // A client that closes our standard output makes writes fail instead of ending the process.
  std::signal(SIGPIPE, SIG_IGN);
  quarry::RegistryTasks tasks(quarry::TaskRegistry::create());
  const int interrupt_fd = quarry::termination::install();
  quarry::serve(tasks, 0, 1, interrupt_fd);
  return 0;
}
