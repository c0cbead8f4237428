#include "zip/ZZAttributes.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

std::chrono::system_clock::time_point localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

TEST(ZZAttributes, OddSecondsRoundUpButSecond59StaysInItsMinute) {
  auto t = zzDosDateTimeFromDate(localTime(2021, 12, 31, 23, 59, 59));
  EXPECT_EQ(t.time & 0x1f, 29);
  EXPECT_EQ(zzDateFromDosDateTime(t.time, t.date), localTime(2021, 12, 31, 23, 59, 58));

  auto odd = zzDosDateTimeFromDate(localTime(2020, 2, 29, 10, 30, 13));
  EXPECT_EQ(zzDateFromDosDateTime(odd.time, odd.date), localTime(2020, 2, 29, 10, 30, 14));
}

TEST(ZZAttributes, YearsOutsideTheFormatAreClamped) {
  auto early = zzDosDateTimeFromDate(localTime(1975, 6, 1, 12, 0, 0));
  EXPECT_EQ(zzDateFromDosDateTime(early.time, early.date), localTime(1980, 1, 1, 0, 0, 0));
  auto late = zzDosDateTimeFromDate(localTime(2200, 6, 1, 12, 0, 0));
  EXPECT_EQ(zzDateFromDosDateTime(late.time, late.date), localTime(2107, 12, 31, 23, 59, 58));
}

TEST(ZZAttributes, ModesByHostSystem) {
  using H = ZZFileAttributeCompatibility;
  EXPECT_EQ(zzFileModeFromAttributes(H::msdos, 0x10), 040755);
  EXPECT_EQ(zzFileModeFromAttributes(H::msdos, 0x11), 040555);
  EXPECT_EQ(zzFileModeFromAttributes(H::ntfs, 0x20), 0100644);
  EXPECT_EQ(zzFileModeFromAttributes(H::unixSystem, 0), 0);
  EXPECT_EQ(zzFileModeFromAttributes(H::unixSystem, 0100600u << 16), 0100600);
  EXPECT_EQ(zzFileModeFromAttributes(static_cast<H>(7), 0xffffffff), 0);
}

}  // namespace
