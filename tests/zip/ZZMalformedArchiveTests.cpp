// Damaged archives: every prefix, seeded byte flips, and the regression archives in data/,
// each named <case>.<outcome>.zip where the outcome is "ok", "open-<code>" or "read-<code>".

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "ZipTestSupport.h"

using namespace ziptest;
namespace stdfs = std::filesystem;

namespace {

Data sample() {
  Data text = toData("The quick brown fox jumps over the lazy dog. The quick brown fox jumps again.");
  RawEntry withDescriptor = deflatedEntry("descriptor.txt", text);
  withDescriptor.dataDescriptor = true;
  return makeRawZip({storedEntry("stored.txt", text), deflatedEntry("dir/deflated.txt", text), withDescriptor,
                     traditionalEntry("secret.txt", text, "", true), aesEntry("aes.txt", text, "", 1, 2, true)},
                    "a comment");
}

// Opens and reads everything it can; damage may give errors but never a crash.
void exercise(const Data& bytes) {
  auto archive = tryOpenData(bytes);
  if (!archive) {
    EXPECT_EQ((*&archive).error().domain, ZZErrorDomain);
    return;
  }
  for (const auto& entry : (*archive)->entries()) {
    (void)entry->fileName();
    (void)entry->check();
    (void)entry->newData();
    if (auto provider = entry->newDataProvider()) {
      std::uint8_t buffer[256];
      while ((*provider)->getBytes(buffer, sizeof buffer) == sizeof buffer) {
      }
    }
  }
  (void)readAll(**archive);
}

TEST(ZZMalformedArchive, EveryTruncationFailsToOpen) {
  Data zip = sample();
  ASSERT_TRUE(readAll(*openData(zip)));
  for (std::size_t length = 0; length < zip.size(); ++length) {
    auto r = tryOpenData(Data(zip.begin(), zip.begin() + static_cast<std::ptrdiff_t>(length)));
    EXPECT_FALSE(r) << length;
  }
}

TEST(ZZMalformedArchive, SeededByteFlipsGiveErrorsNotCrashes) {
  Data zip = sample();
  std::mt19937 rng(20240601);
  for (int round = 0; round < 4000; ++round) {
    Data damaged = zip;
    int flips = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < flips; ++i) damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    exercise(damaged);
  }
}

TEST(ZZMalformedArchive, RegressionArchivesGiveTheirExpectedOutcome) {
  int count = 0;
  for (const auto& item : stdfs::directory_iterator(KORVEL_TEST_DATA)) {
    if (item.path().extension() != ".zip") continue;
    std::string name = item.path().filename().string();
    std::string outcome = item.path().stem().extension().string();  // ".ok", ".open-1", ".read-14"
    ++count;
    std::ifstream in(item.path(), std::ios::binary);
    Data bytes(std::istreambuf_iterator<char>(in), {});
    auto archive = tryOpenData(bytes);
    if (outcome == ".ok") {
      ASSERT_TRUE(archive) << name << ": " << archive.error().description();
      auto r = readAll(**archive);
      EXPECT_TRUE(r) << name << ": " << (r ? "" : r.error().description());
      for (const auto& e : (*archive)->entries()) EXPECT_TRUE(e->check()) << name;
    } else if (outcome.starts_with(".open-")) {
      EXPECT_EQ(zipCode(archive), std::stol(outcome.substr(6))) << name;
    } else if (outcome.starts_with(".read-")) {
      ASSERT_TRUE(archive) << name << ": " << archive.error().description();
      EXPECT_EQ(zipCode(readAll(**archive)), std::stol(outcome.substr(6))) << name;
    } else {
      ADD_FAILURE() << name << " does not name its outcome";
    }
  }
  EXPECT_GT(count, 5);
}

}  // namespace
