#pragma once
// Fills the preview window's device menu from the document's catalog: devices by category,
// ordered by kind and selector inside one, each with a submenu of its skins; puts the check
// marks on the entries of the preview's current device and skin, and hands a chosen entry's
// menu type to the preview window. Rebuilds on every catalog the device manager takes.
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ObserverToken.h"

class PreviewDocument;
class PreviewMenu;
class PreviewMenuItem;
struct DeviceDescriptor;

class DeviceSettingsMenuController {
 public:
  static constexpr const char* handleSelectionAction = "handleSelectionWithMenuItem:";

  explicit DeviceSettingsMenuController(std::weak_ptr<PreviewDocument> document);

  void updateDeviceMenu();
  void updateDeviceMenuSelection();
  void setMenuPathStates(PreviewMenuItem* item, bool on);
  void handleSelection(const PreviewMenuItem& item);

  // Every selectable entry of the last rebuild, in the order made.
  const std::vector<std::shared_ptr<PreviewMenuItem>>& menuItems() const { return menuItems_; }

  // Rank of a kind in the menu: watch, phone, tablet, computer, tv, then every other kind.
  static int kindRank(const std::optional<std::string>& kind);

 private:
  using Entry = std::pair<std::string, const DeviceDescriptor*>;
  std::vector<Entry> sortedDevices(const std::vector<std::string>* ids) const;
  void addDevice(const std::string& id, const DeviceDescriptor& descriptor, PreviewMenu& menu);
  std::shared_ptr<PreviewMenuItem> createMenuItem(const std::string& title, const std::string& type);

  std::weak_ptr<PreviewDocument> document_;
  std::vector<std::shared_ptr<PreviewMenuItem>> menuItems_;
  ObserverToken devicesObserver_;
};
