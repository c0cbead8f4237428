#include "export/ExportFileWriter.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <system_error>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "export/HTMLRenderer.h"
#include "export/SVGRefusedPictures.h"
#include "export/WebP.h"
#include "platform/Crypto.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/PictureStore.h"
#include "platform/RunLoop.h"
#include "platform/RWLog.h"
#include "platform/Url.h"
#include "platform/WaitedForWork.h"

namespace stdfs = std::filesystem;

namespace {

using ExportFileWriter::maximumInlined;
using ExportFileWriter::maximumTemplateFile;

constexpr float defaultWebPQuality = 0.9f;

void report(const std::string& line) { std::cout << line << std::endl; }

bool writeBytes(const stdfs::path& folder, const stdfs::path& name, std::span<const std::uint8_t> bytes) {
  if (auto written = fs::writeInside(folder, name, bytes); !written) {
    report("error writing export: " + written.error().description());
    return false;
  }
  return true;
}

bool writeText(const std::string& text, const stdfs::path& folder, const stdfs::path& name) {
  return writeBytes(folder, name, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<int> jpegQuality() {
  auto stored = Defaults::standard().value("RWExportJPEGQuality");
  if (!stored.is_number()) return std::nullopt;
  double v = stored.get<double>();
  if (!std::isfinite(v) || v < 0 || v > 1) return std::nullopt;
  return static_cast<int>(std::lround(v * 100));
}

std::string mediaType(const Data& d) {
  auto starts = [&](std::string_view magic, std::size_t at = 0) {
    return d.size() >= at + magic.size() &&
           std::equal(magic.begin(), magic.end(), d.begin() + static_cast<long>(at),
                      [](char m, std::uint8_t b) { return static_cast<std::uint8_t>(m) == b; });
  };
  if (starts("\x89PNG\r\n\x1a\n")) return "image/png";
  if (starts("\xff\xd8\xff")) return "image/jpeg";
  if (starts("GIF87a") || starts("GIF89a")) return "image/gif";
  if (starts("RIFF") && starts("WEBP", 8)) return "image/webp";
  std::size_t i = 0;
  if (starts("\xef\xbb\xbf")) i = 3;
  while (i < d.size() && (d[i] == ' ' || d[i] == '\n' || d[i] == '\r' || d[i] == '\t')) ++i;
  if (starts("<svg", i) || starts("<?xml", i)) return "image/svg+xml";
  return "application/octet-stream";
}

constexpr std::string_view emptyPayload = "data:image/png;base64,";

std::string fileAddress(const stdfs::path& file) {
  auto url = Url::fileURL(file);
  return url ? url->absoluteString() : file.string();
}

// The project file a template names, or none (with its log line).
std::optional<stdfs::path> templateFile(const std::string& escapedPath, const stdfs::path& projectFolder) {
  gchar* decoded = g_uri_unescape_string(escapedPath.c_str(), nullptr);
  if (!decoded || !g_utf8_validate(decoded, -1, nullptr)) {
    g_free(decoded);
    RWLog("could not remove percent encoding from base64 template of file path: " + escapedPath);
    return std::nullopt;
  }
  stdfs::path path(decoded);
  g_free(decoded);
  auto file = fs::resolveInside(projectFolder, path);
  if (!file) {
    if (file.error().domain == fs::ConfinedErrorDomain)
      RWLog("refused base64 template of a file outside the project: " + path.string());
    else
      RWLog("could not replace base64 template of file url: " + fileAddress(path));
    return std::nullopt;
  }
  return *file;
}

std::size_t base64Length(std::uintmax_t bytes) { return static_cast<std::size_t>((bytes + 2) / 3 * 4); }

constexpr std::size_t longestPrefix = std::string_view("data:application/octet-stream;base64,").size();

// picture: whole, as the store made it; pictureOverBudget: a picture the store made is larger
// than what the page may still inline.
enum class Appended { whole, picture, unreadable, overBudget, pictureOverBudget };

bool isTIFF(std::span<const std::uint8_t> d) {
  auto starts = [&](std::string_view magic) {
    return d.size() >= magic.size() && std::memcmp(d.data(), magic.data(), magic.size()) == 0;
  };
  return starts(std::string_view("II*\0", 4)) || starts(std::string_view("MM\0*", 4)) ||
         starts(std::string_view("II+\0", 4)) || starts(std::string_view("MM\0+", 4));
}

bool isBitmapType(const std::string& type) {
  return type == "image/png" || type == "image/jpeg" || type == "image/gif" || type == "image/webp";
}

// Whether the store makes the picture of a file that starts with `head` (of media type `type`):
// a TIFF always, which the pages' engine does not draw; another picture where it is drawn at a size.
bool storeMakes(std::span<const std::uint8_t> head, const std::string& type, bool drawn) {
  return isTIFF(head) || (drawn && isBitmapType(type));
}

// Whether a picture's file is small enough for the store to make it for a page.
bool withinTemplateFile(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && std::uintmax_t(st.st_size) <= maximumTemplateFile;
}

// The store's answer for a picture asked for before its turn.
using Early = std::shared_future<PictureStore::Answer>;

// What the store makes a design image from: one of its reduced copies where one will do, far
// cheaper to decode, else the file.
UniqueFd pictureSource(const stdfs::path& projectFolder, const stdfs::path& file,
                       const std::optional<PictureStore::Drawn>& drawn, UniqueFd fd) {
  std::error_code ec;
  auto copy = drawn && file.parent_path() == stdfs::weakly_canonical(projectFolder / "design" / "images", ec)
                  ? PictureStore::reducedCopy(projectFolder / ".cache" / "images", file.filename(), *drawn)
                  : std::nullopt;
  return copy ? std::move(*copy) : std::move(fd);
}

// A picture of a page that is drawn, asked for ahead of its turn, so that the store makes the
// page's pictures side by side rather than one after another; none for a file that goes to the
// page as it is.
std::optional<Early> askEarly(const stdfs::path& projectFolder, const stdfs::path& file, PictureStore::Drawn drawn) {
  auto fd = fs::openInside(projectFolder, file);
  if (!fd) return std::nullopt;
  Data head(16);
  ssize_t r = ::pread(fd->get(), head.data(), head.size(), 0);
  head.resize(r > 0 ? std::size_t(r) : 0);
  if (!storeMakes(head, mediaType(head), true)) return std::nullopt;
  UniqueFd source = pictureSource(projectFolder, file, drawn, std::move(*fd));
  if (!withinTemplateFile(source.get())) return std::nullopt;
  auto promise = std::make_shared<std::promise<PictureStore::Answer>>();
  Early answer = promise->get_future().share();
  PictureStore::shared().request(std::move(source), drawn,
                                 [promise](const PictureStore::Answer& a) { promise->set_value(a); },
                                 "export " + projectFolder.string());
  return answer;
}

// Bytes encoded at a time: whole Base64 quanta, so that the encoded pieces join into one encoding.
constexpr std::size_t base64Piece = 3 * 65536;

// The store's answer for a picture, served to the page or written into it. Counts what it
// decodes to in `pictureBytes`.
Appended appendAnswer(std::string& out, const PictureStore::Answer& picture, std::size_t budget,
                      ExportFileWriter::Inlined& inlined, bool serve) {
  if (!picture) {
    RWLog("could not draw the picture of a base64 template: " + picture.error().message);
    return Appended::unreadable;
  }
  const Data& bytes = (*picture)->bytes;
  if (serve) {
    if (bytes.size() > budget) return Appended::pictureOverBudget;
    out += HTMLRenderer::servedAddress(inlined.pictures.size());
    inlined.pictures.push_back(*picture);
  } else {
    const std::string prefix = "data:" + (*picture)->type + ";base64,";
    if (prefix.size() + base64Length(bytes.size()) > budget) return Appended::pictureOverBudget;
    out += prefix;
    // In pieces: a large picture's encoding is not held again beside the page.
    for (std::size_t at = 0; at < bytes.size(); at += base64Piece)
      out += crypto::base64Encode(std::span(bytes).subspan(at, std::min(base64Piece, bytes.size() - at)));
  }
  if (auto size = ImageData::bitmapSize(bytes))
    inlined.pictureBytes += 4 * std::size_t(size->width) * std::size_t(size->height);
  return Appended::picture;
}

// A picture as the store makes it, once however many outputs or pages want it: a TIFF, which the
// pages' engine does not draw (the pictures of earlier documents may be TIFF files), as PNG, and
// a picture larger than `drawn` needs reduced. The exports of a project take their turn with its
// pages, not behind them.
Appended appendPicture(std::string& out, UniqueFd file, std::size_t budget, PictureStore::Drawn drawn,
                       ExportFileWriter::Inlined& inlined, bool serve, const stdfs::path& projectFolder) {
  if (!withinTemplateFile(file.get())) return Appended::unreadable;
  return appendAnswer(out, PictureStore::shared().get(std::move(file), drawn, "export " + projectFolder.string()),
                      budget, inlined, serve);
}

// A page drawn at a size is rendered here, and is served its pictures; HTML and SVG (drawn at no
// size) are written, and hold theirs.
bool rendered(const std::optional<PictureStore::Drawn>& drawn) { return drawn && drawn->width > 0 && drawn->height > 0; }

// Appends the data address of a project file to `out`, reading and encoding it in pieces so
// that no whole copy of the file is held; a picture drawn at `drawn` goes through the store.
// `out` is left as it was unless the file went whole.
Appended appendDataAddress(std::string& out, const stdfs::path& projectFolder, const stdfs::path& file,
                           std::size_t budget, const std::optional<PictureStore::Drawn>& drawn,
                           ExportFileWriter::Inlined& inlined) {
  auto fd = fs::openInside(projectFolder, file);
  if (!fd) return Appended::unreadable;
  const std::size_t mark = out.size();
  Data piece(base64Piece);
  std::uintmax_t total = 0;
  bool first = true;
  for (;;) {
    std::size_t filled = 0;
    while (filled < piece.size()) {
      ssize_t r = ::read(fd->get(), piece.data() + filled, piece.size() - filled);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        out.resize(mark);
        return Appended::unreadable;
      }
      if (r == 0) break;
      filled += static_cast<std::size_t>(r);
    }
    total += filled;
    if (total > maximumTemplateFile) {
      out.resize(mark);
      return Appended::unreadable;
    }
    if (first) {
      std::string type = mediaType(Data(piece.begin(), piece.begin() + static_cast<long>(filled)));
      if (storeMakes(std::span(piece.data(), filled), type, drawn.has_value()))
        return appendPicture(out, pictureSource(projectFolder, file, drawn, std::move(*fd)), budget,
                             drawn.value_or(PictureStore::Drawn{}), inlined, rendered(drawn), projectFolder);
      out += "data:" + type + ";base64,";
      first = false;
    }
    if (out.size() - mark + base64Length(filled) > budget) {
      out.resize(mark);
      return Appended::overBudget;
    }
    out += crypto::base64Encode(std::span(piece.data(), filled));
    if (filled < piece.size()) return Appended::whole;
  }
}

tl::unexpected<Error> refuseInlining() {
  RWLog("refused to inline more than " + std::to_string(maximumInlined >> 20) + " MB of images into one page");
  return fail(ExportErrors::Domain, ExportErrors::tooMuchInlined,
              "The page inlines more than " + std::to_string(maximumInlined >> 20) + " MB of images.");
}

struct Template {
  std::size_t start, end;  // the whole "##base64-file:…##"
  std::optional<stdfs::path> file;
  // The CSS pixels its layer is drawn at, when the template says ("…?size=WxH").
  std::optional<PictureStore::Drawn> layer;
};

// A template's path and the size of its layer, when it ends in "?size=WxH" of whole numbers (no
// "&", which the page's HTML would escape): a page's file names are percent-encoded, so a bare
// "?" is never part of one.
std::pair<std::string, std::optional<PictureStore::Drawn>> layerSize(const std::string& escaped) {
  static constexpr std::string_view key = "?size=";
  std::size_t mark = escaped.rfind(key);
  if (mark == std::string::npos) return {escaped, std::nullopt};
  auto number = [](std::string_view text) -> std::optional<int> {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int v = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + (c - '0');
    }
    if (v < 1) return std::nullopt;
    return v;
  };
  std::string_view size = std::string_view(escaped).substr(mark + key.size());
  std::size_t by = size.find('x');
  if (by == std::string_view::npos) return {escaped, std::nullopt};
  auto width = number(size.substr(0, by)), height = number(size.substr(by + 1));
  if (!width || !height) return {escaped, std::nullopt};
  return {escaped.substr(0, mark), PictureStore::Drawn{*width, *height}};
}

// What a picture of a layer of `layer` CSS pixels is drawn at in an output that draws the whole
// page at `page` and `scale` pixels to a CSS pixel: no more than either needs.
PictureStore::Drawn drawnFor(PictureStore::Drawn page, const std::optional<PictureStore::Drawn>& layer, double scale) {
  if (!layer || page.width <= 0 || page.height <= 0) return page;
  auto side = [&](int css, int most) { return int(std::clamp(std::ceil(css * scale), 1.0, double(most))); };
  return {side(layer->width, page.width), side(layer->height, page.height)};
}

}  // namespace

namespace ExportFileWriter {

float webPQualityFactor() {
  auto stored = Defaults::standard().value("RWExportWebPQuality");
  if (!stored.is_number()) return defaultWebPQuality;
  double v = stored.get<double>();
  // 0 is the slider's left end: the smallest file, not an unset value.
  if (!std::isfinite(v) || v < 0 || v > 1) return defaultWebPQuality;
  return static_cast<float>(v);
}

Result<std::string> replaceBase64Templates(const std::string& text, const stdfs::path& projectFolder) {
  auto inlined = inlineFiles(text, projectFolder, std::nullopt);
  if (!inlined) return tl::unexpected(inlined.error());
  return std::move(inlined->text);
}

double pixelsPerCSSPixel(ExportFileDescriptor::Type type) {
  using Type = ExportFileDescriptor::Type;
  if (type == Type::html || type == Type::svg) return 0;
  // A PDF page is one point (1/72 inch) to a CSS pixel, and its pictures hold 300 pixels to the inch.
  return type == Type::pdf ? 300.0 / 72.0 : 1.0;
}

double drawnPixelsInAll(ExportFileDescriptor::Type type) {
  return type == ExportFileDescriptor::Type::pdf ? maximumPrintedPixels : maximumDrawnPixels;
}

PictureStore::Drawn drawnPixels(ExportFileDescriptor::Type type, std::int64_t width, std::int64_t height) {
  using Type = ExportFileDescriptor::Type;
  if (type == Type::html || type == Type::svg) return {};
  double scale = pixelsPerCSSPixel(type);
  auto side = [&](std::int64_t v) {
    return int(std::clamp(std::ceil(double(v) * scale), 1.0, double(PictureStore::maximumDrawnSide)));
  };
  return {side(width), side(height)};
}

Result<Inlined> inlineFiles(const std::string& text, const stdfs::path& projectFolder,
                            const std::optional<PictureStore::Drawn>& drawn, double scale, double pixels) {
  static constexpr std::string_view prefix = "##base64-file:";
  std::vector<Template> templates;
  std::map<std::string, std::optional<stdfs::path>> named;  // each spelling resolved once
  for (std::size_t at = 0;;) {
    std::size_t start = text.find(prefix, at);
    if (start == std::string::npos) break;
    std::size_t pathStart = start + prefix.size();
    std::size_t end = text.find("##", pathStart);
    if (end == std::string::npos) break;
    std::size_t lineEnd = text.find_first_of("\r\n", pathStart);
    // "." matches no line end: this prefix starts no template; look again after it.
    if (lineEnd != std::string::npos && lineEnd < end) {
      at = pathStart;
      continue;
    }
    auto [escaped, layer] = layerSize(text.substr(pathStart, end - pathStart));
    auto it = named.find(escaped);
    if (it == named.end()) it = named.emplace(escaped, templateFile(escaped, projectFolder)).first;
    templates.push_back({start, end + 2, it->second, layer});
    at = end + 2;
  }
  Inlined inlined;
  if (templates.empty()) {
    inlined.text = text;
    return inlined;
  }

  // All that the text would gain, from the files' sizes, before any is read.
  std::map<stdfs::path, std::size_t> uses;
  for (const auto& t : templates)
    if (t.file) ++uses[*t.file];
  std::size_t projected = 0;
  for (const auto& [file, count] : uses) {
    std::error_code ec;
    std::uintmax_t size = stdfs::file_size(file, ec);
    if (ec || size > maximumTemplateFile) continue;
    std::size_t each = longestPrefix + base64Length(size);
    if (each > (maximumInlined - projected) / count) return refuseInlining();
    projected += each * count;
  }

  // Each file is read once at each size it is drawn at, in pieces, straight into the text; later
  // references copy it there.
  std::string out;
  out.reserve(text.size() + projected + templates.size() * emptyPayload.size());
  using Placing = std::tuple<stdfs::path, int, int>;  // the file and the size it is drawn at
  struct Placed {
    std::size_t offset, length;  // in `out`
    bool picture;                // made by the store
  };
  std::map<Placing, Placed> placed;
  // The pictures' drawn sizes, within what the renderer may decode for the whole page.
  std::vector<PictureStore::Drawn> drawnSizes(templates.size());
  if (drawn) {
    std::map<Placing, std::size_t> first;
    std::vector<PictureStore::Drawn> distinct;
    std::vector<std::size_t> which(templates.size(), SIZE_MAX);
    for (std::size_t i = 0; i < templates.size(); ++i) {
      drawnSizes[i] = drawnFor(*drawn, templates[i].layer, scale);
      // Only a layer's picture is drawn with the others: a file without one is no picture.
      if (!templates[i].file || !templates[i].layer) continue;
      auto [it, added] = first.emplace(Placing{*templates[i].file, drawnSizes[i].width, drawnSizes[i].height},
                                       distinct.size());
      if (added) distinct.push_back(drawnSizes[i]);
      which[i] = it->second;
    }
    distinct = PictureStore::within(std::move(distinct), pixels);
    for (std::size_t i = 0; i < templates.size(); ++i)
      if (which[i] != SIZE_MAX) drawnSizes[i] = distinct[which[i]];
  }
  // A drawn page's pictures are asked for all at once; each is taken up in its turn below.
  std::map<Placing, Early> early;
  if (rendered(drawn))
    for (std::size_t i = 0; i < templates.size(); ++i) {
      if (!templates[i].file) continue;
      const Placing placing{*templates[i].file, drawnSizes[i].width, drawnSizes[i].height};
      if (early.count(placing)) continue;
      if (auto asked = askEarly(projectFolder, *templates[i].file, drawnSizes[i])) early.emplace(placing, *asked);
    }
  std::size_t inlinedBytes = 0, at = 0;
  for (std::size_t index = 0; index < templates.size(); ++index) {
    const auto& t = templates[index];
    out.append(text, at, t.start - at);
    at = t.end;
    if (!t.file) {
      out += emptyPayload;
      continue;
    }
    std::optional<PictureStore::Drawn> drawnHere;
    if (drawn) drawnHere = drawnSizes[index];
    const Placing placing{*t.file, drawnHere ? drawnHere->width : -1, drawnHere ? drawnHere->height : -1};
    if (auto it = placed.find(placing); it != placed.end()) {
      if (it->second.length > maximumInlined - inlinedBytes) {
        if (!it->second.picture) return refuseInlining();
        out += emptyPayload;
        continue;
      }
      inlinedBytes += it->second.length;
      out.append(out, it->second.offset, it->second.length);
      continue;
    }
    std::size_t offset = out.size(), servedBefore = inlined.pictures.size();
    // A picture asked for early is not read again.
    auto asked = early.find(placing);
    auto appended = asked != early.end()
                        ? appendAnswer(out, asked->second.get(), maximumInlined - inlinedBytes, inlined, true)
                        : appendDataAddress(out, projectFolder, *t.file, maximumInlined - inlinedBytes, drawnHere, inlined);
    if (appended == Appended::overBudget) return refuseInlining();
    // A picture the store made larger than the page can still take is named, as a picture it
    // can't draw is: the rest of the page is written.
    if (appended == Appended::pictureOverBudget)
      RWLog("left out a picture past the " + std::to_string(maximumInlined >> 20) + " MB one page inlines: " +
            fileAddress(*t.file));
    if (appended == Appended::unreadable)
      RWLog("could not replace base64 template of file url: " + fileAddress(*t.file));
    if (appended != Appended::whole && appended != Appended::picture) out += emptyPayload;
    placed[placing] = {offset, out.size() - offset,
                       appended == Appended::picture || appended == Appended::pictureOverBudget};
    // A served picture counts once, by its bytes: later references name the same one.
    inlinedBytes += out.size() - offset +
                    (inlined.pictures.size() > servedBefore ? inlined.pictures.back()->bytes.size() : 0);
  }
  out.append(text, at, std::string::npos);
  inlined.text = std::move(out);
  return inlined;
}

namespace {

void writeInlined(const ExportFileDescriptor& file, const stdfs::path& folder, const stdfs::path& name,
                  const stdfs::path& baseFolder, HTMLRenderer& renderer, Completion completion,
                  Result<Inlined> text);

}  // namespace

void write(const ExportFileDescriptor& file, const stdfs::path& folder, const stdfs::path& name,
           const stdfs::path& baseFolder, HTMLRenderer& renderer, Completion completion) {
  using Type = ExportFileDescriptor::Type;
  if (file.type == Type::svg && !file.svg) return completion(true);
  // Work no one waits for (reduced copies of pictures) waits until the file is written.
  auto waitedFor = std::make_shared<std::shared_ptr<void>>(WaitedForWork::begin());
  completion = [waitedFor, completion = std::move(completion)](bool written) {
    waitedFor->reset();
    completion(written);
  };
  // The files a text inlines are read, and its TIFF pictures decoded, beside the main loop.
  GlobalQueue::async([file, folder, name, baseFolder, &renderer, completion = std::move(completion)]() mutable {
    // Every picture goes through the store, which refuses what it won't draw: HTML and SVG, drawn
    // at no size, keep a picture as it is stored.
    auto text = inlineFiles(file.type == Type::svg ? *file.svg : file.html, baseFolder,
                            drawnPixels(file.type, file.width, file.height), pixelsPerCSSPixel(file.type),
                            drawnPixelsInAll(file.type));
    // An SVG viewer draws nothing for a refused picture: the SVG draws its name instead.
    if (text && file.type == Type::svg)
      if (auto named = SVGRefusedPictures::drawNames(text->text)) text->text = std::move(*named);
    MainQueue::async([file = std::move(file), folder = std::move(folder), name = std::move(name),
                      baseFolder = std::move(baseFolder), &renderer, completion = std::move(completion),
                      text = std::move(text)]() mutable {
      writeInlined(file, folder, name, baseFolder, renderer, std::move(completion), std::move(text));
    });
  });
}

namespace {

void writeInlined(const ExportFileDescriptor& file, const stdfs::path& folder, const stdfs::path& name,
                  const stdfs::path& baseFolder, HTMLRenderer& renderer, Completion completion,
                  Result<Inlined> text) {
  using Type = ExportFileDescriptor::Type;
  if (!text) {
    report("error writing export: " + text.error().message);
    return completion(false);
  }
  if (file.type == Type::html || file.type == Type::svg) return completion(writeText(text->text, folder, name));
  auto work = std::make_shared<HTMLRenderer::Work>();
  work->string = HTMLRenderer::Source{std::move(text->text), baseFolder, std::move(text->pictures)};
  work->pictureBytes = text->pictureBytes;
  work->size = HTMLRenderer::Size{static_cast<double>(file.width), static_cast<double>(file.height)};
  stdfs::path target = folder / name;
  if (file.type == Type::pdf) {
    renderer.addWork(work, HTMLRenderer::PDFCallback([folder, name, target, completion](std::optional<Data> pdf) {
      if (!pdf) {
        report("error writing export: no PDF rendered for " + target.string());
        return completion(false);
      }
      completion(writeBytes(folder, name, *pdf));
    }));
    return;
  }
  Type type = file.type;
  HTMLRenderer* drawer = &renderer;
  renderer.addWork(work, HTMLRenderer::BitmapCallback([folder, name, target, type, completion,
                                                       drawer](std::optional<Bitmap> bitmap) {
    if (!bitmap) {
      report("error writing export: nothing rendered for " + target.string());
      return completion(false);
    }
    // A large frame takes seconds to encode: beside the main loop, the settings read before. The
    // bitmap and the encoder's copy of it hold back the next large render until they are gone.
    std::optional<int> quality = jpegQuality();
    float factor = webPQualityFactor();
    auto held = drawer->hold(2 * bitmap->rgba.size());
    GlobalQueue::async([bitmap = std::move(*bitmap), folder, name, target, type, quality, factor, completion,
                        held = std::move(held)]() mutable {
      Data data = type == Type::webp  ? WebP::encode(bitmap, factor)
                  : type == Type::jpg ? ImageEncoding::jpeg(bitmap, quality)
                                      : ImageEncoding::png(bitmap);
      bitmap = Bitmap();
      held.reset();
      // Written on the main loop, as every export file is: a quit never leaves half of one.
      MainQueue::async([folder, name, target, completion, data = std::move(data)] {
        if (data.empty()) {
          report("error writing export: nothing encoded for " + target.string());
          return completion(false);
        }
        completion(writeBytes(folder, name, data));
      });
    });
  }));
}

}  // namespace

int copyImages(const std::vector<std::string>& images, const stdfs::path& from, const stdfs::path& to) {
  const stdfs::path design = stdfs::path("images") / "design";
  int failed = 0;
  for (const auto& name : images) {
    if (!isSafeRelativeName(name)) {
      report("error writing image: refused name " + name);
      ++failed;
      continue;
    }
    std::error_code ec;
    if (stdfs::equivalent(from / design / name, to / design / name, ec)) continue;
    // The source must be the project's own file; the copy lands below `to` whatever links lie there.
    if (auto copied = fs::copyInside(from, design / name, to, design / name); !copied) {
      report("error writing image: " + name + ": " + copied.error().description());
      ++failed;
    }
  }
  return failed;
}

}  // namespace ExportFileWriter
