// Catalogs far larger than any real device list are refused whole, with an error that says why,
// and the manager keeps the catalog it had.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "preview/DeviceDescriptor.h"
#include "preview/DeviceManager.h"

namespace {

// `count` devices "d0", "d1", …; device i is in category "c<i % categories>".
std::string catalog(std::size_t count, std::size_t categories, std::size_t skinDevices = 0) {
  auto devices = [](std::size_t n, std::size_t cats) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
      char device[160];
      std::snprintf(device, sizeof device, R"(%s"d%zu": {"title": "D", "category": "c%zu", "screen": {"width": 1, "height": 2}})",
                    i ? ", " : "", i, i % cats);
      out += device;
    }
    return out;
  };
  return R"({"devices": {)" + devices(count, categories) + R"(}, "deviceSkins": {)" + devices(skinDevices, 1) + "}}";
}

void parseText(DeviceManager& m, const std::string& text) {
  nlohmann::json value = text;
  m.parse(&value);
}

TEST(DeviceCatalogBounds, RefusesCatalogsBeyondTheBounds) {
  const struct {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"100,000 devices in one category", catalog(100000, 1), "device data: larger than 2 MiB"},
      {"1,001 devices", catalog(1001, 1), "device data: devices holds more than 1000 devices"},
      {"1,000 devices", catalog(1000, 1), nullptr},
      {"101 categories", catalog(101, 101), "device data: devices holds more than 100 categories"},
      {"100 categories", catalog(100, 100), nullptr},
      {"1,001 device skins", catalog(1, 1, 1001), "device data: deviceSkins holds more than 1000 devices"},
      {"2 MiB of white space", catalog(1, 1) + std::string(2 << 20, ' '), "device data: larger than 2 MiB"},
  };
  for (const auto& c : cases) {
    auto decoded = DevicesData::fromText(c.text);
    if (!c.error) {
      EXPECT_TRUE(decoded) << c.name;
      continue;
    }
    ASSERT_FALSE(decoded) << c.name;
    EXPECT_EQ(decoded.error().message, c.error) << c.name;
  }
}

TEST(DeviceCatalogBounds, TheManagerKeepsItsCatalogWhenOneIsRefused) {
  DeviceManager m;
  parseText(m, catalog(1000, 3));
  ASSERT_EQ(m.devices().size(), 1000u);
  EXPECT_EQ(m.deviceCategories(), (std::vector<std::string>{"Canvas", "c0", "c1", "c2"}));
  ASSERT_TRUE(m.devicesForCategory("c0"));
  EXPECT_EQ(m.devicesForCategory("c0")->size(), 334u);
  EXPECT_EQ(m.devicesForCategory("c0")->front(), "d0");

  testing::internal::CaptureStdout();
  parseText(m, catalog(100000, 1));
  std::string said = testing::internal::GetCapturedStdout();
  EXPECT_EQ(said.rfind("Failed to decode Ostrel device data: ", 0), 0u) << said;
  EXPECT_NE(said.find("device data: larger than 2 MiB"), std::string::npos) << said;
  parseText(m, catalog(1001, 1));
  EXPECT_EQ(m.devices().size(), 1000u);
  EXPECT_EQ(m.devices().size(), 1000u);
}

}  // namespace
