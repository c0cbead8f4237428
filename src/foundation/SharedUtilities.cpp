#include "SharedUtilities.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "platform/Crypto.h"

std::string md5String(std::string_view text) {
  auto d = crypto::md5(text);
  return crypto::hex(d, false);
}

std::string MD5String(std::string_view text) {
  auto zero = text.find('\0');
  auto d = crypto::md5(text.substr(0, zero));
  return crypto::hex(d, true);
}

std::optional<std::string> substring(std::string_view text, long atCharacter, long length) {
  if (atCharacter < 0 || length < 0) return std::nullopt;
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return std::nullopt;
  it->setText(u);
  // Boundaries 0, b1, b2, …, end: character k starts at boundary k.
  std::vector<int32_t> bounds;
  for (int32_t b = it->first(); b != icu::BreakIterator::DONE; b = it->next()) bounds.push_back(b);
  long characters = static_cast<long>(bounds.size()) - 1;
  if (bounds.empty()) characters = 0;
  if (atCharacter > characters) return std::nullopt;
  if (length > characters - atCharacter) return std::nullopt;
  if (bounds.empty()) return std::string();
  int32_t start = bounds[static_cast<size_t>(atCharacter)];
  int32_t end = bounds[static_cast<size_t>(atCharacter + length)];
  std::string out;
  u.tempSubStringBetween(start, end).toUTF8String(out);
  return out;
}

namespace Math {
float modulate(double value, const std::vector<double>& from, const std::vector<double>& to, bool limit) {
  if (from.size() < 2 || to.size() < 2) return static_cast<float>(value);
  double fromLow = from[0], fromHigh = from[1], toLow = to[0], toHigh = to[1];
  double result = toLow + std::fabs(value - fromLow) * (std::fabs(toHigh - toLow) / std::fabs(fromHigh - fromLow));
  if (limit) result = std::clamp(result, std::min(toLow, toHigh), std::max(toLow, toHigh));
  return static_cast<float>(result);
}
}  // namespace Math
