#pragma once
// One row of the welcome window's recent documents: the document's name over its folder, in
// the normal or the selected colours, on a background with a one-point line at its left edge.
// Main thread only; the texts are plain string work.

#include <filesystem>
#include <optional>
#include <string>

#include "ui/PDFlippedView.h"

typedef struct _GtkWidget GtkWidget;

enum class WelcomeWindowRecentsRowState { selected, normal };

class WelcomeWindowRecentsRowView {
 public:
  static constexpr int rowHeight = 42;

  // The name shown: the file name without a final ".korvelx".
  static std::string titleText(const std::optional<std::filesystem::path>& url);
  // The folder shown: the parent folder, "~" in place of the home folder when it starts with it.
  static std::string pathText(const std::optional<std::filesystem::path>& url, const std::string& home);

  WelcomeWindowRecentsRowView(std::optional<std::filesystem::path> data, int width);
  ~WelcomeWindowRecentsRowView();
  WelcomeWindowRecentsRowView(const WelcomeWindowRecentsRowView&) = delete;
  WelcomeWindowRecentsRowView& operator=(const WelcomeWindowRecentsRowView&) = delete;

  GtkWidget* widget() const { return content_.widget(); }
  const std::optional<std::filesystem::path>& data() const { return data_; }
  std::string title() const;
  std::string path() const;
  WelcomeWindowRecentsRowState state() const { return state_; }
  void setState(WelcomeWindowRecentsRowState state);

 private:
  std::optional<std::filesystem::path> data_;
  PDFlippedView content_;
  GtkWidget* background_;
  GtkWidget* titleLabel_;
  GtkWidget* pathLabel_;
  WelcomeWindowRecentsRowState state_ = WelcomeWindowRecentsRowState::normal;
};
