// Files of the document's project that the editor names by a path relative to the project.

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "foundation/AppInfo.h"
#include "ipc/EditorDesktop.h"
#include "ipc/OstrelIPCProcessor.h"
#include "ipc/ProjectFiles.h"
#include "platform/Pasteboard.h"
#include "platform/RWLog.h"
#include "platform/UrlOpener.h"

namespace {

constexpr const char* codeEditorDownloadPage = "https://code.visualstudio.com/Download";

void logRefusal(const std::string& request, const Error& error) {
  if (error.domain == ProjectFiles::ErrorDomain) RWLog(request + " refused: " + error.message);
}

}  // namespace

std::optional<std::filesystem::path> OstrelIPCProcessor::resolveProjectReference(const nlohmann::json& reference) {
  if (!reference.is_string()) return std::nullopt;
  auto document = delegate.lock();
  if (!document) return std::nullopt;
  auto project = document->projectPath();
  if (!project) return std::nullopt;
  auto path = ProjectFiles::resolveReference(*project, reference.get<std::string>());
  if (!path) {
    logRefusal("Project path " + reference.get<std::string>(), path.error());
    return std::nullopt;
  }
  return *path;
}

void OstrelIPCProcessor::handleOpenRelativePathExternally(const nlohmann::json& arguments) {
  auto file = resolveProjectReference(arguments);
  if (!file) return;
  // The page or the project's own scripts may have made the file: nothing that can run opens.
  struct stat info {};
  if (lstat(file->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  if (auto openable = ProjectFiles::checkOpenable(*file); !openable) {
    logRefusal("Opening " + file->filename().string(), openable.error());
    return;
  }
  auto& desktop = EditorDesktop::shared();
  if (desktop.openWithDefaultApplication && desktop.openWithDefaultApplication(*file)) return;
  for (const char* editor : {"Visual Studio Code", "Code"})
    if (desktop.openWithApplication && desktop.openWithApplication(*file, editor)) return;
  if (!desktop.runModalAlert) return;
  EditorDesktop::Alert alert{"No code editor found.",
                             "In order to edit " + file->filename().string() + ", " +
                                 AppInfo::displayName().value_or("Korvel") + " requires an external code editor.",
                             {"Get Visual Studio Code", "Cancel"}};
  if (desktop.runModalAlert(alert) == 0) UrlOpener::open(codeEditorDownloadPage);
}

void OstrelIPCProcessor::handleCopyFileContentsAtRelativePath(const nlohmann::json& arguments) {
  auto file = resolveProjectReference(arguments);
  if (!file) return;
  auto text = ProjectFiles::readText(*file);
  if (!text) return;
  auto& pasteboard = Pasteboard::general();
  pasteboard.declareTypes({PasteboardType::string});
  pasteboard.setString(*text, PasteboardType::string);
}

void OstrelIPCProcessor::handleCreateFileAtRelativePath(const nlohmann::json& arguments) {
  if (!arguments.is_array() || arguments.size() < 2) return;
  std::size_t read = std::min<std::size_t>(arguments.size(), 3);
  for (std::size_t i = 0; i < read; ++i)
    if (!arguments[i].is_string()) return;
  bool replace = read == 3 && arguments[2].get<std::string>() == "true";
  auto file = resolveProjectReference(arguments[0]);
  if (!file) return;
  if (auto created = ProjectFiles::createFile(*file, arguments[1].get<std::string>(), replace); !created)
    logRefusal("Creating " + file->filename().string(), created.error());
}
