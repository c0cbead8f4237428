#pragma once
// The application's information table (names, versions, identifier, URL scheme, update feed),
// generated at build time. Tests build their own tables to try other channels and versions.

#include <map>
#include <optional>
#include <string>

class AppBundleInfo {
 public:
  using Table = std::map<std::string, std::string>;
  explicit AppBundleInfo(Table values) : values_(std::move(values)) {}

  static const AppBundleInfo& main();

  std::optional<std::string> string(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  const Table& values() const { return values_; }

 private:
  Table values_;
};
