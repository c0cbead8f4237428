#pragma once
// Turns one export output into one file, and copies an export's design images. HTML and SVG are
// written at once; PNG, JPEG, WebP and PDF are rendered by the HTMLRenderer first. Every
// completion runs exactly once, on the main loop, and tells whether the file was written.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "export/ExportFileDescriptor.h"

class HTMLRenderer;

namespace ExportFileWriter {

using Completion = std::function<void(bool written)>;

// An svg output without SVG text writes nothing and counts as written.
void write(const ExportFileDescriptor& file, const std::filesystem::path& target, const std::filesystem::path& baseFolder,
           HTMLRenderer& renderer, Completion completion);

// Copies "images/design/<name>" of `from` to the same place below `to`, each through a temporary
// name and a rename, so a missing source never removes an existing copy. Refuses names that
// could leave the folder. Answers how many failed.
int copyImages(const std::vector<std::string>& images, const std::filesystem::path& from, const std::filesystem::path& to);

// "##base64-file:<path>##" becomes a data URL of the file, with the media type of its content.
// Only files inside `projectFolder` are read; others give an empty payload and a log line.
std::string replaceBase64Templates(const std::string& text, const std::filesystem::path& projectFolder);

// "RWExportWebPQuality", or a sensible lossy default when nothing usable is stored.
float webPQualityFactor();

}  // namespace ExportFileWriter
