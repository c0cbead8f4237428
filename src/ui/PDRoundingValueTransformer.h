#pragma once
// Shows a number rounded half up to at most one decimal ("2.3", "2"); negative numbers show as
// "0". One-way. Any thread.

#include <optional>
#include <string>

class PDRoundingValueTransformer {
 public:
  static constexpr bool allowsReverseTransformation = false;
  // The value is read as a 32-bit float; none reads as 0.
  static std::string transformedValue(std::optional<double> value);
};
