#pragma once
// A document archive kept in one zip file. Reflection rewrites the zip whole (through a
// temporary file renamed over it); entries whose content is unchanged are carried over with
// their compressed bytes instead of being compressed again. The others are read, hashed and
// compressed on every core, so the source's readers must be callable from any thread at once.

#include <map>
#include <memory>

#include "document/storage/KXDocumentArchiveBacking.h"
#include "zip/ZZArchive.h"

class KXZipArchiveBacking final : public KXDocumentArchiveBacking {
 public:
  static constexpr std::size_t readChunkSize = 65536;

  // Unless `createIfNeeded`, `url` must name an existing file. A missing file opens empty and
  // is written at the first reflection.
  static Result<std::unique_ptr<KXZipArchiveBacking>> create(const std::filesystem::path& url, bool createIfNeeded,
                                                             bool writesManifest);

  static std::string typeIdentifier() { return "com.korvel.projectzip"; }
  std::string documentTypeIdentifier() const override { return typeIdentifier(); }
  const std::filesystem::path& url() const override { return url_; }
  bool writesManifest() const { return writesManifest_; }
  const std::shared_ptr<ZZArchive>& zip() const { return zip_; }

  Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path& to) const override;
  DataReader dataReader(const std::string& relativePath) const override;
  static DataReader entryReader(std::shared_ptr<ZZArchiveEntry> entry);
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override;
  void replaceOnlyIfStill(std::optional<fs::FileIdentity> expected) override { replaceOnlyIfStill_ = expected; }
  Result<void> reflect(const KXDocumentArchive& source, KXDocumentArchiveUpdateOperation operation,
                       const UpdatedManifest& updatedManifest) override;
  // The size that each file forEach() reports declares in the zip, by path.
  std::map<std::string, std::uint64_t> declaredSizes() const;

 private:
  void forEachEntry(const std::function<void(const std::string&, const std::shared_ptr<ZZArchiveEntry>&)>& body) const;
  KXZipArchiveBacking(std::filesystem::path url, bool writesManifest, std::shared_ptr<ZZArchive> zip)
      : url_(std::move(url)), writesManifest_(writesManifest), zip_(std::move(zip)) {}
  std::filesystem::path url_;
  bool writesManifest_;
  std::shared_ptr<ZZArchive> zip_;
  // What the next reflection may replace; unset, it replaces whatever is there.
  std::optional<std::optional<fs::FileIdentity>> replaceOnlyIfStill_;
};
