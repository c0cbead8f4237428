// What a web process hands back as a printed page: any bytes, redrawn smaller or refused.
#include <cstddef>
#include <cstdint>

#include "export/PDFCompactor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  (void)PDFCompactor::compact(bytes);
  return 0;
}
