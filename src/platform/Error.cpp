#include "Error.h"

#include <cerrno>
#include <cstring>

Error::Error(std::string d, long c, std::string m) : domain(std::move(d)), code(c), message(std::move(m)) {}

Error& Error::with(const std::string& key, std::string value) {
  userInfo[key] = std::move(value);
  return *this;
}

Error& Error::withUnderlying(Error cause) {
  underlying = std::make_shared<const Error>(std::move(cause));
  return *this;
}

std::optional<std::string> Error::info(const std::string& key) const {
  auto it = userInfo.find(key);
  if (it == userInfo.end()) return std::nullopt;
  return it->second;
}

std::optional<long long> Error::intInfo(const std::string& key) const {
  auto text = info(key);
  if (!text) return std::nullopt;
  try {
    size_t used = 0;
    long long v = std::stoll(*text, &used);
    if (used != text->size()) return std::nullopt;
    return v;
  } catch (...) {
    return std::nullopt;
  }
}

std::string Error::description() const {
  std::string out = domain + " " + std::to_string(code);
  if (!message.empty()) out += ": " + message;
  if (underlying) out += " (" + underlying->description() + ")";
  return out;
}

Error Error::posix(int errnum, const std::string& context) {
  std::string text = std::strerror(errnum);
  return Error(NSPOSIXErrorDomain, errnum, context.empty() ? text : context + ": " + text);
}

Error Error::file(int errnum, const std::string& path, bool reading) {
  Error cause = posix(errnum, path);
  if (errnum == ENOENT || errnum == ENOTDIR) {
    Error e(NSCocoaErrorDomain, reading ? NSFileReadNoSuchFileError : NSFileNoSuchFileError,
            "The file “" + path + "” doesn’t exist.");
    e.with(NSFilePathErrorKey, path).withUnderlying(std::move(cause));
    return e;
  }
  cause.with(NSFilePathErrorKey, path);
  return cause;
}
