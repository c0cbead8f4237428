#include <algorithm>

#include "platform/Alert.h"
#include "platform/Panels.h"
#include "platform/Workspace.h"

namespace {

// Until the application installs the toolkit's, nobody answers: alerts are dismissed, panels
// are cancelled, the desktop does nothing.
class NoAlert : public Alert {
 public:
  int runModal(const AlertSpec& alert, GtkWindow*) override { return closeResponse(alert); }
  void beginSheet(const AlertSpec& alert, GtkWindow*, std::function<void(int)> completion) override {
    if (completion) completion(closeResponse(alert));
  }
};

}  // namespace

int Alert::closeResponse(const AlertSpec& alert) {
  const auto& buttons = alert.buttons;
  std::size_t index = buttons.empty() ? 0 : buttons.size() - 1;
  if (alert.closeButton && *alert.closeButton < std::max<std::size_t>(buttons.size(), 1)) {
    index = *alert.closeButton;
  } else {
    for (std::size_t i = 0; i < buttons.size(); ++i)
      if (buttons[i] == "Cancel") index = i;
  }
  return firstButtonReturn + static_cast<int>(index);
}

std::filesystem::path pathForSavedType(const std::filesystem::path& chosen, const PanelFileType& type) {
  if (type.isFolder || type.extension.empty() || !chosen.has_filename()) return chosen;
  auto name = chosen.filename().string();
  const auto wanted = "." + type.extension;
  if (name.size() > wanted.size() && name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0)
    return chosen;
  // A name typed with a closing dot ("Copy.") gets the extension after that dot alone.
  if (name.back() != '.') name += '.';
  return chosen.parent_path() / (name + type.extension);
}

namespace {

class NoPanels : public Panels {
 public:
  std::vector<std::filesystem::path> runOpenPanel(const OpenPanelOptions&, GtkWindow*) override { return {}; }
  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions&, GtkWindow*) override { return std::nullopt; }
};

class NoWorkspace : public Workspace {
 public:
  bool openFile(const std::filesystem::path&) override { return false; }
  void activateFileViewerSelecting(const std::vector<std::filesystem::path>&) override {}
};

class MemoryRecentDocuments : public RecentDocuments {
 public:
  void noteNewRecentDocumentURL(const std::filesystem::path& url) override {
    std::erase(urls_, url);
    urls_.insert(urls_.begin(), url);
  }
  std::vector<std::filesystem::path> recentDocumentURLs() const override { return urls_; }

 private:
  std::vector<std::filesystem::path> urls_;
};

template <class Interface, class Default>
std::unique_ptr<Interface>& slot() {
  static std::unique_ptr<Interface> instance = std::make_unique<Default>();
  return instance;
}

// Setting none puts the default back.
template <class Interface, class Default>
void install(std::unique_ptr<Interface> instance) {
  slot<Interface, Default>() = instance ? std::move(instance) : std::make_unique<Default>();
}

}  // namespace

Alert& Alert::shared() { return *slot<Alert, NoAlert>(); }
void Alert::setShared(std::unique_ptr<Alert> alert) { install<Alert, NoAlert>(std::move(alert)); }
Panels& Panels::shared() { return *slot<Panels, NoPanels>(); }
void Panels::setShared(std::unique_ptr<Panels> panels) { install<Panels, NoPanels>(std::move(panels)); }
Workspace& Workspace::shared() { return *slot<Workspace, NoWorkspace>(); }
void Workspace::setShared(std::unique_ptr<Workspace> w) { install<Workspace, NoWorkspace>(std::move(w)); }
RecentDocuments& RecentDocuments::shared() { return *slot<RecentDocuments, MemoryRecentDocuments>(); }
void RecentDocuments::setShared(std::unique_ptr<RecentDocuments> r) {
  install<RecentDocuments, MemoryRecentDocuments>(std::move(r));
}
