#pragma once
// Where a person answers an export: the save panel for one file, the folder panel, both with the
// JPEG and WebP quality rows, and the overwrite alert. The toolkit's by default, attached to the
// document's window; tests put their own. Main thread; every completion runs once, later.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "export/ExportFileDescriptor.h"

typedef struct _GtkWindow GtkWindow;

struct ExportPanels {
  using PathCompletion = std::function<void(std::optional<std::filesystem::path>)>;
  // Answers whether to overwrite, and whether "Do not show this message again" was on.
  using OverwriteCompletion = std::function<void(bool overwrite, bool doNotShowAgain)>;

  // Both choosers start in `startFolder`: the document's folder, or the documents folder.
  std::function<void(const std::string& suggestedFileName, ExportQualityOptions quality, GtkWindow* parent,
                     const std::filesystem::path& startFolder, PathCompletion completion)>
      selectFile;
  std::function<void(ExportQualityOptions quality, GtkWindow* parent, const std::filesystem::path& startFolder,
                     PathCompletion completion)>
      selectFolder;
  std::function<void(GtkWindow* parent, OverwriteCompletion completion)> askOverwrite;

  static ExportPanels& shared();
  static ExportPanels system();

  // The texts of the overwrite alert.
  static constexpr const char* overwriteMessage = "Overwrite existing files?";
  static constexpr const char* overwriteInformative =
      "Some existing files will be overwritten. Are you sure you want to continue?";
  static constexpr const char* doNotShowAgain = "Do not show this message again";
};
