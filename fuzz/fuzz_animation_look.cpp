// The look for an animation by a picture's headers alone: within its bounds it says what reading
// the whole file says (more than one frame or not), read through windows as a file is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/ImageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  std::uint64_t read = 0;
  auto readAt = [&](std::uint64_t offset, std::span<std::uint8_t> into) -> std::size_t {
    if (offset > size) __builtin_trap();  // never asks past the end it was told
    std::size_t count = std::min<std::size_t>(into.size(), size - std::size_t(offset));
    std::memcpy(into.data(), data + offset, count);
    read += count;
    return count;
  };
  auto animates = ImageHeader::isAnimation(readAt, size);
  if (read > ImageHeader::maximumAnimationLookBytes) __builtin_trap();
  if (animates) {
    auto facts = ImageHeader::read(bytes);
    if (*animates != (facts && facts->frames > 1)) __builtin_trap();
  }
  return 0;
}
