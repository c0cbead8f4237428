#pragma once
// The application's list of open documents and the framework's road to open and make them:
// type detection, the open panel, opening a file (an open document comes to the front instead
// of opening twice), new untitled documents, recent documents, error presentation with
// recovery, and the periodic autosave of edited documents. Subclasses make the documents.
// Main thread only.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Document.h"
#include "platform/Error.h"
#include "platform/Panels.h"
#include "platform/WorkUnderWay.h"

class Timer;

class BaseDocumentController {
 public:
  using Path = std::filesystem::path;
  using OpenCompletion =
      std::function<void(std::shared_ptr<Document> document, bool documentWasAlreadyOpen, std::optional<Error> error)>;

  // The controller made last; none before one is made.
  static BaseDocumentController* shared();

  virtual ~BaseDocumentController();
  BaseDocumentController(const BaseDocumentController&) = delete;
  BaseDocumentController& operator=(const BaseDocumentController&) = delete;

  const std::vector<std::shared_ptr<Document>>& documents() const { return documents_; }
  void addDocument(std::shared_ptr<Document> document);
  void removeDocument(Document& document);
  std::shared_ptr<Document> documentForURL(const Path& url) const;
  // An open document other than `except` whose file a save to `url` would replace: the file at
  // `url` itself (however it is spelled, through links too), one that `url` names although it
  // moved away, or one inside the folder `url`.
  std::shared_ptr<Document> documentReplacedBySaving(const Path& url, const Document* except) const;
  // Work under way that a save to `url` would race, other than `except`'s: an opening or a read of
  // that file (or of one inside the folder `url`), or another document's save to it.
  std::shared_ptr<WorkUnderWay::Work> workReplacedBySaving(const Path& url, const Document* except) const;
  // Whether a save to `target` replaces the file or folder at `place`: `target` itself, however it
  // is spelled, or a folder that holds it.
  static bool replacedBySaving(const Path& target, const Path& place);

  // What runs beside the main loop for documents: openings, reads of drafts and copies, copies
  // written, saves.
  WorkUnderWay& workUnderWay() { return workUnderWay_; }
  const WorkUnderWay& workUnderWay() const { return workUnderWay_; }
  // No document open and nothing opening, read, copied or saved: nothing of the person's is left.
  bool isIdle() const { return documents_.empty() && workUnderWay_.empty(); }

  // Types.
  std::vector<PanelFileType> documentTypes;
  std::string defaultType;
  virtual Result<std::string> typeForContents(const Path& url) const;
  std::optional<std::string> displayName(const std::string& type) const;

  // Making documents; subclasses make their document class.
  virtual Result<std::shared_ptr<Document>> makeDocument(const Path& url, const std::string& type) = 0;
  virtual Result<std::shared_ptr<Document>> makeDocument(const std::optional<Path>& url, const Path& contentsURL,
                                                         const std::string& type) = 0;
  virtual Result<std::shared_ptr<Document>> makeUntitledDocument(const std::string& type) = 0;
  // As makeDocument(url, contentsURL, type), for a controller that reads beside the main loop:
  // `done` gets the document, not yet among documents(), on the main loop. Reads here.
  virtual void makeDocumentInBackground(const std::optional<Path>& url, const Path& contentsURL, const std::string& type,
                                        std::function<void(Result<std::shared_ptr<Document>>)> done);
  // Whether `url` (a file, a draft, a copy or a tutorial) is being read beside the main loop; its
  // document is not among documents() yet.
  bool isOpening(const Path& url) const;

  virtual Result<std::shared_ptr<Document>> openUntitledDocumentAndDisplay(bool display);
  virtual void openDocument(const Path& url, bool display, OpenCompletion completion);
  // Menu actions.
  virtual void newDocument();
  virtual void openDocument();
  virtual bool canOpenDocuments() const { return true; }
  std::vector<Path> URLsFromRunningOpenPanel();

  // Errors.
  void presentError(const Error& error, GtkWindow* window = nullptr);
  virtual bool attemptRecovery(const Error& error, int optionIndex);

  // Recent documents, newest first.
  void noteNewRecentDocumentURL(const Path& url);
  std::vector<Path> recentDocumentURLs() const;

  // Drafts of untitled documents that an earlier session left behind when it ended without
  // closing them come back as edited untitled documents, newest first and at most
  // `maximumReopenedDrafts`, each shown once it is read. Returns how many are reopening; a draft
  // that can't be read stays where it is.
  static constexpr std::size_t maximumReopenedDrafts = 20;
  virtual std::size_t reopenAutosavedDrafts();

  // Edited documents autosave this often; 0 turns it off.
  void setAutosavingDelay(double seconds);
  double autosavingDelay() const { return autosavingDelay_; }
  void autosaveAll();

 protected:
  BaseDocumentController();
  void display(Document& document);

 private:
  std::vector<std::shared_ptr<Document>> documents_;
  WorkUnderWay workUnderWay_;
  double autosavingDelay_ = 0;
  std::unique_ptr<Timer> autosaveTimer_;
};
