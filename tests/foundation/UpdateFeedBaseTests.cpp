// The update feed's base follows the services environment; the local one stays on loopback.
#include <gtest/gtest.h>

#include "foundation/UpdateFeedBase.h"
#include "platform/Defaults.h"
#include "support/TestEnvironment.h"

TEST(UpdateFeedBase, EachEnvironmentHasItsHostAndLocalUsesItsLoopbackBase) {
  Defaults defaults(testenv::freshFolder("feed") / "defaults.json");
  defaults.setString("LocalServicesBaseURL", "http://127.0.0.1:9911");
  AppServices services(defaults, false);
  using E = AppServices::Environment;
  EXPECT_EQ(updateFeedBaseURL(services, E::local).absoluteString(), "http://127.0.0.1:9911");
  for (E environment : {E::production, E::development, E::gcp}) {
    Url base = updateFeedBaseURL(services, environment);
    EXPECT_EQ(base.scheme(), "https");
    EXPECT_EQ(base.withPath("/appcast.json").path(), "/appcast.json");
  }
  EXPECT_NE(updateFeedBaseURL(services, E::production).host(), updateFeedBaseURL(services, E::development).host());
}
