// The header's template needs the whole JSON type first.
#include <nlohmann/json.hpp>

#include "preview/StrictDecoding.h"

#include "platform/JsonCoder.h"

namespace strict {

namespace {

[[noreturn]] void failAt(const std::string& path, std::string reason) { throw Failure{path, std::move(reason)}; }

// The member, or null when it is missing or null.
const nlohmann::json* find(const nlohmann::json& object, std::string_view key) {
  auto it = object.find(std::string(key));
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const nlohmann::json& need(const nlohmann::json& object, std::string_view key, const std::string& path) {
  const nlohmann::json* value = find(object, key);
  if (!value) failAt(member(path, key), "is required");
  return *value;
}

std::string stringOf(const nlohmann::json& value, const std::string& path) {
  if (!value.is_string()) failAt(path, "must be a string");
  return value.get<std::string>();
}

std::int64_t int64Of(const nlohmann::json& value, const std::string& path) {
  auto whole = wholeNumber(value);
  if (!whole) failAt(path, "must be a whole number of 64 bits");
  return *whole;
}

double doubleOf(const nlohmann::json& value, const std::string& path) {
  if (!value.is_number()) failAt(path, "must be a number");
  return value.get<double>();
}

bool boolOf(const nlohmann::json& value, const std::string& path) {
  if (!value.is_boolean()) failAt(path, "must be true or false");
  return value.get<bool>();
}

}  // namespace

std::string member(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

const nlohmann::json& object(const nlohmann::json& value, const std::string& path) {
  if (!value.is_object()) failAt(path.empty() ? "(top)" : path, "must be an object");
  return value;
}

std::optional<std::int64_t> wholeNumber(const nlohmann::json& value) { return JsonCoder::wholeNumber(value); }

std::string requiredString(const nlohmann::json& o, std::string_view key, const std::string& path) {
  return stringOf(need(o, key, path), member(path, key));
}
std::optional<std::string> optionalString(const nlohmann::json& o, std::string_view key, const std::string& path) {
  const nlohmann::json* v = find(o, key);
  if (!v) return std::nullopt;
  return stringOf(*v, member(path, key));
}
std::int64_t requiredInt64(const nlohmann::json& o, std::string_view key, const std::string& path) {
  return int64Of(need(o, key, path), member(path, key));
}
std::optional<std::int64_t> optionalInt64(const nlohmann::json& o, std::string_view key, const std::string& path) {
  const nlohmann::json* v = find(o, key);
  if (!v) return std::nullopt;
  return int64Of(*v, member(path, key));
}
double requiredDouble(const nlohmann::json& o, std::string_view key, const std::string& path) {
  return doubleOf(need(o, key, path), member(path, key));
}
std::optional<double> optionalDouble(const nlohmann::json& o, std::string_view key, const std::string& path) {
  const nlohmann::json* v = find(o, key);
  if (!v) return std::nullopt;
  return doubleOf(*v, member(path, key));
}
bool requiredBool(const nlohmann::json& o, std::string_view key, const std::string& path) {
  return boolOf(need(o, key, path), member(path, key));
}
std::optional<bool> optionalBool(const nlohmann::json& o, std::string_view key, const std::string& path) {
  const nlohmann::json* v = find(o, key);
  if (!v) return std::nullopt;
  return boolOf(*v, member(path, key));
}
const nlohmann::json& requiredObject(const nlohmann::json& o, std::string_view key, const std::string& path) {
  return object(need(o, key, path), member(path, key));
}
const nlohmann::json* optionalObject(const nlohmann::json& o, std::string_view key, const std::string& path) {
  const nlohmann::json* v = find(o, key);
  if (!v) return nullptr;
  return &object(*v, member(path, key));
}

Error makeError(const char* what, const Failure& failure) {
  return Error(ErrorDomain, 1, std::string(what) + ": " + failure.path + " " + failure.reason);
}

Result<nlohmann::json> parseObject(std::string_view text, const char* what) {
  // A layer's name may hold a lone half of a UTF-16 pair, as JSON allows: the rest still counts.
  auto parsed = JsonCoder::parseAllowingLoneSurrogates(text);
  if (!parsed) return fail(Error(ErrorDomain, 1, std::string(what) + ": not JSON").withUnderlying(parsed.error()));
  if (!parsed->is_object()) return fail(ErrorDomain, 1, std::string(what) + ": (top) must be an object");
  return std::move(*parsed);
}

}  // namespace strict
