#include "export/ExportFileDescriptor.h"

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

namespace {

Error decodeError(const std::string& what) {
  return Error(ExportErrors::Domain, ExportErrors::undecodable, "export request: " + what);
}

Result<std::string> stringField(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || !it->is_string()) return tl::unexpected(decodeError(std::string("\"") + key + "\" is not a string"));
  return it->get<std::string>();
}

Result<std::int64_t> intField(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || !it->is_number())
    return tl::unexpected(decodeError(std::string("\"") + key + "\" is not a whole number"));
  auto whole = JsonCoder::wholeNumber(*it);
  if (!whole) return tl::unexpected(decodeError(std::string("\"") + key + "\" is not a whole number in range"));
  return *whole;
}

Result<std::optional<std::string>> optionalString(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return tl::unexpected(decodeError(std::string("\"") + key + "\" is not a string"));
  return std::optional<std::string>(it->get<std::string>());
}

Result<ExportFileDescriptor::Type> typeField(const nlohmann::json& o) {
  auto raw = stringField(o, "type");
  if (!raw) return tl::unexpected(raw.error());
  auto type = ExportFileDescriptor::typeNamed(*raw);
  if (!type) return tl::unexpected(decodeError("unknown type \"" + *raw + "\""));
  return *type;
}

Result<std::vector<std::string>> stringArray(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || !it->is_array()) return tl::unexpected(decodeError(std::string("\"") + key + "\" is not a list"));
  std::vector<std::string> out;
  for (const auto& v : *it) {
    if (!v.is_string()) return tl::unexpected(decodeError(std::string("\"") + key + "\" holds a non-string"));
    out.push_back(v.get<std::string>());
  }
  return out;
}

}  // namespace

std::optional<ExportFileDescriptor::Type> ExportFileDescriptor::typeNamed(const std::string& raw) {
  static const std::pair<const char*, Type> names[] = {{"png", Type::png}, {"jpg", Type::jpg},   {"html", Type::html},
                                                       {"pdf", Type::pdf}, {"webp", Type::webp}, {"svg", Type::svg}};
  for (const auto& [n, t] : names)
    if (raw == n) return t;
  return std::nullopt;
}

const char* ExportFileDescriptor::rawValue(Type type) {
  switch (type) {
    case Type::png: return "png";
    case Type::jpg: return "jpg";
    case Type::html: return "html";
    case Type::pdf: return "pdf";
    case Type::webp: return "webp";
    case Type::svg: return "svg";
  }
  return "png";
}

Result<ExportFileDescriptor> ExportFileDescriptor::decode(const nlohmann::json& o) {
  if (!o.is_object()) return tl::unexpected(decodeError("not an object"));
  ExportFileDescriptor d;
  auto html = stringField(o, "html");
  if (!html) return tl::unexpected(html.error());
  auto svg = optionalString(o, "svg");
  if (!svg) return tl::unexpected(svg.error());
  auto width = intField(o, "width");
  if (!width) return tl::unexpected(width.error());
  auto height = intField(o, "height");
  if (!height) return tl::unexpected(height.error());
  auto type = typeField(o);
  if (!type) return tl::unexpected(type.error());
  auto name = stringField(o, "name");
  if (!name) return tl::unexpected(name.error());
  d.html = std::move(*html);
  d.svg = std::move(*svg);
  d.width = *width;
  d.height = *height;
  d.type = *type;
  d.name = std::move(*name);
  return d;
}

nlohmann::json ExportFileDescriptor::encode() const {
  nlohmann::json o = nlohmann::json::object();
  o["html"] = html;
  if (svg) o["svg"] = *svg;
  o["width"] = width;
  o["height"] = height;
  o["type"] = rawValue(type);
  o["name"] = name;
  return o;
}

bool isSafeRelativeName(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == ".." || part == ".") return false;
    if (part.empty() && end != name.size()) return false;  // "a//b"
    start = end + 1;
  }
  return name.back() != '/';
}

Result<OstrelExportsDescriptor> OstrelExportsDescriptor::decode(const nlohmann::json& o) {
  if (!o.is_object()) return tl::unexpected(decodeError("not an object"));
  OstrelExportsDescriptor d;
  auto inputs = o.find("inputs");
  if (inputs == o.end() || !inputs->is_object()) return tl::unexpected(decodeError("\"inputs\" is not an object"));
  for (const auto& [scale, list] : inputs->items()) {
    if (!list.is_array()) return tl::unexpected(decodeError("inputs of \"" + scale + "\" are not a list"));
    auto& into = d.inputs[scale];
    for (const auto& element : list) {
      if (element.is_null()) {
        into.push_back(std::nullopt);
        continue;
      }
      if (!element.is_object()) return tl::unexpected(decodeError("an input is not an object"));
      Input in;
      auto html = stringField(element, "html");
      if (!html) return tl::unexpected(html.error());
      auto svg = optionalString(element, "svg");
      if (!svg) return tl::unexpected(svg.error());
      auto w = intField(element, "width");
      if (!w) return tl::unexpected(w.error());
      auto h = intField(element, "height");
      if (!h) return tl::unexpected(h.error());
      in.html = std::move(*html);
      in.svg = std::move(*svg);
      in.width = *w;
      in.height = *h;
      into.push_back(std::move(in));
    }
  }
  auto images = stringArray(o, "images");
  if (!images) return tl::unexpected(images.error());
  auto fonts = stringArray(o, "fonts");
  if (!fonts) return tl::unexpected(fonts.error());
  d.images = std::move(*images);
  d.fonts = std::move(*fonts);
  auto outputs = o.find("outputs");
  if (outputs == o.end() || !outputs->is_array()) return tl::unexpected(decodeError("\"outputs\" is not a list"));
  for (const auto& element : *outputs) {
    if (!element.is_object()) return tl::unexpected(decodeError("an output is not an object"));
    Output out;
    auto name = stringField(element, "name");
    if (!name) return tl::unexpected(name.error());
    auto type = typeField(element);
    if (!type) return tl::unexpected(type.error());
    auto kp = element.find("keyPath");
    if (kp == element.end() || !kp->is_object()) return tl::unexpected(decodeError("\"keyPath\" is not an object"));
    auto scale = stringField(*kp, "scale");
    if (!scale) return tl::unexpected(scale.error());
    auto index = intField(*kp, "index");
    if (!index) return tl::unexpected(index.error());
    out.name = std::move(*name);
    out.type = *type;
    out.keyPath = {std::move(*scale), *index};
    d.outputs.push_back(std::move(out));
  }
  return d;
}

Result<std::vector<ExportFileDescriptor>> OstrelExportsDescriptor::exportFileDescriptors() const {
  std::vector<ExportFileDescriptor> out;
  out.reserve(outputs.size());
  for (const auto& output : outputs) {
    auto scale = inputs.find(output.keyPath.scale);
    if (scale == inputs.end() || output.keyPath.index < 0 ||
        static_cast<std::uint64_t>(output.keyPath.index) >= scale->second.size() ||
        !scale->second[static_cast<std::size_t>(output.keyPath.index)])
      return tl::unexpected(Error(ExportErrors::Domain, ExportErrors::inconsistantStructure,
                                  "no input at " + output.keyPath.scale + "[" + std::to_string(output.keyPath.index) + "]"));
    if (!isSafeRelativeName(output.name))
      return tl::unexpected(Error(ExportErrors::Domain, ExportErrors::unsafeName, "refused output name " + output.name));
    const Input& in = *scale->second[static_cast<std::size_t>(output.keyPath.index)];
    out.push_back(ExportFileDescriptor{in.html, in.svg, in.width, in.height, output.type, output.name});
  }
  return out;
}

ExportQualityOptions OstrelExportsDescriptor::exportQualityOptions() const {
  ExportQualityOptions q;
  for (const auto& output : outputs) {
    if (output.type == ExportFileDescriptor::Type::jpg) q.rawValue |= ExportQualityOptions::jpeg;
    if (output.type == ExportFileDescriptor::Type::webp) q.rawValue |= ExportQualityOptions::webp;
  }
  return q;
}
