// Untrusted bytes as the address of a picture a page asks for at its drawn size.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/PictureStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto drawn = PictureStore::drawnIn(std::string(reinterpret_cast<const char*>(bytes), size));
  auto named = [](int side) {
    return side == PictureStore::maximumDrawnSide ||
           (side >= 16 && side < PictureStore::maximumDrawnSide && (side & (side - 1)) == 0);
  };
  bool nothing = drawn.width == 0 && drawn.height == 0;
  if (!nothing && !(named(drawn.width) && named(drawn.height))) __builtin_trap();
  return 0;
}
