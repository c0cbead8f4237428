#include "ui/PDRoundingValueTransformer.h"

#include <cmath>
#include <cstdio>
#include <string>

std::string PDRoundingValueTransformer::transformedValue(std::optional<double> value) {
  float number = static_cast<float>(value.value_or(0));
  if (!(number >= 0)) number = 0;  // negatives, and NaN, show as 0
  double tenths = std::floor(static_cast<double>(number) * 10 + 0.5);
  if (!std::isfinite(tenths)) return "0";
  if (tenths >= 1e17) {  // beyond a whole number's range: no fraction is left to show
    char big[64];
    std::snprintf(big, sizeof big, "%.0f", std::floor(tenths / 10));
    return big;
  }
  auto whole = static_cast<long long>(std::floor(tenths / 10));
  auto fraction = static_cast<int>(tenths - static_cast<double>(whole) * 10);
  std::string text = std::to_string(whole);
  if (fraction != 0) text += "." + std::to_string(fraction);
  return text;
}
