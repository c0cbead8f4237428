#include "MachineID.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "platform/Crypto.h"
#include "platform/Defaults.h"
#include "platform/Uuid.h"

namespace {

// Six bytes, neither all zero nor a group address.
bool isRealAddress(const Data& address) {
  if (address.size() != 6) return false;
  if (address[0] & 0x01) return false;
  return std::any_of(address.begin(), address.end(), [](std::uint8_t b) { return b != 0; });
}

}  // namespace

std::string MachineID::identifier(const Data& hardwareAddress) {
  std::string text = crypto::base64Encode(crypto::sha1(hardwareAddress));
  std::erase_if(text, [](char c) { return c == '/' || c == '+' || c == '='; });
  return text;
}

std::optional<Data> MachineID::primaryHardwareAddress(std::vector<NetworkInterface> interfaces) {
  std::sort(interfaces.begin(), interfaces.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const auto& candidate : interfaces) {
    if (candidate.isLoopback || !candidate.isEthernet || !candidate.isPhysical) continue;
    if (isRealAddress(candidate.hardwareAddress)) return candidate.hardwareAddress;
  }
  return std::nullopt;
}

std::vector<MachineID::NetworkInterface> MachineID::networkInterfaces() {
  std::vector<NetworkInterface> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET || !entry->ifa_name) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
    NetworkInterface candidate;
    candidate.name = entry->ifa_name;
    std::size_t length = std::min<std::size_t>(link->sll_halen, sizeof(link->sll_addr));
    candidate.hardwareAddress.assign(link->sll_addr, link->sll_addr + length);
    candidate.isLoopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    candidate.isEthernet = link->sll_hatype == ARPHRD_ETHER;
    std::error_code error;
    candidate.isPhysical = std::filesystem::exists("/sys/class/net/" + candidate.name + "/device", error);
    found.push_back(std::move(candidate));
  }
  freeifaddrs(list);
  return found;
}

std::string MachineID::current(Defaults& defaults) {
  return current(defaults, primaryHardwareAddress(networkInterfaces()));
}

std::string MachineID::current(Defaults& defaults, const std::optional<Data>& hardwareAddress) {
  if (hardwareAddress) return identifier(*hardwareAddress);
  std::string stored = defaults.string(userDefaultsKey).value_or("");
  if (stored.empty()) stored = Uuid::random().string();
  defaults.setString(userDefaultsKey, stored);
  return stored;
}
