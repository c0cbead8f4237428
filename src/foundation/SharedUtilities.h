#pragma once
// Small helpers several subsystems share. All are pure and thread-safe.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"

// Matches an error by domain and a set of codes.
struct ErrorMatcher {
  std::string domain;
  std::set<long> codes;
  bool matches(const Error& error) const { return error.domain == domain && codes.count(error.code) > 0; }
};

// MD5 of the UTF-8 bytes as 32 lowercase hex digits.
std::string md5String(std::string_view text);
// MD5 of the text up to its first zero byte, as 32 uppercase hex digits.
std::string MD5String(std::string_view text);

// `length` characters (grapheme clusters) from character `atCharacter`; none when out of range.
std::optional<std::string> substring(std::string_view text, long atCharacter, long length);

namespace Math {
// Maps `value` from one range onto another by absolute differences, optionally clamped.
float modulate(double value, const std::vector<double>& from, const std::vector<double>& to, bool limit);
}  // namespace Math
