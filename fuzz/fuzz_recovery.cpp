// Recovery of planted journal directories: whatever journals (any version and shape), links,
// FIFOs or sparse files lie in the state directory, recovery changes nothing outside its root nor
// in a protected path, and ends within its bound. The input is a journal after its header (the
// header names this scratch root, so that recovery acts on it) and its first byte the file's
// shape.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "check.h"
#include "recovery.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kKept = "kept bytes";

// Its path has the same length in every process, so that a trailer's offset in a seed stays
// right.
struct Scratch {
  std::string top = [] {
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/quarry-fuzz-recovery-%010d", ::getpid());
    return std::string(name);
  }();
  std::string root = top + "/root";
  std::string state = top + "/state";
};

void put(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string little_endian(std::uint64_t value, int size) {
  std::string bytes;
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const Scratch scratch;
  std::error_code ignored;
  fs::remove_all(scratch.top, ignored);
  fs::create_directories(scratch.root + "/tests");
  fs::create_directories(scratch.state);
  put(scratch.top + "/outside", kKept);
  put(scratch.root + "/tests/p", kKept);
  put(scratch.root + "/a", "unverified");

  const std::uint8_t shape = data[0];
  const std::uint32_t version = 1 + data[1] % 3;
  const std::string base = fs::canonical(scratch.root);
  const std::string journal = scratch.state + "/1-0.journal";
  put(journal, "quarry-agent-task journal\n" + little_endian(version, 4) + '\x01' +
                   little_endian(base.size(), 8) + base +
                   std::string(reinterpret_cast<const char*>(data) + 2, size - 2));
  switch (shape % 4) {
    case 1:
      ::mkfifo((scratch.state + "/2-0.journal").c_str(), 0600);
      break;
    case 2:
      fs::create_symlink(scratch.top + "/outside", scratch.state + "/2-0.journal", ignored);
      break;
    case 3:
      fs::resize_file(journal, (std::uintmax_t{1} << 40) + shape, ignored);
      break;
    default:
      break;
  }

  quarry::Result<quarry::Workspace> workspace = quarry::Workspace::confined(scratch.root);
  FUZZ_CHECK(workspace.ok());
  workspace.value().protect({"tests/**"});
  quarry::JournalDirectory directory(scratch.state, quarry::JournalDirectory::Kind::Given, false,
                                     quarry::Workspace::unconfined());
  quarry::RecoveryOptions options{
      &workspace.value(), &directory, {&directory}, false, [](const std::string&) {}};
  const auto started = std::chrono::steady_clock::now();
  static_cast<void>(quarry::recover_journals(directory, options));
  FUZZ_CHECK(std::chrono::steady_clock::now() - started <
             quarry::kRecoveryWaitLimit + std::chrono::seconds(2));
  FUZZ_CHECK(read(scratch.top + "/outside") == kKept);
  FUZZ_CHECK(read(scratch.root + "/tests/p") == kKept);
  return 0;
}
