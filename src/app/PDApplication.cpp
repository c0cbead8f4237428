#include "app/PDApplication.h"

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "canvas/BackgroundPages.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebActionsWebView.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/PDBaseDocument.h"
#include "foundation/AppInfo.h"
#include "foundation/AppMenu.h"
#include "foundation/AppServices.h"
#include "foundation/EngineInstaller.h"
#include "foundation/Menu.h"
#include "foundation/SharedNames.h"
#include "foundation/WebActions.h"
#include "platform/AppBundleInfo.h"
#include "platform/ConfinedTool.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Url.h"
#include "server/ServerController.h"
#include "telemetry/HardwareModel.h"
#include "telemetry/IntercomPopover.h"
#include "telemetry/KorvelTracking.h"
#include "telemetry/PDGoogleAnalytics.h"
#include "telemetry/RWSystemIdleTime.h"
#include "ui/AppAppearance.h"

namespace {

PDApplication* sharedApplication = nullptr;

constexpr const char* counterKeys[] = {"PDIntervalMinutesActive",     "PDIntervalMinutesActive10",
                                       "PDIntervalMinutesActive60",   "PDIntervalMinutesActiveIdle",
                                       "PDIntervalMinutesActiveCode", "PDIntervalMinutesActiveAutoCode"};

constexpr const char* siteBase = "https://www.korvel.example";
constexpr const char* schemePrefix = "korvel-x://";
constexpr const char* storePrefix = "korvel-x://store/package/";

bool startsWith(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

bool isWebAction(const std::string& action) {
  if (action == WebActions::selector) return true;
  for (const auto& hybrid : WebActions::hybridActions())
    if (hybrid.nativeSelector == action) return true;
  return false;
}

bool isWindowAction(const std::string& action) {
  return action == "performClose:" || action == "performMiniaturize:" || action == "performZoom:" ||
         action == "toolbarDocs:" || action == "performTextFinderAction:";
}

bool isDocumentAction(const std::string& action) {
  return action == "saveDocument:" || action == "saveDocumentAs:" || action == "duplicateDocument:" ||
         action == "revertDocumentToSaved:" || action == "performClose:" || action == "showLivePreview:";
}

bool isLoginGated(const std::string& action) {
  return action == "checkForUpdates:" || action == "logoutAction:" || action == "showWelcomeWindow:" ||
         action == "showCloudDashboard:";
}

const std::pair<const char*, PDApplication::HelpPage> helpActions[] = {
    {"showHelpKorvel:", PDApplication::HelpPage::korvel},
    {"showHelpPreview:", PDApplication::HelpPage::preview},
    {"showHelpCommunity:", PDApplication::HelpPage::community},
    {"showHelpResources:", PDApplication::HelpPage::resources},
    {"showHelpUpdates:", PDApplication::HelpPage::updates},
};

}  // namespace

PDApplication* PDApplication::shared() { return sharedApplication; }

// The page a menu's editing items act on: the one the menus' delegate resolves (the editor of
// the window whose menu is in use), else the focused page.
static WebActions::WebView* menuWebView() {
  auto& resolver = WebActionsMenuDelegate::shared().targetResolver;
  return resolver ? resolver() : WebActions::WebView::focused();
}

// Programs here run from wherever their package put them; there is no applications folder to
// offer a move into.
void PFMoveToApplicationsFolderIfNecessary() {}

PDApplication::PDApplication(Hooks hooks) : hooks_(std::move(hooks)) {
  isFirstLaunch_ = false;
  sharedApplication = this;
  documentController_ = std::make_unique<DocumentController>();
  // Every project server starts with the sign-in of that moment.
  ServerController::setLoginProvider([] {
    auto& login = LoginController::shared();
    return ServerLogin{login.token(), login.userFullName()};
  });
  setUpMetrics();
}

PDApplication::~PDApplication() {
  ServerController::setLoginProvider(nullptr);
  if (sharedApplication == this) sharedApplication = nullptr;
}

// Analytics follow the stored choice and the application's own information, read before
// anything is sent, so that an opted-out installation sends nothing even on its first launch.
bool PDApplication::dataCollectionDisabled(const Defaults& defaults) {
  return defaults.boolValue(UserDefaultsDataCollectionDisabledKey) || bundleDisablesDataCollection();
}

bool PDApplication::bundleDisablesDataCollection() {
  auto bundled = AppBundleInfo::main().string(UserDefaultsDataCollectionDisabledKey);
  return bundled && (*bundled == "1" || *bundled == "true");
}

void PDApplication::setUpMetrics() {
  auto& analytics = PDGoogleAnalytics::sharedInstance();
  if (dataCollectionDisabled(Defaults::standard())) {
    analytics.setEnabled(false);
    RWLog("Data collection disabled");
    return;
  }
  analytics.configureWithSiteId(analyticsSiteId);
  analytics.trackEvent("interval|daily", 86400, 3600, nullptr);
  analytics.trackEvent("interval|weekly", 604800, 86400, nullptr);
  analytics.trackEvent("interval|monthly", 18144000, 604800, nullptr);
  analytics.trackEvent("interval.foreground|hour", 3600, 600,
                       [] { return PDGoogleAnalytics::sharedInstance().currentApplicationIsActive(); });
  analytics.trackEvent("app|start", nlohmann::json(0));
  runOnceForKey("firstlaunch", [this] {
    PDGoogleAnalytics::sharedInstance().trackEvent("app.launch.first", nlohmann::json(0));
    isFirstLaunch_ = true;
    return true;
  });
  analytics.trackEvent("app.launch", nlohmann::json(0));
}

void PDApplication::setUpDefaults() {
  auto& defaults = Defaults::standard();
  if (auto registered = defaults.registerDefaultsFromFile(Resources::path("DefaultPreferences", "json")); !registered)
    RWLog("Default preferences: " + registered.error().description());
  defaults.remove("NSCloseAlwaysConfirmsChanges");
  bool disabled = bundleDisablesDataCollection();
  if (disabled) {
    defaults.setBool(UserDefaultsDataCollectionDisabledKey, true);
    (void)defaults.synchronize();
  }
  defaults.registerDefaults(nlohmann::json{{UserDefaultsDataCollectionDisabledKey, disabled}});
}

void PDApplication::applicationWillFinishLaunching() {
  setUpDefaults();
  auto& defaults = Defaults::standard();
  if (AppInfo::isNightly() || AppInfo::isAlpha() || defaults.boolValue(UserDefaultsShowChooseStoreEnvironmentDialogKey)) {
    AppServices::shared().logoutHandler = [] { LoginController::shared().logoutAndQuit(false); };
    AppServices::shared().chooseEnvironment();
  }
  defaults.remove("ApplePersistenceIgnoreState");
  EngineInstaller::installLatestOstrel();
  EngineInstaller::installSketchPasteboard();
}

void PDApplication::applicationDidFinishLaunching() {
  if (hooks_.startCrashReporter) hooks_.startCrashReporter();
  if (isFirstLaunch_) KorvelTracking::shared().track("launch_first", nlohmann::json::object());
  KorvelTracking::shared().track("launch", nlohmann::json::object());
  if (hooks_.registerWithLaunchServices) hooks_.registerWithLaunchServices();
  PFMoveToApplicationsFolderIfNecessary();
  setUpMenuItems();
  minuteIntervalTimer_ = Timer::scheduled(minuteInterval, true, [this] { handleMinuteInterval(); });
  RWSystemIdleTime::startTracking();
  // What confined tools of a killed run left in the temporary folder; it may be large.
  GlobalQueue::async([] {
    if (auto removed = ConfinedTool::removeLeftovers())
      RWLog("Removed " + std::to_string(removed) + " folders that tools of ended runs left");
  });

  auto& login = LoginController::shared();
  userConfigObserver_ = NotificationCenter::defaultCenter().addOneShotObserver(
      UserConfigChangedNotification, &login, [this](const Notification&) {
        MainQueue::async([this] {
          setUpSparkle();
          // The messaging page is third-party and unseen until asked for: it waits for the editors.
          BackgroundPages::whenIdle([] { IntercomPopover::shared().load(); });
          identifyUserForKorvelTracker();
        });
      });
  login.initialize();
  if (login.isLoggedIn())
    setUpWelcomeWindow();
  else
    login.showLoginWindow();
}

void PDApplication::setUpMenuItems() {
  AppMenu::initializeMainMenu();
  AppAppearance::setUpMainMenuItem();
  if (hooks_.setUpMenuBar) hooks_.setUpMenuBar();
}

void PDApplication::setUpWelcomeWindow() {
  if (auto* welcome = welcomeWindowController()) welcome->loadWindow();
}

void PDApplication::identifyUserForKorvelTracker() {
  if (auto id = LoginController::shared().userId()) KorvelTracking::shared().identify(*id, nlohmann::json::object());
}

void PDApplication::applicationWillResignActive() {
  NotificationCenter::defaultCenter().post(willResignActiveNotification);
}

bool PDApplication::applicationShouldOpenUntitledFile() {
  showWelcomeWindow();
  return false;
}

bool PDApplication::applicationShouldHandleReopen(bool) {
  if (documentController_->documents().empty()) showWelcomeWindow();
  return false;
}

void PDApplication::applicationWillTerminate() {
  isTerminating_ = true;
  // Documents still being read and copies being made are given up, and saves awaited: all of
  // them end before the process does.
  documentController_->stopOpenings();
  (void)Defaults::standard().synchronize();
  LoginController::shared().clearEphemeralToken();
}

// --- Documents and links from outside ---

void PDApplication::openFiles(const std::vector<std::filesystem::path>& files) {
  if (!LoginController::shared().isLoggedIn()) {
    // They open once the person has signed in; the login window is on screen meanwhile.
    pendingFiles_.insert(pendingFiles_.end(), files.begin(), files.end());
    return;
  }
  reopenDraftsOnce();
  for (const auto& file : files) {
    documentController_->openDocument(file, true, [this](std::shared_ptr<Document>, bool, std::optional<Error> error) {
      if (error) documentController_->presentError(*error);
    });
  }
}

void PDApplication::openPendingFiles() {
  auto& login = LoginController::shared();
  if (pendingFiles_.empty() || !login.isLoggedIn()) return;
  // The sign-in finishes while its window is still on screen; documents open once it has gone.
  if (!login.shouldOpenDocuments()) {
    MainQueue::asyncAfter(0.1, [this] { openPendingFiles(); });
    return;
  }
  auto files = std::exchange(pendingFiles_, {});
  openFiles(files);
}

PDApplication::URLEventRoute PDApplication::routeForURLEvent(const std::string& url, bool loggedIn) {
  if (loggedIn && startsWith(url, storePrefix)) return URLEventRoute::store;
  if (url == schemePrefix) return URLEventRoute::activate;
  if (startsWith(url, schemePrefix)) return URLEventRoute::resetToken;
  return URLEventRoute::ignore;
}

void PDApplication::handleURLEvent(const std::string& url) {
  auto& login = LoginController::shared();
  switch (routeForURLEvent(url, login.isLoggedIn())) {
    case URLEventRoute::store: {
      // The document whose window waits furthest back.
      auto ordered = DocumentController::orderedDocuments();
      std::shared_ptr<PDBaseDocument> document = ordered.empty() ? nullptr : ordered.back();
      if (!document) {
        documentController_->newDocument();
        const auto& made = documentController_->documents();
        document = made.empty() ? nullptr : std::dynamic_pointer_cast<PDBaseDocument>(made.back());
        if (document) document->ostrelViewController().showStoreView(url);
        return;
      }
      document->ostrelViewController().showStoreView(url);
      document->showWindows();
      return;
    }
    case URLEventRoute::activate:
      if (hooks_.activate) hooks_.activate();
      return;
    case URLEventRoute::resetToken:
      login.resetTokenFromUrl(url);
      return;
    case URLEventRoute::ignore:
      return;
  }
}

bool PDApplication::isOpenableNotificationURL(const std::string& url) {
  auto parsed = Url::parse(url);
  return parsed && (parsed->scheme() == "http" || parsed->scheme() == "https") && !parsed->host().empty();
}

void PDApplication::userNotificationDidActivate(const nlohmann::json& userInfo) {
  if (!userInfo.is_object()) return;
  auto it = userInfo.find("url");
  if (it == userInfo.end() || !it->is_string()) return;
  auto url = it->get<std::string>();
  if (!isOpenableNotificationURL(url)) {
    RWLog("Notification: not opening an address that is not http or https");
    return;
  }
  openURL(url);
}

// --- Menu commands ---

bool PDApplication::validateMenuItem(MenuItem& item) {
  const std::string action = item.action;
  if (action.empty()) return false;
  if (isWebAction(action)) {
    if (auto* view = menuWebView()) return view->validateUserInterfaceItem(item);
    return hooks_.editFocusedWidget && hooks_.editFocusedWidget(action, false);
  }
  if (isWindowAction(action)) {
    if (welcomeWindow_ && welcomeWindow_->isKeyWindow()) return welcomeWindow_->validateMenuItem(action);
    auto document = hooks_.keyDocument ? hooks_.keyDocument() : nullptr;
    if (!document) return false;
    if (action == "performMiniaturize:" || action == "performZoom:") return true;
    if (action == "performClose:") return true;
    return false;
  }
  if (isDocumentAction(action)) {
    auto document = hooks_.keyDocument ? hooks_.keyDocument() : nullptr;
    if (!document) return false;
    if (action == "revertDocumentToSaved:")
      return document->fileURL() && document->isDocumentEdited() && !document->isReverting();
    return true;
  }
  if (action == AppAppearance::toggleAction) return AppAppearance::shared().validateMenuItem(item);
  if (isLoginGated(action)) return !LoginController::shared().isBlocking();
  if (action == "newDocument:" || action == "openDocument:") return documentController_->validateUserInterfaceItem(action);
  if (action == "orderFrontStandardAboutPanel:" || action == "showSnippetsPath:" || action == "showCloudFeature:" ||
      action == "terminate:")
    return true;
  for (const auto& [name, page] : helpActions)
    if (action == name) return true;
  return false;
}

bool PDApplication::performMenuItem(MenuItem& item) {
  if (!validateMenuItem(item)) return false;
  const std::string action = item.action;
  if (isWebAction(action)) {
    if (auto* view = menuWebView()) return view->perform(item);
    return hooks_.editFocusedWidget && hooks_.editFocusedWidget(action, true);
  }
  if (isWindowAction(action) && welcomeWindow_ && welcomeWindow_->isKeyWindow()) return welcomeWindow_->perform(action);
  if (isWindowAction(action) || isDocumentAction(action)) {
    auto document = hooks_.keyDocument ? hooks_.keyDocument() : nullptr;
    if (!document) return false;
    if (action == "saveDocument:") document->saveDocument();
    else if (action == "saveDocumentAs:") document->saveDocumentAs();
    else if (action == "duplicateDocument:") document->duplicateDocument();
    else if (action == "revertDocumentToSaved:") document->revertDocumentToSaved();
    else if (action == "performClose:") document->windowShouldClose();
    else if (action == "showLivePreview:") document->showLivePreview(nullptr);
    else if (hooks_.windowAction) return hooks_.windowAction(action);
    return true;
  }
  if (action == AppAppearance::toggleAction) AppAppearance::shared().toggleDarkAppearance();
  else if (action == "orderFrontStandardAboutPanel:") orderFrontStandardAboutPanel();
  else if (action == "checkForUpdates:") checkForUpdates();
  else if (action == "logoutAction:") logoutAction();
  else if (action == "showWelcomeWindow:") showWelcomeWindow();
  else if (action == "showSnippetsPath:") showSnippetsPath();
  else if (action == "showCloudFeature:") showCloudFeature();
  else if (action == "showCloudDashboard:") showCloudDashboard();
  else if (action == "terminate:") terminate();
  else if (action == "newDocument:") documentController_->newDocument();
  else if (action == "openDocument:") documentController_->openDocument();
  else {
    for (const auto& [name, page] : helpActions)
      if (action == name) {
        showHelp(page);
        return true;
      }
    return false;
  }
  return true;
}

void PDApplication::orderFrontStandardAboutPanel() {
  if (hooks_.showAboutWindow) hooks_.showAboutWindow();
}

void PDApplication::checkForUpdates() {
  if (auto* updater = hooks_.updater ? hooks_.updater() : nullptr) updater->checkForUpdates();
}

void PDApplication::logoutAction() { LoginController::shared().logoutAndQuit(true); }

void PDApplication::showWelcomeWindow() {
  if (isTerminating_ || terminationInProgress_ || !LoginController::shared().isLoggedIn()) return;
  bool reopenedDrafts = reopenDraftsOnce();
  // Documents given before the sign-in come first; they are what the person asked for.
  if (!pendingFiles_.empty()) return openPendingFiles();
  if (reopenedDrafts) return;
  if (auto* welcome = welcomeWindowController()) welcome->showWindow();
}

bool PDApplication::reopenDraftsOnce() {
  if (std::exchange(draftsReopened_, true)) return false;
  return documentController_->reopenAutosavedDrafts() > 0;
}

void PDApplication::closeWelcomeWindow() {
  if (welcomeWindow_) welcomeWindow_->close();
}

PDApplication::WelcomeWindow* PDApplication::welcomeWindowController() {
  if (!welcomeWindow_ && hooks_.makeWelcomeWindow) welcomeWindow_ = hooks_.makeWelcomeWindow();
  return welcomeWindow_.get();
}

void PDApplication::showSnippetsPath() {
  auto info = AppInfo::current();
  auto path = info ? info->snippetsPath() : std::nullopt;
  if (!path) return;
  std::error_code ec;
  std::filesystem::create_directories(*path, ec);
  if (hooks_.openFolder) hooks_.openFolder(*path);
}

void PDApplication::showCloudFeature() {
  auto stored = Defaults::standard().string(UserDefaultsCloudLearnMoreURLKey);
  if (stored && !stored->empty()) return openURL(*stored);
  std::string builtIn = siteBase;
  openURL(builtIn.append("/cloud"));
}

std::string PDApplication::cloudDashboardURL(const std::string& base, const std::optional<std::string>& token) {
  auto parsed = Url::parse(base);
  if (!parsed) return {};
  if (!token) return parsed->absoluteString();
  return parsed->withQuery("token=" + Url::encodeQueryValue(*token)).absoluteString();
}

void PDApplication::showCloudDashboard() {
  auto url = cloudDashboardURL(AppServices::shared().cloudServerDashboardUrl(), LoginController::shared().token());
  if (!url.empty()) openURL(url);
}

std::string PDApplication::helpPageURL(HelpPage page) {
  const char* path = "/docs";
  switch (page) {
    case HelpPage::korvel: path = "/docs"; break;
    case HelpPage::preview: path = "/docs/preview"; break;
    case HelpPage::community: path = "/community"; break;
    case HelpPage::resources: path = "/resources"; break;
    case HelpPage::updates: path = "/updates"; break;
  }
  return std::string(siteBase) + path + "?utm_source=korvel-app&utm_medium=link&utm_campaign=help";
}

void PDApplication::showHelp(HelpPage page) { openURL(helpPageURL(page)); }

void PDApplication::openURL(const std::string& url) {
  if (hooks_.openURL) hooks_.openURL(url);
}

// --- Termination ---

void PDApplication::terminate(std::function<void(bool)> done) {
  if (terminationInProgress_ || isTerminating_) return;
  terminationInProgress_ = true;
  terminateNext(std::move(done));
}

// Documents close one after the other; a person who cancels one keeps the application running.
void PDApplication::terminateNext(std::function<void(bool)> done) {
  // The session's end took over: it keeps what is left without asking.
  if (sessionEnding_) return;
  const auto& documents = documentController_->documents();
  if (documents.empty()) {
    applicationWillTerminate();
    if (done) done(true);
    if (hooks_.quit) hooks_.quit();
    return;
  }
  auto document = documents.front();
  document->canClose([this, document, done = std::move(done)](bool shouldClose) mutable {
    if (sessionEnding_) return;
    if (!shouldClose) {
      terminationInProgress_ = false;
      if (done) done(false);
      return;
    }
    document->close();
    // A document that refuses to leave the list must not hold the quit forever.
    if (!documentController_->documents().empty() && documentController_->documents().front() == document)
      documentController_->removeDocument(*document);
    terminateNext(std::move(done));
  });
}

void PDApplication::quitNow() {
  // Openings and copies under way are given up, and saves awaited, before the loop ends.
  applicationWillTerminate();
  if (hooks_.quit) hooks_.quit();
}

void PDApplication::endSession() {
  if (isTerminating_ || sessionEnding_) {
    RWLog("Asked again to end; the quit under way goes on");
    return;
  }
  sessionEnding_ = true;
  // The menu's quit and the idle check leave it to this one.
  terminationInProgress_ = true;
  RWLog("The session ends: every document keeps its edits, then korvel quits");
  keepNextAtSessionEnd();
}

void PDApplication::keepNextAtSessionEnd() {
  const auto& documents = documentController_->documents();
  if (documents.empty()) return quitNow();
  auto document = documents.front();
  document->saveForSessionEnd([this, document] {
    // An untitled document's draft stays for the next start; any other closes as at a quit.
    if (!document->fileURL() && document->autosavedContentsFileURL())
      document->giveUp();
    else
      document->close();
    if (!documentController_->documents().empty() && documentController_->documents().front() == document)
      documentController_->removeDocument(*document);
    keepNextAtSessionEnd();
  });
}

void PDApplication::saveDocumentsAndTerminate() {
  if (terminationCancelled_) return;
  for (const auto& document : std::vector(documentController_->documents()))
    if (document->fileURL()) document->saveDocument();
  terminate([this](bool terminated) {
    // The person chose to stay: asking again every ten seconds would never let them.
    if (!terminated) terminationCancelled_ = true;
  });
  after(saveAndTerminateRetryDelay, [this] {
    if (!terminationCancelled_) saveDocumentsAndTerminate();
  });
}

void PDApplication::after(double seconds, std::function<void()> work) {
  if (hooks_.after)
    hooks_.after(seconds, std::move(work));
  else
    MainQueue::asyncAfter(seconds, std::move(work));
}

void PDApplication::runOnceForKey(const std::string& key, const std::function<bool()>& block) {
  auto& defaults = Defaults::standard();
  std::string stored = "PDRunOnce." + key;
  if (defaults.boolValue(stored)) return;
  if (block()) defaults.setBool(stored, true);
}

std::string PDApplication::deviceModel() { return HardwareModel::name(); }

// --- Minute tick and updates ---

PDApplication::MinuteCounters PDApplication::nextMinute(MinuteCounters c, bool isActive, std::uint64_t secondsIdle) {
  if (isActive) {
    c.active += 1;
    if (secondsIdle >= 61) c.activeIdle += 1;
  }
  if (c.active > 10 && static_cast<double>(c.active) / 10.0 > static_cast<double>(c.active10)) c.active10 += 1;
  if (c.active > 60 && static_cast<double>(c.active) / 60.0 > static_cast<double>(c.active60)) c.active60 += 1;
  return c;
}

void PDApplication::handleMinuteInterval() {
  auto& defaults = Defaults::standard();
  nlohmann::json zeros = nlohmann::json::object();
  for (const char* key : counterKeys) zeros[key] = 0;
  defaults.registerDefaults(zeros);
  MinuteCounters c{defaults.integer(counterKeys[0]), defaults.integer(counterKeys[1]), defaults.integer(counterKeys[2]),
                   defaults.integer(counterKeys[3]), defaults.integer(counterKeys[4]), defaults.integer(counterKeys[5])};
  bool active = hooks_.isActive && hooks_.isActive();
  c = nextMinute(c, active, RWSystemIdleTime::secondsIdle());
  defaults.setInteger(counterKeys[0], c.active);
  defaults.setInteger(counterKeys[1], c.active10);
  defaults.setInteger(counterKeys[2], c.active60);
  defaults.setInteger(counterKeys[3], c.activeIdle);
  defaults.setInteger(counterKeys[4], c.activeCode);
  defaults.setInteger(counterKeys[5], c.activeAutoCode);
}

PDApplication::UpdateSchedule PDApplication::updateSchedule(bool updatesDisabled,
                                                            std::optional<std::chrono::system_clock::time_point> lastCheck,
                                                            std::chrono::system_clock::time_point now) {
  UpdateSchedule schedule;
  if (updatesDisabled) {
    schedule.automatic = false;
    schedule.informationCheckAfter = 10.0;
    return schedule;
  }
  schedule.automatic = true;
  // Never checked counts as long ago: the updater's own schedule checks.
  if (lastCheck) {
    double since = std::chrono::duration<double>(now - *lastCheck).count();
    if (since < updateCheckInterval) schedule.backgroundCheckAfter = 60.0;
  }
  return schedule;
}

void PDApplication::setUpSparkle() {
  bool disabled = LoginController::shared().updatesDisabled();
  Defaults::standard().remove("SUFeedURL");
  auto* updater = hooks_.updater ? hooks_.updater() : nullptr;
  if (!updater) return;
  auto schedule = updateSchedule(disabled, updater->lastUpdateCheckDate(), std::chrono::system_clock::now());
  if (!schedule.automatic) {
    updater->setAutomaticallyChecksForUpdates(false);
  } else {
    updater->setUpdateCheckInterval(updateCheckInterval);
    updater->setAutomaticallyChecksForUpdates(true);
  }
  auto run = [this](double delay, void (Updater::*call)()) {
    after(delay, [this, call] {
      if (auto* u = hooks_.updater ? hooks_.updater() : nullptr) (u->*call)();
    });
  };
  if (schedule.informationCheckAfter) run(*schedule.informationCheckAfter, &Updater::checkForUpdateInformation);
  if (schedule.backgroundCheckAfter) run(*schedule.backgroundCheckAfter, &Updater::checkForUpdatesInBackground);
}
