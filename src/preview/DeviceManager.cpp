#include "preview/DeviceManager.h"

#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"

namespace {
constexpr std::string_view SkinDelimiter = ";skin:";
}  // namespace

DeviceManager::DeviceManager() : categories_{Canvas} {}

void DeviceManager::parse(const nlohmann::json* data) {
  if (!data || !data->is_string()) return;
  auto decoded = DevicesData::fromText(data->get_ref<const std::string&>());
  if (!decoded) {
    std::printf("Failed to decode Ostrel device data: %s\n", decoded.error().description().c_str());
    std::fflush(stdout);
    return;
  }
  devices_.clear();
  categories_ = {Canvas};
  categoryDevices_.clear();
  uncategorized_.clear();
  // Ids are unique keys; categories are kept in the order they first appear.
  std::set<std::string> seenCategories{Canvas};
  for (auto& [id, descriptor] : decoded->devices) {
    // A device without a screen can't be sized or framed.
    if (!descriptor.hasPositiveScreen()) continue;
    devices_[id] = descriptor;
    if (!descriptor.category) {
      uncategorized_.push_back(id);
      continue;
    }
    const std::string& c = *descriptor.category;
    if (seenCategories.insert(c).second) categories_.push_back(c);
    categoryDevices_[c].push_back(id);
  }
  NotificationCenter::defaultCenter().post(DevicesChangeNotification, this);
}

const DeviceDescriptor* DeviceManager::descriptorForDevice(const std::string& device) const {
  auto it = devices_.find(device);
  return it == devices_.end() ? nullptr : &it->second;
}

std::map<std::string, DeviceSkin> DeviceManager::skinsForDevice(const std::string& device) const {
  const DeviceDescriptor* d = descriptorForDevice(device);
  if (!d || !d->skins) return {};
  return *d->skins;
}

const std::vector<std::string>* DeviceManager::devicesForCategory(const std::string& category) const {
  auto it = categoryDevices_.find(category);
  return it == categoryDevices_.end() ? nullptr : &it->second;
}

std::string DeviceManager::defaultDeviceForCategory(const std::string& category) const {
  const auto* list = devicesForCategory(category);
  return list && !list->empty() ? list->front() : Canvas;
}

DeviceManager::MenuType DeviceManager::parseMenuType(const std::string& menuType) {
  auto first = menuType.find(SkinDelimiter);
  if (first == std::string::npos) return {menuType, std::nullopt};
  if (menuType.find(SkinDelimiter, first + SkinDelimiter.size()) != std::string::npos) return {menuType, std::nullopt};
  return {menuType.substr(0, first), menuType.substr(first + SkinDelimiter.size())};
}

std::string DeviceManager::createMenuType(const std::string& device, const std::optional<std::string>& skin) {
  if (!skin || skin->empty()) return device;
  return device + std::string(SkinDelimiter) + *skin;
}
