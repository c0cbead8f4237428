#pragma once
// One argument of an event sent to a hosted page: raw bytes (usually JSON text) or a JSON value.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/Data.h"

class IPCValue {
 public:
  explicit IPCValue(Data bytes);
  explicit IPCValue(const nlohmann::json& value);
  static IPCValue string(std::string text);
  static IPCValue number(double value);
  static IPCValue boolean(bool value);

  const Data* data() const { return data_ ? &*data_ : nullptr; }
  const nlohmann::json* json() const { return json_.get(); }

 private:
  IPCValue() = default;
  std::optional<Data> data_;
  std::shared_ptr<const nlohmann::json> json_;
};

// Arguments in order; none stands for an absent value and reaches the page as null.
using IPCArguments = std::vector<std::optional<IPCValue>>;
