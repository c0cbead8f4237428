#include "ABTests.h"

#include <nlohmann/json.hpp>

#include "account/UserInfo.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"

std::map<std::string, std::string>& ABTests::live() {
  static auto* table = new std::map<std::string, std::string>();
  return *table;
}

ABTests::ABTests(Defaults& defaults) {
  auto stored = defaults.value(UserDefaultsABTestDecisions);
  if (!stored.is_object()) return;
  std::map<std::string, std::string> table;
  for (auto& [name, variant] : stored.items()) {
    if (!variant.is_string()) return;
    table[name] = variant.get<std::string>();
  }
  live() = std::move(table);
}

void ABTests::save(const UserInfo& userInfo, bool andUpdate, Defaults& defaults) {
  std::map<std::string, std::string> table;
  if (userInfo.experiments)
    for (const auto& [name, experiment] : *userInfo.experiments) table[name] = experiment.variant;

  auto stored = defaults.value(UserDefaultsABTestDecisions);
  if (stored.is_object()) {
    auto kept = stored.find(ExperimentTutorialButtonCta);
    if (kept != stored.end() && kept->is_string()) table[ExperimentTutorialButtonCta] = kept->get<std::string>();
  }

  nlohmann::json object = nlohmann::json::object();
  for (const auto& [name, variant] : table) object[name] = variant;
  defaults.set(UserDefaultsABTestDecisions, object);
  if (andUpdate) live() = std::move(table);
}

bool ABTests::isActive(const std::string& experiment, const std::string& variant) {
  auto it = live().find(experiment);
  return it != live().end() && it->second == variant;
}

void ABTests::withVariant(const std::string& experiment, const std::function<void(const std::string&)>& body) {
  auto it = live().find(experiment);
  if (it == live().end()) return;
  std::string variant = it->second;
  body(variant);
}
