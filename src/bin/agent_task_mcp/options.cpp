#include "options.h"

#include <charconv>
#include <functional>
#include <string_view>

namespace quarry {
namespace {

constexpr std::string_view kVersion = "quarry_agent_task 0.5.0\n";

struct KnownOption {
  std::string_view name;
  bool takes_value;
  // Stores the value; an error text when the value is not acceptable.
  std::function<std::optional<std::string>(Options&, const std::string&)> apply;
};

std::optional<std::string> parse_seconds(Options& options, const std::string& value) {
  unsigned long long seconds = 0;
  const char* end = value.data() + value.size();
  const auto parsed = std::from_chars(value.data(), end, seconds);
  if (value.empty() || parsed.ec != std::errc{} || parsed.ptr != end || seconds == 0 ||
      seconds > 1'000'000'000) {
    return "--verify-timeout takes a whole number of seconds from 1, got '" + value + "'";
  }
  options.verify_timeout = std::chrono::seconds(seconds);
  return std::nullopt;
}

const std::vector<KnownOption>& known_options() {
  static const std::vector<KnownOption> options = {
      {"--verify-timeout", true, parse_seconds},
      {"--journal-dir", true,
       [](Options& o, const std::string& v) -> std::optional<std::string> {
         o.journal_dir = v;
         return std::nullopt;
       }},
      {"--sync", false,
       [](Options& o, const std::string&) -> std::optional<std::string> {
         o.sync = true;
         return std::nullopt;
       }},
      {"--recover", false,
       [](Options& o, const std::string&) -> std::optional<std::string> {
         o.recover = true;
         return std::nullopt;
       }},
      {"--root", true,
       [](Options& o, const std::string& v) -> std::optional<std::string> {
         o.root = v;
         return std::nullopt;
       }},
      {"--protect", true,
       [](Options& o, const std::string& v) -> std::optional<std::string> {
         o.protect.push_back(v);
         return std::nullopt;
       }},
      {"--verify", true,
       [](Options& o, const std::string& v) -> std::optional<std::string> {
         o.verify = v;
         return std::nullopt;
       }},
      {"--min-tests", true,
       [](Options& o, const std::string& v) -> std::optional<std::string> {
         if (v != "baseline") return "--min-tests takes 'baseline', got '" + v + "'";
         o.min_tests_baseline = true;
         return std::nullopt;
       }},
      {"--writable", true,
       [](Options& o, const std::string& v) -> std::optional<std::string> {
         o.writable.push_back(v);
         return std::nullopt;
       }},
      {"--network", false,
       [](Options& o, const std::string&) -> std::optional<std::string> {
         o.network = true;
         return std::nullopt;
       }},
      {"--no-sandbox", false,
       [](Options& o, const std::string&) -> std::optional<std::string> {
         o.sandbox = false;
         return std::nullopt;
       }},
      {"--require-sandbox", false,
       [](Options& o, const std::string&) -> std::optional<std::string> {
         o.require_sandbox = true;
         return std::nullopt;
       }},
  };
  return options;
}

CommandLine usage_error(const std::string& problem) {
  CommandLine line;
  line.exit_status = 2;
  line.text = "quarry_agent_task: " + problem + "\n\n" + usage();
  line.text_to_stderr = true;
  return line;
}

CommandLine exit_with(std::string_view text) {
  CommandLine line;
  line.exit_status = 0;
  line.text = std::string(text);
  return line;
}

}  // namespace

std::string usage() {
  return R"(Usage: quarry_agent_task [OPTION]...
An MCP server (JSON-RPC 2.0 on standard input and output) for verifier-gated, transactional
file editing by a coding agent.

Options:
  --root DIR              change to DIR and confine every task path beneath it: absolute
                          paths outside DIR, paths whose '..' climbs out and symbolic links
                          leading out are refused
  --protect PATTERN       refuse tasks that declare a file matching PATTERN (repeatable; needs
                          --root). PATTERN is matched against the file's resolved location
                          relative to the root: '*', '?' and '[...]' stay within one path
                          component, '**' as a whole component matches any number of them
                          (tests/** is everything under tests/)
  --verify CMD            verify every task's proposals with the shell command CMD: a task
                          that omits verify_cmd gets it, one that names another is refused,
                          so the gate stays in the operator's hands, not the agent's
  --min-tests baseline    reject a passing proposal whose verifier ran fewer tests than the
                          task's baseline (or its first run whose test counts were
                          recognised), and remember its edit-set as rejected; without it such
                          a proposal is kept with a warning
  --verify-timeout SECS   kill a verifier that runs longer and roll its edits back (default:
                          no limit; set it a little under the client's own tool time-out)
  --journal-dir DIR       keep the undo journal, open tasks and saved copies in DIR (default:
                          the project's state directory, $XDG_STATE_HOME/quarry-agent-task/KEY,
                          else ~/.local/state/quarry-agent-task/KEY, out of the project)
  --sync                  flush the journal to the device before the first write, and written
                          files at commit, so that edits survive power loss as well
  --recover               put back the files of proposals interrupted by a crash, then exit
                          (status 1 when a file could not be put back or was left as it was)
  --writable DIR          let the confined children write beneath DIR too (repeatable), for
                          toolchains that keep state elsewhere (~/.cargo, ~/.npm, ~/go)
  --network               let the confined children bind and connect TCP sockets
  --no-sandbox            run the children unconfined, with every right of the server
  --require-sandbox       exit with status 2 at start when the confinement is unavailable
                          (otherwise the children run unconfined, said in one line on stderr)
  --help                  show this text and exit
  --version               show the version and the children's confinement, and exit

Verifiers, baseline runs and mutation tools, and every process they start, run confined with
Landlock: they may read and execute everything, but write only beneath the root (or the working
directory), $TMPDIR (else /tmp), $XDG_CACHE_HOME (else ~/.cache), /dev/shm and each --writable
DIR, and to /dev/null and the terminals; they may neither bind nor connect TCP sockets, nor
signal any process outside their own run, the server included.
)";
}

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine line;
  bool version = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") return exit_with(usage());
    // The confinement reported depends on the options around it.
    if (arg == "--version") {
      version = true;
      continue;
    }
    // Both "--name value" and "--name=value".
    const std::size_t equals = arg.find('=');
    const std::string_view name = std::string_view(arg).substr(0, equals);
    const KnownOption* option = nullptr;
    for (const KnownOption& candidate : known_options()) {
      if (candidate.name == name) option = &candidate;
    }
    if (option == nullptr) return usage_error("unknown option '" + arg + "'");
    std::string value;
    if (equals != std::string::npos) {
      if (!option->takes_value) return usage_error(std::string(name) + " takes no value");
      value = arg.substr(equals + 1);
    } else if (option->takes_value) {
      if (i + 1 == args.size()) return usage_error(std::string(name) + " needs a value");
      value = args[++i];
    }
    if (std::optional<std::string> problem = option->apply(line.options, value)) {
      return usage_error(*problem);
    }
  }
  if (!line.options.protect.empty() && !line.options.root) {
    return usage_error("--protect needs --root: its patterns are relative to the root");
  }
  if (line.options.require_sandbox && !line.options.sandbox) {
    return usage_error("--require-sandbox and --no-sandbox contradict each other");
  }
  if (version) {
    CommandLine shown = exit_with(kVersion);
    shown.options = std::move(line.options);
    shown.report_sandbox = true;
    return shown;
  }
  return line;
}

}  // namespace quarry
