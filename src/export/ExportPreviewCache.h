#pragma once
// A document's rendered export previews: preview key → file. Every entry's file is deleted when
// the entry leaves (removed, replaced, dropped past the count limit, cleared). Each cache keeps
// its files in a folder of its own, so two documents never share a preview. Main thread only.

#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <optional>
#include <string>

#include "export/ExportFileDescriptor.h"

class ExportPreviewCache {
 public:
  static constexpr std::size_t countLimit = 100;

  ExportPreviewCache();
  ~ExportPreviewCache();
  ExportPreviewCache(const ExportPreviewCache&) = delete;
  ExportPreviewCache& operator=(const ExportPreviewCache&) = delete;

  // The stored file while it exists.
  std::optional<std::filesystem::path> get(const std::string& key) const;
  // Stores, replaces (deleting the replaced file) or, with none, removes the key's entry.
  void set(const std::string& key, const std::optional<std::filesystem::path>& file);
  void clear();
  std::size_t count() const { return order_.size(); }

  // Where a preview of that key is written: "<this cache's folder>/<key>/<name>"; none for a
  // name that could leave the key's folder.
  std::optional<std::filesystem::path> fileFor(const std::string& key, const std::string& name) const;
  const std::filesystem::path& folder() const { return folder_; }

  // The key of a preview: every field of the descriptor (with "data-editor" attributes of word
  // characters taken out of its HTML) and the quality values its file is encoded with.
  static std::string key(const ExportFileDescriptor& file, double jpegQuality, double webpQuality);
  static std::string normalizedHTML(const std::string& html);

 private:
  void drop(const std::string& key);
  std::filesystem::path folder_;
  std::list<std::string> order_;  // least recently stored first
  std::map<std::string, std::pair<std::filesystem::path, std::list<std::string>::iterator>> entries_;
};
