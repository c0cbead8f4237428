// What the project server sends us: its state lines and the Socket.IO packets of its pushes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/SocketIOPacket.h"
#include "server/ServerState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)ServerState::fromData(text);
  if (auto packet = socketio::Packet::decode(text)) {
    (void)packet->encode();
    (void)ServerState::fromData(packet->data);
  }
  return 0;
}
