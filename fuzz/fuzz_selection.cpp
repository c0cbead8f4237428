// The editor's preview selection as the project server pushes it.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "preview/OstrelSelection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto selection = OstrelSelection::fromText(std::string_view(reinterpret_cast<const char*>(bytes), size));
  if (selection && selection->metadata.settings.deviceDescriptor)
    (void)selection->metadata.settings.deviceDescriptor->effectivePixelRatio();
  return 0;
}
