#include "IPCValue.h"

#include <nlohmann/json.hpp>

IPCValue::IPCValue(Data bytes) : data_(std::move(bytes)) {}
IPCValue::IPCValue(const nlohmann::json& value) : json_(std::make_shared<const nlohmann::json>(value)) {}

IPCValue IPCValue::string(std::string text) { return IPCValue(nlohmann::json(std::move(text))); }
IPCValue IPCValue::number(double value) { return IPCValue(nlohmann::json(value)); }
IPCValue IPCValue::boolean(bool value) { return IPCValue(nlohmann::json(value)); }
