#pragma once
// The welcome window's list of recent documents: single selection that is never empty while
// there are rows, 42-point rows, a double click or Return activates the selected row, a right
// click selects its row and offers to show the document in the file manager. Main thread only.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/PDFlippedView.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkCssProvider GtkCssProvider;
class WelcomeWindowRecentsRowView;

class WelcomeWindowRecentsTableView {
 public:
  static constexpr const char* menuTitle = "Recently Opened Document Options";
  // The desktop's file manager stands where the original names its own.
  static constexpr const char* showInFinderTitle = "Show in File Manager";

  WelcomeWindowRecentsTableView(int width, int height);
  ~WelcomeWindowRecentsTableView();
  WelcomeWindowRecentsTableView(const WelcomeWindowRecentsTableView&) = delete;
  WelcomeWindowRecentsTableView& operator=(const WelcomeWindowRecentsTableView&) = delete;

  // The list in its scroller, with room above it for a placeholder.
  PDFlippedView& view() { return container_; }
  GtkWidget* widget() const { return container_.widget(); }
  GtkWidget* listBox() const { return list_; }

  // The documents the window lists now; showInFinder reveals the selected one of these.
  std::function<std::vector<std::filesystem::path>()> recentDocuments;
  // Double click or Return on a row.
  std::function<void()> onActivate;
  // Tab, when set; otherwise Tab moves the focus as usual.
  std::function<void()> onTabKey;

  void reloadData(const std::vector<std::filesystem::path>& rows);
  int numberOfRows() const;
  std::optional<int> selectedRow() const;
  void selectRow(int row);
  const WelcomeWindowRecentsRowView* rowView(int row) const;

  // The context menu of the row at `row` (none: below the last row): selects it and shows the
  // menu; answers whether a menu was shown.
  bool popUpContextMenu(std::optional<int> row, unsigned button = 3, unsigned time = 0);
  void showInFinder();
  bool handleTabKey();
  void grabFocus();
  // Whether the keyboard focus of the window is in the list, or nowhere.
  bool hasFocus() const;

 private:
  void updateStates();
  PDFlippedView container_;
  GtkWidget* scroller_;
  GtkWidget* list_;
  GtkCssProvider* css_;
  std::vector<std::unique_ptr<WelcomeWindowRecentsRowView>> rows_;
  bool reloading_ = false;
};
