#include "export/SVGRefusedPictures.h"

#include <glib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

namespace SVGRefusedPictures {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool endsName(char c) { return isSpace(c) || c == '/' || c == '>' || c == '='; }

struct Tag {
  std::string_view name;
  std::map<std::string_view, std::string_view> attributes;  // values as written, references undecoded
  std::size_t end = 0;  // past its '>'
  bool empty = false;   // "/>"
};

// The start tag at `at` (its '<'); none when it isn't one as XML writes it.
std::optional<Tag> startTag(std::string_view text, std::size_t at) {
  Tag tag;
  std::size_t i = at + 1, n = text.size();
  std::size_t nameStart = i;
  while (i < n && !endsName(text[i])) ++i;
  if (i == nameStart) return std::nullopt;
  tag.name = text.substr(nameStart, i - nameStart);
  for (;;) {
    std::size_t before = i;
    while (i < n && isSpace(text[i])) ++i;
    if (i >= n) return std::nullopt;
    if (text[i] == '>') {
      tag.end = i + 1;
      return tag;
    }
    if (text[i] == '/') {
      if (i + 1 >= n || text[i + 1] != '>') return std::nullopt;
      tag.end = i + 2;
      tag.empty = true;
      return tag;
    }
    if (i == before) return std::nullopt;  // attributes are set apart by space
    std::size_t attributeStart = i;
    while (i < n && !endsName(text[i])) ++i;
    if (i == attributeStart) return std::nullopt;
    std::string_view attribute = text.substr(attributeStart, i - attributeStart);
    while (i < n && isSpace(text[i])) ++i;
    if (i >= n || text[i] != '=') return std::nullopt;
    ++i;
    while (i < n && isSpace(text[i])) ++i;
    if (i >= n || (text[i] != '"' && text[i] != '\'')) return std::nullopt;
    char quote = text[i++];
    std::size_t close = text.find(quote, i);
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view value = text.substr(i, close - i);
    if (value.find('<') != std::string_view::npos) return std::nullopt;
    if (!tag.attributes.emplace(attribute, value).second) return std::nullopt;  // XML allows one of each
    i = close + 1;
  }
}

// One piece of markup from a '<': where it ends, and the start or end tag it is, if either.
struct Markup {
  std::size_t end = 0;
  std::optional<Tag> start;
  bool close = false;
};

std::optional<Markup> markupAt(std::string_view text, std::size_t at) {
  auto past = [&](std::string_view opening, std::string_view closing) -> std::optional<Markup> {
    std::size_t found = text.find(closing, at + opening.size());
    if (found == std::string_view::npos) return std::nullopt;
    return Markup{found + closing.size(), std::nullopt, false};
  };
  std::string_view rest = text.substr(at);
  if (rest.starts_with("<!--")) return past("<!--", "-->");
  if (rest.starts_with("<![CDATA[")) return past("<![CDATA[", "]]>");
  if (rest.starts_with("<?")) return past("<?", "?>");
  if (rest.starts_with("<!")) {
    // A document type with declarations of its own (which may name entities) is not read.
    std::size_t end = text.find('>', at);
    if (end == std::string_view::npos || text.substr(at, end - at).find('[') != std::string_view::npos)
      return std::nullopt;
    return Markup{end + 1, std::nullopt, false};
  }
  if (rest.starts_with("</")) {
    std::size_t end = text.find('>', at);
    if (end == std::string_view::npos) return std::nullopt;
    return Markup{end + 1, std::nullopt, true};
  }
  auto tag = startTag(text, at);
  if (!tag) return std::nullopt;
  std::size_t end = tag->end;
  return Markup{end, std::move(tag), false};
}

// Where the element whose start tag ends at `from` ends, past its end tag.
std::optional<std::size_t> elementEnd(std::string_view text, std::size_t from) {
  int depth = 1;
  for (std::size_t at = from; (at = text.find('<', at)) != std::string_view::npos;) {
    auto markup = markupAt(text, at);
    if (!markup) return std::nullopt;
    if (markup->close && --depth == 0) return markup->end;
    if (markup->start && !markup->start->empty) ++depth;
    at = markup->end;
  }
  return std::nullopt;
}

void appendUtf8(std::string& out, std::uint32_t c) {
  char bytes[6];
  out.append(bytes, std::size_t(g_unichar_to_utf8(gunichar(c), bytes)));
}

// An attribute's value with its references decoded; none for one XML would not read.
std::optional<std::string> decoded(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size();) {
    if (value[i] != '&') {
      out += value[i++];
      continue;
    }
    std::size_t semicolon = value.find(';', i);
    if (semicolon == std::string_view::npos) return std::nullopt;
    std::string_view name = value.substr(i + 1, semicolon - i - 1);
    i = semicolon + 1;
    static const std::map<std::string_view, char> named{{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'},
                                                         {"apos", '\''}};
    if (auto it = named.find(name); it != named.end()) {
      out += it->second;
      continue;
    }
    if (name.size() < 2 || name[0] != '#') return std::nullopt;
    bool hex = name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    std::uint32_t c = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), c, hex ? 16 : 10);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || c == 0 || c > 0x10FFFF ||
        (c >= 0xD800 && c <= 0xDFFF))
      return std::nullopt;
    appendUtf8(out, c);
  }
  return out;
}

// A length of the image: a number, in user units or pixels.
std::optional<double> length(const Tag& tag, std::string_view attribute, std::optional<double> otherwise) {
  auto found = tag.attributes.find(attribute);
  if (found == tag.attributes.end()) return otherwise;
  auto text = decoded(found->second);
  if (!text) return std::nullopt;
  std::string_view v = *text;
  while (!v.empty() && isSpace(v.front())) v.remove_prefix(1);
  while (!v.empty() && isSpace(v.back())) v.remove_suffix(1);
  if (v.ends_with("px")) v.remove_suffix(2);
  double number = 0;
  auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), number);
  if (v.empty() || error != std::errc() || end != v.data() + v.size() || !std::isfinite(number) ||
      std::abs(number) > 1e9)
    return std::nullopt;
  return number;
}

std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string number(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", v);
  std::string text = buffer;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text == "-0" ? "0" : text;
}

// The name's characters that XML may hold, a space for a line's end, at most maximumNameLength.
std::vector<std::string> characters(const std::string& name) {
  std::vector<std::string> out;
  if (!g_utf8_validate(name.data(), gssize(name.size()), nullptr)) return out;
  for (const char* p = name.data(); p < name.data() + name.size() && out.size() < maximumNameLength;
       p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c < 0x20 || c == 0xFFFE || c == 0xFFFF) continue;
    std::string one;
    appendUtf8(one, c);
    out.push_back(std::move(one));
  }
  return out;
}

// The pages' look of a refused picture: a dashed grey border on light grey, 2 pixels within it
// the name in 12 pixel dark sans-serif, centred, broken anywhere it meets the box's side (an
// estimate of its glyphs' width: SVG breaks no line), all clipped to the box.
std::string nameDrawing(const std::string& name, double x, double y, double width, double height,
                        const std::string& clipId) {
  constexpr double fontSize = 12, lineHeight = 14, advance = 7, inset = 3;
  auto glyphs = characters(name);
  std::size_t perLine = std::size_t(std::max(1.0, std::floor((width - 2 * inset) / advance)));
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < glyphs.size(); i += perLine) {
    std::string line;
    for (std::size_t j = i; j < std::min(glyphs.size(), i + perLine); ++j) line += glyphs[j];
    lines.push_back(std::move(line));
  }
  std::string label;
  for (const auto& glyph : glyphs) label += glyph;
  std::string out = "<g class=\"refused-picture\" aria-label=\"" + escaped(label) + "\"><clipPath id=\"" + clipId +
                    "\"><rect x=\"" + number(x) + "\" y=\"" + number(y) + "\" width=\"" + number(width) +
                    "\" height=\"" + number(height) + "\"/></clipPath><g clip-path=\"url(#" + clipId + ")\">" +
                    "<rect x=\"" + number(x + 0.5) + "\" y=\"" + number(y + 0.5) + "\" width=\"" +
                    number(std::max(0.0, width - 1)) + "\" height=\"" + number(std::max(0.0, height - 1)) +
                    "\" fill=\"#f2f2f2\" stroke=\"#999\" stroke-width=\"1\" stroke-dasharray=\"3 3\"/>";
  if (!lines.empty()) {
    // The lines' block centred in the box; a baseline sits about four fifths of a line down.
    double top = y + height / 2 - lineHeight * double(lines.size()) / 2;
    out += "<text font-family=\"sans-serif\" font-size=\"" + number(fontSize) +
           "\" fill=\"#333\" text-anchor=\"middle\">";
    for (std::size_t i = 0; i < lines.size(); ++i)
      out += "<tspan x=\"" + number(x + width / 2) + "\" y=\"" + number(top + lineHeight * double(i) + 11) + "\">" +
             escaped(lines[i]) + "</tspan>";
    out += "</text>";
  }
  return out + "</g></g>";
}

bool isEmptyDataAddress(std::string_view href) {
  return href.starts_with("data:") && href.find(',') == href.size() - 1;
}

struct Replacement {
  std::size_t start, end;
  std::string text;
};

}  // namespace

std::optional<std::string> drawNames(std::string_view svg) {
  std::vector<Replacement> replacements;
  // Clip names no other element of the text has: a text that holds the usual one gets names
  // no text could foresee.
  std::string clipPrefix = "korvel-refused-picture-";
  if (svg.find(clipPrefix) != std::string_view::npos) {
    std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%08x%08x-", random(), random());
    clipPrefix += suffix;
  }
  for (std::size_t at = 0; (at = svg.find('<', at)) != std::string_view::npos;) {
    auto markup = markupAt(svg, at);
    if (!markup) return std::nullopt;
    std::size_t start = at;
    at = markup->end;
    if (!markup->start || markup->start->name != "image") continue;
    const Tag& tag = *markup->start;
    auto href = tag.attributes.find("xlink:href");
    if (href == tag.attributes.end()) href = tag.attributes.find("href");
    if (href == tag.attributes.end() || !isEmptyDataAddress(href->second)) continue;
    auto x = length(tag, "x", 0.0), y = length(tag, "y", 0.0), width = length(tag, "width", std::nullopt),
         height = length(tag, "height", std::nullopt);
    if (!x || !y || !width || !height || *width <= 0 || *height <= 0) continue;
    std::string name;
    if (auto label = tag.attributes.find("aria-label"); label != tag.attributes.end()) {
      auto text = decoded(label->second);
      if (!text) continue;
      name = std::move(*text);
    }
    std::size_t end = markup->end;
    if (!tag.empty) {
      auto found = elementEnd(svg, end);
      if (!found) return std::nullopt;
      end = *found;
    }
    replacements.push_back(
        {start, end, nameDrawing(name, *x, *y, *width, *height, clipPrefix + std::to_string(replacements.size()))});
    at = end;
  }
  if (replacements.empty()) return std::nullopt;
  std::string out;
  std::size_t from = 0;
  for (const auto& r : replacements) {
    out.append(svg.substr(from, r.start - from));
    out += r.text;
    from = r.end;
  }
  out.append(svg.substr(from));
  return out;
}

}  // namespace SVGRefusedPictures
