#include "JsonCoder.h"

#include <nlohmann/json.hpp>

namespace JsonCoder {

Result<nlohmann::json> parse(std::string_view text) {
  try {
    return nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& e) {
    Error err(ErrorDomain, 1, e.what());
    err.with("byte", std::to_string(e.byte));
    return fail(std::move(err));
  } catch (const nlohmann::json::exception& e) {
    // Anything else the parser throws (a number too large for a double) is bad input too.
    return fail(Error(ErrorDomain, 1, e.what()));
  }
}

std::string dump(const nlohmann::json& value, Style style) {
  return value.dump(style == Style::pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace JsonCoder
