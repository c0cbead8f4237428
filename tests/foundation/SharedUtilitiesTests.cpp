#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>

#include "foundation/SharedUtilities.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

namespace {

using namespace std::string_literals;

TEST(Md5, LowercaseAndUppercaseDigestsAgree) {
  EXPECT_EQ(md5String(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(MD5String("abc"), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5, UppercaseDigestStopsAtFirstZero) {
  auto text = "abc\0def"s;
  EXPECT_EQ(MD5String(text), MD5String("abc"));
  EXPECT_NE(md5String(text), md5String("abc"));  // the lowercase digest takes every byte
  EXPECT_EQ(MD5String("\0abc"s), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(Substring, CountsCharactersNotBytes) {
  EXPECT_EQ(substring("héllo", 1, 2), "él");
  // e + COMBINING ACUTE ACCENT is one character.
  EXPECT_EQ(substring("he\u0301llo", 1, 2), "e\u0301l");
  EXPECT_EQ(substring("he\u0301llo", 2, 3), "llo");
  // A family emoji joined with zero-width joiners is one character too.
  EXPECT_EQ(substring("a\U0001F468\u200D\U0001F469\u200D\U0001F467b", 1, 1),
            "\U0001F468\u200D\U0001F469\u200D\U0001F467");
  EXPECT_EQ(substring("a\U0001F468\u200D\U0001F469\u200D\U0001F467b", 2, 1), "b");
}

TEST(Substring, OutOfRangeGivesNothing) {
  EXPECT_EQ(substring("ab", 0, 5), std::nullopt);
  EXPECT_EQ(substring("ab", 1, 2), std::nullopt);
  EXPECT_EQ(substring("ab", 3, 0), std::nullopt);
  EXPECT_EQ(substring("ab", -1, 1), std::nullopt);
  EXPECT_EQ(substring("ab", 0, -1), std::nullopt);
  EXPECT_EQ(substring("ab", 2, 0), "");
  EXPECT_EQ(substring("ab", 0, 2), "ab");
  EXPECT_EQ(substring("", 0, 0), "");
  EXPECT_EQ(substring("", 0, 1), std::nullopt);
}

TEST(Modulate, MapsByAbsoluteDifferences) {
  EXPECT_FLOAT_EQ(Math::modulate(5, {0, 10}, {0, 100}, false), 50);
  EXPECT_FLOAT_EQ(Math::modulate(5, {10, 0}, {0, 100}, false), 50);
  EXPECT_FLOAT_EQ(Math::modulate(-5, {0, 10}, {0, 100}, false), 50);
  EXPECT_FLOAT_EQ(Math::modulate(20, {0, 10}, {0, 100}, true), 100);
  EXPECT_FLOAT_EQ(Math::modulate(20, {0, 10}, {0, 100}, false), 200);
  // Reversed target range: toLow plus the distance, clamped into the range either way round.
  EXPECT_FLOAT_EQ(Math::modulate(5, {0, 10}, {100, 0}, false), 150);
  EXPECT_FLOAT_EQ(Math::modulate(5, {0, 10}, {100, 0}, true), 100);
  EXPECT_FLOAT_EQ(Math::modulate(5, {0, 10, 99}, {0, 100, 7}, false), 50);
}

TEST(Modulate, ShortRangeGivesTheValue) {
  EXPECT_FLOAT_EQ(Math::modulate(7.25, {0}, {0, 100}, true), 7.25f);
  EXPECT_FLOAT_EQ(Math::modulate(7.25, {0, 10}, {}, true), 7.25f);
  EXPECT_EQ(Math::modulate(0.1, {}, {}, false), 0.1f);  // rounded to single precision
}

TEST(ErrorMatcher, MatchesDomainAndCode) {
  ErrorMatcher notFound{NSCocoaErrorDomain, {NSFileNoSuchFileError, NSFileReadNoSuchFileError}};
  auto missing = Error::file(ENOENT, "/nowhere");
  EXPECT_EQ(missing.domain, NSCocoaErrorDomain);
  EXPECT_EQ(missing.code, 260);
  EXPECT_TRUE(notFound.matches(missing));
  EXPECT_TRUE(notFound.matches(Error::file(ENOENT, "/nowhere", /*reading=*/false)));
  EXPECT_FALSE(notFound.matches(Error::posix(ENOENT)));
  EXPECT_FALSE(notFound.matches(Error("NSCocoaErrorDomainX", 260)));
  EXPECT_FALSE(notFound.matches(Error::file(EACCES, "/nowhere")));

  auto read = fs::readText(testenv::freshFolder("m") / "absent");
  ASSERT_FALSE(read);
  EXPECT_TRUE(notFound.matches(read.error()));
}

}  // namespace
