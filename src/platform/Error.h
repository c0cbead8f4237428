#pragma once
// The error value every fallible operation hands back: a domain string and code as the
// system defines them, a readable message, string user info and an optional cause.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <tl/expected.hpp>

inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSFilePathErrorKey = "NSFilePath";

// File-system codes of the Cocoa domain that callers match on.
enum CocoaErrorCode : long {
  NSFileNoSuchFileError = 4,
  NSFileReadUnknownError = 256,
  NSFileReadNoPermissionError = 257,
  NSFileReadNoSuchFileError = 260,
  NSFileReadTooLargeError = 263,
  NSFileWriteUnknownError = 512,
  NSFileWriteNoPermissionError = 513,
  NSFileWriteOutOfSpaceError = 640,
};

struct Error {
  std::string domain;
  long code = 0;
  std::string message;
  std::map<std::string, std::string> userInfo;
  std::shared_ptr<const Error> underlying;

  Error() = default;
  Error(std::string domain, long code, std::string message = {});

  Error& with(const std::string& key, std::string value);
  Error& withUnderlying(Error cause);
  std::optional<std::string> info(const std::string& key) const;
  std::optional<long long> intInfo(const std::string& key) const;

  // "domain code: message (cause)" for logs and alerts.
  std::string description() const;

  // errno as an error of the POSIX domain.
  static Error posix(int errnum, const std::string& context = {});
  // errno of a file operation on `path`, as the file manager reports it: missing files in the
  // Cocoa domain (reading: 260, otherwise 4), other failures in the POSIX domain.
  static Error file(int errnum, const std::string& path, bool reading = true);
};

template <class T>
using Result = tl::expected<T, Error>;

inline tl::unexpected<Error> fail(Error e) { return tl::unexpected<Error>(std::move(e)); }
inline tl::unexpected<Error> fail(std::string domain, long code, std::string message = {}) {
  return tl::unexpected<Error>(Error(std::move(domain), code, std::move(message)));
}
