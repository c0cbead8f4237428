#pragma once
#include <filesystem>
#include <map>
#include <string>

#include "document/storage/KXDocumentArchive.h"

namespace storagetest {
// Writes `files` (relative path → content) under `root`.
void writeTree(const std::filesystem::path& root, const std::map<std::string, std::string>& files);
// Every regular file under `root` (all of them, hidden ones too) with its content.
std::map<std::string, std::string> readTree(const std::filesystem::path& root);
// The tree without a working copy's file-status record.
std::map<std::string, std::string> withoutRecord(std::map<std::string, std::string> tree);
// Waits until every file under `root` was last changed longer ago than the margin within which
// a working copy leaves a hashed file unrecorded.
void waitUntilOlderThanTheTimestampMargin(const std::filesystem::path& root);
std::shared_ptr<KXDocumentArchive> folderArchive(const std::filesystem::path& root, bool writesManifest = true);
std::string read(const DataReader& reader);

// A source that reports the files it is given, whatever their names: stands for a crafted
// archive. A content of "<fail>" makes that file's reader fail after half its bytes.
class ListBacking : public KXDocumentArchiveBacking {
 public:
  explicit ListBacking(std::vector<std::pair<std::string, std::string>> files, std::filesystem::path url = "/nonexistent/list")
      : files_(std::move(files)), url_(std::move(url)) {}
  std::string documentTypeIdentifier() const override { return "test"; }
  const std::filesystem::path& url() const override { return url_; }
  Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path&) const override {
    return fail("test", 1);
  }
  DataReader dataReader(const std::string& path) const override;
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override;
  Result<void> reflect(const KXDocumentArchive&, KXDocumentArchiveUpdateOperation, const UpdatedManifest&) override {
    return fail("test", 1);
  }

 private:
  std::vector<std::pair<std::string, std::string>> files_;
  std::filesystem::path url_;
};
}  // namespace storagetest
