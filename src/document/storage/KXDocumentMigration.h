#pragma once
// Converts a classic ".korvel" project folder into a new, untitled document of the current
// format, from copies of its files; the classic folder is only read.

#include <filesystem>
#include <functional>
#include <memory>

#include "document/storage/KXDocumentArchive.h"

class KXDocumentMigration {
 public:
  // Copies the classic project's files into a new staging folder in the per-user autosave
  // folder and opens it as an archive. The caller reads the new document from it and then
  // removes the folder (removeStagingFolder).
  static Result<std::shared_ptr<KXDocumentArchive>> stageClassicProject(const std::filesystem::path& classicFolder);
  static void removeStagingFolder(const KXDocumentArchive& staged);

  // The whole conversion: stage, make the document through `makeDocument` (the document
  // class's type + template initialiser), then remove the staging folder.
  template <class Document>
  static Result<std::shared_ptr<Document>> newDocument(
      const std::filesystem::path& classicFolder,
      const std::function<Result<std::shared_ptr<Document>>(const KXDocumentArchive&)>& makeDocument) {
    auto staged = stageClassicProject(classicFolder);
    if (!staged) return tl::unexpected(staged.error());
    auto document = makeDocument(**staged);
    removeStagingFolder(**staged);
    return document;
  }
};
