#pragma once
// Our update feed and the rules the updater decides by, free of any display. The feed is JSON:
//   {"items": [{"version": "1234", "shortVersionString": "1.4", "downloadURL": "https://…"}]}
// "version" is a build version ("CFBundleVersion"), "downloadURL" the web page to offer. Any thread.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Url.h"

struct AppcastItem {
  std::string version;
  std::string shortVersionString;  // the version when the item gives none
  Url downloadURL;
};

namespace UpdateFeed {

inline constexpr const char* ErrorDomain = "com.korvel.software-update";
inline constexpr long feedUnreadable = 3;

// Dotted versions compared number by number ("1.10" > "1.9"; a missing part counts as 0); a part
// with letters after its number ("2b1") comes before the bare number ("2"). <0, 0 or >0.
int compareVersions(std::string_view a, std::string_view b);

// The newest usable item of a feed: items without a version or without an http(s) download page
// are passed over. None when no item is usable; an error when the text is not a feed.
Result<std::optional<AppcastItem>> newestItem(std::string_view jsonText);

// The newer item, or none when `item` is not newer than `hostVersion`.
std::optional<AppcastItem> newerThan(const std::optional<AppcastItem>& item, std::string_view hostVersion);

// The feed address from a stored or bundled value: absolute http(s) addresses stand, a path is
// put on `base`. None when neither works.
std::optional<Url> resolve(std::string_view value, const std::optional<Url>& base);

}  // namespace UpdateFeed
