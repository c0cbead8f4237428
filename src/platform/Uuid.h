#pragma once
// A 128-bit identifier; its text is the canonical 36-character upper-case form.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class Uuid {
 public:
  static Uuid random();
  // The same identity for the same `seed` every time (name-based, from its SHA-1).
  static Uuid named(std::string_view seed);
  // Accepts either letter case; none unless `text` is 8-4-4-4-12 hexadecimal digits.
  static std::optional<Uuid> parse(std::string_view text);

  std::string string() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  bool operator==(const Uuid&) const = default;
  auto operator<=>(const Uuid&) const = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};
