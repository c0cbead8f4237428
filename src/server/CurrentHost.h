#pragma once
// The IPv4 addresses of the machine's interfaces that are up and running, loopback excluded,
// as dotted-decimal text in the system's order. Any thread.

#include <string>
#include <vector>

class CurrentHost {
 public:
  static std::vector<std::string> IPv4Addresses();
};
