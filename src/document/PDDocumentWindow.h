#pragma once
// The document window: the editor view fills it; the title bar carries the document's name and
// edited state and the toolbar: the preview and live-sharing buttons, the account's cloud button
// and the messages button, over a title bar of the mode's colours. Keys reach
// the editor's web view once, before the window's shortcuts, so typing in the editor always works
// and a key the page leaves ends with the shortcuts, never waiting for another window;
// an Escape nobody used posts "WindowEscPressedNotification" with the key event. A modal window
// shown on it (a sheet) tells the document first. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
class PDBaseDocument;
class ToolbarAccessoryView;
class ToolbarButton;
class ToolbarCloudButton;

class PDDocumentWindow {
 public:
  static constexpr const char* escPressedNotification = "WindowEscPressedNotification";

  explicit PDDocumentWindow(std::weak_ptr<PDBaseDocument> document);
  ~PDDocumentWindow();
  PDDocumentWindow(const PDDocumentWindow&) = delete;
  PDDocumentWindow& operator=(const PDDocumentWindow&) = delete;

  GtkWindow* window() const;
  // Hosts the editor view.
  GtkWidget* documentView() const { return documentView_; }
  GtkWidget* accountButton() const;
  GtkWidget* previewButton() const;
  GtkWidget* liveButton() const;
  ToolbarCloudButton* cloudButton() const { return cloudButton_.get(); }
  GtkWidget* intercomButton() const { return intercomButton_; }
  // Fills the window with `view`, which stays its owner's.
  void setContentView(GtkWidget* view);
  // `work` runs once, the first time the window becomes active.
  void onFirstActivation(std::function<void()> work);
  void setTitle(const std::string& title);
  void setAccountTitle(const std::string& title);
  void setIntercomEnabled(bool enabled);
  // The messages button shows whether unread messages wait.
  void setIntercomUnread(bool unread);
  void show();
  // A bar above the editor saying why the project server is not running, with a button that
  // runs `tryAgain`; hidden again by hideServerFailure() or the button.
  void showServerFailure(const std::string& message, std::function<void()> tryAgain);
  void hideServerFailure();
  bool isShowingServerFailure() const;
  // Front to back: windows shown or activated later are nearer the front.
  std::uint64_t orderStamp() const { return orderStamp_; }
  // Takes the window off the screen; after the last document window the welcome window may show.
  void close();

  // The user info of "WindowEscPressedNotification": {"event": the key event}.
  static nlohmann::json escapeUserInfo(unsigned keyval, unsigned hardwareKeycode, unsigned modifiers, std::uint32_t time);
  static std::string title(const std::string& displayName, bool edited);
  static bool shouldShowWelcomeAfterClose(bool isTerminating, std::size_t openDocuments, bool showOnStartup);

 private:
  static int onKeyPress(GtkWidget* widget, void* event, PDDocumentWindow* self);
  static int onDelete(GtkWidget* widget, void* event, PDDocumentWindow* self);
  static void watchSheets();

  std::weak_ptr<PDBaseDocument> document_;
  GtkWidget* window_ = nullptr;
  GtkWidget* documentView_ = nullptr;
  std::unique_ptr<ToolbarAccessoryView> accessoryView_;
  std::unique_ptr<ToolbarButton> previewButton_, liveButton_;
  std::unique_ptr<ToolbarCloudButton> cloudButton_;
  GtkWidget* intercomButton_ = nullptr;
  GtkWidget* headerBar_ = nullptr;
  GtkWidget* serverFailureBar_ = nullptr;
  GtkWidget* serverFailureLabel_ = nullptr;
  std::function<void()> tryAgain_;
  std::uint64_t orderStamp_ = 0;
  std::function<void()> firstActivation_;
  unsigned long activationHandler_ = 0;
};
