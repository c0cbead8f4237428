#pragma once
// The one place that parses and dumps JSON: the parser's instantiation is costly to compile,
// so every other file calls these instead of nlohmann's parse and dump.

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "Error.h"

namespace JsonCoder {

inline constexpr const char* ErrorDomain = "com.korvel.json";

// Parses `text` as one JSON value; the error names the byte where it went wrong.
Result<nlohmann::json> parse(std::string_view text);

enum class Style {
  compact,  // no whitespace
  pretty,   // two-space indent
};
// Keys come out sorted (objects are ordered maps); invalid UTF-8 is replaced, never thrown.
std::string dump(const nlohmann::json& value, Style style = Style::compact);

}  // namespace JsonCoder
