#pragma once
// The application object: what runs when it is made, before and after launch finishes, every
// minute, for application-wide menu commands, for "korvel-x://" links and at termination. The
// toolkit layer (PDApplicationGtk.cpp) owns the single-instance application and calls in here;
// windows and outside services are reached through the hooks below so that tests can stand in.
// Main thread only.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/ObserverToken.h"

class Defaults;
class DocumentController;
class MenuItem;
class PDBaseDocument;
class Timer;

// Offers to move the application into the applications folder; returns at once here.
void PFMoveToApplicationsFolderIfNecessary();

class PDApplication {
 public:
  static constexpr const char* willResignActiveNotification = "PDApplicationWillResignActiveNotifcation";
  static constexpr const char* analyticsSiteId = "UA-52918364-7";
  static constexpr double minuteInterval = 60.0;
  static constexpr double updateCheckInterval = 14400.0;
  static constexpr double saveAndTerminateRetryDelay = 10.0;

  // The welcome window as the application drives it.
  class WelcomeWindow {
   public:
    virtual ~WelcomeWindow() = default;
    virtual void loadWindow() = 0;
    virtual void showWindow() = 0;
    virtual void close() = 0;
    // Whether the welcome window is the active window.
    virtual bool isKeyWindow() const = 0;
    virtual bool validateMenuItem(const std::string& action) const = 0;
    // Performs one of the window's own actions; false for others.
    virtual bool perform(const std::string& action) = 0;
  };

  // The software updater.
  class Updater {
   public:
    virtual ~Updater() = default;
    virtual void checkForUpdates() = 0;
    virtual void checkForUpdatesInBackground() = 0;
    virtual void checkForUpdateInformation() = 0;
    virtual void setAutomaticallyChecksForUpdates(bool on) = 0;
    virtual void setUpdateCheckInterval(double seconds) = 0;
    virtual std::optional<std::chrono::system_clock::time_point> lastUpdateCheckDate() const = 0;
  };

  // What the application needs of the toolkit and the desktop; each may stay empty.
  struct Hooks {
    std::function<std::unique_ptr<WelcomeWindow>()> makeWelcomeWindow;
    // Whether the welcome window comes back after the last document window.
    std::function<bool()> welcomeShouldShowOnStartup;
    std::function<Updater*()> updater;
    std::function<void()> startCrashReporter;
    std::function<void()> registerWithLaunchServices;
    std::function<void()> showAboutWindow;
    std::function<void()> setUpMenuBar;
    // Brings the application to the front.
    std::function<void()> activate;
    // Ends the main loop; the process then exits.
    std::function<void()> quit;
    std::function<bool()> isActive;
    // The document whose window is the active one, if any.
    std::function<std::shared_ptr<PDBaseDocument>()> keyDocument;
    std::function<void(const std::string& url)> openURL;
    std::function<void(const std::filesystem::path& folder)> openFolder;
    // Editing commands for a focused text field outside hosted pages; `perform` false validates.
    std::function<bool(const std::string& action, bool perform)> editFocusedWidget;
    // Minimise and zoom of the active window.
    std::function<bool(const std::string& action)> windowAction;
    // Runs `work` after `seconds` on the main loop.
    std::function<void(double seconds, std::function<void()> work)> after;
  };

  // Makes the shared document controller and sets up web analytics.
  explicit PDApplication(Hooks hooks);
  ~PDApplication();
  PDApplication(const PDApplication&) = delete;
  PDApplication& operator=(const PDApplication&) = delete;

  // The one application object; null before it is made and after it is gone.
  static PDApplication* shared();

  bool isTerminating() const { return isTerminating_; }
  bool isFirstLaunch() const { return isFirstLaunch_; }
  bool shouldCloseRestoredDocuments = false;
  DocumentController& documentController() { return *documentController_; }

  // Launch and termination, in the order the toolkit calls them.
  void applicationWillFinishLaunching();
  void applicationDidFinishLaunching();
  void applicationWillResignActive();
  // No documents were given at launch: shows the welcome window; never makes an untitled one.
  bool applicationShouldOpenUntitledFile();
  // Launched again while running: shows the welcome window when no document is open.
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  void applicationWillTerminate();

  // Files given at launch or by the desktop. While nobody is signed in they wait for the sign-in.
  void openFiles(const std::vector<std::filesystem::path>& files);
  // A "korvel-x://" link given at launch or by the desktop.
  void handleURLEvent(const std::string& url);
  enum class URLEventRoute { store, activate, resetToken, ignore };
  static URLEventRoute routeForURLEvent(const std::string& url, bool loggedIn);

  // A clicked desktop notification opens the http or https address under "url", nothing else.
  void userNotificationDidActivate(const nlohmann::json& userInfo);
  static bool isOpenableNotificationURL(const std::string& url);

  // Menu commands: the focused hosted page, the active window (a document or the welcome
  // window), the application, the document controller, in that order.
  bool validateMenuItem(MenuItem& item);
  bool performMenuItem(MenuItem& item);

  // Application-wide actions.
  void orderFrontStandardAboutPanel();
  void checkForUpdates();
  void logoutAction();
  void showWelcomeWindow();
  void showSnippetsPath();
  void showCloudFeature();
  void showCloudDashboard();
  enum class HelpPage { korvel, preview, community, resources, updates };
  void showHelp(HelpPage page);
  static std::string helpPageURL(HelpPage page);
  static std::string cloudDashboardURL(const std::string& base, const std::optional<std::string>& token);
  // Closes every document (asking where needed), then ends; `done` learns whether it did.
  void terminate(std::function<void(bool terminated)> done = {});
  // The session ends (SIGTERM at a logout or a shutdown): the same quit, with nobody there to
  // answer. Documents with a file save in place; an edited untitled one writes its draft, which
  // reopens at the next start; what is being opened is given up; then the application ends.
  // Asked again meanwhile, or during a quit, the quit under way goes on.
  void endSession();

  void runOnceForKey(const std::string& key, const std::function<bool()>& block);
  // Saves every document that has a file, then quits; tries again every 10 s until the process
  // ends, unless the person cancelled the quit.
  void saveDocumentsAndTerminate();
  void disableDocumentRestoration() { shouldCloseRestoredDocuments = true; }
  static std::string deviceModel();

  // The usage counters of one minute tick.
  struct MinuteCounters {
    long long active = 0, active10 = 0, active60 = 0, activeIdle = 0, activeCode = 0, activeAutoCode = 0;
    bool operator==(const MinuteCounters&) const = default;
  };
  static MinuteCounters nextMinute(MinuteCounters counters, bool isActive, std::uint64_t secondsIdle);
  void handleMinuteInterval();

  // What the updater is told once the sign-in is known.
  struct UpdateSchedule {
    bool automatic = false;
    std::optional<double> informationCheckAfter;
    std::optional<double> backgroundCheckAfter;
    bool operator==(const UpdateSchedule&) const = default;
  };
  static UpdateSchedule updateSchedule(bool updatesDisabled,
                                       std::optional<std::chrono::system_clock::time_point> lastCheck,
                                       std::chrono::system_clock::time_point now);
  void setUpSparkle();

  // Whether analytics are off: the stored choice, or the application's own information.
  static bool dataCollectionDisabled(const Defaults& defaults);
  // The application's own information switches analytics off (a build setting).
  static bool bundleDisablesDataCollection();

  // The welcome window, made on first use and kept.
  WelcomeWindow* welcomeWindowController();
  bool isWelcomeWindowLoaded() const { return welcomeWindow_ != nullptr; }
  void closeWelcomeWindow();

 private:
  void setUpDefaults();
  void setUpMetrics();
  void setUpMenuItems();
  void setUpWelcomeWindow();
  void identifyUserForKorvelTracker();
  void openPendingFiles();
  void openURL(const std::string& url);
  void terminateNext(std::function<void(bool)> done);
  void keepNextAtSessionEnd();
  // Gives up what is under way, waits for it, and ends the application.
  void quitNow();
  // `work` on the main loop after `seconds` (through the hook when tests set one).
  void after(double seconds, std::function<void()> work);

  Hooks hooks_;
  std::unique_ptr<DocumentController> documentController_;
  std::unique_ptr<WelcomeWindow> welcomeWindow_;
  std::unique_ptr<Timer> minuteIntervalTimer_;
  ObserverToken userConfigObserver_;
  std::vector<std::filesystem::path> pendingFiles_;
  // The drafts of an earlier session come back once, at the first chance after the sign-in.
  bool draftsReopened_ = false;
  bool reopenDraftsOnce();
  bool isTerminating_ = false;
  bool isFirstLaunch_ = false;
  bool terminationInProgress_ = false;
  bool terminationCancelled_ = false;
  bool sessionEnding_ = false;
};
