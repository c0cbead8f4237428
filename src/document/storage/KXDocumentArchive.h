#pragma once
// A project as files by relative path plus a manifest of sizes and SHA-1 digests, over a
// folder, a zip file or a view of another archive. One thread at a time (the main thread, or a
// worker that it hands the archive to while it leaves it alone).

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "document/storage/KXDocumentArchiveBacking.h"
#include "document/storage/KXDocumentManifest.h"

class KXDocumentArchive {
 public:
  using Manifest = KXDocumentManifest;

  static constexpr const char* relativePathForDocumentJSON = "design/document.json";
  static constexpr const char* relativePathForImages = "design/images";
  static constexpr const char* relativePathForAssets = "design/assets";
  static constexpr const char* relativePathForCodeFiles = "code";
  static constexpr const char* relativePathForCaches = ".cache";
  static constexpr const char* relativePathForImageCaches = ".cache/images";
  static constexpr const char* relativePathForBackups = ".backups";
  static constexpr const char* relativePathForReadMe = "README.md";
  static constexpr const char* extensionForManifest = "korvelxproj";
  static constexpr const char* relativePathForManifest = "_project.korvelxproj";

  static constexpr const char* folderDocumentType = "com.korvel.projectfolder";
  static constexpr const char* zipDocumentType = "com.korvel.projectzip";

  // Reads the manifest through the backing; without a readable one the archive takes
  // `uuidIfNeeded` (or a new UUID) and no file list. Never fails.
  KXDocumentArchive(std::unique_ptr<KXDocumentArchiveBacking> backing, std::optional<Uuid> uuidIfNeeded);
  // An archive with the given identity and no known files; reads nothing.
  struct WithIdentity {
    Uuid uuid;
  };
  KXDocumentArchive(std::unique_ptr<KXDocumentArchiveBacking> backing, WithIdentity identity);

  // Opens the document at `url` over a folder or a zip backing, by `type` or, for any other
  // type, by what `url` names.
  static Result<std::shared_ptr<KXDocumentArchive>> open(const std::filesystem::path& url, const std::string& type,
                                                         bool createIfNeeded, std::optional<Uuid> uuidIfNeeded,
                                                         bool writesManifest);

  // A read-only view of `archive` that lists only the paths `filter` accepts.
  static std::shared_ptr<KXDocumentArchive> filtered(std::shared_ptr<const KXDocumentArchive> archive,
                                                     std::function<bool(const std::string&)> filter);

  // A read-only view of `archive` that lists `paths`, in their order, without walking it; a
  // path it lacks fails when read.
  static std::shared_ptr<KXDocumentArchive> listed(std::shared_ptr<const KXDocumentArchive> archive,
                                                   std::vector<std::string> paths);

  // A read-only view of `archive` whose readers fail, and whose listing ends, once `stop` is set.
  static std::shared_ptr<KXDocumentArchive> stoppable(std::shared_ptr<const KXDocumentArchive> archive,
                                                      std::shared_ptr<const std::atomic<bool>> stop);

  const Uuid& uuid() const { return uuid_; }
  // False when the UUID was made up at opening: the backing holds no readable manifest (a file
  // another tool made) and no identity was given.
  bool hasOwnIdentity() const { return hasOwnIdentity_; }
  const Manifest& manifest() const { return manifest_; }
  KXDocumentArchiveBacking& backing() const { return *backing_; }

  // The modification date of the backing's location, looked up afresh.
  std::optional<std::chrono::system_clock::time_point> contentModificationDate() const;

  // Rebuilds the file list by reading every file the backing reports.
  void regenerateManifest();
  // Writes `source`'s files into this archive's backing and takes the resulting manifest.
  Result<void> reflect(const KXDocumentArchive& source);

  // Whether a project-relative path belongs to the document at all.
  static bool shouldInclude(std::string_view path);
  // Whether a folder may hold files that belong to the document (walks prune the others).
  static bool mayContainIncludedFiles(std::string_view folderPath);
  // A relative path that can't escape the folder it is written into.
  static bool isSafeRelativePath(std::string_view path);

  // A manifest larger than this is not read: the archive then has none.
  static constexpr std::size_t maximumManifestSize = 32 << 20;
  // The whole of what `reader` gives, or none when it fails or gives more than `limit` bytes
  // (the read stops there).
  static std::optional<std::string> readText(const DataReader& reader, std::size_t limit);

  // Size and SHA-1 of a file, read once; each chunk also goes to `writer` when given.
  static Result<Manifest::Entry> makeEntry(const DataReader& reader, const DataSink* writer = nullptr);

  // The shared coders of the document layer: pretty-printed JSON with sorted keys and plain "/".
  static std::string encode(const nlohmann::json& value);
  static nlohmann::json manifestJSON(const Manifest& manifest);
  static Result<Manifest> decodeManifest(std::string_view text);
  // Dates as "yyyy-MM-ddTHH:mm:ss.SSSZ" in UTC.
  static std::string formatDate(std::chrono::system_clock::time_point date);
  static std::optional<std::chrono::system_clock::time_point> parseDate(std::string_view text);

 private:
  Uuid uuid_;
  bool hasOwnIdentity_ = true;
  Manifest manifest_;
  std::unique_ptr<KXDocumentArchiveBacking> backing_;
};
