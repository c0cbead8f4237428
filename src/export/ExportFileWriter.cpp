#include "export/ExportFileWriter.h"

#include <glib.h>

#include <cmath>
#include <iostream>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "export/HTMLRenderer.h"
#include "export/WebP.h"
#include "platform/Crypto.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/Url.h"

namespace stdfs = std::filesystem;

namespace {

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

struct Template {
  std::size_t start, end;  // the whole "##base64-file:…##"
  std::optional<stdfs::path> file;
};

}  // namespace

namespace ExportFileWriter {

float webPQualityFactor() {
  auto stored = Defaults::standard().value("RWExportWebPQuality");
  if (!stored.is_number()) return defaultWebPQuality;
  double v = stored.get<double>();
  if (!std::isfinite(v) || v <= 0 || v > 1) return defaultWebPQuality;
  return static_cast<float>(v);
}

Result<std::string> replaceBase64Templates(const std::string& text, const stdfs::path& projectFolder) {
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
    std::string escaped = text.substr(pathStart, end - pathStart);
    auto it = named.find(escaped);
    if (it == named.end()) it = named.emplace(escaped, templateFile(escaped, projectFolder)).first;
    templates.push_back({start, end + 2, it->second});
    at = end + 2;
  }
  if (templates.empty()) return text;

  // Each file is read once, and only while all the text would gain stays within the bound.
  std::map<stdfs::path, std::size_t> uses;
  for (const auto& t : templates)
    if (t.file) ++uses[*t.file];
  std::map<stdfs::path, std::string> payloads;
  std::size_t inlined = 0;
  auto refuse = [&] {
    RWLog("refused to inline more than " + std::to_string(maximumInlined >> 20) + " MB of images into one page");
    return fail(ExportErrors::Domain, ExportErrors::tooMuchInlined,
                "The page inlines more than " + std::to_string(maximumInlined >> 20) + " MB of images.");
  };
  for (const auto& [file, count] : uses) {
    std::error_code ec;
    std::uintmax_t size = stdfs::file_size(file, ec);
    if (ec || size > maximumTemplateFile) {
      RWLog("could not replace base64 template of file url: " + fileAddress(file));
      continue;
    }
    if (base64Length(size) > (maximumInlined - inlined) / count) return refuse();
    auto bytes = fs::readFileInside(projectFolder, file, maximumTemplateFile);
    if (!bytes) {
      RWLog("could not replace base64 template of file url: " + fileAddress(file));
      continue;
    }
    std::string payload = "data:" + mediaType(*bytes) + ";base64,";
    if (payload.size() + base64Length(bytes->size()) > (maximumInlined - inlined) / count) return refuse();
    payload += crypto::base64Encode(*bytes);
    inlined += payload.size() * count;
    payloads.emplace(file, std::move(payload));
  }

  std::string out;
  out.reserve(text.size() + inlined + templates.size() * emptyPayload.size());
  std::size_t at = 0;
  for (const auto& t : templates) {
    out.append(text, at, t.start - at);
    auto payload = t.file ? payloads.find(*t.file) : payloads.end();
    out += payload == payloads.end() ? emptyPayload : std::string_view(payload->second);
    at = t.end;
  }
  out.append(text, at, std::string::npos);
  return out;
}

void write(const ExportFileDescriptor& file, const stdfs::path& folder, const stdfs::path& name,
           const stdfs::path& baseFolder, HTMLRenderer& renderer, Completion completion) {
  using Type = ExportFileDescriptor::Type;
  if (file.type == Type::svg && !file.svg) return completion(true);
  auto text = replaceBase64Templates(file.type == Type::svg ? *file.svg : file.html, baseFolder);
  if (!text) {
    report("error writing export: " + text.error().message);
    return completion(false);
  }
  if (file.type == Type::html || file.type == Type::svg) return completion(writeText(*text, folder, name));
  auto work = std::make_shared<HTMLRenderer::Work>();
  work->string = HTMLRenderer::Source{std::move(*text), baseFolder};
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
  renderer.addWork(work, HTMLRenderer::BitmapCallback([folder, name, target, type, completion](std::optional<Bitmap> bitmap) {
    Data data;
    if (bitmap) {
      if (type == Type::webp) data = WebP::encode(*bitmap, webPQualityFactor());
      else if (type == Type::jpg) data = ImageEncoding::jpeg(*bitmap, jpegQuality());
      else data = ImageEncoding::png(*bitmap);
    }
    if (data.empty()) {
      report("error writing export: nothing rendered or encoded for " + target.string());
      return completion(false);
    }
    completion(writeBytes(folder, name, data));
  }));
}

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
