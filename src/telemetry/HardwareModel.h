#pragma once
// The machine's hardware model name, from the firmware tables the kernel exports
// (/sys/class/dmi/id); empty when there are none. Read once. Any thread.

#include <string>

namespace HardwareModel {
const std::string& name();
}  // namespace HardwareModel
