#include "ZZAESDecryptInputStream.h"

#include "ZZError.h"

namespace {
constexpr unsigned kIterations = 1000;
}

Result<std::unique_ptr<ZZAESDecryptInputStream>> ZZAESDecryptInputStream::create(
    std::unique_ptr<ZZInputStream> upstream, std::string_view password, std::span<const std::uint8_t> header,
    ZZAESEncryptionStrength strength) {
  std::size_t saltLength = ZZWinZipAESExtraField::saltLength(strength);
  std::size_t keyLength = ZZWinZipAESExtraField::keyLength(strength);
  if (header.size() < saltLength + verifierLength)
    return fail(zzError(ZZErrorCode::entryDataInvalid, "the entry is too short for its encryption header"));
  // Encryption key, authentication key, then the 2-byte verifier.
  Data derived = crypto::pbkdf2HmacSha1(password, header.first(saltLength), kIterations, 2 * keyLength + verifierLength);
  if (derived.size() != 2 * keyLength + verifierLength)
    return fail(zzError(ZZErrorCode::unsupportedEncryption, "the key could not be derived"));
  if (derived[2 * keyLength] != header[saltLength] || derived[2 * keyLength + 1] != header[saltLength + 1])
    return fail(zzError(ZZErrorCode::wrongPassword, "the password is wrong"));
  auto aes = crypto::AesEcb::create(std::span(derived.data(), keyLength), true);
  if (!aes) return fail(zzError(ZZErrorCode::unsupportedEncryption, aes.error(), "AES is not available"));
  return std::make_unique<ZZAESDecryptInputStream>(Key(), std::move(upstream), std::move(*aes));
}

void ZZAESDecryptInputStream::open() {
  upstream_->open();
  status_ = upstream_->streamStatus();
  error_ = upstream_->streamError();
}

std::ptrdiff_t ZZAESDecryptInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  std::ptrdiff_t n = upstream_->read(buffer, maxLength);
  status_ = upstream_->streamStatus();
  error_ = upstream_->streamError();
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    if (keystreamPosition_ == keystream_.size()) {
      // The counter is the first 4 bytes, little-endian, starting at 1.
      for (std::size_t k = 0; k < 4 && ++counter_[k] == 0; ++k) {
      }
      aes_.process(counter_.data(), keystream_.data(), keystream_.size());
      keystreamPosition_ = 0;
    }
    buffer[i] ^= keystream_[keystreamPosition_++];
  }
  return n;
}

void ZZAESDecryptInputStream::close() {
  upstream_->close();
  status_ = upstream_->streamStatus();
  error_ = upstream_->streamError();
}
