#pragma once
// The services environment the application talks to, and its endpoints. Production and beta
// builds are pinned to production; other builds use the environment stored in the defaults.
// Every address is https except the local environment's, which is http on loopback only and
// comes from the defaults key "LocalServicesBaseURL" (tests point it at an ephemeral port).
// Main thread only, except the endpoint functions, which may be called from any thread.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Url.h"

class Defaults;

class AppServices {
 public:
  enum class Environment { production = 1, development = 2, local = 3, gcp = 4 };
  static std::optional<Environment> environmentFromRawValue(long long raw);
  static constexpr Environment allEnvironments[] = {Environment::production, Environment::development,
                                                    Environment::local, Environment::gcp};

  struct Endpoints {
    Url apiBaseURL;
    Url userLoginScreensURL;
    Url storeCookieScopeURL;
    Url storeURL;
    Url packageRegistryURL;
    Url trackingURL;
  };

  static constexpr const char* defaultLocalServicesBaseURL = "http://127.0.0.1:8787";

  // `pinned`: a production or beta build, which never leaves production.
  AppServices(Defaults& defaults, bool pinned);
  static AppServices& shared();

  std::optional<Environment> requiredEnvironment();
  Environment currentEnvironment();
  void setCurrentEnvironment(Environment environment);

  Endpoints endpoints(Environment environment) const;
  Endpoints currentEndpoints() { return endpoints(currentEnvironment()); }
  std::string title(Environment environment) const;
  // The loopback base of the local environment (the defaults value when it is a loopback http
  // address, else the built-in one).
  Url localServicesBaseURL() const;

  // {"store": …, "tracking": …} of the current environment.
  std::string endpointsJSON();

  std::function<void()> logoutHandler;
  void addObserveHandler(std::function<void()> handler);
  // Runs the observe handlers, never the logout handler.
  void loginControllerDidChangeToken();

  // Shows the chooser through the presenter, unless the build is pinned.
  void chooseEnvironment();
  // The chooser's radio buttons: `tag` is the raw value of the picked environment.
  void changeEnvironment(std::optional<long long> tag);
  // Set by the toolkit layer: shows the chooser modally and returns when it is done.
  std::function<void(AppServices&)> chooserPresenter;

  const std::string& cloudServerBaseUrl();
  const std::string& cloudServerDashboardUrl();

 private:
  Defaults& defaults_;
  bool pinned_;
  std::once_flag requiredOnce_, currentOnce_, cloudBaseOnce_, dashboardOnce_;
  std::optional<Environment> required_;
  Environment current_ = Environment::development;
  std::vector<std::function<void()>> observeHandlers_;
  std::string cloudServerBaseUrl_, cloudServerDashboardUrl_;
};
