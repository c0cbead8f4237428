// Decodes untrusted bytes as a project's manifest and encodes what it accepts again.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "document/storage/KXDocumentArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto manifest = KXDocumentArchive::decodeManifest(std::string_view(reinterpret_cast<const char*>(bytes), size));
  if (!manifest) return 0;
  auto again = KXDocumentArchive::decodeManifest(KXDocumentArchive::encode(KXDocumentArchive::manifestJSON(*manifest)));
  if (!again || !(*again == *manifest)) __builtin_trap();
  return 0;
}
