#include "AppServices.h"

#include <nlohmann/json.hpp>

#include "foundation/AppInfo.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"

namespace {

Url url(const std::string& text) {
  return *Url::parse(text);
}

}  // namespace

std::optional<AppServices::Environment> AppServices::environmentFromRawValue(long long raw) {
  if (raw < 1 || raw > 4) return std::nullopt;
  return static_cast<Environment>(raw);
}

AppServices::AppServices(Defaults& defaults, bool pinned) : defaults_(defaults), pinned_(pinned) {}

AppServices& AppServices::shared() {
  static AppServices* services = new AppServices(Defaults::standard(), AppInfo::isProduction() || AppInfo::isBeta());
  return *services;
}

std::optional<AppServices::Environment> AppServices::requiredEnvironment() {
  std::call_once(requiredOnce_, [this] {
    if (pinned_) {
      defaults_.remove(UserDefaultsCurrentStoreEnvironmentKey);
      required_ = Environment::production;
    }
  });
  return required_;
}

AppServices::Environment AppServices::currentEnvironment() {
  std::call_once(currentOnce_, [this] {
    // Read before the required environment, which may remove the key.
    long long stored = defaults_.integer(UserDefaultsCurrentStoreEnvironmentKey);
    if (auto required = requiredEnvironment()) {
      current_ = *required;
    } else {
      current_ = environmentFromRawValue(stored).value_or(Environment::development);
    }
  });
  return current_;
}

void AppServices::setCurrentEnvironment(Environment environment) {
  if (environment == currentEnvironment()) return;
  current_ = environment;
  if (logoutHandler) logoutHandler();
  for (auto& handler : std::vector(observeHandlers_)) handler();
  defaults_.setInteger(UserDefaultsCurrentStoreEnvironmentKey, static_cast<long long>(environment));
}

Url AppServices::localServicesBaseURL() const {
  if (auto stored = defaults_.string(UserDefaultsLocalServicesBaseURLKey)) {
    auto parsed = Url::parse(*stored);
    if (parsed && parsed->scheme() == "http" && parsed->isLoopback()) {
      // Scheme, host and port only: a path, query or user part of the stored text is not kept.
      const auto& host = parsed->host();
      std::string base = "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host);
      if (parsed->port() > 0) base += ":" + std::to_string(parsed->port());
      return url(base);
    }
    RWLog("AppServices: ignoring " + std::string(UserDefaultsLocalServicesBaseURLKey) +
              ", which is not an http address on loopback",
          3);
  }
  return url(defaultLocalServicesBaseURL);
}

AppServices::Endpoints AppServices::endpoints(Environment environment) const {
  switch (environment) {
    case Environment::production:
      return {url("https://api.korvel.io"),   url("https://login.korvel.io/"),   url("https://store.korvel.io"),
              url("https://store.korvel.io"), url("https://registry.korvel.io"), url("https://events.korvel.io/track")};
    case Environment::development:
      return {url("https://api.dev.korvel.io"),      url("https://korvel-dev-login.pages.korvel-static.io/"),
              url("https://store.dev.korvel.io"),    url("https://store.dev.korvel.io"),
              url("https://registry.dev.korvel.io"), url("https://events-staging.korvel.io/track")};
    case Environment::gcp:
      return {url("https://api.enterprise.korvel.io"),      url("https://login.enterprise.korvel.io/"),
              url("https://store.enterprise.korvel.io"),    url("https://store.enterprise.korvel.io"),
              url("https://registry.enterprise.korvel.io"), url("https://events-staging.korvel.io/track")};
    case Environment::local: {
      Url base = localServicesBaseURL();
      return {base, base.withPath("/"), base, base, base, base.withPath("/track")};
    }
  }
  return endpoints(Environment::development);
}

std::string AppServices::title(Environment environment) const {
  const char* name = "";
  switch (environment) {
    case Environment::production: name = "Production:"; break;
    case Environment::development: name = "Development:"; break;
    case Environment::local: name = "Local:"; break;
    case Environment::gcp: name = "Korvel Enterprise:"; break;
  }
  auto e = endpoints(environment);
  return std::string(name) + "\n" + e.storeURL.absoluteString() + "\n" + e.packageRegistryURL.absoluteString();
}

std::string AppServices::endpointsJSON() {
  auto e = currentEndpoints();
  nlohmann::json object = {{"store", e.storeURL.absoluteString()}, {"tracking", e.trackingURL.absoluteString()}};
  std::string text = JsonCoder::dump(object);
  return text.empty() ? "{}" : text;
}

void AppServices::addObserveHandler(std::function<void()> handler) {
  observeHandlers_.push_back(std::move(handler));
}

void AppServices::loginControllerDidChangeToken() {
  for (auto& handler : std::vector(observeHandlers_)) handler();
}

void AppServices::chooseEnvironment() {
  if (requiredEnvironment()) return;
  if (chooserPresenter) chooserPresenter(*this);
}

void AppServices::changeEnvironment(std::optional<long long> tag) {
  if (!tag) return;
  auto chosen = environmentFromRawValue(*tag);
  if (!chosen) return;
  if (auto required = requiredEnvironment()) chosen = required;
  setCurrentEnvironment(*chosen);
}

const std::string& AppServices::cloudServerBaseUrl() {
  std::call_once(cloudBaseOnce_, [this] {
    cloudServerBaseUrl_ = defaults_.string("CloudServerBaseUrl").value_or("https://cloud.korvel.io");
  });
  return cloudServerBaseUrl_;
}

const std::string& AppServices::cloudServerDashboardUrl() {
  std::call_once(dashboardOnce_, [this] {
    cloudServerDashboardUrl_ =
        defaults_.string("CloudServerDashboardUrl").value_or("https://cloud.korvel.io/dashboard");
  });
  return cloudServerDashboardUrl_;
}
