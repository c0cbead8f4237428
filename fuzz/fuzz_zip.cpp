// Opens untrusted bytes as a zip archive, lists it and reads every entry every way.

#include <cstddef>
#include <cstdint>

#include "zip/ZZArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  auto archive = ZZArchive::archiveWithData(std::make_shared<Data>(bytes, bytes + size));
  if (!archive) return 0;
  for (const auto& entry : (*archive)->entries()) {
    (void)entry->fileName();
    (void)entry->fileMode();
    (void)entry->lastModified();
    (void)entry->check();
    (void)entry->newData();
    (void)entry->newData("password");
    if (auto stream = entry->newStream()) {
      (*stream)->open();
      std::uint8_t buffer[1000];
      while ((*stream)->read(buffer, sizeof buffer) > 0) {
      }
      (*stream)->close();
    }
  }
  return 0;
}
