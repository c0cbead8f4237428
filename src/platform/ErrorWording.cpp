#include "platform/ErrorWording.h"

#include <cerrno>

#include "platform/FileSystem.h"

namespace ErrorWording {

namespace {

std::string quoted(const std::string& name) { return "“" + name + "”"; }

std::string folderName(const std::filesystem::path& url) {
  auto folder = url.parent_path();
  auto name = folder.filename().string();
  return name.empty() ? folder.string() : name;
}

std::string fileName(const std::filesystem::path& url) {
  auto name = url.filename().string();
  return name.empty() ? url.string() : name;
}

}  // namespace

std::optional<int> systemCode(const Error& error) {
  // Causes are few; the bound guards against a chain someone made circular by mistake.
  const Error* e = &error;
  for (int depth = 0; e && depth < 32; ++depth, e = e->underlying.get()) {
    if (e->domain == NSPOSIXErrorDomain && e->code > 0) return static_cast<int>(e->code);
    if (e->domain != NSCocoaErrorDomain) continue;
    switch (e->code) {
      case NSFileNoSuchFileError:
      case NSFileReadNoSuchFileError:
        return ENOENT;
      case NSFileReadNoPermissionError:
      case NSFileWriteNoPermissionError:
        return EACCES;
      case NSFileWriteOutOfSpaceError:
        return ENOSPC;
      default:
        break;
    }
  }
  return std::nullopt;
}

std::string whyWritingFailed(const Error& error, const std::filesystem::path& url) {
  auto folder = quoted(folderName(url));
  if (fs::isChangedMeanwhile(error))
    return "Another program wrote " + quoted(fileName(url)) +
           " while it was being saved, so it was left as that program wrote it. Save again to choose which version "
           "to keep.";
  switch (systemCode(error).value_or(0)) {
    case EACCES:
    case EPERM:
      return "You don't have permission to save in " + folder + ".";
    case EROFS:
      return "The folder " + folder + " is on a disk that can't be written to.";
    case ENOSPC:
    case EDQUOT:
      return "There isn't enough space on the disk to save " + quoted(fileName(url)) + ".";
    case ENOENT:
    case ENOTDIR:
      return "The folder " + folder + " doesn't exist.";
    case ENAMETOOLONG:
      return "The name " + quoted(fileName(url)) + " is too long.";
    case EISDIR:
      return "A folder named " + quoted(fileName(url)) + " is in the way.";
    default:
      return "Something went wrong while writing " + quoted(fileName(url)) + " in " + folder + ".";
  }
}

std::string whyReadingFailed(const Error& error, const std::filesystem::path& url) {
  switch (systemCode(error).value_or(0)) {
    case EACCES:
    case EPERM:
      return "You don't have permission to open " + quoted(fileName(url)) + ".";
    case ENOENT:
    case ENOTDIR:
      return "The file " + quoted(fileName(url)) + " doesn't exist.";
    default:
      return "Something went wrong while reading " + quoted(fileName(url)) + ".";
  }
}

Error presentable(const Error& error, const std::string& heading, const std::string& reason) {
  if (error.info(failureReasonKey)) return error;
  Error words(error.domain, error.code, error.message);
  words.userInfo = error.userInfo;
  words.with(failureReasonKey, heading);
  words.with(recoverySuggestionKey, reason);
  if (error.underlying) words.underlying = error.underlying;
  return words;
}

Error presentable(const Error& error) {
  std::string reason;
  switch (systemCode(error).value_or(0)) {
    case EACCES:
    case EPERM:
      reason = "You don't have permission to do this.";
      break;
    case ENOSPC:
    case EDQUOT:
      reason = "There isn't enough space on the disk.";
      break;
    case ENOENT:
    case ENOTDIR:
      reason = "A file it needs doesn't exist.";
      break;
    default:
      break;
  }
  return presentable(error, "The operation couldn't be completed.", reason);
}

}  // namespace ErrorWording
