// The task record reader on arbitrary bytes: a kept task is input anyone able to write into the
// journal directory controls. Only the parse runs here; no file is ever touched.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "task_store.h"

namespace {

// `bytes` as a file, read back as a server taking tasks over reads a record.
quarry::Result<quarry::KeptTask> read_back(std::string_view bytes) {
  quarry::Fd file(::memfd_create("record", MFD_CLOEXEC));
  FUZZ_CHECK(file && quarry::write_all(file.get(), bytes).ok());
  return quarry::read_task_record(file.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const quarry::Result<quarry::KeptTask> kept = read_back(bytes);
  if (kept) {
    const quarry::KeptTask& task = kept.value();
    FUZZ_CHECK(task.starts.size() == task.record.files.size());
    for (std::size_t i = 0; i < task.starts.size(); ++i) {
      FUZZ_CHECK(task.starts[i].has_value() == task.record.files[i].present);
      FUZZ_CHECK(task.record.files[i].mode <= 07777);
    }
    // Written again, what was read reads back the same: no member is lost on the way.
    const std::string written = quarry::task_record_bytes(task);
    const quarry::Result<quarry::KeptTask> again = read_back(written);
    FUZZ_CHECK(again && quarry::task_record_bytes(again.value()) == written);
  }
  // A record cut anywhere reads as a record that ended there, or as none.
  const quarry::Result<quarry::KeptTask> prefix = read_back(bytes.substr(0, size / 2));
  if (prefix && kept) FUZZ_CHECK(prefix.value().attempts.size() <= kept.value().attempts.size());
  return 0;
}
