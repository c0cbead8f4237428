#pragma once
// The zip library's error domain and codes. An error that concerns one entry carries its
// index in the central directory under ZZEntryIndexKey.

#include <cstddef>
#include <string>

#include "platform/Error.h"

inline constexpr const char* ZZErrorDomain = "com.greywhale.zip";
inline constexpr const char* ZZEntryIndexKey = "ZZEntryIndexKey";

enum class ZZErrorCode : long {
  archiveUnreadable = 0,              // opening: the channel gave no bytes
  endOfCentralDirectoryInvalid = 1,   // opening: no valid end record
  centralFileHeaderInvalid = 2,       // opening: a central header is invalid
  localFileHeaderInvalid = 3,         // an entry's local header is unreadable or disagrees with the central one
  temporaryOutputUnavailable = 4,     // updating: no temporary channel or output
  localFileWriteFailed = 5,           // updating: an entry's local file could not be written
  centralFileHeaderWriteFailed = 6,   // updating: a central header could not be written
  endOfCentralDirectoryWriteFailed = 7,
  replaceFailed = 8,                  // updating: the written copy could not take the archive's place
  unsupportedCompressionMethod = 9,
  unsupportedEncryption = 10,
  wrongPassword = 12,
  entryWriteFailed = 13,              // a write failed without an error of its own
  entryDataInvalid = 14,              // an entry's data is truncated, corrupt or fails its CRC-32
};

Error zzError(ZZErrorCode code, std::string message = {});
Error zzEntryError(ZZErrorCode code, std::size_t index, std::string message = {});
Error zzError(ZZErrorCode code, Error underlying, std::string message = {});
Error zzEntryError(ZZErrorCode code, std::size_t index, Error underlying, std::string message = {});

// The error to report when a write failed with an empty error of its own.
Error zzErrorOrWriteFailed(Error e);
