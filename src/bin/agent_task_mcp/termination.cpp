#include "termination.h"

#include <fcntl.h>
#include <signal.h>

#include <unistd.h>

#include <cerrno>

namespace quarry::termination {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t serving = 0;
volatile sig_atomic_t held_signal = 0;
int wake_write_fd = -1;

void end_by(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  // Delivered as soon as the handler (if any) returns, with the default disposition.
  raise(signal_number);
}

void on_termination_signal(int signal_number) {
  if (!serving) {
    end_by(signal_number);
    return;
  }
  held_signal = signal_number;
  const int saved_errno = errno;
  const char byte = 1;
  (void)!write(wake_write_fd, &byte, 1);
  errno = saved_errno;
}

}  // namespace

int install() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  wake_write_fd = fds[1];
  struct sigaction action = {};
  action.sa_handler = on_termination_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kSignals) sigaddset(&action.sa_mask, signal_number);
  action.sa_flags = SA_RESTART;
  for (int signal_number : kSignals) {
    // A signal ignored at start (under nohup, or in a shell's background job) stays ignored,
    // as whoever started the server chose.
    struct sigaction at_start = {};
    if (sigaction(signal_number, nullptr, &at_start) == 0 && at_start.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal_number, &action, nullptr);
  }
  return fds[0];
}

void enter_request() {
  serving = 1;
}

void leave_request() {
  serving = 0;
  if (held_signal != 0) end_by(held_signal);
}

}  // namespace quarry::termination
