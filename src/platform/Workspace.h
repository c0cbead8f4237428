#pragma once
// The desktop around the application: opening files with their default application, showing
// items in the file manager. The application installs the desktop's; tests record. Main thread.

#include <filesystem>
#include <memory>
#include <vector>

class Workspace {
 public:
  static Workspace& shared();
  static void setShared(std::unique_ptr<Workspace> workspace);

  virtual ~Workspace() = default;
  virtual bool openFile(const std::filesystem::path& path) = 0;
  // Shows the file manager with `items` selected.
  virtual void activateFileViewerSelecting(const std::vector<std::filesystem::path>& items) = 0;
};

// The recently opened documents, newest first.
class RecentDocuments {
 public:
  static RecentDocuments& shared();
  static void setShared(std::unique_ptr<RecentDocuments> recent);

  virtual ~RecentDocuments() = default;
  virtual void noteNewRecentDocumentURL(const std::filesystem::path& url) = 0;
  virtual std::vector<std::filesystem::path> recentDocumentURLs() const = 0;
  // Forgets a document that could not be opened (the file chooser notes every file it hands out).
  virtual void removeRecentDocumentURL(const std::filesystem::path&) {}
};
