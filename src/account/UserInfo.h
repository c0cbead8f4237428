#pragma once
// The signed-in user's record as the account service sends it, with the organisation and the
// experiment assignments. Decoding is strict: a required key missing, null or of another type,
// or an optional key of another type, fails the whole record. Any thread.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/Error.h"

struct Experiment {
  std::string variant;
  bool operator==(const Experiment&) const = default;
};

struct UserOrganizationInfo {
  std::string id;
  std::string domain;
  std::string displayName;
  std::string name;
  std::string tint;
  std::map<std::string, bool> features;
  std::map<std::string, std::string> assets;

  static Result<UserOrganizationInfo> decode(const nlohmann::json& object);
  nlohmann::json encode() const;
  bool operator==(const UserOrganizationInfo&) const = default;
};

struct UserInfo {
  std::string id;
  std::string email;
  std::optional<std::string> name;
  std::optional<std::string> givenName;
  std::optional<std::string> familyName;
  std::optional<std::string> createdAt;
  std::optional<UserOrganizationInfo> organization;
  std::optional<std::map<std::string, Experiment>> experiments;

  static constexpr const char* ErrorDomain = "Korvel.DecodingError";
  static Result<UserInfo> decode(const nlohmann::json& object);
  static Result<UserInfo> decode(std::string_view jsonText);
  // Absent optionals leave their key out.
  nlohmann::json encode() const;
  bool operator==(const UserInfo&) const = default;
};
