#pragma once
// Decrypts traditional PKWARE encryption while reading. The password is checked against the
// 12-byte encryption header when the stream is made; the scheme has no integrity check.

#include <memory>
#include <span>
#include <string_view>

#include "ZZStandardCryptoEngine.h"
#include "ZZStream.h"

class ZZStandardDecryptInputStream : public ZZInputStream {
 public:
  static constexpr std::size_t headerLength = 12;

  // `check` is the high 16 bits of the CRC-32, or the modification time when the sizes follow
  // the data; `version` is the central header's version made by. Wrong password: code 12.
  static Result<std::unique_ptr<ZZStandardDecryptInputStream>> create(std::unique_ptr<ZZInputStream> upstream,
                                                                      std::string_view password,
                                                                      std::span<const std::uint8_t> header,
                                                                      std::uint16_t check, std::uint8_t version);

  struct Key {
   private:
    friend class ZZStandardDecryptInputStream;
    Key() = default;
  };
  ZZStandardDecryptInputStream(Key, std::unique_ptr<ZZInputStream> upstream, ZZStandardCryptoEngine engine)
      : upstream_(std::move(upstream)), engine_(engine) {}

  void open() override;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  void close() override;

 private:
  std::unique_ptr<ZZInputStream> upstream_;
  ZZStandardCryptoEngine engine_;
};
