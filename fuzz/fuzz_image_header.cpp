// Picture headers: what a file says of its size, frames and density before any pixel is read,
// and the bound that decides whether it may be decoded.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ImageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto facts = ImageHeader::read(std::span<const std::uint8_t>(data, size));
  if (facts) {
    (void)facts->decodedPixels();
    (void)facts->pointWidth();
    (void)facts->pointHeight();
    (void)ImageHeader::loaderName(facts->format);
  }
  return 0;
}
