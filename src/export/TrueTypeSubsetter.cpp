#include "export/TrueTypeSubsetter.h"

#include <map>
#include <string>
#include <vector>

namespace {

constexpr int maximumTables = 100;
constexpr int maximumComponentDepth = 16;

std::uint16_t u16(const Data& d, std::size_t at) { return static_cast<std::uint16_t>(d[at] << 8 | d[at + 1]); }
std::uint32_t u32(const Data& d, std::size_t at) {
  return static_cast<std::uint32_t>(d[at]) << 24 | static_cast<std::uint32_t>(d[at + 1]) << 16 |
         static_cast<std::uint32_t>(d[at + 2]) << 8 | d[at + 3];
}
void put16(Data& d, std::size_t at, std::uint16_t v) {
  d[at] = static_cast<std::uint8_t>(v >> 8);
  d[at + 1] = static_cast<std::uint8_t>(v);
}
void put32(Data& d, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) d[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void append32(Data& d, std::uint32_t v) {
  d.resize(d.size() + 4);
  put32(d, d.size() - 4, v);
}

std::uint32_t checksum(const Data& table) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < table.size(); i += 4) {
    std::uint32_t word = 0;
    for (std::size_t j = 0; j < 4; ++j) word = word << 8 | (i + j < table.size() ? table[i + j] : 0);
    sum += word;
  }
  return sum;
}

// The glyphs a composite glyph is made of; nothing for a simple one.
bool components(const Data& glyf, std::size_t start, std::size_t end, std::vector<std::uint16_t>& out) {
  if (end - start < 10 || static_cast<std::int16_t>(u16(glyf, start)) >= 0) return true;
  std::size_t at = start + 10;
  for (int count = 0; count < 1000; ++count) {
    if (at + 4 > end) return false;
    std::uint16_t flags = u16(glyf, at);
    out.push_back(u16(glyf, at + 2));
    at += 4 + ((flags & 0x0001) ? 4 : 2);
    if (flags & 0x0008) at += 2;
    else if (flags & 0x0040) at += 4;
    else if (flags & 0x0080) at += 8;
    if (!(flags & 0x0020)) return at <= end;
  }
  return false;
}

}  // namespace

std::optional<Data> TrueTypeSubsetter::subset(const Data& font, const std::set<std::uint16_t>& glyphs) {
  if (font.size() < 12) return std::nullopt;
  std::uint32_t version = u32(font, 0);
  if (version != 0x00010000 && version != 0x74727565) return std::nullopt;  // TrueType outlines only
  int tableCount = u16(font, 4);
  if (tableCount > maximumTables || 12 + 16u * tableCount > font.size()) return std::nullopt;
  std::map<std::string, Data> tables;
  for (int i = 0; i < tableCount; ++i) {
    std::size_t record = 12 + 16u * i;
    std::string tag(reinterpret_cast<const char*>(&font[record]), 4);
    std::size_t offset = u32(font, record + 8), length = u32(font, record + 12);
    if (offset > font.size() || length > font.size() - offset) return std::nullopt;
    tables[tag] = Data(font.begin() + offset, font.begin() + offset + length);
  }
  for (const char* needed : {"head", "hhea", "hmtx", "loca", "glyf", "maxp"})
    if (!tables.count(needed)) return std::nullopt;
  Data& head = tables["head"];
  Data& hhea = tables["hhea"];
  Data& maxp = tables["maxp"];
  const Data& loca = tables["loca"];
  const Data& glyf = tables["glyf"];
  const Data& hmtx = tables["hmtx"];
  if (head.size() < 54 || hhea.size() < 36 || maxp.size() < 6) return std::nullopt;
  std::size_t glyphCount = u16(maxp, 4);
  bool longOffsets = u16(head, 50) == 1;
  if (glyphCount == 0 || loca.size() < (glyphCount + 1) * (longOffsets ? 4 : 2)) return std::nullopt;
  auto offsetOf = [&](std::size_t glyph) -> std::size_t {
    return longOffsets ? u32(loca, glyph * 4) : std::size_t(u16(loca, glyph * 2)) * 2;
  };
  for (std::size_t g = 0; g < glyphCount; ++g)
    if (offsetOf(g) > offsetOf(g + 1) || offsetOf(g + 1) > glyf.size()) return std::nullopt;

  // The glyphs drawn, what composite ones are made of, and the missing-glyph box.
  std::vector<bool> keep(glyphCount, false);
  std::vector<std::pair<std::uint16_t, int>> work{{0, 0}};
  for (auto g : glyphs)
    if (g < glyphCount) work.push_back({g, 0});
  while (!work.empty()) {
    auto [glyph, depth] = work.back();
    work.pop_back();
    if (keep[glyph]) continue;
    keep[glyph] = true;
    std::vector<std::uint16_t> parts;
    if (!components(glyf, offsetOf(glyph), offsetOf(glyph + 1), parts)) return std::nullopt;
    for (auto part : parts) {
      if (part >= glyphCount || depth + 1 > maximumComponentDepth) return std::nullopt;
      work.push_back({part, depth + 1});
    }
  }
  std::size_t count = glyphCount;
  while (count > 1 && !keep[count - 1]) --count;

  Data newGlyf, newLoca;
  for (std::size_t g = 0; g < count; ++g) {
    append32(newLoca, static_cast<std::uint32_t>(newGlyf.size()));
    if (!keep[g]) continue;
    newGlyf.insert(newGlyf.end(), glyf.begin() + offsetOf(g), glyf.begin() + offsetOf(g + 1));
    while (newGlyf.size() % 4) newGlyf.push_back(0);
  }
  append32(newLoca, static_cast<std::uint32_t>(newGlyf.size()));
  // Metrics are in glyph order: the first glyphs' metrics are a prefix of the table.
  std::size_t metrics = std::min<std::size_t>(u16(hhea, 34), count);
  if (metrics == 0) return std::nullopt;
  std::size_t metricBytes = 4 * metrics + 2 * (count - metrics);
  if (hmtx.size() < metricBytes) return std::nullopt;

  std::map<std::string, Data> out;
  put32(head, 8, 0);  // checkSumAdjustment, set below
  put16(head, 50, 1);
  put16(maxp, 4, static_cast<std::uint16_t>(count));
  put16(hhea, 34, static_cast<std::uint16_t>(metrics));
  out["head"] = head;
  out["hhea"] = hhea;
  out["maxp"] = maxp;
  out["hmtx"] = Data(hmtx.begin(), hmtx.begin() + metricBytes);
  out["loca"] = std::move(newLoca);
  out["glyf"] = std::move(newGlyf);
  // Hinting programs: what the glyphs' instructions call.
  for (const char* hinting : {"cvt ", "fpgm", "prep"})
    if (tables.count(hinting)) out[hinting] = tables[hinting];

  Data result(12 + 16 * out.size());
  put32(result, 0, 0x00010000);
  std::uint16_t n = static_cast<std::uint16_t>(out.size()), power = 1, log = 0;
  while (power * 2 <= n) power *= 2, ++log;
  put16(result, 4, n);
  put16(result, 6, static_cast<std::uint16_t>(power * 16));
  put16(result, 8, log);
  put16(result, 10, static_cast<std::uint16_t>(n * 16 - power * 16));
  std::size_t record = 12, headAt = 0;
  for (const auto& [tag, table] : out) {  // std::map: tags in ascending order, as the format asks
    std::copy(tag.begin(), tag.end(), result.begin() + record);
    put32(result, record + 4, checksum(table));
    put32(result, record + 8, static_cast<std::uint32_t>(result.size()));
    put32(result, record + 12, static_cast<std::uint32_t>(table.size()));
    if (tag == "head") headAt = result.size();
    result.insert(result.end(), table.begin(), table.end());
    while (result.size() % 4) result.push_back(0);
    record += 16;
  }
  put32(result, headAt + 8, 0xB1B0AFBA - checksum(result));
  return result;
}
