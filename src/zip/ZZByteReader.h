#pragma once
// Reads little-endian fields from untrusted bytes. Every read is bounds-checked; the first
// failed read sets a sticky error flag and later reads give zeros, so a parser reads all its
// fields and checks ok() once.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class ZZByteReader {
 public:
  explicit ZZByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }

  std::uint8_t u8() {
    auto s = take(1);
    return s.empty() ? 0 : s[0];
  }
  std::uint16_t u16() {
    auto s = take(2);
    return s.empty() ? 0 : static_cast<std::uint16_t>(s[0] | s[1] << 8);
  }
  std::uint32_t u32() {
    auto s = take(4);
    if (s.empty()) return 0;
    return static_cast<std::uint32_t>(s[0]) | static_cast<std::uint32_t>(s[1]) << 8 |
           static_cast<std::uint32_t>(s[2]) << 16 | static_cast<std::uint32_t>(s[3]) << 24;
  }
  // The next `count` bytes, or an empty span (and the error flag) when fewer remain.
  std::span<const std::uint8_t> bytes(std::size_t count) { return take(count); }
  void skip(std::size_t count) { take(count); }

 private:
  std::span<const std::uint8_t> take(std::size_t count) {
    if (!ok_ || count > bytes_.size() - pos_) {
      ok_ = false;
      return {};
    }
    auto s = bytes_.subspan(pos_, count);
    pos_ += count;
    return s;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// Appends little-endian fields to a byte buffer.
class ZZByteWriter {
 public:
  explicit ZZByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

 private:
  std::vector<std::uint8_t>& out_;
};

// Stores a little-endian 32-bit value into a prepared header buffer.
inline void zzPutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t zzGetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
