#include "provenance.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quarry {
namespace {

// Guards against digest bytes printed without zero padding, in upper case or reversed.
TEST(Sha256Hex, MatchesPublishedDigests) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Embedded NULs: a C-string interface would hash only the bytes before the first one.
      {std::string("\0\0\0", 3),
       "709e80c88487a2411e1ee4dfb9f22a861492d20c4765150c0c794abd70f8147c"},
  };
  for (const auto& [input, digest] : cases) {
    SCOPED_TRACE(input.substr(0, 60));
    EXPECT_EQ(sha256_hex(input), digest);
  }
}

// Guards against an incremental hash that mishandles pieces ending inside or exactly at a
// 64-byte block, empty pieces, or nothing fed at all.
TEST(Sha256, PiecesHashLikeTheirConcatenation) {
  EXPECT_EQ(Sha256().hex_digest(), sha256_hex(""));
  std::string message;
  for (int i = 0; i < 300; ++i) message.push_back(static_cast<char>(i * 7));
  for (std::size_t cut : {0, 1, 55, 56, 63, 64, 65, 128, 299, 300}) {
    SCOPED_TRACE(cut);
    Sha256 hash;
    hash.update(std::string_view(message).substr(0, cut));
    hash.update("");
    hash.update(std::string_view(message).substr(cut));
    EXPECT_EQ(hash.hex_digest(), sha256_hex(message));
  }
}

// Guards against a move that leaves the destination without the state fed so far.
TEST(Sha256, MovedHashKeepsItsState) {
  Sha256 first;
  first.update("a");
  Sha256 second(std::move(first));
  second.update("b");
  Sha256 third;
  third = std::move(second);
  third.update("c");
  EXPECT_EQ(third.hex_digest(), sha256_hex("abc"));
}

}  // namespace
}  // namespace quarry
