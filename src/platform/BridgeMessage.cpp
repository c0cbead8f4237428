#include "BridgeMessage.h"

#include <nlohmann/json.hpp>

#include "JsonCoder.h"

namespace BridgeMessage {

Result<std::string> decode(std::string_view text, nlohmann::json& arguments) {
  // Parsing costs several times the text: the size is bounded first.
  if (text.size() > maximumSize)
    return fail(ErrorDomain, 3, "the message is larger than " + std::to_string(maximumSize >> 20) + " MiB");
  auto body = JsonCoder::parse(text);
  if (!body) return fail(Error(ErrorDomain, 1, "the message is not JSON").withUnderlying(body.error()));
  if (!body->is_object()) return fail(ErrorDomain, 1, "the message is not an object");
  auto method = body->find("method");
  if (method == body->end() || !method->is_string()) return fail(ErrorDomain, 2, "the message names no method");
  auto it = body->find("arguments");
  arguments = it == body->end() ? nlohmann::json::object() : std::move(*it);
  return method->get<std::string>();
}

}  // namespace BridgeMessage
