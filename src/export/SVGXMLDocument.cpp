#include "export/SVGXMLDocument.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

namespace {

constexpr const char* svgNamespace = "http://www.w3.org/2000/svg";

xmlDoc* asDoc(void* d) { return static_cast<xmlDoc*>(d); }

// Unprefixed, in no namespace or the SVG one.
bool named(const xmlNode* node, const char* name) {
  if (node->type != XML_ELEMENT_NODE || std::strcmp(reinterpret_cast<const char*>(node->name), name) != 0)
    return false;
  if (!node->ns) return true;
  return !node->ns->prefix && node->ns->href && std::strcmp(reinterpret_cast<const char*>(node->ns->href), svgNamespace) == 0;
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
  xmlAttr* attr = xmlHasNsProp(node, reinterpret_cast<const xmlChar*>(name), nullptr);
  if (!attr || attr->type != XML_ATTRIBUTE_NODE) return std::nullopt;
  xmlChar* value = xmlNodeListGetString(node->doc, attr->children, 1);
  std::string text = value ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

// Depth is bounded by the parser's own limit.
bool anyElement(const xmlNode* node, const std::function<bool(const xmlNode*)>& test) {
  for (const xmlNode* child = node; child; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    if (test(child)) return true;
    if (anyElement(child->children, test)) return true;
  }
  return false;
}

const xmlNode* svgRoot(void* doc) {
  const xmlNode* root = xmlDocGetRootElement(asDoc(doc));
  return root && named(root, "svg") ? root : nullptr;
}

std::optional<double> readNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) return std::nullopt;
  std::string_view body = text;
  if (body.front() == '+') {
    body.remove_prefix(1);
    if (body.empty() || body.front() == '-' || body.front() == '+') return std::nullopt;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec != std::errc() || end != body.data() + body.size()) return std::nullopt;
  return value;
}

// Leading white space, a sign and digits; 0 without digits. Saturates instead of overflowing.
long integerValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (value > (LONG_MAX - digit) / 10) return negative ? LONG_MIN : LONG_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

std::vector<std::string_view> splitAtSpaces(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t space = text.find(' ', start);
    parts.push_back(text.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start));
    if (space == std::string_view::npos) return parts;
    start = space + 1;
  }
}

}  // namespace

Result<std::unique_ptr<SVGXMLDocument>> SVGXMLDocument::create(std::string_view text) {
  if (text.size() > INT_MAX) return fail(ErrorDomain, 1, "The SVG is too large");
  xmlDoc* doc = xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return fail(ErrorDomain, 2, "The SVG is not well-formed XML");
  return std::unique_ptr<SVGXMLDocument>(new SVGXMLDocument(doc));
}

SVGXMLDocument::~SVGXMLDocument() { xmlFreeDoc(asDoc(doc_)); }

void SVGXMLDocument::addDefaultSVGNamespaceIfUndeclared() {
  xmlNode* root = xmlDocGetRootElement(asDoc(doc_));
  if (!root || root->nsDef) return;
  xmlNewNs(root, BAD_CAST svgNamespace, nullptr);
}

std::string SVGXMLDocument::xmlText() const {
  xmlChar* buffer = nullptr;
  int size = 0;
  xmlDocDumpMemory(asDoc(doc_), &buffer, &size);
  std::string text = buffer && size > 0 ? std::string(reinterpret_cast<const char*>(buffer), size_t(size)) : "";
  xmlFree(buffer);
  return text;
}

void SVGXMLDocument::prepareForThreads() {
  static const bool ready = [] {
    xmlInitParser();
    return true;
  }();
  (void)ready;
}

bool SVGXMLDocument::rw_isSVGImage() const { return svgRoot(doc_) != nullptr; }

std::pair<double, double> SVGXMLDocument::rw_SVGImageSize() const {
  const xmlNode* root = svgRoot(doc_);
  if (!root) return {0, 0};
  double width = rw_SVGPixels(attribute(root, "width"));
  double height = rw_SVGPixels(attribute(root, "height"));
  if (std::isnan(width)) width = 0;
  if (std::isnan(height)) height = 0;
  if (auto viewBox = attribute(root, "viewBox")) {
    auto parts = splitAtSpaces(*viewBox);
    if (parts.size() == 4) {
      if (width == 0) width = double(integerValue(parts[2]));
      if (height == 0) height = double(integerValue(parts[3]));
    }
  }
  return {width, height};
}

bool SVGXMLDocument::rw_isSVGFillStyleable() const {
  const xmlNode* root = xmlDocGetRootElement(asDoc(doc_));
  if (!root) return true;
  if (const xmlNode* svg = svgRoot(doc_);
      svg && anyElement(svg->children, [](const xmlNode* n) { return named(n, "style"); }))
    return false;
  return !anyElement(root, [](const xmlNode* n) { return xmlHasNsProp(n, BAD_CAST "fill", nullptr) != nullptr; });
}

bool SVGXMLDocument::rw_isSVGColorStyleable() const {
  const xmlNode* root = xmlDocGetRootElement(asDoc(doc_));
  return root && anyElement(root, [](const xmlNode* n) {
           for (const xmlAttr* a = n->properties; a; a = a->next) {
             xmlChar* value = xmlNodeListGetString(n->doc, a->children, 1);
             bool found = value && std::strstr(reinterpret_cast<const char*>(value), "currentColor");
             xmlFree(value);
             if (found) return true;
           }
           return false;
         });
}

double SVGXMLDocument::rw_SVGPixels(const std::optional<std::string>& text) {
  static const std::map<std::string, double> conversions{
      {"px", 1.0}, {"pt", 4.0 / 3.0}, {"pc", 16.0}, {"mm", 3.779527},
      {"cm", 37.79527}, {"in", 96.0}, {"em", 16.0}, {"ex", 8.421875}};
  if (!text) return NAN;
  std::string_view t = *text;
  if (t.ends_with('%')) return NAN;
  if (t.size() >= 2) {
    if (auto unit = conversions.find(std::string(t.substr(t.size() - 2))); unit != conversions.end()) {
      auto value = readNumber(t.substr(0, t.size() - 2));
      return value ? *value * unit->second : NAN;
    }
  }
  auto value = readNumber(t);
  return value ? *value : NAN;
}
