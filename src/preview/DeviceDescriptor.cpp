#include "preview/DeviceDescriptor.h"

#include <cmath>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "preview/StrictDecoding.h"

using namespace strict;

namespace {

InternalDeviceSkin internalSkin(const nlohmann::json& o, const std::string& path) {
  return {requiredString(o, "image", path), requiredInt64(o, "imageWidth", path), requiredInt64(o, "imageHeight", path),
          requiredDouble(o, "padding", path), requiredString(o, "background", path)};
}

InternalDeviceHand internalHand(const nlohmann::json& o, const std::string& path) {
  return {requiredString(o, "image", path), requiredInt64(o, "width", path), requiredInt64(o, "height", path),
          requiredInt64(o, "offset", path)};
}

// The internal form when it decodes whole, else the external one, whose failure is the answer.
template <class Union, class Internal, class External>
Union eitherForm(const nlohmann::json& value, const std::string& path, Internal (*decodeInternal)(const nlohmann::json&, const std::string&)) {
  const nlohmann::json& o = object(value, path);
  try {
    return Union{decodeInternal(o, path)};
  } catch (const Failure&) {
  }
  return Union{External{requiredString(o, "package", path)}};
}

template <class T, class Decode>
std::map<std::string, T> mapOf(const nlohmann::json& o, const std::string& path, Decode decode) {
  std::map<std::string, T> out;
  for (auto it = o.begin(); it != o.end(); ++it) out.emplace(it.key(), decode(it.value(), member(path, it.key())));
  return out;
}

std::map<std::string, DeviceDescriptor> descriptors(const nlohmann::json& o, const std::string& path) {
  if (o.size() > DevicesData::maximumDeviceCount)
    throw Failure{path, "holds more than " + std::to_string(DevicesData::maximumDeviceCount) + " devices"};
  return mapOf<DeviceDescriptor>(o, path, [](const nlohmann::json& v, const std::string& p) {
    return DeviceDescriptor::decode(v, p);
  });
}

}  // namespace

DeviceDescriptor DeviceDescriptor::decode(const nlohmann::json& value, const std::string& path) {
  const nlohmann::json& o = object(value, path);
  DeviceDescriptor d;
  d.title = requiredString(o, "title", path);
  d.category = optionalString(o, "category", path);
  d.selector = optionalString(o, "selector", path);
  d.kind = optionalString(o, "kind", path);
  const nlohmann::json& screen = requiredObject(o, "screen", path);
  std::string screenPath = member(path, "screen");
  d.screen = {requiredInt64(screen, "width", screenPath), requiredInt64(screen, "height", screenPath)};
  if (const nlohmann::json* skins = optionalObject(o, "skins", path))
    d.skins = mapOf<DeviceSkin>(*skins, member(path, "skins"), [](const nlohmann::json& v, const std::string& p) {
      return eitherForm<DeviceSkin, InternalDeviceSkin, ExternalDeviceSkin>(v, p, internalSkin);
    });
  if (const nlohmann::json* hands = optionalObject(o, "hands", path))
    d.hands = mapOf<DeviceHand>(*hands, member(path, "hands"), [](const nlohmann::json& v, const std::string& p) {
      return eitherForm<DeviceHand, InternalDeviceHand, ExternalDeviceHand>(v, p, internalHand);
    });
  d.canRotate = optionalBool(o, "canRotate", path);
  d.pixelRatio = optionalDouble(o, "pixelRatio", path);
  return d;
}

double DeviceDescriptor::effectivePixelRatio() const {
  if (!pixelRatio || !std::isfinite(*pixelRatio) || *pixelRatio <= 0) return 1.0;
  return *pixelRatio;
}

Result<DevicesData> DevicesData::fromText(std::string_view text) {
  if (text.size() > maximumTextSize)
    return fail(ErrorDomain, 1, "device data: larger than " + std::to_string(maximumTextSize >> 20) + " MiB");
  return decodeText<DevicesData>(text, "device data", [](const nlohmann::json& top) {
    DevicesData data;
    data.devices = descriptors(requiredObject(top, "devices", ""), "devices");
    data.deviceSkins = descriptors(requiredObject(top, "deviceSkins", ""), "deviceSkins");
    std::set<std::string> categories;
    for (const auto& [id, descriptor] : data.devices)
      if (descriptor.category && categories.insert(*descriptor.category).second &&
          categories.size() > DevicesData::maximumCategoryCount)
        throw Failure{"devices", "holds more than " + std::to_string(DevicesData::maximumCategoryCount) + " categories"};
    return data;
  });
}
