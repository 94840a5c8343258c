#include "provenance.h"

#include <openssl/evp.h>
// Inlined: the digest is a few functions, and no shared library is loaded at start for them.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <new>

namespace quarry {
namespace {

std::string to_hex(const unsigned char* digest, unsigned int length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 0x0f]);
  }
  return hex;
}

// Fetched once: libcrypto would otherwise look the digest up on every initialisation, which
// costs more than hashing a small edit-set.
const EVP_MD* sha256_method() {
  static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return fetched != nullptr ? fetched : EVP_sha256();
}

std::string xxh128_hex(XXH128_hash_t hash) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  return to_hex(canonical.digest, sizeof canonical.digest);
}

}  // namespace

std::string content_digest(std::string_view bytes) {
  return xxh128_hex(XXH3_128bits(bytes.data(), bytes.size()));
}

std::uint64_t content_checksum(std::string_view bytes) {
  return XXH3_64bits(bytes.data(), bytes.size());
}

struct ContentDigest::State {
  XXH3_state_t xxh3;
};

ContentDigest::ContentDigest() : state_(std::make_unique<State>()) {
  XXH3_128bits_reset(&state_->xxh3);
}
ContentDigest::~ContentDigest() = default;

void ContentDigest::update(std::string_view bytes) {
  XXH3_128bits_update(&state_->xxh3, bytes.data(), bytes.size());
}

std::string ContentDigest::hex_digest() const {
  return xxh128_hex(XXH3_128bits_digest(&state_->xxh3));
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // With a built-in digest the only way to fail is an allocation inside libcrypto.
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, sha256_method(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return to_hex(digest, length);
}

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;

  State() : context(EVP_MD_CTX_new()) {
    if (context == nullptr || EVP_DigestInit_ex(context, sha256_method(), nullptr) != 1) {
      EVP_MD_CTX_free(context);
      throw std::bad_alloc();
    }
  }
  ~State() { EVP_MD_CTX_free(context); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
  // A built-in digest's update cannot fail.
  EVP_DigestUpdate(state_->context, bytes.data(), bytes.size());
}

std::string Sha256::hex_digest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest, &length);
  return to_hex(digest, length);
}

}  // namespace quarry
