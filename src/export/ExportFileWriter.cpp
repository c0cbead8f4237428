#include "export/ExportFileWriter.h"

#include <glib.h>

#include <cmath>
#include <iostream>
#include <memory>
#include <system_error>

#include <nlohmann/json.hpp>

#include "export/HTMLRenderer.h"
#include "export/WebP.h"
#include "platform/Crypto.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"

namespace stdfs = std::filesystem;

namespace {

// Design images inlined into one page; larger files are not read.
constexpr std::uintmax_t maximumTemplateFile = 64u * 1024 * 1024;
constexpr float defaultWebPQuality = 0.9f;

void report(const std::string& line) { std::cout << line << std::endl; }

bool writeBytes(const stdfs::path& target, std::span<const std::uint8_t> bytes) {
  if (auto made = fs::createDirectories(target.parent_path()); !made) {
    report("error writing export: " + made.error().description());
    return false;
  }
  if (auto written = fs::writeAtomically(target, bytes); !written) {
    report("error writing export: " + written.error().description());
    return false;
  }
  return true;
}

bool writeText(const std::string& text, const stdfs::path& target) {
  return writeBytes(target, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
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

bool inside(const stdfs::path& file, const stdfs::path& folder) {
  auto f = file.begin();
  for (auto p = folder.begin(); p != folder.end(); ++p, ++f) {
    if (p->empty()) continue;  // trailing separator
    if (f == file.end() || *f != *p) return false;
  }
  return f != file.end();
}

std::string dataURL(const std::string& escapedPath, const stdfs::path& projectFolder) {
  gchar* decoded = g_uri_unescape_string(escapedPath.c_str(), nullptr);
  if (!decoded || !g_utf8_validate(decoded, -1, nullptr)) {
    g_free(decoded);
    RWLog("could not remove percent encoding from base64 template of file path: " + escapedPath);
    return "data:image/png;base64,";
  }
  stdfs::path path(decoded);
  g_free(decoded);
  std::error_code ec;
  stdfs::path project = projectFolder.empty() ? stdfs::path() : stdfs::weakly_canonical(projectFolder, ec);
  stdfs::path file = stdfs::weakly_canonical(path.is_absolute() ? path : projectFolder / path, ec);
  std::uintmax_t size = 0;
  if (project.empty() || ec || !inside(file, project)) {
    RWLog("refused base64 template of a file outside the project: " + path.string());
    return "data:image/png;base64,";
  }
  if (!stdfs::is_regular_file(file, ec) || (size = stdfs::file_size(file, ec), ec) || size > maximumTemplateFile) {
    RWLog("could not replace base64 template of file url: file://" + file.string());
    return "data:image/png;base64,";
  }
  auto bytes = fs::readFile(file);
  if (!bytes) {
    RWLog("could not replace base64 template of file url: file://" + file.string());
    return "data:image/png;base64,";
  }
  return "data:" + mediaType(*bytes) + ";base64," + crypto::base64Encode(*bytes);
}

}  // namespace

namespace ExportFileWriter {

float webPQualityFactor() {
  auto stored = Defaults::standard().value("RWExportWebPQuality");
  if (!stored.is_number()) return defaultWebPQuality;
  double v = stored.get<double>();
  if (!std::isfinite(v) || v <= 0 || v > 1) return defaultWebPQuality;
  return static_cast<float>(v);
}

std::string replaceBase64Templates(const std::string& text, const stdfs::path& projectFolder) {
  static constexpr std::string_view prefix = "##base64-file:";
  std::string out;
  std::size_t at = 0;
  for (;;) {
    std::size_t start = text.find(prefix, at);
    if (start == std::string::npos) break;
    std::size_t pathStart = start + prefix.size();
    std::size_t end = text.find("##", pathStart);
    std::size_t lineEnd = text.find_first_of("\r\n", pathStart);
    if (end == std::string::npos) break;
    if (lineEnd != std::string::npos && lineEnd < end) {
      // "." matches no line end: this prefix starts no template; look again after it.
      out.append(text, at, pathStart - at);
      at = pathStart;
      continue;
    }
    out.append(text, at, start - at);
    out += dataURL(text.substr(pathStart, end - pathStart), projectFolder);
    at = end + 2;
  }
  out.append(text, at, std::string::npos);
  return out;
}

void write(const ExportFileDescriptor& file, const stdfs::path& target, const stdfs::path& baseFolder,
           HTMLRenderer& renderer, Completion completion) {
  using Type = ExportFileDescriptor::Type;
  if (file.type == Type::html) return completion(writeText(replaceBase64Templates(file.html, baseFolder), target));
  if (file.type == Type::svg) {
    if (!file.svg) return completion(true);
    return completion(writeText(replaceBase64Templates(*file.svg, baseFolder), target));
  }
  auto work = std::make_shared<HTMLRenderer::Work>();
  work->string = HTMLRenderer::Source{replaceBase64Templates(file.html, baseFolder),
                                      "file://" + (baseFolder.empty() ? std::string("/") : baseFolder.string() + "/")};
  work->size = HTMLRenderer::Size{static_cast<double>(file.width), static_cast<double>(file.height)};
  if (file.type == Type::pdf) {
    renderer.addWork(work, HTMLRenderer::PDFCallback([target, completion](std::optional<Data> pdf) {
      if (!pdf) {
        report("error writing export: no PDF rendered for " + target.string());
        return completion(false);
      }
      completion(writeBytes(target, *pdf));
    }));
    return;
  }
  Type type = file.type;
  renderer.addWork(work, HTMLRenderer::BitmapCallback([target, type, completion](std::optional<Bitmap> bitmap) {
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
    completion(writeBytes(target, data));
  }));
}

int copyImages(const std::vector<std::string>& images, const stdfs::path& from, const stdfs::path& to) {
  if (images.empty()) return 0;
  const stdfs::path design = stdfs::path("images") / "design";
  if (auto made = fs::createDirectories(to / design); !made) {
    report("error creating images directory: " + made.error().description());
    return static_cast<int>(images.size());
  }
  int failed = 0;
  for (const auto& name : images) {
    if (!isSafeRelativeName(name)) {
      report("error writing image: refused name " + name);
      ++failed;
      continue;
    }
    stdfs::path source = from / design / name, target = to / design / name;
    std::error_code ec;
    if (stdfs::equivalent(source, target, ec)) continue;
    stdfs::path temporary = target;
    temporary += ".korvel-copy";
    stdfs::copy_file(source, temporary, stdfs::copy_options::overwrite_existing, ec);
    if (!ec) stdfs::rename(temporary, target, ec);
    if (ec) {
      std::error_code ignored;
      stdfs::remove(temporary, ignored);
      report("error writing image: " + name + ": " + ec.message());
      ++failed;
    }
  }
  return failed;
}

}  // namespace ExportFileWriter
