#include "SocketIOPacket.h"

namespace socketio {

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

Result<Packet> Packet::decode(std::string_view text) {
  if (text.empty() || text[0] < '0' || text[0] > '6')
    return fail(ErrorDomain, malformedPacket, "Not a Socket.IO packet type");
  Packet packet;
  packet.type = static_cast<Type>(text[0] - '0');
  if (packet.type == Type::binaryEvent || packet.type == Type::binaryAck)
    return fail(ErrorDomain, unsupportedPacket, "Binary Socket.IO packets are not supported");
  size_t pos = 1;
  if (pos < text.size() && text[pos] == '/') {
    size_t comma = text.find(',', pos);
    size_t end = comma == std::string_view::npos ? text.size() : comma;
    packet.nsp = std::string(text.substr(pos, end - pos));
    pos = comma == std::string_view::npos ? end : comma + 1;
  }
  size_t digits = pos;
  while (digits < text.size() && isDigit(text[digits])) ++digits;
  if (digits > pos) {
    if (digits - pos > 18) return fail(ErrorDomain, malformedPacket, "Socket.IO acknowledgement id too long");
    std::uint64_t id = 0;
    for (size_t i = pos; i < digits; ++i) id = id * 10 + static_cast<std::uint64_t>(text[i] - '0');
    packet.id = id;
    pos = digits;
  }
  packet.data = std::string(text.substr(pos));
  return packet;
}

std::string Packet::encode() const {
  std::string out(1, static_cast<char>('0' + static_cast<int>(type)));
  if (nsp != "/") out += nsp + ",";
  if (id) out += std::to_string(*id);
  out += data;
  return out;
}

}  // namespace socketio
