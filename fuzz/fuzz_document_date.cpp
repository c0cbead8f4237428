// Dates in a document's manifest and origin record: a date that reads is written in a form
// that reads the same, and so is any file time, however far out, once taken as a date.
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "document/storage/KXDocumentArchive.h"
#include "platform/FileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto date = KXDocumentArchive::parseDate(std::string_view(reinterpret_cast<const char*>(data), size));
  if (date && KXDocumentArchive::parseDate(KXDocumentArchive::formatDate(*date)) != date) std::abort();

  // The first bytes as a file's time, as a hostile or damaged file system may give it.
  if (size >= sizeof(std::int64_t) * 2) {
    std::int64_t seconds = 0, nanoseconds = 0;
    std::memcpy(&seconds, data, sizeof seconds);
    std::memcpy(&nanoseconds, data + sizeof seconds, sizeof nanoseconds);
    timespec time{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
    auto fileDate = fs::dateOf(time);
    auto written = KXDocumentArchive::formatDate(fileDate);
    if (KXDocumentArchive::parseDate(written) != std::chrono::time_point_cast<std::chrono::milliseconds>(fileDate))
      std::abort();
  }
  return 0;
}
