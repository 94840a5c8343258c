// The confinement of the verifier through the built server, with the kernel's own Landlock: what
// the agent's code run by a verifier may and may not touch, and the server where Landlock is
// missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>

#include "process.h"
#include "test_support.h"

namespace quarry::testing {
namespace {

using nlohmann::json;

// Each row's verifier runs as the baseline of a task started in the confined server (0), in one
// given --network (1) or in one given --no-sandbox (2). The kernel refuses each attack: writes
// outside the writable directories (the journal's, the home directory, by a mutation tool too)
// with EACCES, the signal to the server with EPERM (ABI 6), the TCP connect with EACCES (ABI 4).
// What a build writes beneath the root, in $TMPDIR and in a --writable directory goes through.
TEST(Sandbox, WhatAConfinedVerifierMayTouch) {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
  if (abi < 0) GTEST_SKIP() << "no Landlock in this kernel: nothing confines the verifier";
  TempDir scratch;
  const std::string s = scratch.path();
  for (const char* made : {"/root", "/journal", "/extra"})
    std::filesystem::create_directory(s + made);
  write_script(scratch / "tools/bitegauge",
               "[ \"$1\" = --version ] && exit\n"
               "echo x > \"$HOME/mutant\"; echo 'killed: 9, survived: 1'");
  const std::string wrapper = scratch_environment(s) + "exec \"$@\" --root " + s +
                              "/root --journal-dir " + s + "/journal --writable " + s + "/extra";
  ServerSession servers[] = {
      ServerSession(s + "/root", scratch / "tools", wrapper),
      ServerSession(s + "/root", scratch / "tools", wrapper + " --network"),
      ServerSession(s + "/root", scratch / "tools", wrapper + " --no-sandbox")};
  // Only sessions of 2025-06-18 and later are told what confines their verifiers.
  servers[0].request(
      R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
  // A port on 127.0.0.1 whose backlog takes a connection.
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof address;
  sockaddr* bound = reinterpret_cast<sockaddr*>(&address);
  ASSERT_TRUE(::bind(listener.get(), bound, size) == 0 && ::listen(listener.get(), 8) == 0 &&
              ::getsockname(listener.get(), bound, &size) == 0);
  const std::string connect =
      "bash -c 'echo > /dev/tcp/127.0.0.1/" + std::to_string(ntohs(address.sin_port)) + "'";
  const std::string passed = R"("passed":true)";
  const std::tuple<int, long, std::string, std::string, std::string, bool> rows[] = {
      {0, 1, "echo x > " + s + "/journal/planted", "planted: Permission denied", "/journal/planted",
       false},
      {0, 1, "echo x > \"$HOME/planted\"", "planted: Permission denied", "/home/planted", false},
      // Where journals go by default: the state directory.
      {0, 1, "echo x > \"$XDG_STATE_HOME/planted\"", "planted: Permission denied", "/state/planted",
       false},
      // The server lives on to answer the next request.
      {0, 6, "kill -9 $PPID", "kill: Operation not permitted", "", false},
      {0, 4, connect, "connect: Permission denied", "", false},
      {1, 4, connect, passed, "", false},
      {0, 1,
       "mkdir build && echo > build/out.o && echo > \"$TMPDIR/t\" && echo > " + s + "/extra/w",
       passed, "/root/build/out.o", true},
      {0, 1, "pytest", R"("status":"measured")", "/home/mutant", false},
      {2, 1, "echo x > \"$HOME/planted\"", passed, "/home/planted", true},
  };
  for (const auto& [server, needed, verify_cmd, expected, path, written] : rows) {
    SCOPED_TRACE(verify_cmd);
    if (abi < needed) continue;
    const json reply =
        json::parse(servers[server].request(call_line(1, "task_start",
                                                      {{"goal", "g"},
                                                       {"verify_cmd", verify_cmd},
                                                       {"baseline", true},
                                                       {"min_mutation_score", 0.5}})));
    const json result = tool_text(reply.dump());
    EXPECT_NE(result.dump().find(expected), std::string::npos) << result.dump();
    EXPECT_TRUE(path.empty() || file_exists(s + path) == written) << path;
    EXPECT_EQ(result.contains("sandbox"), server == 0);
    EXPECT_TRUE(server != 0 || reply["result"]["structuredContent"] == result);
  }
  EXPECT_EQ(tool_text(servers[0].request(
                call_line(2, "task_start", {{"goal", "g"}, {"verify_cmd", "true"}})))["sandbox"],
            "landlock ABI " + std::to_string(abi) + " (writable: " + s + "/root, " + s + "/tmp, " +
                s + "/cache, /dev/shm, " + s + "/extra; network " + (abi < 4 ? "open" : "off") +
                (abi < 6 ? "; signals open)" : ")"));
}

// Landlock missing for real: a seccomp filter makes landlock_create_ruleset fail with ENOSYS, as
// on a kernel before 5.13. The server serves unconfined, saying so once, unless told not to.
TEST(Sandbox, WithoutLandlockTheServerSaysSoOrRefusesToServe) {
  const std::string reason =
      "unavailable (ENOSYS: no Landlock in this kernel, or a seccomp filter refuses it)\n";
  const std::tuple<const char*, int, std::string> rows[] = {
      {nullptr, 0, "quarry_agent_task: children run unconfined: the sandbox is " + reason},
      {"--require-sandbox", 2, "quarry_agent_task: --require-sandbox: the sandbox is " + reason},
      {"--version", 0, "quarry_agent_task 0.5.0\nsandbox: " + reason},
  };
  sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_landlock_create_ruleset, 0, 1),
                          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  const sock_fprog program{4, filter};
  TempDir dir;
  for (const auto& [option, status, output] : rows) {
    SCOPED_TRACE(option ? option : "no option");
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    Fd read_end(ends[0]);
    Fd write_end(ends[1]);
    const char* argv[] = {QUARRY_SERVER_BINARY, option, nullptr};
    // Whatever state the server keeps goes to the scratch directory.
    const std::string home = "HOME=" + dir.path(), state = "XDG_STATE_HOME=" + dir.path();
    const char* envp[] = {home.c_str(), state.c_str(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Standard input closed: the server reads end of input and ends.
      if (::dup2(write_end.get(), 1) == 1 && ::dup2(write_end.get(), 2) == 2 && ::close(0) == 0 &&
          ::chdir(dir.path().c_str()) == 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
          ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0) {
        ::execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
      }
      ::_exit(99);
    }
    write_end.reset();
    EXPECT_EQ(read_all(read_end.get()).value(), output);
    int wait_status = 0;
    ::waitpid(pid, &wait_status, 0);
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == status) << wait_status;
  }
}

}  // namespace
}  // namespace quarry::testing
