// The account service's user record, and an organisation on its own: decoded strictly, and a
// record that decodes comes back the same from its own encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "account/UserInfo.h"
#include "platform/JsonCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto user = UserInfo::decode(text)) {
    auto again = UserInfo::decode(user->encode());
    if (!again || !(*again == *user)) std::abort();
  }
  if (auto parsed = JsonCoder::parse(text)) {
    if (auto organization = UserOrganizationInfo::decode(*parsed)) {
      auto again = UserOrganizationInfo::decode(organization->encode());
      if (!again || !(*again == *organization)) std::abort();
    }
  }
  return 0;
}
