// The journal reader on arbitrary bytes: a journal on disk is input anyone able to write into
// the journal directory controls. Only the parse runs here; no file is ever touched.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "journal.h"

namespace {

// `bytes` as a file, read back as recovery reads a journal.
quarry::Result<quarry::JournalContents> read_back(std::string_view bytes) {
  quarry::Fd file(::memfd_create("journal", MFD_CLOEXEC));
  FUZZ_CHECK(file && quarry::write_all(file.get(), bytes).ok());
  return quarry::read_journal(file.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const quarry::Result<quarry::JournalContents> contents = read_back(bytes);
  if (contents && contents.value().complete) {
    FUZZ_CHECK(quarry::is_readable_version(contents.value().version));
    for (const quarry::RecordedPath& path : contents.value().paths) {
      FUZZ_CHECK(path.written_digest.size() == (contents.value().version == 1 ? 64u : 32u));
      // A prior lies within the file: recovery never reads past its end.
      FUZZ_CHECK(path.prior_offset + path.prior_length <= size);
    }
  }
  // Marks only ever follow the trailer: a complete prefix names the same paths as the whole.
  const quarry::Result<quarry::JournalContents> prefix = read_back(bytes.substr(0, size / 2));
  if (prefix && prefix.value().complete) {
    FUZZ_CHECK(contents && contents.value().complete);
    FUZZ_CHECK(prefix.value().paths.size() == contents.value().paths.size());
  }
  return 0;
}
