// Decodes untrusted bytes as a working copy's file-status record and encodes what it accepts again.

#include <cstddef>
#include <cstdint>
#include <span>

#include "document/storage/KXFileStatusRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto files = KXFileStatusRecord::decode(std::span(bytes, size));
  if (!files) return 0;
  auto text = KXFileStatusRecord::encode(*files);
  auto again = KXFileStatusRecord::decode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  if (!again || !(*again == *files)) __builtin_trap();
  return 0;
}
