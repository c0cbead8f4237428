// Parses untrusted bytes with the JSON coder and dumps what it accepts both ways.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto parsed = JsonCoder::parse(std::string_view(reinterpret_cast<const char*>(bytes), size));
  if (!parsed) return 0;
  auto compact = JsonCoder::dump(*parsed);
  (void)JsonCoder::dump(*parsed, JsonCoder::Style::pretty);
  nlohmann::json copy = *parsed;  // copies recurse per level
  (void)(copy == *parsed);
  (void)JsonCoder::parse(compact);
  return 0;
}
