#include "Crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace crypto {

namespace {
template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* md, std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, N> out{};
  unsigned len = 0;
  EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, md, nullptr);
  return out;
}
}  // namespace

Sha1Digest sha1(std::span<const std::uint8_t> bytes) { return digest<20>(EVP_sha1(), bytes); }
Md5Digest md5(std::span<const std::uint8_t> bytes) { return digest<16>(EVP_md5(), bytes); }

Sha1::Sha1() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha1(), nullptr) != 1)
    throw std::bad_alloc();
}
Sha1::~Sha1() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }
void Sha1::update(std::span<const std::uint8_t> bytes) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes.data(), bytes.size());
}
Sha1Digest Sha1::finish() {
  Sha1Digest out{};
  unsigned len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out.data(), &len);
  return out;
}

std::string hex(std::span<const std::uint8_t> bytes, bool uppercase) {
  const char* digits = uppercase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

Data pbkdf2HmacSha1(std::string_view password, std::span<const std::uint8_t> salt, unsigned iterations,
                    std::size_t keyLength) {
  Data key(keyLength);
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(), static_cast<int>(salt.size()),
                    static_cast<int>(iterations), EVP_sha1(), static_cast<int>(keyLength), key.data());
  return key;
}

Result<AesEcb> AesEcb::create(std::span<const std::uint8_t> key, bool encrypt) {
  const EVP_CIPHER* cipher = nullptr;
  switch (key.size()) {
    case 16: cipher = EVP_aes_128_ecb(); break;
    case 24: cipher = EVP_aes_192_ecb(); break;
    case 32: cipher = EVP_aes_256_ecb(); break;
    default: return fail("com.korvel.crypto", 1, "AES key must be 16, 24 or 32 bytes");
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return fail("com.korvel.crypto", 2, "out of memory");
  if (EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    return fail("com.korvel.crypto", 3, "AES set-up failed");
  }
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  return AesEcb(ctx);
}

AesEcb::AesEcb(AesEcb&& other) noexcept : ctx_(other.ctx_) { other.ctx_ = nullptr; }
AesEcb& AesEcb::operator=(AesEcb&& other) noexcept {
  if (this != &other) {
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_));
    ctx_ = other.ctx_;
    other.ctx_ = nullptr;
  }
  return *this;
}
AesEcb::~AesEcb() { EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_)); }

void AesEcb::process(const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
  int outLen = 0;
  EVP_CipherUpdate(static_cast<EVP_CIPHER_CTX*>(ctx_), out, &outLen, in, static_cast<int>(length));
}

// From the kernel: the library's generator keeps state per thread, and a worker thread still
// running when the process ends leaves it behind.
Data randomBytes(std::size_t count) {
  Data out(count);
  for (std::size_t at = 0; at < count;) {
    ssize_t n = ::getrandom(out.data() + at, count - at, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (RAND_bytes(out.data() + at, static_cast<int>(count - at)) != 1) throw std::runtime_error("no random bytes");
      break;
    }
    at += static_cast<std::size_t>(n);
  }
  return out;
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (std::size_t rest = bytes.size() - i) {
    unsigned v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<Data> base64Decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  Data out;
  unsigned acc = 0;
  int bits = 0, padding = 0, symbols = 0;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    if (c == '=') {
      ++padding;
      ++symbols;
      continue;
    }
    if (padding) return std::nullopt;  // data after padding
    int v = value(c);
    if (v < 0) return std::nullopt;
    ++symbols;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
    }
  }
  if (symbols % 4 != 0 || padding > 2) return std::nullopt;
  return out;
}

}  // namespace crypto
