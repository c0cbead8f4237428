#include "preview/DeviceSettingsMenuController.h"

#include <algorithm>
#include <climits>
#include <tuple>

#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"
#include "preview/DeviceManager.h"
#include "preview/PreviewDocument.h"
#include "preview/PreviewMenu.h"
#include "preview/PreviewWindowController.h"

DeviceSettingsMenuController::DeviceSettingsMenuController(std::weak_ptr<PreviewDocument> document)
    : document_(std::move(document)) {
  auto d = document_.lock();
  if (!d) return;
  devicesObserver_ = NotificationCenter::defaultCenter().addObserver(DevicesChangeNotification, &d->deviceManager(),
                                                                     [this](const Notification&) { updateDeviceMenu(); });
}

int DeviceSettingsMenuController::kindRank(const std::optional<std::string>& kind) {
  static const char* const order[] = {"watch", "phone", "tablet", "computer", "tv"};
  for (int i = 0; i < 5; ++i)
    if (kind && *kind == order[i]) return i;
  return INT_MAX;
}

std::vector<DeviceSettingsMenuController::Entry> DeviceSettingsMenuController::sortedDevices(
    const std::vector<std::string>* ids) const {
  std::vector<Entry> out;
  auto d = document_.lock();
  if (!d || !ids) return out;
  for (const auto& id : *ids)
    if (const DeviceDescriptor* descriptor = d->deviceManager().descriptorForDevice(id)) out.emplace_back(id, descriptor);
  // Kinds outside the fixed list rank alike; their own text then keeps the order a strict one.
  std::stable_sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
    auto key = [](const Entry& e) {
      return std::make_tuple(kindRank(e.second->kind), e.second->kind.value_or(""), e.second->selector.value_or(""));
    };
    return key(a) < key(b);
  });
  return out;
}

std::shared_ptr<PreviewMenuItem> DeviceSettingsMenuController::createMenuItem(const std::string& title,
                                                                              const std::string& type) {
  auto item = std::make_shared<PreviewMenuItem>(title, handleSelectionAction, type);
  menuItems_.push_back(item);
  return item;
}

void DeviceSettingsMenuController::addDevice(const std::string& id, const DeviceDescriptor& descriptor,
                                             PreviewMenu& menu) {
  auto entry = createMenuItem(descriptor.selector.value_or(descriptor.title), id);
  auto d = document_.lock();
  auto skins = d ? d->deviceManager().skinsForDevice(id) : std::map<std::string, DeviceSkin>{};
  if (!skins.empty()) {
    auto submenu = std::make_shared<PreviewMenu>();
    submenu->addItem(createMenuItem("Screen Size Only", id));
    submenu->addItem(PreviewMenuItem::separator());
    // The map holds its keys in ascending order already.
    for (const auto& [key, skin] : skins) submenu->addItem(createMenuItem(key, DeviceManager::createMenuType(id, key)));
    entry->setSubmenu(std::move(submenu));
  }
  menu.addItem(std::move(entry));
}

void DeviceSettingsMenuController::updateDeviceMenu() {
  auto d = document_.lock();
  if (!d) return;
  PreviewWindowController* preview = d->previewWindowController();
  if (!preview || !preview->deviceCategoriesMenu()) return;
  PreviewMenu& menu = *preview->deviceCategoriesMenu();
  menu.removeAllItems();
  menuItems_.clear();
  const DeviceManager& manager = d->deviceManager();
  for (const auto& category : manager.deviceCategories()) {
    std::optional<std::optional<std::string>> lastKind;
    for (const auto& [id, descriptor] : sortedDevices(manager.devicesForCategory(category))) {
      if (lastKind && *lastKind != descriptor->kind) menu.addItem(PreviewMenuItem::separator());
      addDevice(id, *descriptor, menu);
      lastKind = descriptor->kind;
    }
    menu.addItem(PreviewMenuItem::separator());
  }
  for (const auto& [id, descriptor] : sortedDevices(&manager.uncategorized())) addDevice(id, *descriptor, menu);
  updateDeviceMenuSelection();
}

void DeviceSettingsMenuController::updateDeviceMenuSelection() {
  auto d = document_.lock();
  if (!d || !d->previewWindowController()) return;
  std::string type = d->previewWindowController()->deviceMenuType();
  PreviewMenuItem* candidate = nullptr;
  for (const auto& item : menuItems_) {
    if (item->representedObject && *item->representedObject == type)
      candidate = item.get();
    else
      setMenuPathStates(item.get(), false);
  }
  if (candidate) setMenuPathStates(candidate, true);
}

void DeviceSettingsMenuController::setMenuPathStates(PreviewMenuItem* item, bool on) {
  if (!item) return;
  auto d = document_.lock();
  PreviewWindowController* preview = d ? d->previewWindowController() : nullptr;
  // The settings menu's own items keep their state.
  if (preview && (preview->deviceMenuItem() == item || item->submenu().get() == preview->deviceCategoriesMenu())) return;
  setMenuPathStates(item->parent(), on);
  item->checked = on;
}

void DeviceSettingsMenuController::handleSelection(const PreviewMenuItem& item) {
  auto d = document_.lock();
  if (!d || !item.representedObject || !d->previewWindowController()) return;
  d->previewWindowController()->handleDeviceMenuSelection(*item.representedObject);
}
