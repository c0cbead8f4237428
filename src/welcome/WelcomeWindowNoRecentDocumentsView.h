#pragma once
// What the recents list shows while it is empty: "No Recent Files", centred, 31 points below
// its top, in the recents' path colour; it follows the appearance for the rest of the run.
// Main thread only.

#include <memory>

#include "ui/AntiAliasedButton.h"
#include "ui/PDFlippedView.h"

class WelcomeWindowNoRecentDocumentsView {
 public:
  static constexpr const char* text = "No Recent Files";

  WelcomeWindowNoRecentDocumentsView(int width, int height);
  ~WelcomeWindowNoRecentDocumentsView();
  WelcomeWindowNoRecentDocumentsView(const WelcomeWindowNoRecentDocumentsView&) = delete;
  WelcomeWindowNoRecentDocumentsView& operator=(const WelcomeWindowNoRecentDocumentsView&) = delete;

  GtkWidget* widget() const { return view_.widget(); }
  const AntiAliasedLabel& label() const { return *label_; }

 private:
  PDFlippedView view_;
  // Shared with the appearance handler, which outlives nothing it needs.
  std::shared_ptr<AntiAliasedLabel> label_;
};
