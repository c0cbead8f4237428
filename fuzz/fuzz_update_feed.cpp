// Reads untrusted bytes as an update feed and compares what it finds with versions.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/UpdateFeed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  auto item = UpdateFeed::newestItem(text);
  if (item) (void)UpdateFeed::newerThan(*item, "1.2.3");
  auto half = text.substr(0, size / 2);
  (void)UpdateFeed::compareVersions(half, text.substr(size / 2));
  (void)UpdateFeed::resolve(text, Url::parse("https://updates.korvel.example/feed/"));
  return 0;
}
