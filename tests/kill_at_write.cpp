// Preloaded into the server by crash tests, which need SIGKILL to land part-way through one
// chosen write. QUARRY_KILL_AT_WRITE="B SIZE N" names the Nth write of at least SIZE bytes that
// starts with the byte B: half of it is written, then the process is killed.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  static char byte = 0;
  static size_t size = 0;
  static int left = -1;
  if (left < 0) {
    const char* chosen = std::getenv("QUARRY_KILL_AT_WRITE");
    if (chosen == nullptr || std::sscanf(chosen, "%c %zu %d", &byte, &size, &left) != 3) left = 0;
  }
  if (left > 0 && count >= size && static_cast<const char*>(buffer)[0] == byte && --left == 0) {
    syscall(SYS_write, fd, buffer, count / 2);
    kill(getpid(), SIGKILL);
  }
  return syscall(SYS_write, fd, buffer, count);
}
