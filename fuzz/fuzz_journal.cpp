// The journal reader on arbitrary bytes: a journal on disk is input anyone able to write into
// the journal directory controls. Only the parse runs here; no file is ever touched.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const quarry::JournalContents contents = quarry::read_journal(bytes);
  if (contents.complete) {
    FUZZ_CHECK(quarry::is_readable_version(contents.version));
    for (const quarry::TouchedPath& touched : contents.touched) {
      FUZZ_CHECK(touched.written_digest.size() == (contents.version == 1 ? 64u : 32u));
    }
  }
  // Marks only ever follow the trailer: a complete prefix names the same paths as the whole.
  const quarry::JournalContents prefix = quarry::read_journal(bytes.substr(0, size / 2));
  if (prefix.complete) {
    FUZZ_CHECK(contents.complete);
    FUZZ_CHECK(prefix.touched.size() == contents.touched.size());
  }
  return 0;
}
