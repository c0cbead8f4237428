#pragma once
// A hosted page's message to the host: a JSON object {"method": text, "arguments": any}.
// Decoding bounds what a page can send: its size before anything is parsed, then its depth
// through the JSON coder's limit. Any thread.

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "Error.h"

namespace BridgeMessage {

inline constexpr const char* ErrorDomain = "com.korvel.bridge";

// Far above what any page sends (an export request with its pages, an inserted image file);
// a message is refused beyond it before it is copied or parsed.
inline constexpr std::size_t maximumSize = 64 << 20;

// The method's name; a message larger than maximumSize fails with code 3; `arguments` gets the arguments (an empty object when there are none).
Result<std::string> decode(std::string_view text, nlohmann::json& arguments);

}  // namespace BridgeMessage
