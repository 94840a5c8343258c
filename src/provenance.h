// Digests as lower-case hexadecimal text: SHA-256 on libcrypto's EVP interface for fingerprints,
// and a fast non-cryptographic one for telling whether a file still holds known bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quarry {

// The SHA-256 digest of `bytes` as 64 lower-case hexadecimal characters.
std::string sha256_hex(std::string_view bytes);

// The XXH3-128 digest of `bytes` as 32 lower-case hexadecimal characters: for recognising bytes
// this server wrote or saw, never for anything an attacker could profit from colliding.
std::string content_digest(std::string_view bytes);

// The XXH3-64 digest of `bytes`: for telling a piece of a file written whole from one cut short
// or garbled, where the hexadecimal text would cost more than the hashing.
std::uint64_t content_checksum(std::string_view bytes);

// An incremental content_digest: feeding pieces gives the digest of their concatenation.
class ContentDigest {
 public:
  ContentDigest();
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;

  void update(std::string_view bytes);
  std::string hex_digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// An incremental SHA-256: feeding pieces gives the digest of their concatenation.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(std::string_view bytes);
  std::string hex_digest();  // finishes the hash; call once

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quarry
