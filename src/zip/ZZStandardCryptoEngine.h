#pragma once
// The three-key cipher state of traditional PKWARE encryption.

#include <cstdint>
#include <string_view>

class ZZStandardCryptoEngine {
 public:
  ZZStandardCryptoEngine() = default;
  // Keys after taking the password's bytes up to its first zero byte.
  explicit ZZStandardCryptoEngine(std::string_view password);

  void updateKeys(std::uint8_t plain);
  std::uint8_t decryptByte() const;
  std::uint8_t decrypt(std::uint8_t cipher) {
    std::uint8_t plain = cipher ^ decryptByte();
    updateKeys(plain);
    return plain;
  }
  std::uint8_t encrypt(std::uint8_t plain) {
    std::uint8_t cipher = plain ^ decryptByte();
    updateKeys(plain);
    return cipher;
  }

 private:
  std::uint32_t keys_[3] = {0x12345678, 0x23456789, 0x34567890};
};
