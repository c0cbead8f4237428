// What a web process hands back as a printed page: any bytes, made smaller or refused; and the
// fonts inside it, cut down to a few glyphs named by the input's first bytes.
#include <cstddef>
#include <cstdint>
#include <set>

#include "export/PDFCompactor.h"
#include "export/TrueTypeSubsetter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  (void)PDFCompactor::compact(bytes);
  std::set<std::uint16_t> glyphs;
  for (std::size_t i = 0; i + 1 < size && i < 16; i += 2) glyphs.insert(static_cast<std::uint16_t>(data[i] << 8 | data[i + 1]));
  (void)TrueTypeSubsetter::subset(bytes, glyphs);
  return 0;
}
