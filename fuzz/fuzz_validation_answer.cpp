// A page's answer about which of its actions are enabled, as its script returns it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "canvas/WebActionsAnswer.h"
#include "platform/JsonCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto parsed = JsonCoder::parse(text)) (void)WebActionsAnswer::decode(*parsed);
  return 0;
}
