#pragma once
// Helpers of the zip tests: handmade archives whose every field a test can set, and the
// encryption of entries the library itself only decrypts.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Data.h"
#include "zip/ZZArchive.h"

namespace ziptest {

Data toData(std::string_view text);
std::string toString(const Data& data);
Data rawDeflate(const Data& plain, int level = 6);
std::uint32_t crc32Of(const Data& data);
Data randomData(std::size_t size, std::uint32_t seed);

// One entry of a handmade archive. `data` is what follows the local header, as stored.
struct RawEntry {
  std::string name;
  Data data;
  std::uint16_t method = 0;
  std::uint16_t flags = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint8_t versionMadeBy = 20;
  std::uint8_t host = 3;
  std::uint16_t time = 0x6000;
  std::uint16_t date = 0x5821;
  std::uint32_t externalAttributes = 0100644u << 16;
  std::uint16_t diskNumberStart = 0;
  Data localExtra;
  Data centralExtra;
  bool dataDescriptor = false;           // sizes after the data, zeros in the local header
  bool descriptorSignature = true;
  std::optional<std::string> localName;  // when the local header names it differently
};

RawEntry storedEntry(const std::string& name, const Data& content);
RawEntry deflatedEntry(const std::string& name, const Data& content);
// Traditional PKWARE encryption, checked by the CRC's high byte (or the time with a descriptor).
RawEntry traditionalEntry(const std::string& name, const Data& content, std::string_view password, bool deflate);
// WinZip AES; `aeVersion` 2 leaves the CRC-32 out.
RawEntry aesEntry(const std::string& name, const Data& content, std::string_view password, int strength,
                  int aeVersion, bool deflate);
Data aesExtraField(int strength, std::uint16_t method, int aeVersion);

Data makeRawZip(const std::vector<RawEntry>& entries, std::string_view comment = {});

std::shared_ptr<ZZArchive> openData(const Data& bytes);
Result<std::shared_ptr<ZZArchive>> tryOpenData(const Data& bytes);

// Reads every entry whole, through a stream and through newData; answers the first error.
Result<void> readAll(const ZZArchive& archive, std::string_view password = {});

// The code of a failed result's error, in the zip domain; -1 when it succeeded or is foreign.
template <class T>
long zipCode(const Result<T>& r) {
  if (r) return -1;
  return r.error().domain == ZZErrorDomain ? r.error().code : -1;
}

}  // namespace ziptest
