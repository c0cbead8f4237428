#include "app/PDApplicationHooks.h"

#include <filesystem>

#include "foundation/AppServices.h"
#include "foundation/UpdateFeedBase.h"
#include "platform/DesktopIntegration.h"
#include "platform/RWLog.h"
#include "platform/SUUpdater.h"
#include "platform/SentryClient.h"
#include "ui/RWAboutWindow.h"
#include "welcome/WelcomeWindowController.h"

namespace {

class SharedUpdater : public PDApplication::Updater {
 public:
  SharedUpdater() : updater_(SUUpdater::sharedUpdater()) {
    auto& services = AppServices::shared();
    updater_.setFeedBaseURL(updateFeedBaseURL(services, services.currentEnvironment()));
    // The feed follows the services environment.
    services.addObserveHandler([this] {
      auto& s = AppServices::shared();
      updater_.setFeedBaseURL(updateFeedBaseURL(s, s.currentEnvironment()));
    });
  }
  void checkForUpdates() override { updater_.checkForUpdates(); }
  void checkForUpdatesInBackground() override { updater_.checkForUpdatesInBackground(); }
  void checkForUpdateInformation() override { updater_.checkForUpdateInformation(); }
  void setAutomaticallyChecksForUpdates(bool on) override { updater_.setAutomaticallyChecksForUpdates(on); }
  void setUpdateCheckInterval(double seconds) override { updater_.setUpdateCheckInterval(seconds); }
  std::optional<std::chrono::system_clock::time_point> lastUpdateCheckDate() const override {
    return updater_.lastUpdateCheckDate();
  }

 private:
  SUUpdater& updater_;
};

class Welcome : public PDApplication::WelcomeWindow {
 public:
  void loadWindow() override { controller_.loadWindow(); }
  void showWindow() override { controller_.showWindow(); }
  void close() override { controller_.close(); }
  bool isKeyWindow() const override { return controller_.isKeyWindow(); }
  bool validateMenuItem(const std::string& action) const override { return controller_.validateMenuItem(action); }
  bool perform(const std::string& action) override { return controller_.perform(action); }

 private:
  WelcomeWindowController controller_;
};

void startCrashReporter() {
  auto client = SentryClient::create(KorvelCrashReportDSN);
  if (!client) {
    RWLog(client.error().description());
    return;
  }
  SentryClient::setShared(std::move(*client));
  if (auto started = SentryClient::shared()->startCrashHandler(); !started) RWLog(started.error().description());
}

void registerWithDesktop() {
  std::error_code ec;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return;
  // The desktop's registration is a convenience: a failure changes nothing for this run.
  if (auto registered = DesktopIntegration::registerApplication(executable); !registered)
    RWLog("Desktop registration: " + registered.error().description(), 1);
}

}  // namespace

PDApplication::Hooks makeApplicationHooks() {
  PDApplication::Hooks hooks;
  hooks.updater = []() -> PDApplication::Updater* {
    static SharedUpdater* updater = new SharedUpdater();  // lives for the process, like the updater
    return updater;
  };
  hooks.startCrashReporter = startCrashReporter;
  hooks.registerWithLaunchServices = registerWithDesktop;
  hooks.showAboutWindow = [] { RWAboutWindow::sharedInstance().showWindow(); };
  hooks.makeWelcomeWindow = [] { return std::make_unique<Welcome>(); };
  hooks.welcomeShouldShowOnStartup = [] { return WelcomeWindowController::shouldShowOnStartup(); };
  return hooks;
}
