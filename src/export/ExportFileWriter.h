#pragma once
// Turns one export output into one file, and copies an export's design images. The files a text
// inlines are read beside the main loop; then HTML and SVG are written, and PNG, JPEG, WebP and
// PDF are rendered by the HTMLRenderer first. Every completion runs exactly once, on the main
// loop and after write() has returned, and tells whether the file was written; the renderer
// must outlive it.

#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export/ExportFileDescriptor.h"
#include "platform/Error.h"
#include "platform/PictureStore.h"

class HTMLRenderer;

namespace ExportFileWriter {

using Completion = std::function<void(bool written)>;

// Writes `name` (relative, possibly with folders) below `folder`, never through a link (see
// fs::writeInside). An svg output without SVG text writes nothing and counts as written.
void write(const ExportFileDescriptor& file, const std::filesystem::path& folder, const std::filesystem::path& name,
           const std::filesystem::path& baseFolder, HTMLRenderer& renderer, Completion completion);

// Copies "images/design/<name>" of `from` to the same place below `to`, each through a temporary
// name and a rename, so a missing source never removes an existing copy. Refuses names that
// could leave the folder and sources that resolve outside `from`. Answers how many failed.
int copyImages(const std::vector<std::string>& images, const std::filesystem::path& from, const std::filesystem::path& to);

// Bounds of the files one text may inline: each file, and all the Base64 the text gains.
inline constexpr std::uintmax_t maximumTemplateFile = 64u * 1024 * 1024;
inline constexpr std::size_t maximumInlined = 128u * 1024 * 1024;
// The pixels a rendered page's pictures are drawn at together, which its renderer decodes: past
// it, the largest are handed smaller (PictureStore::within).
inline constexpr double maximumDrawnPixels = 32.0 * 1024 * 1024;
// A PDF's renderer holds each picture twice, decoded and again in the printed page, and a picture
// is handed at up to twice the pixels it is drawn at: its pictures together draw at fewer.
inline constexpr double maximumPrintedPixels = 12.0 * 1024 * 1024;

// "##base64-file:<path>##" becomes a data URL of the file, with the media type of its content;
// a TIFF, which pages do not draw, becomes its picture in PNG (decoded here: any thread but the
// main loop's).
// Only files inside `projectFolder` are read, each once; others give an empty payload and a log
// line. A text that would inline more than maximumInlined is refused (tooMuchInlined); but a
// picture the store makes past what is left is given an empty payload (the page names it), and
// the rest of the text is inlined.
Result<std::string> replaceBase64Templates(const std::string& text, const std::filesystem::path& projectFolder);

// The same for a page that is rendered: a picture larger than `drawn` needs (see
// PictureStore::Drawn) goes reduced, and the bytes the text's pictures decode to are told.
// A template that names its layer's size ("##base64-file:<path>?size=WxH##", CSS
// pixels) has its picture drawn at no more than that layer takes, at `scale` pixels of the
// output to a CSS pixel (see pixelsPerCSSPixel), and all of them within `pixels` (see
// drawnPixelsInAll).
// Such a page's pictures are not inlined: the text names each by HTMLRenderer::servedAddress and
// `pictures` holds them, each counted once by its bytes within maximumInlined.
struct Inlined {
  std::string text;
  std::size_t pictureBytes = 0;
  std::vector<std::shared_ptr<const PictureStore::Picture>> pictures;
};
Result<Inlined> inlineFiles(const std::string& text, const std::filesystem::path& projectFolder,
                            const std::optional<PictureStore::Drawn>& drawn, double scale = 1.0,
                            double pixels = maximumDrawnPixels);
// The pixels an output of `type` draws all its page's pictures at together.
double drawnPixelsInAll(ExportFileDescriptor::Type type);
// The pixels an output of `type` holds to a CSS pixel of its page: 300 per inch of a PDF
// page, one of a bitmap's; none (0) for HTML and SVG.
double pixelsPerCSSPixel(ExportFileDescriptor::Type type);
// The pixels an output of `type` and `width` × `height` draws a picture at most: its own for a
// bitmap, 300 per inch of a PDF page; none (0) for HTML and SVG, which keep the file as stored
// unless the store refuses it.
PictureStore::Drawn drawnPixels(ExportFileDescriptor::Type type, std::int64_t width, std::int64_t height);

// "RWExportWebPQuality" (0 to 1), or a sensible lossy default when nothing usable is stored.
float webPQualityFactor();

}  // namespace ExportFileWriter
