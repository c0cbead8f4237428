// Untrusted bytes as a server-sent event stream, arriving in two pieces cut anywhere: the same
// events must come out as when the bytes arrive whole, and every text handed on is UTF-8.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <glib.h>

#include "platform/EventStreamParser.h"

namespace {
std::vector<EventStreamParser::Item> parse(std::string_view text, std::size_t cut) {
  EventStreamParser parser;
  auto items = parser.feed(text.substr(0, cut));
  for (auto& item : parser.feed(text.substr(cut))) items.push_back(std::move(item));
  return items;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(bytes) + 1, size - 1);
  auto whole = parse(text, text.size());
  auto split = parse(text, bytes[0] % (text.size() + 1));
  if (whole.size() != split.size()) std::abort();
  for (std::size_t i = 0; i < whole.size(); ++i) {
    const auto& a = whole[i].event;
    const auto& b = split[i].event;
    if (whole[i].kind != split[i].kind || whole[i].retry != split[i].retry || a.id != b.id || a.event != b.event ||
        a.data != b.data)
      std::abort();
    for (const auto* s : {&a.id, &a.event, &a.data}) {
      std::string text = *s;  // NUL is a character too; GLib's check stops at it
      for (auto& c : text)
        if (c == '\0') c = ' ';
      if (!g_utf8_validate_len(text.data(), text.size(), nullptr)) std::abort();
    }
  }
  return 0;
}
