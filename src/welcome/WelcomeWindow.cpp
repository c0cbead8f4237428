#include "welcome/WelcomeWindow.h"

#include <cctype>
#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "account/ABTests.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentError.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/Resources.h"
#include "platform/Url.h"
#include "platform/UrlOpener.h"
#include "welcome/WelcomeWindowNoRecentDocumentsView.h"
#include "welcome/WelcomeWindowRecentsTableView.h"

namespace fsys = std::filesystem;

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

Error missingResource(const std::string& name) {
  return Error(NSCocoaErrorDomain, WelcomeWindow::missingResourceCode, "The file “" + name + "” couldn’t be found.");
}

void reportFailure(const std::string& name, const Error& error) {
  std::cout << "Cannot open example: " << name << " " << error.description() << std::endl;
}

std::optional<fsys::path> resource(const std::string& name, const char* folder, const char* extension) {
  auto base = WelcomeWindow::baseName(name);
  if (base.empty() || base == "." || base == ".." || base.find('/') != std::string::npos ||
      base.find('\0') != std::string::npos)
    return std::nullopt;
  return Resources::path(base, extension, std::string("WelcomeWindow/") + folder);
}

bool reachable(const fsys::path& url) {
  std::error_code error;
  return fsys::exists(url, error);
}

}  // namespace

std::string WelcomeWindow::fillTemplate(std::string html, const std::string& buildName,
                                        const std::string& shortVersion) {
  replaceAll(html, "{{ version }}", buildName);
  if (buildName == "Dev" || buildName == "Nightly") {
    replaceAll(html, "{{ buildVersion }}", shortVersion);
    replaceAll(html, "build-info hidden", "build-info");
  }
  return html;
}

std::optional<std::string> WelcomeWindow::searchURL(const std::string& words) {
  if (words.empty()) return std::nullopt;
  std::string url = searchEndpoint;
  url.append("?as_sitesearch=").append(communitySite).append("&q=").append(Url::encodeQueryValue(words));
  return url;
}

std::string WelcomeWindow::baseName(const std::string& name) {
  auto dot = name.rfind('.');
  auto slash = name.rfind('/');
  if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot < slash)) return name;
  return name.substr(0, dot);
}

std::string WelcomeWindow::exampleDisplayName(const std::string& baseName) {
  std::string name = baseName;
  replaceAll(name, "example-", "");
  // Each space-separated word starts upper-case; the rest is lower-case.
  bool wordStart = true;
  for (char& c : name) {
    auto u = static_cast<unsigned char>(c);
    if (std::isspace(u)) {
      wordStart = true;
      continue;
    }
    c = static_cast<char>(wordStart ? std::toupper(u) : std::tolower(u));
    wordStart = false;
  }
  return name + " example";
}

std::optional<fsys::path> WelcomeWindow::exampleURL(const std::string& name) {
  return resource(name, "examples", "korvelx");
}

std::optional<fsys::path> WelcomeWindow::tutorialURL(const std::string& name) {
  return resource(name, "tutorials", DocumentController::tutorialPathExtension);
}

std::vector<fsys::path> WelcomeWindow::existingDocuments(const std::vector<fsys::path>& urls) {
  std::vector<fsys::path> kept;
  for (const auto& url : urls)
    if (reachable(url)) kept.push_back(url);
  return kept;
}

std::string WelcomeWindow::ipcCallScript(const std::string& name, const std::vector<nlohmann::json>& arguments) {
  std::string joined;
  for (const auto& argument : arguments) {
    auto text = WebViewController::toJson(IPCValue(argument));
    if (!text) continue;
    if (!joined.empty()) joined += ", ";
    joined += *text;
  }
  return "window." + name + " && window." + name + "(" + joined + ")";
}

bool WelcomeWindow::liesOffScreen(int x, int y, int w, int h, int areaWidth, int areaHeight) {
  return x < 0 || x + w > areaWidth || y < 0 || y + h > areaHeight;
}

bool WelcomeWindow::validateMenuItem(const std::string& action) const {
  return action == "performClose:" || action == "toolbarDocs:" || action == "performTextFinderAction:";
}

bool WelcomeWindow::perform(const std::string& action) {
  if (action == "performClose:")
    performClose();
  else if (action == "toolbarDocs:")
    toolbarDocs();
  else if (action == "performTextFinderAction:")
    performTextFinderAction();
  else
    return false;
  return true;
}

void WelcomeWindow::performClose() {
  close();
}

void WelcomeWindow::performTextFinderAction() {
  webView_->evaluateJavaScript("document.getElementById('search').focus()");
}

void WelcomeWindow::newPrototype() {
  close();
  if (auto* controller = BaseDocumentController::shared()) controller->newDocument();
}

void WelcomeWindow::openFile() {
  // The window stays while the person chooses: a cancelled choice leaves it on screen, and a
  // chosen document closes it as it opens.
  if (auto* controller = BaseDocumentController::shared()) controller->openDocument();
}

void WelcomeWindow::loadRecentFiles() {
  auto* controller = BaseDocumentController::shared();
  recentDocuments_ = existingDocuments(controller ? controller->recentDocumentURLs() : std::vector<fsys::path>{});
  if (!recentDocuments_.empty() && recentsTableView_) {
    // The person's choice survives a refresh (the window refreshes each time it becomes key).
    recentsTableView_->reloadData(recentDocuments_);
    if (!recentsTableView_->selectedRow()) recentsTableView_->selectRow(0);
  }
}

void WelcomeWindow::refreshRecents() {
  loadRecentFiles();
  if (recentsTableView_) recentsTableView_->reloadData(recentDocuments_);
  showOrHideNoRecentFileInfo();
}

void WelcomeWindow::openRecentFile() {
  if (!recentsTableView_) return;
  auto row = recentsTableView_->selectedRow();
  if (!row || *row < 0 || static_cast<std::size_t>(*row) >= recentDocuments_.size()) return;
  auto url = recentDocuments_[static_cast<std::size_t>(*row)];
  if (auto* controller = BaseDocumentController::shared()) {
    controller->openDocument(url, true, [](std::shared_ptr<Document>, bool, std::optional<Error> error) {
      if (!error) return;
      if (auto* shared = BaseDocumentController::shared()) shared->presentError(*error);
    });
  }
  // The controller closed the window for the document, or showed it again after a failure.
  refreshRecents();
}

void WelcomeWindow::ipcCallWithArray(const std::string& name, const std::vector<nlohmann::json>& arguments) {
  webView_->evaluateJavaScript(ipcCallScript(name, arguments));
}

void WelcomeWindow::handleBridgeMethod(const std::string& method, const nlohmann::json& arguments) {
  if (method == MetricsIPCMetricsUIInteraction) {
    if (!arguments.is_string()) return;
    DocumentHooks::track(MetricsKeysEventNameUIInteraction,
                         {{MetricsKeysElementIdentifier, arguments.get<std::string>()},
                          {MetricsKeysPage, MetricsKeysPageWelcomeWindow}});
  } else if (method == "link") {
    if (!arguments.is_string() || arguments.get<std::string>().empty()) return;
    UrlOpener::open(arguments.get<std::string>());
  } else if (method == "search") {
    if (!arguments.is_string()) return;
    if (auto url = searchURL(arguments.get<std::string>())) UrlOpener::open(*url);
  } else if (method == "openExample") {
    if (!arguments.is_string()) return;
    std::weak_ptr<bool> alive = alive_;
    openExample(arguments.get<std::string>(), [this, alive](std::optional<Error> error) {
      if (!error && !alive.expired()) close();
    });
  } else if (method == "openTutorial") {
    if (!arguments.is_string()) return;
    std::weak_ptr<bool> alive = alive_;
    openTutorial(arguments.get<std::string>(), [this, alive](std::optional<Error> error) {
      if (!error && !alive.expired()) close();
    });
  } else if (method == "abTestShown") {
    if (!arguments.is_string()) return;
    auto experiment = arguments.get<std::string>();
    ABTests::withVariant(experiment, [&](const std::string& variant) {
      DocumentHooks::track(MetricsKeysEventNameTestShown,
                           {{MetricsKeysEventParamTestName, experiment}, {MetricsKeysEventParamTestGroup, variant}});
    });
  } else if (method == "ready") {
    nlohmann::json decisions = nlohmann::json::object();
    for (const auto& [experiment, variant] : ABTests::experiments()) decisions[experiment] = variant;
    nlohmann::json dismissed = {{"dismissedTutorialCTA", Defaults::standard().boolValue(dismissedTutorialKey)}};
    ipcCallWithArray("_setABtests", {decisions, dismissed});
  } else if (method == "dismissTutorialCta") {
    Defaults::standard().setBool(dismissedTutorialKey, true);
  }
}

void WelcomeWindow::openExample(const std::string& name, Completion completion) {
  auto fail = [&](const Error& error) {
    reportFailure(name, error);
    if (completion) completion(error);
  };
  auto url = exampleURL(name);
  if (!url || !reachable(*url)) return fail(missingResource(name));
  auto* controller = BaseDocumentController::shared();
  if (!controller) return fail(missingResource(name));
  // Examples become documents like any other: only while the user may open documents.
  if (!controller->canOpenDocuments()) return fail(makeError(KXDocumentError::notLoggedIn));
  auto type = controller->typeForContents(*url);
  if (!type) return fail(type.error());
  auto archive = KXDocumentArchive::open(*url, *type, false, std::nullopt, true);
  if (!archive) return fail(archive.error());
  auto document = KXDocument::makeUntitled(*type, *archive);
  if (!document) return fail(document.error());
  (*document)->setDisplayName(exampleDisplayName(baseName(name)));
  controller->addDocument(*document);
  (*document)->makeWindowControllers();
  (*document)->showWindows();
  if (completion) completion(std::nullopt);
}

void WelcomeWindow::openTutorial(const std::string& name, Completion completion) {
  auto url = tutorialURL(name);
  auto* controller = BaseDocumentController::shared();
  if (!url || !reachable(*url) || !controller) {
    auto error = missingResource(name);
    reportFailure(name, error);
    if (completion) completion(error);
    return;
  }
  controller->openDocument(*url, true, [completion](std::shared_ptr<Document>, bool, std::optional<Error> error) {
    if (completion) completion(error);
  });
}
