#include "ZipTestSupport.h"

#include <zlib.h>

#include <random>
#include <stdexcept>

#include "platform/Crypto.h"
#include "zip/ZZStandardCryptoEngine.h"

namespace ziptest {

namespace {
void put16(Data& d, std::uint16_t v) {
  d.push_back(static_cast<std::uint8_t>(v));
  d.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Data& d, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
}  // namespace

Data toData(std::string_view text) { return Data(text.begin(), text.end()); }
std::string toString(const Data& data) { return std::string(data.begin(), data.end()); }

Data rawDeflate(const Data& plain, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
  Data out(deflateBound(&z, plain.size()) + 16);
  z.next_in = const_cast<Bytef*>(plain.data());
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

std::uint32_t crc32Of(const Data& data) {
  return static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size())));
}

Data randomData(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Data d(size);
  for (auto& b : d) b = static_cast<std::uint8_t>(rng());
  return d;
}

RawEntry storedEntry(const std::string& name, const Data& content) {
  RawEntry e;
  e.name = name;
  e.data = content;
  e.crc32 = crc32Of(content);
  e.compressedSize = e.uncompressedSize = static_cast<std::uint32_t>(content.size());
  return e;
}

RawEntry deflatedEntry(const std::string& name, const Data& content) {
  RawEntry e = storedEntry(name, content);
  e.method = 8;
  e.data = rawDeflate(content);
  e.compressedSize = static_cast<std::uint32_t>(e.data.size());
  return e;
}

RawEntry traditionalEntry(const std::string& name, const Data& content, std::string_view password, bool deflate) {
  RawEntry e = deflate ? deflatedEntry(name, content) : storedEntry(name, content);
  e.flags |= 1;
  ZZStandardCryptoEngine engine(password);
  Data header = randomData(12, 7);
  header[11] = static_cast<std::uint8_t>(e.crc32 >> 24);
  header[10] = static_cast<std::uint8_t>(e.crc32 >> 16);
  Data out;
  for (auto b : header) out.push_back(engine.encrypt(b));
  for (auto b : e.data) out.push_back(engine.encrypt(b));
  e.data = out;
  e.compressedSize = static_cast<std::uint32_t>(out.size());
  return e;
}

Data aesExtraField(int strength, std::uint16_t method, int aeVersion) {
  Data d;
  put16(d, 0x9901);
  put16(d, 7);
  put16(d, static_cast<std::uint16_t>(aeVersion));
  d.push_back('A');
  d.push_back('E');
  d.push_back(static_cast<std::uint8_t>(strength));
  put16(d, method);
  return d;
}

RawEntry aesEntry(const std::string& name, const Data& content, std::string_view password, int strength,
                  int aeVersion, bool deflate) {
  RawEntry e = deflate ? deflatedEntry(name, content) : storedEntry(name, content);
  std::size_t keyLength = 8 + 8 * static_cast<std::size_t>(strength);
  std::size_t saltLength = 4 + 4 * static_cast<std::size_t>(strength);
  Data salt = randomData(saltLength, 11);
  Data derived = crypto::pbkdf2HmacSha1(password, salt, 1000, 2 * keyLength + 2);
  auto aes = crypto::AesEcb::create(std::span(derived.data(), keyLength), true);
  if (!aes) throw std::runtime_error("aes");
  std::uint8_t counter[16] = {};
  std::uint8_t keystream[16];
  Data encrypted = e.data;
  for (std::size_t i = 0; i < encrypted.size(); ++i) {
    if (i % 16 == 0) {
      for (int k = 0; k < 4 && ++counter[k] == 0; ++k) {
      }
      aes->process(counter, keystream, 16);
    }
    encrypted[i] ^= keystream[i % 16];
  }
  Data out = salt;
  out.push_back(derived[2 * keyLength]);
  out.push_back(derived[2 * keyLength + 1]);
  out.insert(out.end(), encrypted.begin(), encrypted.end());
  Data mac(10, 0xAA);  // never read
  out.insert(out.end(), mac.begin(), mac.end());
  e.localExtra = e.centralExtra = aesExtraField(strength, e.method, aeVersion);
  e.method = 99;
  e.flags |= 1;
  if (aeVersion == 2) e.crc32 = 0;
  e.data = out;
  e.compressedSize = static_cast<std::uint32_t>(out.size());
  return e;
}

Data makeRawZip(const std::vector<RawEntry>& entries, std::string_view comment) {
  Data zip;
  std::vector<std::uint32_t> offsets;
  for (const auto& e : entries) {
    offsets.push_back(static_cast<std::uint32_t>(zip.size()));
    std::string localName = e.localName.value_or(e.name);
    std::uint16_t flags = static_cast<std::uint16_t>(e.flags | (e.dataDescriptor ? 8 : 0));
    put32(zip, 0x04034b50);
    put16(zip, 20);
    put16(zip, flags);
    put16(zip, e.method);
    put16(zip, e.time);
    put16(zip, e.date);
    put32(zip, e.dataDescriptor ? 0 : e.crc32);
    put32(zip, e.dataDescriptor ? 0 : e.compressedSize);
    put32(zip, e.dataDescriptor ? 0 : e.uncompressedSize);
    put16(zip, static_cast<std::uint16_t>(localName.size()));
    put16(zip, static_cast<std::uint16_t>(e.localExtra.size()));
    zip.insert(zip.end(), localName.begin(), localName.end());
    zip.insert(zip.end(), e.localExtra.begin(), e.localExtra.end());
    zip.insert(zip.end(), e.data.begin(), e.data.end());
    if (e.dataDescriptor) {
      if (e.descriptorSignature) put32(zip, 0x08074b50);
      put32(zip, e.crc32);
      put32(zip, e.compressedSize);
      put32(zip, e.uncompressedSize);
    }
  }
  auto cdStart = static_cast<std::uint32_t>(zip.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    std::uint16_t flags = static_cast<std::uint16_t>(e.flags | (e.dataDescriptor ? 8 : 0));
    put32(zip, 0x02014b50);
    zip.push_back(e.versionMadeBy);
    zip.push_back(e.host);
    put16(zip, 20);
    put16(zip, flags);
    put16(zip, e.method);
    put16(zip, e.time);
    put16(zip, e.date);
    put32(zip, e.crc32);
    put32(zip, e.compressedSize);
    put32(zip, e.uncompressedSize);
    put16(zip, static_cast<std::uint16_t>(e.name.size()));
    put16(zip, static_cast<std::uint16_t>(e.centralExtra.size()));
    put16(zip, 0);
    put16(zip, e.diskNumberStart);
    put16(zip, 0);
    put32(zip, e.externalAttributes);
    put32(zip, offsets[i]);
    zip.insert(zip.end(), e.name.begin(), e.name.end());
    zip.insert(zip.end(), e.centralExtra.begin(), e.centralExtra.end());
  }
  auto cdSize = static_cast<std::uint32_t>(zip.size() - cdStart);
  put32(zip, 0x06054b50);
  put16(zip, 0);
  put16(zip, 0);
  put16(zip, static_cast<std::uint16_t>(entries.size()));
  put16(zip, static_cast<std::uint16_t>(entries.size()));
  put32(zip, cdSize);
  put32(zip, cdStart);
  put16(zip, static_cast<std::uint16_t>(comment.size()));
  zip.insert(zip.end(), comment.begin(), comment.end());
  return zip;
}

Result<std::shared_ptr<ZZArchive>> tryOpenData(const Data& bytes) {
  return ZZArchive::archiveWithData(std::make_shared<Data>(bytes));
}

std::shared_ptr<ZZArchive> openData(const Data& bytes) {
  auto a = tryOpenData(bytes);
  if (!a) throw std::runtime_error("open failed: " + a.error().description());
  return *a;
}

Result<void> readAll(const ZZArchive& archive, std::string_view password) {
  for (const auto& entry : archive.entries()) {
    auto data = entry->newData(password);
    if (!data) return fail(data.error());
    auto stream = entry->newStream(password);
    if (!stream) return fail(stream.error());
    (*stream)->open();
    std::uint8_t buffer[777];
    std::size_t total = 0;
    for (;;) {
      std::ptrdiff_t n = (*stream)->read(buffer, sizeof buffer);
      if (n < 0) {
        Error e = *(*stream)->streamError();
        (*stream)->close();
        return fail(e);
      }
      if (n == 0) break;
      total += static_cast<std::size_t>(n);
    }
    (*stream)->close();
    if (total != data->size()) return fail(Error("test", 1, "stream and data differ in length"));
  }
  return {};
}

}  // namespace ziptest
