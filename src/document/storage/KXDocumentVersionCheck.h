#pragma once
// Refuses a project whose editor document is malformed or newer than the installed editor.

#include <cstdint>
#include <optional>

#include "platform/Error.h"

class KXDocumentArchive;

// `supportedVersion` is the installed editor's document version, none when it is unknown
// (then only version 0 passes). An unreadable or empty document JSON passes: reading the
// project reports real damage.
Result<void> verifyDocumentVersion(const KXDocumentArchive& archive, std::optional<std::int64_t> supportedVersion);
