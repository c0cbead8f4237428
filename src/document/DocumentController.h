#pragma once
// The application's document controller: documents are made and opened only while the user
// may open documents (signed in); tutorial files open as new untitled documents made from the
// tutorial; classic ".korvel" folders are converted on open; the "written by a later version"
// error recovers by checking for updates. Main thread only.

#include <atomic>
#include <memory>
#include <vector>

#include "platform/BaseDocumentController.h"

class KXDocument;
class PDBaseDocument;

class DocumentController : public BaseDocumentController {
 public:
  static constexpr const char* tutorialPathExtension = "korveltutorial";
  static constexpr const char* tutorialTypeIdentifier = "com.korvel.tutorial";
  static constexpr const char* classicPathExtension = "korvel";

  DocumentController();
  ~DocumentController() override;

  // The shared controller's documents, front to back by when their windows were last shown or
  // activated; documents without a window last.
  static std::vector<std::shared_ptr<PDBaseDocument>> orderedDocuments();

  bool canOpenDocuments() const override;
  // Menu validation by action name ("newDocument:", "openDocument:", …).
  bool validateUserInterfaceItem(const std::string& action) const;

  // A file without a known extension is known by what it holds (it opens the zip's directory:
  // an opening does that beside the main loop).
  Result<std::string> typeForContents(const Path& url) const override;
  Result<std::shared_ptr<Document>> makeDocument(const Path& url, const std::string& type) override;
  Result<std::shared_ptr<Document>> makeDocument(const std::optional<Path>& url, const Path& contentsURL,
                                                 const std::string& type) override;
  Result<std::shared_ptr<Document>> makeUntitledDocument(const std::string& type) override;
  // A draft, or a copy, read beside the main loop; given up at quit as a file's opening is.
  void makeDocumentInBackground(const std::optional<Path>& url, const Path& contentsURL, const std::string& type,
                                std::function<void(Result<std::shared_ptr<Document>>)> done) override;
  Result<std::shared_ptr<Document>> openUntitledDocumentAndDisplay(bool display) override;
  // Reopens the drafts an earlier session left, then removes the working copies that belong to
  // no document and no draft. When none of them could be read and nothing else is open, the
  // welcome window shows.
  std::size_t reopenAutosavedDrafts() override;

  void newDocument() override;
  void openDocument() override;
  void openDocument(const Path& url, bool display, OpenCompletion completion) override;
  bool attemptRecovery(const Error& error, int optionIndex) override;
  // Gives up every opening still reading and every copy being made, and returns once everything
  // under way has ended, saves too (at quit): nothing is left half written, their drafts and
  // working copies are as their reads left them, and a copy given up leaves no draft.
  void stopOpenings();

 private:
  struct Opening {
    Path url;
    // A file opened by its name: every opening of it gets the one document. A draft, a copy and
    // a tutorial are read each on their own.
    bool joinable = true;
    // Its entry among the work under way; given up there.
    std::shared_ptr<WorkUnderWay::Work> work;
    struct Waiter {
      bool show;
      OpenCompletion completion;
    };
    std::vector<Waiter> waiters;
  };
  // Opens a file or folder once no save writes it: a file a Save As is writing is, once written,
  // the saved document.
  void openFile(const Path& url, bool display, OpenCompletion completion);
  // Reads the document at `url` beside the main loop; its window shows once it is read.
  void openInBackground(const Path& url, bool show, OpenCompletion completion);
  // The file's type by its name, or else by what it holds, looked at beside the main loop;
  // `done` gets it on the main loop unless the opening was given up meanwhile.
  void typeInBackground(const Path& url, const std::shared_ptr<Opening>& opening,
                        std::function<void(Result<std::string>)> done) const;
  std::shared_ptr<Opening> beginOpening(const Path& url, bool joinable);
  // Ends `opening` with what its read made: a document read after the opening was given up is
  // closed, its files as the read left them, and counts as given up.
  void endOpening(const std::shared_ptr<Opening>& opening, Result<std::shared_ptr<KXDocument>>& made);
  // After an opening that failed: the welcome window, when nothing is open or opening.
  void showWelcomeWindowIfNothingIsLeft();
  std::vector<std::shared_ptr<Opening>> openings_;

  // Every project's ".npmrc" names the current registry and the signed-in user's token.
  static void wirePackageRegistrySettings();
  void openTutorial(const Path& url, OpenCompletion completion);
  void convertClassicProject(const Path& url, OpenCompletion completion);
};
