#include "ZZAttributes.h"

#include <algorithm>
#include <ctime>

ZZDosDateTime zzDosDateTimeFromDate(std::chrono::system_clock::time_point date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  if (!::localtime_r(&t, &tm)) tm.tm_year = 80, tm.tm_mon = 0, tm.tm_mday = 1;
  int year = tm.tm_year + 1900;
  if (year < 1980) {
    tm = std::tm{};
    year = 1980, tm.tm_mon = 0, tm.tm_mday = 1;
  } else if (year > 2107) {
    year = 2107, tm.tm_mon = 11, tm.tm_mday = 31, tm.tm_hour = 23, tm.tm_min = 59, tm.tm_sec = 58;
  }
  int twoSeconds = std::min((tm.tm_sec + 1) / 2, 29);
  ZZDosDateTime out;
  out.time = static_cast<std::uint16_t>(twoSeconds | tm.tm_min << 5 | tm.tm_hour << 11);
  out.date = static_cast<std::uint16_t>(tm.tm_mday | (tm.tm_mon + 1) << 5 | (year - 1980) << 9);
  return out;
}

std::chrono::system_clock::time_point zzDateFromDosDateTime(std::uint16_t time, std::uint16_t date) {
  std::tm tm{};
  tm.tm_sec = 2 * (time & 0x1f);
  tm.tm_min = (time >> 5) & 0x3f;
  tm.tm_hour = time >> 11;
  tm.tm_mday = date & 0x1f;
  tm.tm_mon = ((date >> 5) & 0x0f) - 1;
  tm.tm_year = (date >> 9) + 80;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

std::uint16_t zzFileModeFromAttributes(ZZFileAttributeCompatibility host, std::uint32_t attributes) {
  switch (host) {
    case ZZFileAttributeCompatibility::unixSystem:
      return static_cast<std::uint16_t>(attributes >> 16);
    case ZZFileAttributeCompatibility::msdos:
    case ZZFileAttributeCompatibility::ntfs: {
      std::uint16_t permissions = (attributes & ZZMsdosReadOnlyAttribute) ? 0444 : 0644;
      std::uint16_t type = (attributes & (ZZMsdosVolumeLabelAttribute | ZZMsdosDirectoryAttribute)) ? 040111 : 0100000;
      return static_cast<std::uint16_t>(permissions | type);
    }
  }
  return 0;
}
