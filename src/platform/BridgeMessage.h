#pragma once
// A hosted page's message to the host: a JSON object {"method": text, "arguments": any}.
// Decoding bounds what a page can send through the JSON coder's depth limit. Any thread.

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "Error.h"

namespace BridgeMessage {

inline constexpr const char* ErrorDomain = "com.korvel.bridge";

// The method's name; `arguments` gets the arguments (an empty object when there are none).
Result<std::string> decode(std::string_view text, nlohmann::json& arguments);

}  // namespace BridgeMessage
