// The check every verifier run ends with: 2,000 protected files beneath a root, none changed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "protected_files.h"

namespace {

namespace fs = std::filesystem;

void BM_CheckTwoThousandProtectedFiles(benchmark::State& state) {
  std::string top = (fs::temp_directory_path() / "quarry-protected-XXXXXX").string();
  if (::mkdtemp(top.data()) == nullptr) return state.SkipWithError("mkdtemp failed");
  for (int i = 0; i < 2000; ++i) {
    const fs::path file = fs::path(top) / "root/tests" / std::to_string(i % 40) /
                          ("test_" + std::to_string(i) + ".py");
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "def test_" << i << "(): assert " << i << "\n";
  }
  quarry::Result<quarry::Workspace> workspace = quarry::Workspace::confined(top + "/root");
  if (!workspace) return state.SkipWithError("no root");
  workspace.value().protect({"tests/**"});
  auto directory = std::make_shared<quarry::JournalDirectory>(
      top + "/state", quarry::JournalDirectory::Kind::Given, false,
      quarry::Workspace::unconfined());
  static_cast<void>(directory->prepare());
  {
    quarry::ProtectedCopies copies(directory);
    quarry::Result<quarry::ProtectedSet> set = copies.snapshot(workspace.value());
    if (!set || set.value().files.size() != 2000) return state.SkipWithError("no snapshot");
    for (auto _ : state) {
      quarry::Result<std::vector<std::string>> changed =
          quarry::undo_protected_changes(workspace.value(), directory.get(), set.value());
      if (!changed || !changed.value().empty()) return state.SkipWithError("changed");
    }
  }
  fs::remove_all(top);
}
BENCHMARK(BM_CheckTwoThousandProtectedFiles)->Unit(benchmark::kMillisecond);

}  // namespace
