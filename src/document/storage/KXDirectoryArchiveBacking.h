#pragma once
// A document archive stored as a plain project folder. Reflection writes each changed file to
// a temporary name beside it and renames it into place, never through a symbolic link, and
// removes files that vanished from the source only after every write succeeded; items that
// don't belong to a document (hidden folders, installed packages) are left alone. Files are
// written by several threads at once; reflect() returns only when all of them have ended.
//
// A private working copy is filled, when empty, through a fresh folder beside it whose items
// are moved in once every file is written and synced, and keeps what it knows of its files'
// status in a hidden record beside them, so that a later process need not read them again.

#include <sys/stat.h>

#include <chrono>

#include "document/storage/KXDocumentArchiveBacking.h"
#include "document/storage/KXFileStatusRecord.h"

class KXDirectoryArchiveBacking final : public KXDocumentArchiveBacking {
 public:
  static constexpr std::size_t readChunkSize = 524288;

  // Unless `assumeExists`, `directory` must name an existing folder.
  static Result<std::unique_ptr<KXDirectoryArchiveBacking>> create(const std::filesystem::path& directory,
                                                                   bool assumeExists, bool writesManifest,
                                                                   bool isPrivateWorkingCopy = false);

  // Removes what writes of processes that have ended left in `folder` and beside it: the
  // temporaries of its files and manifest, the fresh folder of a working copy, and the design's
  // temporaries of earlier builds (".document.json.XXXXXX", which name no process) untouched for
  // earlierDesignTemporaryAge. How many.
  static std::size_t removeLeftoversOfEndedWrites(const std::filesystem::path& folder);
  static constexpr std::chrono::minutes earlierDesignTemporaryAge{60};

  // The refusal, for a person, of the document `document`'s file `relativePath`, which is the
  // item of `mode` and not a plain file.
  static Error notPlainFile(const std::filesystem::path& document, const std::string& relativePath, unsigned mode);

  static std::string typeIdentifier() { return "com.korvel.projectfolder"; }
  std::string documentTypeIdentifier() const override { return typeIdentifier(); }
  const std::filesystem::path& url() const override { return url_; }
  bool writesManifest() const { return writesManifest_; }

  Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path& to) const override;
  DataReader dataReader(const std::string& relativePath) const override;
  // A reader of `file` that reads only a plain file (through links unless `followLinks` is false).
  static DataReader fileReader(const std::filesystem::path& file, bool followLinks = true);
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override;
  std::optional<KXDocumentManifest::Entry> knownEntry(const std::string& relativePath) const override;
  std::optional<std::uint32_t> knownCRC32(const std::string& relativePath) const override;
  Result<KXDocumentManifest::Entry> hashEntry(const std::string& relativePath, const DataReader& reader) override;
  void keepFileStatus(const Entries& current) override;
  Result<void> reflect(const KXDocumentArchive& source, KXDocumentArchiveUpdateOperation operation,
                       const UpdatedManifest& updatedManifest) override;

 private:
  KXDirectoryArchiveBacking(std::filesystem::path url, bool writesManifest, bool isPrivateWorkingCopy)
      : url_(std::move(url)), writesManifest_(writesManifest), isPrivateWorkingCopy_(isPrivateWorkingCopy) {}
  using Stamp = KXFileStatusRecord::Stamp;
  static Stamp stampOf(const struct stat& st);
  // Keeps a file's entry beside its status; a hashed file changed just before is not kept.
  void remember(const std::string& relativePath, const struct stat& st, const KXDocumentManifest::Entry& entry,
                std::uint32_t crc32, bool written);
  // What is known of a file that has not changed since, or nothing.
  const KXFileStatusRecord::Known* knownFile(const std::string& relativePath) const;
  void loadFileStatus();
  // Removes the temporaries of record writes that never ended.
  void removeFileStatusLeftovers() const;
  // Writes the record when what is known changed; keeps only the files in `current`.
  void saveFileStatus(const Entries* current);
  Result<bool> reflectIntoFreshFolder(const std::filesystem::path& rootPath, const KXDocumentArchive& source,
                                      Entries& entries);

  std::filesystem::path url_;
  bool writesManifest_;
  bool isPrivateWorkingCopy_;
  KXFileStatusRecord::Files known_;
  bool knownChanged_ = false;
};
