#include "preview/OstrelSelection.h"

#include <nlohmann/json.hpp>

#include "preview/StrictDecoding.h"

using namespace strict;

Result<OstrelSelection> OstrelSelection::fromText(std::string_view text) {
  return decodeText<OstrelSelection>(text, "selection data", [](const nlohmann::json& top) {
    OstrelSelection s;
    const nlohmann::json& node = requiredObject(top, "presentationNode", "");
    s.presentationNode.componentClass = requiredString(node, "componentClass", "presentationNode");
    const nlohmann::json& meta = requiredObject(top, "metadata", "");
    s.metadata.name = requiredString(meta, "name", "metadata");
    s.metadata.id = requiredString(meta, "id", "metadata");
    s.metadata.width = optionalInt64(meta, "width", "metadata");
    s.metadata.height = optionalInt64(meta, "height", "metadata");
    const nlohmann::json& settings = requiredObject(meta, "settings", "metadata");
    const std::string path = "metadata.settings";
    auto& out = s.metadata.settings;
    out.deviceType = optionalString(settings, "deviceType", path);
    if (const nlohmann::json* descriptor = optionalObject(settings, "deviceDescriptor", path))
      out.deviceDescriptor = DeviceDescriptor::decode(*descriptor, member(path, "deviceDescriptor"));
    out.skin = optionalString(settings, "skin", path);
    out.hand = optionalString(settings, "hand", path);
    out.zoom = optionalDouble(settings, "zoom", path);
    out.responsive = requiredBool(settings, "responsive", path);
    out.rotate = requiredBool(settings, "rotate", path);
    out.bezel = requiredBool(settings, "bezel", path);
    out.touch = requiredBool(settings, "touch", path);
    return s;
  });
}
