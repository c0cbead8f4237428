#include "foundation/UpdateFeedBase.h"

Url updateFeedBaseURL(const AppServices& services, AppServices::Environment environment) {
  switch (environment) {
    case AppServices::Environment::production: return *Url::parse("https://updates.korvel.io");
    case AppServices::Environment::development: return *Url::parse("https://updates.dev.korvel.io");
    case AppServices::Environment::gcp: return *Url::parse("https://updates.enterprise.korvel.io");
    case AppServices::Environment::local: return services.localServicesBaseURL();
  }
  return *Url::parse("https://updates.korvel.io");
}
