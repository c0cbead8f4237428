#include "UserInfo.h"

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

namespace {

Error decodingError(const std::string& message) { return Error(UserInfo::ErrorDomain, 1, message); }

Result<std::string> required(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || !it->is_string()) return fail(decodingError(std::string("missing or mistyped \"") + key + "\""));
  return it->get<std::string>();
}

// Fills `out` when the key holds text; an error when it holds anything but text or null.
std::optional<Error> readOptional(const nlohmann::json& o, const char* key, std::optional<std::string>& out) {
  out.reset();
  auto it = o.find(key);
  if (it == o.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) return decodingError(std::string("mistyped \"") + key + "\"");
  out = it->get<std::string>();
  return std::nullopt;
}

}  // namespace

// The organisation is decoded member by member: a missing or mistyped member stays empty, so
// a change on the service's side costs that member and never the sign-in.
Result<UserOrganizationInfo> UserOrganizationInfo::decode(const nlohmann::json& o) {
  if (!o.is_object()) return fail(decodingError("organization is not an object"));
  UserOrganizationInfo out;
  for (auto [field, key] : {std::pair{&out.id, "id"}, {&out.domain, "domain"}, {&out.displayName, "displayName"},
                            {&out.name, "name"}, {&out.tint, "tint"}}) {
    if (auto it = o.find(key); it != o.end() && it->is_string()) *field = it->get<std::string>();
  }
  if (auto features = o.find("features"); features != o.end() && features->is_object())
    for (auto& [k, v] : features->items())
      if (v.is_boolean()) out.features[k] = v.get<bool>();
  if (auto assets = o.find("assets"); assets != o.end() && assets->is_object())
    for (auto& [k, v] : assets->items())
      if (v.is_string()) out.assets[k] = v.get<std::string>();
  return out;
}

nlohmann::json UserOrganizationInfo::encode() const {
  nlohmann::json features = nlohmann::json::object(), assets = nlohmann::json::object();
  for (auto& [k, v] : this->features) features[k] = v;
  for (auto& [k, v] : this->assets) assets[k] = v;
  return {{"id", id},     {"domain", domain},         {"displayName", displayName}, {"name", name},
          {"tint", tint}, {"features", features},     {"assets", assets}};
}

Result<UserInfo> UserInfo::decode(const nlohmann::json& o) {
  if (!o.is_object()) return fail(decodingError("the user record is not an object"));
  UserInfo out;
  auto id = required(o, "id");
  if (!id) return fail(id.error());
  auto email = required(o, "email");
  if (!email) return fail(email.error());
  out.id = std::move(*id);
  out.email = std::move(*email);
  for (auto [field, key] : {std::pair{&out.name, "name"}, {&out.givenName, "givenName"},
                            {&out.familyName, "familyName"}, {&out.createdAt, "createdAt"}}) {
    if (auto error = readOptional(o, key, *field)) return fail(*error);
  }
  if (auto it = o.find("organization"); it != o.end() && !it->is_null()) {
    // An organisation that is not even an object is left out; the record stands.
    if (auto organization = UserOrganizationInfo::decode(*it)) out.organization = std::move(*organization);
  }
  if (auto it = o.find("experiments"); it != o.end() && !it->is_null()) {
    if (!it->is_object()) return fail(decodingError("mistyped \"experiments\""));
    std::map<std::string, Experiment> experiments;
    for (auto& [name, value] : it->items()) {
      if (!value.is_object()) return fail(decodingError("an experiment is not an object"));
      auto variant = required(value, "variant");
      if (!variant) return fail(variant.error());
      experiments[name] = Experiment{std::move(*variant)};
    }
    out.experiments = std::move(experiments);
  }
  return out;
}

Result<UserInfo> UserInfo::decode(std::string_view jsonText) {
  auto parsed = JsonCoder::parse(jsonText);
  if (!parsed) return fail(parsed.error());
  return decode(*parsed);
}

nlohmann::json UserInfo::encode() const {
  nlohmann::json o = {{"id", id}, {"email", email}};
  if (name) o["name"] = *name;
  if (givenName) o["givenName"] = *givenName;
  if (familyName) o["familyName"] = *familyName;
  if (createdAt) o["createdAt"] = *createdAt;
  if (organization) o["organization"] = organization->encode();
  if (experiments) {
    nlohmann::json e = nlohmann::json::object();
    for (auto& [k, v] : *experiments) e[k] = {{"variant", v.variant}};
    o["experiments"] = std::move(e);
  }
  return o;
}
