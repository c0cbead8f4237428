#pragma once
// Refuses a project whose editor document is malformed or newer than the installed editor.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/Error.h"

class KXDocumentArchive;

// Editor documents up to this size are parsed to be checked; larger ones are scanned for their
// top-level "version" as they stream by, never held whole.
inline constexpr std::size_t maximumParsedDocumentSize = 16 << 20;

// `supportedVersion` is the installed editor's document version, none when it is unknown
// (then only version 0 passes). An unreadable or empty document JSON passes: reading the
// project reports real damage.
Result<void> verifyDocumentVersion(const KXDocumentArchive& archive, std::optional<std::int64_t> supportedVersion);
