// The preview page's "devices" message: decoded as the device catalog, then taken by a device
// manager as the preview window does, and every menu type split again.

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "preview/DeviceDescriptor.h"
#include "preview/DeviceManager.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  auto decoded = DevicesData::fromText(text);
  if (decoded) {
    for (const auto& [id, descriptor] : decoded->devices) (void)descriptor.effectivePixelRatio();
  }
  static DeviceManager manager;
  nlohmann::json message = text;
  manager.parse(&message);
  for (const auto& category : manager.deviceCategories()) {
    auto device = manager.defaultDeviceForCategory(category);
    for (const auto& [skin, value] : manager.skinsForDevice(device))
      (void)DeviceManager::parseMenuType(DeviceManager::createMenuType(device, skin));
  }
  (void)DeviceManager::parseMenuType(text);
  return 0;
}
