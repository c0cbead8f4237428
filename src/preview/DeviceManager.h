#pragma once
// A document's copy of the device catalog its preview page reports, arranged by category for
// the device menu, with the shared vocabulary of menu types: a device id, optionally followed
// by ";skin:" and a skin key. Devices whose screen is not positive are left out. Posts
// "DeviceManager.DevicesChangeNotification" (object: the manager) after every catalog it
// takes. Main thread only.

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "preview/DeviceDescriptor.h"

class DeviceManager {
 public:
  static constexpr const char* Canvas = "Canvas";

  struct MenuType {
    std::string type;
    std::optional<std::string> skin;
    bool operator==(const MenuType&) const = default;
  };

  DeviceManager();

  // `data`: the "arguments" of the page's "devices" message; only text is read.
  void parse(const nlohmann::json* data);

  const std::string& canvasDevice() const { return canvasDevice_; }
  const std::map<std::string, DeviceDescriptor>& devices() const { return devices_; }
  const std::vector<std::string>& deviceCategories() const { return categories_; }
  const std::map<std::string, std::vector<std::string>>& categoryDevices() const { return categoryDevices_; }
  const std::vector<std::string>& uncategorized() const { return uncategorized_; }

  const DeviceDescriptor* descriptorForDevice(const std::string& device) const;
  std::map<std::string, DeviceSkin> skinsForDevice(const std::string& device) const;
  const std::vector<std::string>* devicesForCategory(const std::string& category) const;
  std::string defaultDeviceForCategory(const std::string& category) const;

  static MenuType parseMenuType(const std::string& menuType);
  static std::string createMenuType(const std::string& device, const std::optional<std::string>& skin);

 private:
  const std::string canvasDevice_ = Canvas;
  std::map<std::string, DeviceDescriptor> devices_;
  std::vector<std::string> categories_;
  std::map<std::string, std::vector<std::string>> categoryDevices_;
  std::vector<std::string> uncategorized_;
};
