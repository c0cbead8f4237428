// What the editor page sends to export: the whole request, one preview descriptor, and the file
// templates inside their HTML, and the WebP files that designs insert.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "export/ExportFileDescriptor.h"
#include "export/ExportFileWriter.h"
#include "export/ExportPreviewCache.h"
#include "export/WebP.h"
#include "platform/JsonCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)WebP::decode(Data(data, data + size));
  (void)ExportFileWriter::replaceBase64Templates(std::string(text), "/nonexistent-project");
  (void)ExportPreviewCache::normalizedHTML(std::string(text));
  auto json = JsonCoder::parse(text);
  if (!json) return 0;
  if (auto request = OstrelExportsDescriptor::decode(*json)) {
    (void)request->exportFileDescriptors();
    (void)request->exportQualityOptions();
  }
  if (auto file = ExportFileDescriptor::decode(*json)) (void)file->encode();
  return 0;
}
