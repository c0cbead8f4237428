#include "platform/UpdateFeed.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <vector>

#include "platform/JsonCoder.h"

namespace UpdateFeed {
namespace {

struct Part {
  std::string digits;  // without leading zeros, so that length orders first
  std::string rest;
};

Part splitPart(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  std::string digits(text.substr(0, i));
  digits.erase(0, digits.find_first_not_of('0'));
  return {digits, std::string(text.substr(i))};
}

std::vector<std::string_view> splitDots(std::string_view text) {
  std::vector<std::string_view> parts;
  while (true) {
    auto dot = text.find('.');
    parts.push_back(text.substr(0, dot));
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return parts;
}

int sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

bool isWebAddress(const Url& url) { return (url.scheme() == "https" || url.scheme() == "http") && !url.host().empty(); }

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  auto left = splitDots(a), right = splitDots(b);
  std::size_t count = std::max(left.size(), right.size());
  for (std::size_t i = 0; i < count; ++i) {
    Part l = splitPart(i < left.size() ? left[i] : "0");
    Part r = splitPart(i < right.size() ? right[i] : "0");
    // Numbers of any length: the longer digit string is the larger number.
    if (l.digits.size() != r.digits.size()) return l.digits.size() < r.digits.size() ? -1 : 1;
    if (int c = l.digits.compare(r.digits)) return sign(c);
    if (l.rest != r.rest) {
      if (l.rest.empty()) return 1;  // "2" is newer than "2b1"
      if (r.rest.empty()) return -1;
      return sign(l.rest.compare(r.rest));
    }
  }
  return 0;
}

Result<std::optional<AppcastItem>> newestItem(std::string_view jsonText) {
  auto parsed = JsonCoder::parse(jsonText);
  if (!parsed) return fail(Error(ErrorDomain, feedUnreadable, "The update feed is not valid JSON.").withUnderlying(parsed.error()));
  const nlohmann::json& feed = *parsed;
  if (!feed.is_object() || !feed.contains("items") || !feed["items"].is_array())
    return fail(ErrorDomain, feedUnreadable, "The update feed has no list of items.");
  std::optional<AppcastItem> newest;
  for (const auto& entry : feed["items"]) {
    if (!entry.is_object()) continue;
    auto text = [&](const char* key) -> std::string {
      auto it = entry.find(key);
      return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    std::string version = text("version");
    auto download = Url::parse(text("downloadURL"));
    if (version.empty() || !download || !isWebAddress(*download)) continue;
    std::string shortVersion = text("shortVersionString");
    AppcastItem item{version, shortVersion.empty() ? version : shortVersion, *download};
    if (!newest || compareVersions(item.version, newest->version) > 0) newest = std::move(item);
  }
  return newest;
}

std::optional<AppcastItem> newerThan(const std::optional<AppcastItem>& item, std::string_view hostVersion) {
  if (item && compareVersions(item->version, hostVersion) > 0) return item;
  return std::nullopt;
}

std::optional<Url> resolve(std::string_view value, const std::optional<Url>& base) {
  if (value.empty()) return std::nullopt;
  if (value.front() == '/') {
    if (!base) return std::nullopt;
    return base->withPath(value);
  }
  auto absolute = Url::parse(value);
  if (absolute && isWebAddress(*absolute)) return absolute;
  return std::nullopt;
}

}  // namespace UpdateFeed
