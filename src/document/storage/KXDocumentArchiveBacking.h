#pragma once
// The storage behind a document archive: a project folder, a zip file, or a filtered view.
// Backings are used on one thread at a time (the main thread); the readers that forEach() and
// dataReader() give hold what they read and may run on any thread, several at once.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "document/storage/KXDocumentManifest.h"
#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

// Receives one chunk of a file; the bytes are valid only during the call.
using DataSink = std::function<Result<void>(const std::uint8_t* bytes, std::size_t count)>;
// Passes a whole stored file to a sink, chunk by chunk, in order.
using DataReader = std::function<Result<void>(const DataSink& sink)>;

enum class KXDocumentArchiveUpdateOperation { all };

class KXDocumentArchive;

class KXDocumentArchiveBacking {
 public:
  using Entries = std::map<std::string, KXDocumentManifest::Entry>;
  using UpdatedManifest = std::function<std::optional<Data>(const Entries&)>;

  virtual ~KXDocumentArchiveBacking() = default;

  virtual std::string documentTypeIdentifier() const = 0;
  virtual const std::filesystem::path& url() const = 0;
  // The same kind of backing for the storage at its new location; it writes manifests.
  virtual Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path& to) const = 0;
  // A reader of the stored file; a missing file fails when the reader runs.
  virtual DataReader dataReader(const std::string& relativePath) const = 0;
  // Every stored regular file that belongs to the document, with a reader of it.
  virtual void forEach(const std::function<void(const std::string& relativePath, const DataReader& reader)>& body) const = 0;
  // The size and digest of a stored file known unchanged since this backing wrote or hashed
  // it, told without reading the file; none when that can't be told.
  virtual std::optional<KXDocumentManifest::Entry> knownEntry(const std::string&) const { return std::nullopt; }
  // The CRC-32 of such a file, as a zip entry of it records it.
  virtual std::optional<std::uint32_t> knownCRC32(const std::string&) const { return std::nullopt; }
  // The size and digest of the stored file that `reader` gives; a backing may keep it to
  // answer knownEntry() later.
  virtual Result<KXDocumentManifest::Entry> hashEntry(const std::string& relativePath, const DataReader& reader);
  // The stored files are now `current`: a backing may keep what it learnt of them.
  virtual void keepFileStatus(const Entries&) {}
  // Holds the next reflection to replacing the stored file only while it is still `expected`
  // (none: while nothing is there), looked at just before the replacement. A backing that
  // doesn't replace one file whole has nothing to hold and ignores it.
  virtual void replaceOnlyIfStill(std::optional<fs::FileIdentity>) {}
  // Makes the stored files those that `source`'s backing reports; `updatedManifest` receives
  // the entries of what was written and gives the manifest to store.
  virtual Result<void> reflect(const KXDocumentArchive& source, KXDocumentArchiveUpdateOperation operation,
                               const UpdatedManifest& updatedManifest) = 0;
};
