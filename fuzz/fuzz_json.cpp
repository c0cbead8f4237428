// Parses untrusted bytes with the JSON coder and dumps what it accepts both ways; reading the
// same bytes string by string accepts exactly what parsing does, and a member laid out from the
// text is what the parsed member dumps, and stays so when laid out again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  auto parsed = JsonCoder::parse(text);
  std::istringstream input{std::string(text)};
  std::size_t strings = 0;
  auto scanned = JsonCoder::forEachString(input, [&](std::string_view) { return ++strings > 0; });
  // A zero byte ends the text for both; only parse counts the nesting of what follows it.
  if (text.find('\0') == std::string_view::npos && static_cast<bool>(scanned) != static_cast<bool>(parsed))
    std::abort();
  auto laidOut = JsonCoder::relayoutMember(text, "arguments", JsonCoder::Style::pretty, std::size_t(1) << 24);
  if (text.find('\0') == std::string_view::npos && parsed && parsed->is_object() && parsed->contains("arguments") &&
      (!laidOut || *laidOut != JsonCoder::dump((*parsed)["arguments"], JsonCoder::Style::pretty)))
    std::abort();
  // A layout read again is laid out the same, lone halves of UTF-16 pairs kept as escapes.
  if (laidOut && text.find('\0') == std::string_view::npos) {
    auto again = JsonCoder::relayoutMember("{\"arguments\":" + *laidOut + "}", "arguments", JsonCoder::Style::pretty,
                                           std::size_t(1) << 24);
    if (!again || *again != *laidOut) std::abort();
  }
  auto lenient = JsonCoder::parseAllowingLoneSurrogates(text);
  if (parsed && (!lenient || *lenient != *parsed)) std::abort();
  if (!parsed) return 0;
  auto compact = JsonCoder::dump(*parsed);
  (void)JsonCoder::dump(*parsed, JsonCoder::Style::pretty);
  nlohmann::json copy = *parsed;  // copies recurse per level
  (void)(copy == *parsed);
  (void)JsonCoder::parse(compact);
  return 0;
}
