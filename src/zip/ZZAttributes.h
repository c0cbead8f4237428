#pragma once
// MS-DOS dates and POSIX modes as zip headers carry them. Dates are local time.

#include <chrono>
#include <cstdint>

#include "ZZHeaders.h"

struct ZZDosDateTime {
  std::uint16_t time = 0;
  std::uint16_t date = 0;
};

// Odd seconds round up to the next even one, except 59, which is written as 58 so that the
// value never spills into the next minute. Years outside 1980–2107 are clamped.
ZZDosDateTime zzDosDateTimeFromDate(std::chrono::system_clock::time_point date);
std::chrono::system_clock::time_point zzDateFromDosDateTime(std::uint16_t time, std::uint16_t date);

// The POSIX mode of an entry read from an archive, by the host system that wrote it.
std::uint16_t zzFileModeFromAttributes(ZZFileAttributeCompatibility host, std::uint32_t externalFileAttributes);
