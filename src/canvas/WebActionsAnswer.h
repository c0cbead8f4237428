#pragma once
// What the page answers when asked which of its actions are enabled. Display-free: the answer
// comes from the page's script and is read as untrusted. Any thread.

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

struct WebActionsAnswer {
  enum class ActionState { on, off, deferToNative };
  using StateMap = std::map<std::string, ActionState>;

  // An object whose values are true, false or "native"; other values are left out. None for any
  // other answer.
  static std::optional<StateMap> decode(const std::optional<nlohmann::json>& answer);
};
