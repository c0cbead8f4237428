#pragma once
// A project's identity and, per file, its size and SHA-1 digest.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/Uuid.h"

struct KXDocumentManifest {
  struct Entry {
    std::int64_t size = 0;
    std::optional<Data> sha1;

    // A file whose content could not be read.
    static Entry unknown() { return Entry{-1, std::nullopt}; }
    bool operator==(const Entry&) const = default;
  };

  Uuid uuid;
  // Absent when the files are not known; present and empty for a project without files.
  std::optional<std::map<std::string, Entry>> files;

  bool operator==(const KXDocumentManifest&) const = default;
};
