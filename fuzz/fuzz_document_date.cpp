// Dates in a document's manifest: a date that reads is written in a form that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "document/storage/KXDocumentArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto date = KXDocumentArchive::parseDate(std::string_view(reinterpret_cast<const char*>(data), size));
  if (date && KXDocumentArchive::parseDate(KXDocumentArchive::formatDate(*date)) != date) std::abort();
  return 0;
}
