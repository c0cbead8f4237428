#pragma once
// Reads the layers JSON that the other design tool's plug-in puts on the pasteboard, for the
// images that travel inside it. Only the parts of the layer tree that can carry images are
// modelled; the tree itself goes on to the editor page untouched. Stateless; any thread.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"

struct SketchDataWrapper {
  std::string _data;  // Base64
};

struct SketchJSONOriginalDataReference {
  static constexpr const char* _class = "MSJSONOriginalDataReference";
  std::string _ref;
  std::optional<SketchDataWrapper> data;
};

struct SketchFrame {
  static constexpr const char* _class = "rect";
  double x = 0, y = 0, width = 0, height = 0;
  bool constrainProportions = false;
};

struct SketchFill {
  static constexpr const char* _class = "fill";
  std::optional<SketchJSONOriginalDataReference> image;
};

struct SketchStyle {
  static constexpr const char* _class = "style";
  std::optional<std::vector<SketchFill>> fills;
};

struct SketchBitmap {
  static constexpr const char* _class = "bitmap";
  std::string do_objectID;
  SketchFrame frame;
  std::optional<SketchJSONOriginalDataReference> image;
};

struct SketchLayer;

struct SketchNode {
  std::optional<std::vector<SketchLayer>> layers;
  std::optional<SketchStyle> style;
};

struct SketchAnyLeaf {};

struct SketchLayer {
  std::variant<SketchNode, SketchBitmap, SketchAnyLeaf> kind;
};

struct SketchPasteboardMetadata {
  std::optional<std::map<std::string, SketchLayer>> detachedSymbols;
};

struct SketchPasteboardData {
  std::string version;
  std::vector<SketchLayer> layers;
  SketchPasteboardMetadata metadata;
};

struct SketchPasteboardPluginParserResult {
  SketchPasteboardData sketchData;
  std::map<std::string, Data> bitmaps;  // decoded image bytes by reference
};

class SketchPasteboardPluginParser {
 public:
  static constexpr const char* ErrorDomain = "SketchPasteboardPluginParserError";
  enum ErrorCode : long { unknownFormatting = 0, unknownObject = 1 };

  static SketchPasteboardPluginParser& shared();

  // Fails with unknownFormatting, after a "Parsing failed " line on standard output, when the
  // payload does not decode as a whole. Images whose Base64 is bad are left out silently.
  Result<SketchPasteboardPluginParserResult> parse(std::string_view jsonString) const;

  // Image references of the layers and all their descendants, depth first, a node's fills
  // before its children.
  std::vector<SketchJSONOriginalDataReference> extractBitmapsFromLayers(const std::vector<SketchLayer>& layers) const;
};
