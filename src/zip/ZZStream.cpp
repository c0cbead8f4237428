#include "ZZStream.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

std::uint32_t zzCrc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  uLong c = crc;
  while (!bytes.empty()) {
    auto n = static_cast<uInt>(std::min<std::size_t>(bytes.size(), UINT_MAX));
    c = ::crc32(c, bytes.data(), n);
    bytes = bytes.subspan(n);
  }
  return static_cast<std::uint32_t>(c);
}
