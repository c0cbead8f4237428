// Untrusted bytes as the "text/uri-list" of a drag from another program.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/URIList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto files = URIList::localFiles(std::string_view(reinterpret_cast<const char*>(bytes), size), 16);
  if (files.size() > 16) __builtin_trap();
  return 0;
}
