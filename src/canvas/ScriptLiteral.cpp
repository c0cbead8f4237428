#include "ScriptLiteral.h"

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

std::string ScriptLiteral::json(const nlohmann::json& value) {
  std::string text = JsonCoder::dump(value);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    // U+2028 and U+2029 are E2 80 A8 and E2 80 A9 in UTF-8.
    if (static_cast<unsigned char>(text[i]) == 0xE2 && i + 2 < text.size() &&
        static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
      continue;
    }
    out += text[i];
  }
  return out;
}

std::string ScriptLiteral::string(std::string_view text) { return json(nlohmann::json(std::string(text))); }
