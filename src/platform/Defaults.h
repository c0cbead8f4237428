#pragma once
// User defaults: a JSON object in $XDG_CONFIG_HOME/Korvel/defaults.json (mode 0600), rewritten
// atomically on every change, over a layer of registered defaults that is never stored.
// Observers of a key are called synchronously, on the thread that changed it, after the change.
// Main thread only, like the settings it holds.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Error.h"
#include "ObserverToken.h"

class Defaults {
 public:
  // A stored file larger than this is set aside unread as "<file>.unreadable".
  static constexpr std::uintmax_t maximumFileSize = 16 << 20;
  // The standard defaults of the user, stored under the XDG config folder.
  static Defaults& standard();
  static std::filesystem::path standardFile();

  explicit Defaults(std::filesystem::path file);
  ~Defaults();
  Defaults(const Defaults&) = delete;
  Defaults& operator=(const Defaults&) = delete;

  // Adds to the registered layer (keys already stored win); `object` must be a JSON object.
  void registerDefaults(const nlohmann::json& object);
  Result<void> registerDefaultsFromFile(const std::filesystem::path& file);

  bool has(const std::string& key) const;  // stored or registered
  nlohmann::json value(const std::string& key) const;  // null when absent
  std::optional<std::string> string(const std::string& key) const;
  // Numbers and Booleans convert into each other like the platform's defaults do; texts "YES",
  // "true" and numbers in text count too. Absent or other values give false / 0.
  bool boolValue(const std::string& key) const;
  std::int64_t integer(const std::string& key) const;
  double doubleValue(const std::string& key) const;

  void set(const std::string& key, const nlohmann::json& value);
  void setString(const std::string& key, const std::string& value);
  void setBool(const std::string& key, bool value);
  void setInteger(const std::string& key, std::int64_t value);
  void setDouble(const std::string& key, double value);
  void remove(const std::string& key);

  // Writes pending changes; answers the error of the last failed write.
  Result<void> synchronize();

  [[nodiscard]] ObserverToken observe(std::string key, std::function<void()> handler);

 private:
  void load();
  void changed(const std::string& key);
  Result<void> save();

  std::filesystem::path file_;
  std::unique_ptr<nlohmann::json> stored_;
  std::unique_ptr<nlohmann::json> registered_;
  bool dirty_ = false;
  struct Observer {
    std::string key;
    std::function<void()> handler;
    bool active = true;
  };
  std::vector<std::shared_ptr<Observer>> observers_;
  std::shared_ptr<bool> alive_;
};
