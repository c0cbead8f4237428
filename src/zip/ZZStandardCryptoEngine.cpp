#include "ZZStandardCryptoEngine.h"

#include <array>

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr auto kCrcTable = makeCrcTable();

std::uint32_t crc32Step(std::uint32_t c, std::uint8_t b) { return (c >> 8) ^ kCrcTable[(c ^ b) & 0xff]; }

}  // namespace

ZZStandardCryptoEngine::ZZStandardCryptoEngine(std::string_view password) {
  for (char c : password) {
    if (c == '\0') break;
    updateKeys(static_cast<std::uint8_t>(c));
  }
}

void ZZStandardCryptoEngine::updateKeys(std::uint8_t plain) {
  keys_[0] = crc32Step(keys_[0], plain);
  keys_[1] = (keys_[1] + (keys_[0] & 0xff)) * 134775813u + 1;
  keys_[2] = crc32Step(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
}

std::uint8_t ZZStandardCryptoEngine::decryptByte() const {
  std::uint32_t t = (keys_[2] | 2) & 0xffff;
  return static_cast<std::uint8_t>((t * (t ^ 1)) >> 8);
}
