#pragma once
// A drag of files out of a widget to the desktop, as a file manager takes it: the files go as
// "text/uri-list" of their file URIs. It starts from the pointer as it is now, with its first
// button held, and ends when the person lets go. Main thread only.

#include <filesystem>
#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;

namespace FileDrag {
// False when there is nothing to drag or the toolkit would not start the drag.
bool begin(GtkWidget* source, const std::vector<std::filesystem::path>& files);
// The text/uri-list body for `files`: one file URI per line, each line ended by CR LF.
std::string uriList(const std::vector<std::filesystem::path>& files);
}  // namespace FileDrag
