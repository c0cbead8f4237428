#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "zip/ZZAESDecryptInputStream.h"
#include "zip/ZZChannelInputStream.h"
#include "zip/ZZDataChannel.h"
#include "zip/ZZStandardDecryptInputStream.h"

using namespace ziptest;

namespace {

std::unique_ptr<ZZInputStream> rawStream(const Data& bytes, std::size_t from, std::size_t length) {
  ZZDataChannel channel(std::make_shared<Data>(bytes));
  std::shared_ptr<const ZZChannelInput> input = *channel.newInput();
  return std::make_unique<ZZChannelInputStream>(input, from, length);
}

Data readAllOf(ZZInputStream& s) {
  s.open();
  Data out(4096);
  auto n = s.read(out.data(), out.size());
  out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return out;
}

TEST(ZZStandardDecryptInputStream, DecryptsWithTheRightPasswordOnly) {
  Data plain = toData("the traditional scheme");
  RawEntry e = traditionalEntry("a", plain, "secret", false);
  std::uint16_t check = static_cast<std::uint16_t>(e.crc32 >> 16);
  auto header = std::span(e.data).first(12);
  auto s = ZZStandardDecryptInputStream::create(rawStream(e.data, 12, plain.size()), "secret", header, check, 20);
  ASSERT_TRUE(s);
  EXPECT_EQ(readAllOf(**s), plain);

  auto wrong = ZZStandardDecryptInputStream::create(rawStream(e.data, 12, plain.size()), "secreT", header, check, 20);
  EXPECT_EQ(zipCode(wrong), 12);
}

TEST(ZZStandardDecryptInputStream, OlderVersionsCheckTwoBytes) {
  Data plain = toData("x");
  RawEntry e = traditionalEntry("a", plain, "secret", false);
  std::uint16_t check = static_cast<std::uint16_t>(e.crc32 >> 16);
  auto header = std::span(e.data).first(12);
  // Find a wrong password whose last header byte happens to match and the one before not.
  for (int i = 0; i < 100000; ++i) {
    std::string guess = "guess" + std::to_string(i);
    ZZStandardCryptoEngine engine(guess);
    std::uint8_t plainHeader[12];
    for (int k = 0; k < 12; ++k) plainHeader[k] = engine.decrypt(header[k]);
    if (plainHeader[11] != (check >> 8) || plainHeader[10] == (check & 0xff)) continue;
    EXPECT_TRUE(ZZStandardDecryptInputStream::create(rawStream(e.data, 12, 1), guess, header, check, 20));
    EXPECT_EQ(zipCode(ZZStandardDecryptInputStream::create(rawStream(e.data, 12, 1), guess, header, check, 10)), 12);
    return;
  }
  FAIL() << "no colliding password found";
}

TEST(ZZAESDecryptInputStream, DecryptsEachStrengthAndRefusesAWrongPassword) {
  Data plain = randomData(1000, 3);
  for (int strength = 1; strength <= 3; ++strength) {
    RawEntry e = aesEntry("a", plain, "pw", strength, 2, false);
    std::size_t headerLength = 4 + 4 * static_cast<std::size_t>(strength) + 2;
    auto header = std::span(e.data).first(headerLength);
    auto s = ZZAESDecryptInputStream::create(rawStream(e.data, headerLength, plain.size()), "pw", header,
                                             static_cast<ZZAESEncryptionStrength>(strength));
    ASSERT_TRUE(s);
    EXPECT_EQ(readAllOf(**s), plain);
    EXPECT_EQ(zipCode(ZZAESDecryptInputStream::create(rawStream(e.data, headerLength, plain.size()), "PW", header,
                                                      static_cast<ZZAESEncryptionStrength>(strength))),
              12);
  }
}

TEST(ZZAESDecryptInputStream, TamperedDataDecryptsWrongWithoutAnErrorOfItsOwn) {
  Data plain = toData("authenticated elsewhere");
  RawEntry e = aesEntry("a", plain, "", 1, 2, false);
  e.data[12] ^= 0x01;
  auto s = ZZAESDecryptInputStream::create(rawStream(e.data, 10, plain.size()), "", std::span(e.data).first(10),
                                           ZZAESEncryptionStrength::aes128);
  ASSERT_TRUE(s);
  Data out = readAllOf(**s);
  EXPECT_EQ(out.size(), plain.size());
  EXPECT_NE(out, plain);
}

}  // namespace
