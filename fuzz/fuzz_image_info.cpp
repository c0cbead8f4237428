// The image records the editor page sends back and the data addresses it hands image files
// over in.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "export/ImageInfo.h"
#include "platform/JsonCoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  (void)strictBase64Decode(text);
  (void)imageFileData(text);
  if (auto json = JsonCoder::parse(text)) {
    if (auto info = decodeImageInfo(*json)) (void)JsonCoder::dump(nlohmann::json(*info));
    if (auto imageSize = decodeImageSize(*json)) {
      ImageSize::Facts facts{imageSize->width, imageSize->height,
                             std::pair<long, long>{static_cast<long>(size), static_cast<long>(size / 2)}};
      (void)jsonEncodedImageInfo(facts, imageSize->pixelWidth, "image.png");
    }
  }
  return 0;
}
