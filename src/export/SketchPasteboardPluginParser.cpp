#include "export/SketchPasteboardPluginParser.h"

#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "export/ImageInfo.h"
#include "platform/JsonCoder.h"

namespace {

using nlohmann::json;

struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const json& required(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) throw DecodeError(std::string("missing key \"") + key + "\"");
  return *it;
}

const json* optional(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

const json& expectObject(const json& value, const char* what) {
  if (!value.is_object()) throw DecodeError(std::string(what) + " is not an object");
  return value;
}

const json& expectArray(const json& value, const char* what) {
  if (!value.is_array()) throw DecodeError(std::string(what) + " is not an array");
  return value;
}

std::string string(const json& object, const char* key) {
  const json& value = required(object, key);
  if (!value.is_string()) throw DecodeError(std::string("\"") + key + "\" is not a string");
  return value.get<std::string>();
}

double number(const json& object, const char* key) {
  const json& value = required(object, key);
  if (!value.is_number()) throw DecodeError(std::string("\"") + key + "\" is not a number");
  return value.get<double>();
}

bool boolean(const json& object, const char* key) {
  const json& value = required(object, key);
  if (!value.is_boolean()) throw DecodeError(std::string("\"") + key + "\" is not a boolean");
  return value.get<bool>();
}

SketchJSONOriginalDataReference reference(const json& value) {
  expectObject(value, "an image reference");
  SketchJSONOriginalDataReference ref;
  ref._ref = string(value, "_ref");
  if (const json* data = optional(value, "data")) ref.data = SketchDataWrapper{string(expectObject(*data, "\"data\""), "_data")};
  return ref;
}

SketchLayer layer(const json& value);

std::vector<SketchLayer> layers(const json& value) {
  std::vector<SketchLayer> result;
  for (const json& item : expectArray(value, "\"layers\"")) result.push_back(layer(item));
  return result;
}

SketchLayer layer(const json& value) {
  expectObject(value, "a layer");
  std::string kind = string(value, "_class");
  if (kind == "artboard" || kind == "group" || kind == "shapeGroup" || kind == "symbolMaster") {
    SketchNode node;
    if (const json* children = optional(value, "layers")) node.layers = layers(*children);
    if (const json* style = optional(value, "style")) {
      expectObject(*style, "\"style\"");
      SketchStyle s;
      if (const json* fills = optional(*style, "fills")) {
        s.fills.emplace();
        for (const json& fill : expectArray(*fills, "\"fills\"")) {
          expectObject(fill, "a fill");
          SketchFill f;
          if (const json* image = optional(fill, "image")) f.image = reference(*image);
          s.fills->push_back(std::move(f));
        }
      }
      node.style = std::move(s);
    }
    return SketchLayer{std::move(node)};
  }
  if (kind == "bitmap") {
    SketchBitmap bitmap;
    bitmap.do_objectID = string(value, "do_objectID");
    const json& frame = expectObject(required(value, "frame"), "\"frame\"");
    bitmap.frame = SketchFrame{number(frame, "x"), number(frame, "y"), number(frame, "width"), number(frame, "height"),
                               boolean(frame, "constrainProportions")};
    if (const json* image = optional(value, "image")) bitmap.image = reference(*image);
    return SketchLayer{std::move(bitmap)};
  }
  return SketchLayer{SketchAnyLeaf{}};
}

SketchPasteboardData pasteboardData(const json& value) {
  expectObject(value, "the payload");
  SketchPasteboardData data;
  data.version = string(value, "version");
  data.layers = layers(required(value, "layers"));
  const json& metadata = expectObject(required(value, "metadata"), "\"metadata\"");
  if (const json* symbols = optional(metadata, "detachedSymbols")) {
    data.metadata.detachedSymbols.emplace();
    for (auto& [key, symbol] : expectObject(*symbols, "\"detachedSymbols\"").items())
      data.metadata.detachedSymbols->emplace(key, layer(symbol));
  }
  return data;
}

void collect(const std::vector<SketchLayer>& layers, std::vector<SketchJSONOriginalDataReference>& out) {
  for (const SketchLayer& layer : layers) {
    if (auto* bitmap = std::get_if<SketchBitmap>(&layer.kind)) {
      if (bitmap->image) out.push_back(*bitmap->image);
    } else if (auto* node = std::get_if<SketchNode>(&layer.kind)) {
      if (node->style && node->style->fills)
        for (const SketchFill& fill : *node->style->fills)
          if (fill.image) out.push_back(*fill.image);
      if (node->layers) collect(*node->layers, out);
    }
  }
}

}  // namespace

SketchPasteboardPluginParser& SketchPasteboardPluginParser::shared() {
  static SketchPasteboardPluginParser parser;
  return parser;
}

std::vector<SketchJSONOriginalDataReference> SketchPasteboardPluginParser::extractBitmapsFromLayers(
    const std::vector<SketchLayer>& layers) const {
  std::vector<SketchJSONOriginalDataReference> out;
  collect(layers, out);
  return out;
}

Result<SketchPasteboardPluginParserResult> SketchPasteboardPluginParser::parse(std::string_view jsonString) const {
  auto failed = [](const std::string& description) {
    std::printf("Parsing failed %s\n", description.c_str());
    std::fflush(stdout);
    return fail(ErrorDomain, unknownFormatting, "The pasted layers are not in a known format");
  };
  auto parsed = JsonCoder::parse(jsonString);
  if (!parsed) return failed(parsed.error().message);
  SketchPasteboardPluginParserResult result;
  try {
    result.sketchData = pasteboardData(*parsed);
  } catch (const DecodeError& e) {
    return failed(e.what());
  }
  auto references = extractBitmapsFromLayers(result.sketchData.layers);
  if (auto& symbols = result.sketchData.metadata.detachedSymbols) {
    std::vector<SketchLayer> values;
    for (auto& [key, symbol] : *symbols) values.push_back(symbol);
    auto more = extractBitmapsFromLayers(values);
    references.insert(references.end(), more.begin(), more.end());
  }
  for (const auto& ref : references) {
    if (!ref.data) continue;
    if (auto bytes = strictBase64Decode(ref.data->_data)) result.bitmaps[ref._ref] = std::move(*bytes);
  }
  return result;
}
