#include "export/WebP.h"

#include <webp/decode.h>
#include <webp/encode.h>

namespace WebP {

std::optional<Bitmap> decode(const Data& file) {
  int width = 0, height = 0;
  if (file.empty() || !WebPGetInfo(file.data(), file.size(), &width, &height) || width <= 0 || height <= 0)
    return std::nullopt;
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(file.data(), file.size(), &features) != VP8_STATUS_OK || features.has_animation)
    return std::nullopt;
  auto bitmap = Bitmap::make(width, height);
  if (!bitmap) return std::nullopt;
  // Straight RGBA straight into our buffer; the status tells whether the pixels are really there.
  if (!WebPDecodeRGBAInto(file.data(), file.size(), bitmap->rgba.data(), bitmap->rgba.size(), width * 4))
    return std::nullopt;
  return bitmap;
}

Data encode(const Bitmap& bitmap, float qualityFactor) {
  if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.rgba.size() != Bitmap::byteCount(bitmap.width, bitmap.height))
    return {};
  bool lossless = qualityFactor == 1.0f;
  float quality = lossless ? 70.0f : 100.0f * qualityFactor;
  WebPConfig config;
  if (!WebPConfigPreset(&config, WEBP_PRESET_DEFAULT, quality)) return {};
  config.lossless = lossless ? 1 : 0;
  // Lossy encoding otherwise keeps every coefficient's tokens of the whole picture before it
  // writes them: hundreds of MB for a large grainy frame, where this costs only time.
  config.low_memory = 1;
  if (!WebPValidateConfig(&config)) return {};
  WebPPicture picture;
  if (!WebPPictureInit(&picture)) return {};
  // Lossy encoding works in YUV: imported straight into it, the pixels are not copied whole
  // into ARGB first.
  picture.use_argb = lossless ? 1 : 0;
  picture.width = bitmap.width;
  picture.height = bitmap.height;
  // Our pixels are straight RGBA, which is what libwebp's RGBA import expects.
  if (!WebPPictureImportRGBA(&picture, bitmap.rgba.data(), bitmap.width * 4)) {
    WebPPictureFree(&picture);
    return {};
  }
  // Written straight into what is answered, not copied there at the end.
  Data out;
  picture.writer = [](const std::uint8_t* data, std::size_t size, const WebPPicture* written) {
    auto* into = static_cast<Data*>(written->custom_ptr);
    into->insert(into->end(), data, data + size);
    return 1;
  };
  picture.custom_ptr = &out;
  int ok = WebPEncode(&config, &picture);
  WebPPictureFree(&picture);
  if (!ok) return {};
  return out;
}

}  // namespace WebP
