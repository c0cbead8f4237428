// The editor's app-globals.json: the document version and the application menu it describes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/AppInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)AppInfo::decodeOstrelGlobals(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
