#pragma once
// The packets of Socket.IO 5 as they ride in Engine.IO 4 message packets: a type digit, an
// optional namespace ("/admin,"), an optional acknowledgement id and JSON data.
// "2/admin,12["event",1]" is an event of namespace "/admin" that asks for acknowledgement 12.
// Any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Error.h"

namespace socketio {

inline constexpr const char* ErrorDomain = "com.korvel.socketio";
enum ErrorCode : long { malformedPacket = 1, unsupportedPacket = 2 };

// Engine.IO packet types, the first character of every text frame.
enum class EnginePacket : char {
  open = '0',
  close = '1',
  ping = '2',
  pong = '3',
  message = '4',
  upgrade = '5',
  noop = '6',
};

struct Packet {
  enum class Type { connect = 0, disconnect = 1, event = 2, ack = 3, connectError = 4, binaryEvent = 5, binaryAck = 6 };

  Type type = Type::event;
  std::string nsp = "/";
  std::optional<std::uint64_t> id;
  std::string data;  // JSON text, empty when the packet carries none

  // `text` is the Engine.IO message without its leading '4'. Binary packets are refused: their
  // attachments come in separate frames, and no peer of ours sends them.
  static Result<Packet> decode(std::string_view text);
  std::string encode() const;
};

}  // namespace socketio
