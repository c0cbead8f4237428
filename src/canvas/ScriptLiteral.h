#pragma once
// Values written into script text: always as JSON literals, so that quotes, line breaks and
// "</script>" inside a value stay inside its string. Line and paragraph separators are escaped
// too, for engines that still end a string at them.

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace ScriptLiteral {
std::string json(const nlohmann::json& value);
std::string string(std::string_view text);
}  // namespace ScriptLiteral
