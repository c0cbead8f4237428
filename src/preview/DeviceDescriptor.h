#pragma once
// The device catalog the preview page reports ("devices") and the device record the editor's
// preview settings carry: decode-only values. A failure anywhere rejects the whole catalog.
// Skins and hands come in two untagged forms; the complete internal form wins.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "platform/Error.h"

struct DeviceScreen {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

struct InternalDeviceSkin {
  std::string image;
  std::int64_t imageWidth = 0;
  std::int64_t imageHeight = 0;
  double padding = 0;
  std::string background;
};
struct ExternalDeviceSkin {
  std::string package;
};
struct DeviceSkin {
  std::variant<InternalDeviceSkin, ExternalDeviceSkin> value;
  bool isIntern() const { return value.index() == 0; }
};

struct InternalDeviceHand {
  std::string image;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t offset = 0;
};
struct ExternalDeviceHand {
  std::string package;
};
struct DeviceHand {
  std::variant<InternalDeviceHand, ExternalDeviceHand> value;
  bool isIntern() const { return value.index() == 0; }
};

struct DeviceDescriptor {
  std::string title;
  std::optional<std::string> category;
  std::optional<std::string> selector;
  std::optional<std::string> kind;
  DeviceScreen screen;
  std::optional<std::map<std::string, DeviceSkin>> skins;
  std::optional<std::map<std::string, DeviceHand>> hands;
  std::optional<bool> canRotate;
  std::optional<double> pixelRatio;

  // Throws strict::Failure; `path` names the record in errors.
  static DeviceDescriptor decode(const nlohmann::json& value, const std::string& path);

  // The ratio that divides the screen into points: 1.0 when absent, not finite or not positive.
  double effectivePixelRatio() const;
  bool hasPositiveScreen() const { return screen.width > 0 && screen.height > 0; }
};

struct DevicesData {
  // Far above any real catalog; a catalog beyond either is refused whole.
  static constexpr std::size_t maximumDeviceCount = 1000;
  static constexpr std::size_t maximumCategoryCount = 100;
  // A catalog of that many devices with skins and hands takes well under this; larger text is
  // refused before it is parsed.
  static constexpr std::size_t maximumTextSize = 2 << 20;

  std::map<std::string, DeviceDescriptor> devices;
  std::map<std::string, DeviceDescriptor> deviceSkins;

  static Result<DevicesData> fromText(std::string_view text);
};
