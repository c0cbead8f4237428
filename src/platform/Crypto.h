#pragma once
// Digests, key derivation, block cipher and randomness over OpenSSL's libcrypto.
// Every function is thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Data.h"
#include "Error.h"

namespace crypto {

using Sha1Digest = std::array<std::uint8_t, 20>;
using Md5Digest = std::array<std::uint8_t, 16>;

Sha1Digest sha1(std::span<const std::uint8_t> bytes);
Md5Digest md5(std::span<const std::uint8_t> bytes);
inline Md5Digest md5(std::string_view text) {
  return md5(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Incremental SHA-1 for content read in chunks.
class Sha1 {
 public:
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;
  void update(std::span<const std::uint8_t> bytes);
  Sha1Digest finish();

 private:
  void* ctx_;
};

std::string hex(std::span<const std::uint8_t> bytes, bool uppercase = false);

Data pbkdf2HmacSha1(std::string_view password, std::span<const std::uint8_t> salt, unsigned iterations,
                    std::size_t keyLength);

// AES in ECB mode without padding over whole 16-byte blocks; the key is 16, 24 or 32 bytes.
class AesEcb {
 public:
  static Result<AesEcb> create(std::span<const std::uint8_t> key, bool encrypt = true);
  AesEcb(AesEcb&& other) noexcept;
  AesEcb& operator=(AesEcb&& other) noexcept;
  ~AesEcb();
  // `in` and `out` are a multiple of 16 bytes long and may be the same buffer.
  void process(const std::uint8_t* in, std::uint8_t* out, std::size_t length);

 private:
  explicit AesEcb(void* ctx) : ctx_(ctx) {}
  void* ctx_ = nullptr;
};

Data randomBytes(std::size_t count);

std::string base64Encode(std::span<const std::uint8_t> bytes);
// Accepts the standard alphabet with padding; whitespace is skipped. None when malformed.
std::optional<Data> base64Decode(std::string_view text);

}  // namespace crypto
