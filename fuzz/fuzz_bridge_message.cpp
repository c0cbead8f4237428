// Decodes untrusted bytes as a hosted page's bridge message and copies its arguments, as the
// web view's controller does before it hands them on.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/BridgeMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  nlohmann::json arguments;
  auto method = BridgeMessage::decode(std::string_view(reinterpret_cast<const char*>(bytes), size), arguments);
  if (!method) return 0;
  nlohmann::json copy = arguments;
  (void)copy.dump();
  return 0;
}
