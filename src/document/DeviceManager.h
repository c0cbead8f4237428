#pragma once
// The document's catalog of preview devices; empty until the preview subsystem fills it.

#include <string>
#include <vector>

class DeviceManager {
 public:
  const std::vector<std::string>& devices() const { return devices_; }

 private:
  std::vector<std::string> devices_;
};
