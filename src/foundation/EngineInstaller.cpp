#include "EngineInstaller.h"

#include "foundation/AppInfo.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/Xdg.h"

namespace EngineInstaller {

void installLatestOstrel(const std::filesystem::path& source, const std::filesystem::path& target,
                         const std::string& buildVersion) {
  auto marker = fs::readText(target / versionMarkerName);
  if (marker && *marker == buildVersion) return;

  (void)fs::createDirectories(target.parent_path());
  auto staging = fs::TemporaryFolder::besides(target);
  if (!staging) {
    RWLog("Ostrel Installation error: " + staging.error().description());
    return;
  }
  auto fresh = staging->path() / "new";
  if (auto copied = fs::copyItem(source, fresh); !copied) {
    RWLog("Ostrel Installation error: " + copied.error().description());
    return;
  }
  // Written into the staged copy so that the engine and its marker arrive together; a failure
  // only means the next launch copies again.
  (void)fs::writeAtomically(fresh / versionMarkerName, buildVersion);

  auto old = staging->path() / "old";
  bool hadOld = fs::exists(target);
  if (hadOld) {
    if (auto moved = fs::moveItem(target, old); !moved) {
      RWLog("Ostrel Installation error: " + moved.error().description());
      return;
    }
  }
  if (auto placed = fs::moveItem(fresh, target); !placed) {
    if (hadOld) (void)fs::moveItem(old, target);
    RWLog("Ostrel Installation error: " + placed.error().description());
  }
}

void installLatestOstrel() {
  auto target = AppInfo::current()->ostrelDir();
  if (!target) return;
  installLatestOstrel(Resources::path("Ostrel"), *target, AppInfo::buildVersion());
}

void installSketchPasteboard(const std::filesystem::path& pluginSource, const std::filesystem::path& pluginFolder) {
  if (!fs::exists(pluginFolder)) return;
  auto target = pluginFolder / "Korvel Pasteboard.sketchplugin";
  (void)fs::removeItem(target);
  (void)fs::copyItem(pluginSource, target);
}

void installSketchPasteboard() {
  installSketchPasteboard(Resources::path("plugin", "sketchplugin", "KorvelSketchPasteboard"),
                          xdg::dataHome() / "com.bohemiancoding.sketch3" / "Plugins");
}

}  // namespace EngineInstaller
