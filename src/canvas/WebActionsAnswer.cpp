#include "canvas/WebActionsAnswer.h"

#include <nlohmann/json.hpp>

std::optional<WebActionsAnswer::StateMap> WebActionsAnswer::decode(const std::optional<nlohmann::json>& answer) {
  if (!answer || !answer->is_object()) return std::nullopt;
  StateMap states;
  for (auto& [name, value] : answer->items()) {
    if (value.is_boolean())
      states[name] = value.get<bool>() ? ActionState::on : ActionState::off;
    else if (value.is_string() && value.get<std::string>() == "native")
      states[name] = ActionState::deferToNative;
  }
  return states;
}
