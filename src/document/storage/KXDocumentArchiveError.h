#pragma once
// Errors of the archive layer, in the domain "Korvel.KXDocumentArchiveError".

#include <optional>
#include <string>

#include "platform/Error.h"

namespace KXDocumentArchiveError {
inline constexpr const char* domain = "Korvel.KXDocumentArchiveError";
enum Code : long { unsupportedBackingCode = 0, unknownCode = 1, notFoundCode = 2, invalidBackingCode = 3 };

Error unsupportedBacking(const std::string& type);
Error unknown(std::optional<Error> underlying);
Error notFound();
Error invalidBacking(const std::string& why = {});
}  // namespace KXDocumentArchiveError
