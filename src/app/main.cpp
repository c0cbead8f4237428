// The korvel executable. Until the application object lands, it performs the launch steps
// that need no window and reports what it would open.

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/foundation/AppInfo.h"
#include "app/foundation/AppServices.h"
#include "app/foundation/EngineInstaller.h"
#include "platform/Defaults.h"
#include "platform/Resources.h"

int main(int argc, char** argv) {
  auto& defaults = Defaults::standard();
  if (auto registered = defaults.registerDefaultsFromFile(Resources::path("DefaultPreferences", "json")); !registered)
    std::fprintf(stderr, "korvel: %s\n", registered.error().description().c_str());
  EngineInstaller::installLatestOstrel();
  EngineInstaller::installSketchPasteboard();

  auto info = AppInfo::current();
  auto& services = AppServices::shared();
  std::printf("%s %s (%s)\n", AppInfo::displayName().value_or("Korvel").c_str(), AppInfo::shortVersion().c_str(),
              AppInfo::buildName().c_str());
  std::printf("user agent: %s\n", info->userAgent().c_str());
  std::printf("editor engine: %s\n", info->ostrelDir().value_or("").c_str());
  std::printf("services: %s\n", services.title(services.currentEnvironment()).c_str());
  const auto& globals = AppInfo::ostrelGlobals();
  std::printf("editor document version: %s\n", globals ? std::to_string(globals->documentVersion).c_str() : "none");
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path document = argv[i];
    if (!std::filesystem::exists(document)) {
      std::fprintf(stderr, "korvel: %s: no such document\n", argv[i]);
      return 1;
    }
    std::printf("document: %s (opening documents comes with the document window)\n", document.c_str());
  }
  defaults.synchronize();
  return 0;
}
