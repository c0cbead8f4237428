#pragma once
// JSON from outside the application (child processes, peers on the network): JsonCoder::parse,
// with the library exceptions it lets through (a number too large for a double) turned into an
// error, so that no input can end the application. Any thread.

#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "Error.h"

namespace UntrustedJson {
Result<nlohmann::json> parse(std::string_view text);
}  // namespace UntrustedJson
