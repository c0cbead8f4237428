#include "Uuid.h"

#include <algorithm>
#include <span>

#include "Crypto.h"

Uuid Uuid::random() {
  Uuid u;
  auto b = crypto::randomBytes(16);
  std::copy(b.begin(), b.end(), u.bytes_.begin());
  u.bytes_[6] = static_cast<std::uint8_t>((u.bytes_[6] & 0x0F) | 0x40);
  u.bytes_[8] = static_cast<std::uint8_t>((u.bytes_[8] & 0x3F) | 0x80);
  return u;
}

Uuid Uuid::named(std::string_view seed) {
  Uuid u;
  auto digest = crypto::sha1(std::span(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size()));
  std::copy_n(digest.begin(), u.bytes_.size(), u.bytes_.begin());
  u.bytes_[6] = static_cast<std::uint8_t>((u.bytes_[6] & 0x0F) | 0x50);
  u.bytes_[8] = static_cast<std::uint8_t>((u.bytes_[8] & 0x3F) | 0x80);
  return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid u;
  size_t byte = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes_[byte++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return u;
}

std::string Uuid::string() const {
  std::string h = crypto::hex(bytes_, true);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}
