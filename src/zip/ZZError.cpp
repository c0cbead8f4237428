#include "ZZError.h"

Error zzError(ZZErrorCode code, std::string message) {
  return Error(ZZErrorDomain, static_cast<long>(code), std::move(message));
}

Error zzEntryError(ZZErrorCode code, std::size_t index, std::string message) {
  Error e = zzError(code, std::move(message));
  e.with(ZZEntryIndexKey, std::to_string(index));
  return e;
}

Error zzError(ZZErrorCode code, Error underlying, std::string message) {
  Error e = zzError(code, std::move(message));
  e.withUnderlying(std::move(underlying));
  return e;
}

Error zzEntryError(ZZErrorCode code, std::size_t index, Error underlying, std::string message) {
  Error e = zzEntryError(code, index, std::move(message));
  e.withUnderlying(std::move(underlying));
  return e;
}

Error zzErrorOrWriteFailed(Error e) {
  if (e.domain.empty()) return zzError(ZZErrorCode::entryWriteFailed, "writing the entry failed");
  return e;
}
