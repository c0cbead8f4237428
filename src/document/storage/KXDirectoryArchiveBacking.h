#pragma once
// A document archive stored as a plain project folder. Reflection writes each changed file to
// a temporary name beside it and renames it into place, never through a symbolic link, and
// removes files that vanished from the source only after every write succeeded; items that
// don't belong to a document (hidden folders, installed packages) are left alone.

#include <sys/stat.h>

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
  std::optional<KXDocumentManifest::Entry> knownEntry(const std::string& relativePath) const override;
  Result<void> reflect(const KXDocumentArchive& source, KXDocumentArchiveUpdateOperation operation,
                       const UpdatedManifest& updatedManifest) override;

 private:
  KXDirectoryArchiveBacking(std::filesystem::path url, bool writesManifest)
      : url_(std::move(url)), writesManifest_(writesManifest) {}
  // What a file was when it was written or hashed here: any change to it changes one of these.
  struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified = 0;  // ns
    std::int64_t changed = 0;   // ns
    bool operator==(const Stamp&) const = default;
  };
  struct Known {
    Stamp stamp;
    KXDocumentManifest::Entry entry;
  };
  static Stamp stampOf(const struct stat& st);
  // Keeps a file's entry beside its status; a hashed file changed just before is not kept.
  void remember(const std::string& relativePath, const struct stat& st, const KXDocumentManifest::Entry& entry,
                bool written);

  std::filesystem::path url_;
  bool writesManifest_;
  std::map<std::string, Known> known_;

};
