#pragma once
// A document archive stored as a plain project folder. Reflection writes each changed file to
// a temporary name beside it and renames it into place, never through a symbolic link, and
// removes files that vanished from the source only after every write succeeded; items that
// don't belong to a document (hidden folders, installed packages) are left alone.

#include "document/storage/KXDocumentArchiveBacking.h"

class KXDirectoryArchiveBacking final : public KXDocumentArchiveBacking {
 public:
  static constexpr std::size_t readChunkSize = 524288;

  // Unless `assumeExists`, `directory` must name an existing folder.
  static Result<std::unique_ptr<KXDirectoryArchiveBacking>> create(const std::filesystem::path& directory,
                                                                   bool assumeExists, bool writesManifest);

  static std::string typeIdentifier() { return "com.korvel.projectfolder"; }
  std::string documentTypeIdentifier() const override { return typeIdentifier(); }
  const std::filesystem::path& url() const override { return url_; }
  bool writesManifest() const { return writesManifest_; }

  Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path& to) const override;
  DataReader dataReader(const std::string& relativePath) const override;
  static DataReader fileReader(const std::filesystem::path& file);
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override;
  Result<void> reflect(const KXDocumentArchive& source, KXDocumentArchiveUpdateOperation operation,
                       const UpdatedManifest& updatedManifest) override;

 private:
  KXDirectoryArchiveBacking(std::filesystem::path url, bool writesManifest)
      : url_(std::move(url)), writesManifest_(writesManifest) {}
  std::filesystem::path url_;
  bool writesManifest_;
};
