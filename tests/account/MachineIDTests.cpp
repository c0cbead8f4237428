// The machine identifier: which interface it comes from, its form, and the stored fallback.

#include <gtest/gtest.h>

#include "account/MachineID.h"
#include "platform/Defaults.h"
#include "platform/Uuid.h"
#include "support/TestEnvironment.h"

namespace {

using Interface = MachineID::NetworkInterface;

Interface physical(std::string name, Data address) { return {std::move(name), std::move(address), false, true, true}; }

TEST(MachineID, PicksTheFirstPhysicalEthernetOrWirelessInterfaceByNameWithARealAddress) {
  Data wired = {0x00, 0x1b, 0x21, 0x3a, 0x4b, 0x5c};
  Data wireless = {0x3c, 0x22, 0xfb, 0x01, 0x02, 0x03};
  std::vector<Interface> interfaces = {
      physical("wlp2s0", wireless),
      {"lo", Data(6, 0), true, true, false},
      {"docker0", {0x02, 0x42, 0xac, 0x11, 0x00, 0x02}, false, true, false},
      physical("eno0", Data(6, 0)),                            // no real address
      physical("eno1", {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01}),  // a group address
      {"enp0s1", {0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, false, false, true},  // not Ethernet framing
      physical("enp3s0", wired),
  };
  EXPECT_EQ(MachineID::primaryHardwareAddress(interfaces), wired);
  interfaces.pop_back();
  EXPECT_EQ(MachineID::primaryHardwareAddress(interfaces), wireless);
  interfaces.erase(interfaces.begin());
  EXPECT_FALSE(MachineID::primaryHardwareAddress(interfaces));
}

TEST(MachineID, TheSameAddressGivesTheSameShortenedIdentifierWhateverIsStored) {
  Defaults defaults(testenv::freshFolder("mid") / "defaults.json");
  defaults.setString(MachineID::userDefaultsKey, "stored");
  Data address = {0x00, 0x1b, 0x21, 0x3a, 0x4b, 0x5c};
  std::string id = MachineID::current(defaults, address);
  EXPECT_EQ(id, MachineID::current(defaults, address));
  EXPECT_EQ(id, MachineID::identifier(address));
  EXPECT_EQ(id.find_first_of("/+="), std::string::npos);
  EXPECT_LE(id.size(), 27u);
  EXPECT_EQ(defaults.string(MachineID::userDefaultsKey), "stored");
  // SHA-1 of these six bytes has "/" or "+" in its Base64 text: the identifier is shorter.
  bool shorter = false;
  for (std::uint8_t b = 0; b < 64 && !shorter; ++b) shorter = MachineID::identifier({0, 1, 2, 3, 4, b}).size() < 27;
  EXPECT_TRUE(shorter);
}

TEST(MachineID, WithoutAnAddressAStoredUuidIsMadeOnceAndKept) {
  Defaults defaults(testenv::freshFolder("mid") / "defaults.json");
  std::string first = MachineID::current(defaults, std::nullopt);
  EXPECT_TRUE(Uuid::parse(first));
  EXPECT_EQ(first, MachineID::current(defaults, std::nullopt));
  defaults.setString(MachineID::userDefaultsKey, "kept-value");
  EXPECT_EQ(MachineID::current(defaults, std::nullopt), "kept-value");
  // This machine answers something either way.
  EXPECT_FALSE(MachineID::current(defaults).empty());
}

}  // namespace
