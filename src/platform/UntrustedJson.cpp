#include "UntrustedJson.h"

#include <nlohmann/json.hpp>

#include "JsonCoder.h"

namespace UntrustedJson {

Result<nlohmann::json> parse(std::string_view text) {
  try {
    return JsonCoder::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return fail(JsonCoder::ErrorDomain, 1, e.what());
  }
}

}  // namespace UntrustedJson
