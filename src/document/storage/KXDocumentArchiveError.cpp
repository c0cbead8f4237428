#include "KXDocumentArchiveError.h"

namespace KXDocumentArchiveError {

Error unsupportedBacking(const std::string& type) {
  Error e(domain, unsupportedBackingCode, "No storage for documents of type " + type);
  e.with("type", type);
  return e;
}

Error unknown(std::optional<Error> underlying) {
  Error e(domain, unknownCode, underlying ? underlying->message : std::string());
  if (underlying) e.withUnderlying(std::move(*underlying));
  return e;
}

Error notFound() { return Error(domain, notFoundCode, "The file does not exist."); }

Error invalidBacking(const std::string& why) { return Error(domain, invalidBackingCode, why); }

}  // namespace KXDocumentArchiveError
