#include "ServiceAssembly.h"

#include <algorithm>
#include <cctype>

#include "platform/Crypto.h"
#include "platform/Fatal.h"

namespace {
std::string newUUIDString() {
  auto b = crypto::randomBytes(16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  std::string h = crypto::hex(b, true);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}
}  // namespace

ServiceAssembly::ServiceAssembly(std::optional<std::string> moniker)
    : moniker_(moniker ? std::move(*moniker) : newUUIDString()) {}

void ServiceAssembly::add(std::shared_ptr<Service> service) {
  if (sealed_) KORVEL_FATAL("Cannot add services to a sealed assembly");
  monikers_.push_back(service->moniker());
  services_.push_back(std::move(service));
}

std::shared_ptr<Service> ServiceAssembly::get(const std::string& moniker) const {
  if (!sealed_) KORVEL_FATAL("Cannot get services from an unsealed assembly");
  auto it = std::find(monikers_.begin(), monikers_.end(), moniker);
  if (it == monikers_.end()) return nullptr;
  return services_[static_cast<size_t>(it - monikers_.begin())];
}

void ServiceAssembly::seal() {
  if (sealed_) KORVEL_FATAL("Assembly is already sealed");
  sealed_ = true;
  // A copy: an activating service may look others up but not add (the assembly is sealed).
  for (auto& service : std::vector(services_)) service->activate(*this);
}

void ServiceAssembly::clear() {
  // Both lists stay intact while services deactivate, so a deactivating service may still look
  // others up; a copy, because a service may clear the assembly from inside.
  for (auto& service : std::vector(services_)) service->deactivate();
  services_.clear();
  monikers_.clear();
  sealed_ = false;
}
