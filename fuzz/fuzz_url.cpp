// Untrusted bytes as a "korvel-x://" link and as parts joined onto an address.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  for (const std::string& candidate : {text, "korvel-x://" + text}) {
    auto url = Url::parse(candidate);
    if (!url) continue;
    (void)url->isLoopback();
    (void)url->withPath(url->path() + "/x");
    (void)url->withQuery(url->query());
  }
  auto base = *Url::parse("korvel-x://login");
  (void)base.withPath(text);
  (void)base.withQuery("fut=" + Url::encodeQueryValue(text));
  (void)base.appendingPathComponent(text);
  return 0;
}
