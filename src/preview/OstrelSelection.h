#pragma once
// The editor's preview selection, pushed by the project server as preview data: the
// previewed component, its name, id and size, and its preview settings. Decode-only; a
// failure anywhere rejects the whole selection.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "preview/DeviceDescriptor.h"

struct OstrelPresentationNode {
  std::string componentClass;
};

struct OstrelPreviewSettings {
  std::optional<std::string> deviceType;
  std::optional<DeviceDescriptor> deviceDescriptor;
  std::optional<std::string> skin;
  std::optional<std::string> hand;
  std::optional<double> zoom;
  bool responsive = false;
  bool rotate = false;
  bool bezel = false;
  bool touch = false;
};

struct OstrelSelectionMetadata {
  std::string name;
  std::string id;
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  OstrelPreviewSettings settings;
};

struct OstrelSelection {
  OstrelPresentationNode presentationNode;
  OstrelSelectionMetadata metadata;

  static Result<OstrelSelection> fromText(std::string_view text);
};
