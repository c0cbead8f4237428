#include "ProjectFiles.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

#include "platform/FileSystem.h"

namespace ProjectFiles {

namespace {

using Path = std::filesystem::path;

Error error(ErrorCode code, std::string message) { return Error(ErrorDomain, code, std::move(message)); }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// RFC 3986 reference characters; a blank, a quote or non-ASCII text makes no reference.
bool isReferenceText(std::string_view text) {
  static constexpr std::string_view allowed = "-._~!$&'()*+,;=:@/?#";
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return false;
      i += 2;
    } else if (!(std::isalnum(c) && c < 0x80) && allowed.find(static_cast<char>(c)) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

Result<std::string> percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  if (out.find('\0') != std::string::npos) return fail(error(invalidReference, "The path holds a NUL character."));
  return out;
}

bool hasScheme(std::string_view text, std::string_view& scheme) {
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    char c = text[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) return false;
  }
  scheme = text.substr(0, colon);
  return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// `candidate` inside the project, as written and with symbolic links followed: the rule every
// reader of project files shares.
Result<Path> confined(const Path& projectDir, const Path& candidate) {
  auto resolved = fs::resolveInside(projectDir, candidate);
  if (!resolved && resolved.error().domain == fs::ConfinedErrorDomain)
    return fail(error(outsideProject, "The path leaves the project folder."));
  return resolved;
}

std::string latin1ToUtf8(const Data& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

std::optional<std::string> utf16ToUtf8(const Data& bytes, const char* encoding) {
  gsize written = 0;
  gchar* text = g_convert(reinterpret_cast<const gchar*>(bytes.data()) + 2, static_cast<gssize>(bytes.size() - 2),
                          "UTF-8", encoding, nullptr, &written, nullptr);
  if (!text) return std::nullopt;
  std::string out(text, written);
  g_free(text);
  return out;
}

}  // namespace

Result<Path> resolveReference(const Path& projectDir, std::string_view reference) {
  if (!isReferenceText(reference)) return fail(error(invalidReference, "Not a URL reference."));
  std::string_view rest = reference;
  rest = rest.substr(0, rest.find('#'));
  rest = rest.substr(0, rest.find('?'));
  std::string_view scheme;
  if (hasScheme(rest, scheme)) {
    if (!equalsIgnoringCase(scheme, "file")) return fail(error(invalidReference, "Only project files can be named."));
    rest.remove_prefix(scheme.size() + 1);
    if (rest.starts_with("//")) {
      auto slash = rest.find('/', 2);
      auto host = rest.substr(2, slash == std::string_view::npos ? std::string_view::npos : slash - 2);
      if (!host.empty() && !equalsIgnoringCase(host, "localhost"))
        return fail(error(outsideProject, "The path names another host."));
      rest = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    }
    if (!rest.starts_with("/")) return fail(error(invalidReference, "Not a URL reference."));
  } else if (rest.starts_with("//")) {
    return fail(error(outsideProject, "The path names another host."));
  }
  auto decoded = percentDecoded(rest);
  if (!decoded) return fail(decoded.error());
  Path path(*decoded);
  return confined(projectDir, path.is_absolute() ? path : projectDir / path);
}

Result<Path> resolvePath(const Path& projectDir, const Path& relative) {
  if (relative.is_absolute()) return fail(error(outsideProject, "The path leaves the project folder."));
  if (relative.native().find('\0') != std::string::npos) return fail(error(invalidReference, "The path holds a NUL character."));
  return confined(projectDir, projectDir / relative);
}

Result<void> checkOpenable(const Path& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return fail(Error::file(errno, path.string()));
  if (S_ISDIR(info.st_mode)) return {};
  if (!S_ISREG(info.st_mode)) return fail(error(notPlainFile, "Only plain files and folders are opened."));
  if (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) return fail(error(mayRun, "Executable files are not opened."));
  std::string name = path.filename().string();
  if (name.size() >= 8 && equalsIgnoringCase(std::string_view(name).substr(name.size() - 8), ".desktop"))
    return fail(error(mayRun, "Desktop launchers are not opened."));
  // A launcher or a program under another name is still one to the desktop.
  char head[4096];
  std::ifstream file(path, std::ios::binary);
  file.read(head, sizeof head);
  auto sniffed = static_cast<gsize>(std::max<std::streamsize>(file.gcount(), 0));
  gboolean uncertain = FALSE;
  gchar* type = g_content_type_guess(name.c_str(), reinterpret_cast<const guchar*>(head), sniffed, &uncertain);
  bool runs = type && (g_content_type_is_a(type, "application/x-desktop") ||
                       (g_content_type_can_be_executable(type) && !g_content_type_is_a(type, "text/plain")));
  g_free(type);
  if (runs) return fail(error(mayRun, "Programs and launchers are not opened."));
  return {};
}

Result<std::string> readText(const Path& path) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (ec) return fail(Error::file(ec.value(), path.string()));
  if (!std::filesystem::is_regular_file(status)) return fail(error(notPlainFile, "Only plain files are read."));
  if (std::filesystem::file_size(path, ec) > maximumTextSize || ec)
    return fail(error(tooLarge, "The file is too large to copy."));
  auto bytes = fs::readFile(path);
  if (!bytes) return fail(bytes.error());
  const Data& b = *bytes;
  if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    if (auto text = utf16ToUtf8(b, "UTF-16LE")) return *text;
  } else if (b.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    if (auto text = utf16ToUtf8(b, "UTF-16BE")) return *text;
  }
  const char* start = reinterpret_cast<const char*>(b.data());
  if (g_utf8_validate_len(start, b.size(), nullptr)) {
    std::size_t skip = b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF ? 3 : 0;
    return std::string(start + skip, b.size() - skip);
  }
  return latin1ToUtf8(b);
}

Result<void> createFile(const Path& path, std::string_view contents, bool replace) {
  std::error_code ec;
  if (!replace && std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found)
    return fail(Error::file(EEXIST, path.string(), false));
  if (!std::filesystem::is_directory(path.parent_path(), ec))
    return fail(Error::file(ENOENT, path.parent_path().string(), false));
  return fs::writeAtomically(path, contents);
}

}  // namespace ProjectFiles
