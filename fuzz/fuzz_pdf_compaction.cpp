// What a web process hands back as a printed page: any bytes, made smaller, cut to its first page
// scaled, or refused; and the fonts inside it, cut down to a few glyphs named by the input's first
// bytes. Most changes to a printed file move its objects and break its cross-reference table,
// which ends the reading early; the bytes are also read with the table laid again over the
// objects they hold, so that changes to fonts, widths and pages reach the inner steps.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "export/PDFCompactor.h"
#include "export/TrueTypeSubsetter.h"

namespace {

// The objects ("n 0 obj" at a line's start) before the first table, with a table and trailer
// of their own after them.
Data withTableLaidAgain(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t end = text.find("\nxref");
  std::string body(text.substr(0, end == std::string_view::npos ? size : end + 1));
  std::map<long, std::size_t> offsets;
  for (std::size_t at = 0; at < body.size() && offsets.size() < 4096;) {
    std::size_t digits = at;
    long number = 0;
    while (digits < body.size() && digits - at < 4 && body[digits] >= '0' && body[digits] <= '9')
      number = number * 10 + (body[digits++] - '0');
    if (digits > at && number > 0 && body.compare(digits, 6, " 0 obj") == 0) offsets.emplace(number, at);
    std::size_t next = body.find('\n', at);
    at = next == std::string::npos ? body.size() : next + 1;
  }
  if (offsets.empty()) return {};
  long count = offsets.rbegin()->first + 1;
  std::string table = "xref\n0 " + std::to_string(count) + "\n";
  for (long i = 0; i < count; ++i) {
    auto it = offsets.find(i);
    char line[32];
    if (it == offsets.end()) std::snprintf(line, sizeof line, "%010d %05d f \n", 0, i == 0 ? 65535 : 0);
    else std::snprintf(line, sizeof line, "%010zu 00000 n \n", it->second);
    table += line;
  }
  std::string out = body + table + "trailer\n<</Size " + std::to_string(count) + " /Root 1 0 R>>\nstartxref\n" +
                    std::to_string(body.size()) + "\n%%EOF\n";
  return Data(out.begin(), out.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  (void)PDFCompactor::compact(bytes);
  (void)PDFCompactor::firstPage(bytes, 300, 200, 1.25);
  if (size > 5 && std::string_view(reinterpret_cast<const char*>(data), 5) == "%PDF-") {
    Data laid = withTableLaidAgain(data, size);
    (void)PDFCompactor::compact(laid);
    (void)PDFCompactor::firstPage(laid, 300, 200, 1.25);
  }
  std::set<std::uint16_t> glyphs;
  for (std::size_t i = 0; i + 1 < size && i < 16; i += 2) glyphs.insert(static_cast<std::uint16_t>(data[i] << 8 | data[i + 1]));
  (void)TrueTypeSubsetter::subset(bytes, glyphs);
  return 0;
}
