// Untrusted bytes as the editor's menu description and as an accelerator text.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "foundation/AppMenu.h"
#include "platform/JsonCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  (void)AppMenu::keyEquivalentAndModifierMask(text);
  auto parsed = JsonCoder::parse(text);
  if (!parsed) return 0;
  if (parsed->is_array()) {
    for (const auto& item : *parsed) (void)AppMenu::decode(item);
  } else {
    (void)AppMenu::decode(*parsed);
  }
  return 0;
}
