#include <gtest/gtest.h>

#include "platform/Crypto.h"

namespace {
std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
Data unhex(std::string_view h) {
  Data out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}
}  // namespace

TEST(Crypto, DigestsMatchKnownVectors) {
  EXPECT_EQ(crypto::hex(crypto::sha1(bytes("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(crypto::hex(crypto::md5(bytes(""))), "d41d8cd98f00b204e9800998ecf8427e");
  crypto::Sha1 incremental;
  incremental.update(bytes("a"));
  incremental.update(bytes("bc"));
  EXPECT_EQ(incremental.finish(), crypto::sha1(bytes("abc")));
}

TEST(Crypto, Pbkdf2AndAesMatchPublishedVectors) {
  // RFC 6070, test 2.
  EXPECT_EQ(crypto::hex(crypto::pbkdf2HmacSha1("password", bytes("salt"), 2, 20)),
            "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
  // FIPS-197, appendix C.1 (AES-128) and C.3 (AES-256).
  auto plain = unhex("00112233445566778899aabbccddeeff");
  auto aes128 = crypto::AesEcb::create(unhex("000102030405060708090a0b0c0d0e0f"));
  ASSERT_TRUE(aes128);
  Data out(16);
  aes128->process(plain.data(), out.data(), 16);
  EXPECT_EQ(crypto::hex(out), "69c4e0d86a7b0430d8cdb78070b4c55a");
  auto aes256 = crypto::AesEcb::create(unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"));
  ASSERT_TRUE(aes256);
  aes256->process(plain.data(), out.data(), 16);
  EXPECT_EQ(crypto::hex(out), "8ea2b7ca516745bfeafc49904b496089");
  EXPECT_FALSE(crypto::AesEcb::create(unhex("0011")));
}

TEST(Crypto, Base64RoundTripsAndRejectsMalformedText) {
  for (std::string s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    auto encoded = crypto::base64Encode(bytes(s));
    auto decoded = crypto::base64Decode(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(stringFromData(*decoded), s);
  }
  EXPECT_EQ(crypto::base64Encode(bytes("foobar")), "Zm9vYmFy");
  EXPECT_EQ(crypto::base64Encode(bytes("fo")), "Zm8=");
  EXPECT_FALSE(crypto::base64Decode("Zm8"));
  EXPECT_FALSE(crypto::base64Decode("Zm=8"));
  EXPECT_FALSE(crypto::base64Decode("Z!8="));
  EXPECT_TRUE(crypto::base64Decode("Zm9v\nYmFy"));
}

TEST(Crypto, RandomBytesDiffer) {
  EXPECT_NE(crypto::randomBytes(16), crypto::randomBytes(16));
  EXPECT_TRUE(crypto::randomBytes(0).empty());
}
