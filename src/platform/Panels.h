#pragma once
// Open and save panels behind an interface: the toolkit's file choosers in the application,
// answers from tests. Main thread.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _GtkWindow GtkWindow;

// A document type a panel offers: its type name, what people read, and the file name
// extension (none for folders).
struct PanelFileType {
  std::string typeName;
  std::string displayName;
  std::string extension;
  bool isFolder = false;
};

struct OpenPanelOptions {
  std::vector<PanelFileType> types;
  bool allowsMultipleSelection = false;
  std::string prompt;  // the accepting button's title; empty for the panel's own
  // Without a parent: false gives a free-standing panel rather than one on the active window.
  bool attachToActiveWindow = true;
};

struct SavePanelOptions {
  std::vector<PanelFileType> types;
  std::string typeName;  // the type chosen at first
  std::string nameFieldValue;
  std::optional<std::filesystem::path> directory;
  std::string prompt;   // the accepting button's title; empty for the panel's own
  std::string message;  // shown as the panel's title when not empty
  bool attachToActiveWindow = true;
};

struct SavePanelResult {
  std::filesystem::path url;
  std::string typeName;
};

// The path a save panel answers for a name typed as `chosen` for a file of `type`: the name with
// the type's extension added when it ends otherwise ("Copy" and "Copy.zip" become "Copy.korvelx"
// and "Copy.zip.korvelx"), so that what is written under it opens as that type again. Folders
// and types without an extension keep the name as typed.
std::filesystem::path pathForSavedType(const std::filesystem::path& chosen, const PanelFileType& type);

class Panels {
 public:
  static Panels& shared();
  static void setShared(std::unique_ptr<Panels> panels);

  virtual ~Panels() = default;
  // The chosen files and folders; empty when cancelled.
  virtual std::vector<std::filesystem::path> runOpenPanel(const OpenPanelOptions& options, GtkWindow* parent) = 0;
  virtual std::optional<SavePanelResult> runSavePanel(const SavePanelOptions& options, GtkWindow* parent) = 0;
};
