#include "ZZChannel.h"

#include <algorithm>
#include <cerrno>

Result<Data> ZZChannelInput::readData(std::uint64_t offset, std::uint64_t length) const {
  if (offset > size() || length > size() - offset)
    return fail(Error::posix(EIO, "read past the end of the archive"));
  Data out(static_cast<std::size_t>(length));
  if (auto r = readAt(offset, out); !r) return fail(r.error());
  return out;
}

Result<void> ZZChannelOutput::copyFrom(const ZZChannelInput& input, std::uint64_t offset, std::uint64_t length) {
  constexpr std::uint64_t kChunk = 1 << 20;
  Data buffer(static_cast<std::size_t>(std::min(length, kChunk)));
  while (length > 0) {
    auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
    std::span<std::uint8_t> piece(buffer.data(), n);
    if (auto r = input.readAt(offset, piece); !r) return r;
    if (auto r = writeData(piece); !r) return r;
    offset += n;
    length -= n;
  }
  return {};
}
