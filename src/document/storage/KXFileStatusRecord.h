#pragma once
// What a working copy's files were when they were last written or hashed, kept on disk beside
// them so that a later process can tell an unchanged file without reading it. The record is a
// cache read back from disk: decoding is strict and bounded, and a record that fails any check
// is ignored whole.
//
//   korvel-file-status 2\n
//   <device> <inode> <size> <modified ns> <changed ns> <entry size> <sha1 hex> <crc-32 hex> <name length>:<name>\n ...

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "document/storage/KXDocumentManifest.h"

struct KXFileStatusRecord {
  // What any change to a file changes.
  struct Stamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0;  // ns
    std::int64_t changed = 0;   // ns
    bool operator==(const Stamp&) const = default;
  };
  struct Known {
    Stamp stamp;
    KXDocumentManifest::Entry entry;  // always with a digest
    std::uint32_t crc32 = 0;          // of the content, as a zip entry records it
    bool operator==(const Known&) const = default;
  };
  using Files = std::map<std::string, Known>;

  static constexpr const char* fileName = ".korvel-file-status";
  static constexpr std::size_t maximumSize = 16 << 20;
  static constexpr std::size_t maximumCount = 200000;
  static constexpr std::size_t maximumNameLength = 4096;

  // Files whose names are safe project paths and whose entries carry a digest; others are left out.
  static std::string encode(const Files& files);
  static std::optional<Files> decode(std::span<const std::uint8_t> bytes);
};
