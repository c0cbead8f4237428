// The hosted pages' start-up scripts as shipped, with their placeholders filled in.

#include <gtest/gtest.h>

#include "canvas/HostedPageScripts.h"

namespace {

TEST(HostedPageScripts, ReplacesEveryOccurrence) {
  EXPECT_EQ(HostedPageScripts::replacingPlaceholder("a P b P", "P", "PP"), "a PP b PP");
  EXPECT_EQ(HostedPageScripts::replacingPlaceholder("none", "P", "x"), "none");
}

TEST(HostedPageScripts, ShippedScriptsTakeTheirValues) {
  std::string bridge = HostedPageScripts::bridgeScript(R"({"store":"https://s","tracking":"https://t"})");
  EXPECT_NE(bridge.find(R"(window.AppServicesConfig = {"store":"https://s","tracking":"https://t"};)"),
            std::string::npos);
  EXPECT_EQ(bridge.find(HostedPageScripts::servicesPlaceholder), std::string::npos);
  EXPECT_NE(bridge.find("_webkit"), std::string::npos);

  std::string dark = HostedPageScripts::appearanceScript(true);
  EXPECT_NE(dark.find("apply(true === true)"), std::string::npos);
  EXPECT_NE(HostedPageScripts::appearanceScript(false).find("apply(false === true)"), std::string::npos);
  EXPECT_TRUE(HostedPageScripts::dragDropBlocker().has_value());
}

}  // namespace
