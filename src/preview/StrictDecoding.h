#pragma once
// Decoding of JSON that a hosted page or the editor publishes: no coercion between types,
// integers only from whole numbers that fit 64 bits, optional keys absent when missing or
// null, required keys failing on null. The first failure ends the whole decode and names the
// key path. Main thread or any: pure functions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/Error.h"

namespace strict {

inline constexpr const char* ErrorDomain = "com.korvel.preview.decoding";

// Thrown inside a decode and turned into an Error at its top.
struct Failure {
  std::string path;
  std::string reason;
};

// The key path of a member ("devices.iphone.screen").
std::string member(const std::string& path, std::string_view key);

// `value` itself must be an object.
const nlohmann::json& object(const nlohmann::json& value, const std::string& path);

std::string requiredString(const nlohmann::json& object, std::string_view key, const std::string& path);
std::optional<std::string> optionalString(const nlohmann::json& object, std::string_view key, const std::string& path);
std::int64_t requiredInt64(const nlohmann::json& object, std::string_view key, const std::string& path);
std::optional<std::int64_t> optionalInt64(const nlohmann::json& object, std::string_view key, const std::string& path);
double requiredDouble(const nlohmann::json& object, std::string_view key, const std::string& path);
std::optional<double> optionalDouble(const nlohmann::json& object, std::string_view key, const std::string& path);
bool requiredBool(const nlohmann::json& object, std::string_view key, const std::string& path);
std::optional<bool> optionalBool(const nlohmann::json& object, std::string_view key, const std::string& path);
// A nested object; the optional form gives null for a missing or null member.
const nlohmann::json& requiredObject(const nlohmann::json& object, std::string_view key, const std::string& path);
const nlohmann::json* optionalObject(const nlohmann::json& object, std::string_view key, const std::string& path);

// A whole number that fits 64 bits; 375.0 gives 375, 375.5 none.
std::optional<std::int64_t> wholeNumber(const nlohmann::json& value);

// Parses `text` and runs `decode` on its top-level object; every failure becomes one error.
template <class T, class Decode>
Result<T> decodeText(std::string_view text, const char* what, Decode decode);

Error makeError(const char* what, const Failure& failure);
Result<nlohmann::json> parseObject(std::string_view text, const char* what);

template <class T, class Decode>
Result<T> decodeText(std::string_view text, const char* what, Decode decode) {
  auto parsed = parseObject(text, what);
  if (!parsed) return fail(parsed.error());
  try {
    return decode(*parsed);
  } catch (const Failure& failure) {
    return fail(makeError(what, failure));
  }
}

}  // namespace strict
