#pragma once
// An identifier of this computer that stays the same from launch to launch: derived from the
// hardware address of its first physical Ethernet or wireless interface (by name), or else a
// random UUID kept in the defaults under "mid". Main thread only.

#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"

class Defaults;

class MachineID {
 public:
  static constexpr const char* userDefaultsKey = "mid";

  struct NetworkInterface {
    std::string name;
    Data hardwareAddress;
    bool isLoopback = false;
    bool isEthernet = false;  // Ethernet framing, which wireless interfaces report too
    bool isPhysical = false;  // backed by a device, not a bridge, tunnel or virtual pair
  };

  // Computed afresh at every call.
  static std::string current(Defaults& defaults);
  // As current(), with the hardware address already looked up.
  static std::string current(Defaults& defaults, const std::optional<Data>& hardwareAddress);

  // Base64 of the address's SHA-1 digest without "/", "+" and "=".
  static std::string identifier(const Data& hardwareAddress);
  // The first interface by name that is physical Ethernet or wireless with a real address.
  static std::optional<Data> primaryHardwareAddress(std::vector<NetworkInterface> interfaces);
  // This computer's interfaces.
  static std::vector<NetworkInterface> networkInterfaces();
};
