#pragma once
// Decrypts WinZip AES (AE-1 and AE-2) while reading: PBKDF2-HMAC-SHA1 key derivation, a
// 2-byte password verifier checked when the stream is made, AES in counter mode. The
// authentication code at the end of the data is not read.

#include <array>
#include <memory>
#include <span>
#include <string_view>

#include "ZZHeaders.h"
#include "ZZStream.h"
#include "platform/Crypto.h"

class ZZAESDecryptInputStream : public ZZInputStream {
 public:
  static constexpr std::size_t verifierLength = 2;
  static constexpr std::size_t authenticationCodeLength = 10;

  // `header` is the salt followed by the verifier. Wrong password: code 12.
  static Result<std::unique_ptr<ZZAESDecryptInputStream>> create(std::unique_ptr<ZZInputStream> upstream,
                                                                 std::string_view password,
                                                                 std::span<const std::uint8_t> header,
                                                                 ZZAESEncryptionStrength strength);

  struct Key {
   private:
    friend class ZZAESDecryptInputStream;
    Key() = default;
  };
  ZZAESDecryptInputStream(Key, std::unique_ptr<ZZInputStream> upstream, crypto::AesEcb aes)
      : upstream_(std::move(upstream)), aes_(std::move(aes)) {}

  void open() override;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  void close() override;

 private:
  std::unique_ptr<ZZInputStream> upstream_;
  crypto::AesEcb aes_;
  std::array<std::uint8_t, 16> counter_{};
  std::array<std::uint8_t, 16> keystream_{};
  std::size_t keystreamPosition_ = 16;
};
