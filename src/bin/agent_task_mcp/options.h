// The server's command line. Without options it behaves as it always has: unconfined in its
// working directory, no verifier time limit, the undo journal in the project's state directory.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quarry {

struct Options {
  std::optional<std::chrono::seconds> verify_timeout;
  std::optional<std::string> journal_dir;  // nothing: the project's state directory
  bool sync = false;                       // fsync the journal before writing, files at commit
  bool recover = false;                    // only recover hot journals, then exit
  std::optional<std::string> root;         // confine every task path beneath this directory
  std::vector<std::string> protect;        // patterns of root-relative paths no task may declare
  std::optional<std::string> verify;       // the verifier of every task, fixed by the operator
  std::vector<std::string> writable;       // more directories the confined children may write
  bool network = false;                    // confined children may bind and connect TCP sockets
  bool sandbox = true;                     // false: children run unconfined
  bool require_sandbox = false;            // refuse to serve without the confinement
  // A passing run that ran fewer tests than the task's baseline is rejected, not only warned of.
  bool min_tests_baseline = false;
};

// What the command line asks for: serve with these options, or print `text` and exit.
struct CommandLine {
  Options options;
  std::optional<int> exit_status;  // set for --help, --version and usage errors
  std::string text;                // what to print before exiting
  bool text_to_stderr = false;
  bool report_sandbox = false;  // --version: the sandbox `options` give is reported after `text`
};

CommandLine parse_command_line(const std::vector<std::string>& args);

// The --help text.
std::string usage();

}  // namespace quarry
