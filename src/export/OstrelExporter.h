#pragma once
// Carries one export request of the editor page from its panel to its last file: flattens it,
// asks the delegate for a file or a folder, asks before anything existing is overwritten,
// copies the design images, writes every output and reports each step. Main thread only; an
// export lives on in its pending completions, so the caller need not keep the exporter.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "export/ExportFileDescriptor.h"

class HTMLRenderer;

class OstrelExporter;

class OstrelExporterDelegate {
 public:
  struct ExportProgress {
    int progress = 0;
    int work = 0;
    static ExportProgress zero() { return {}; }
    bool operator==(const ExportProgress&) const = default;
  };
  // How an export ended: files written (outputs and design images) of those asked for, or why
  // it stopped. Told once per export, after the last progress report.
  struct ExportOutcome {
    int written = 0;
    int total = 0;
    bool cancelled = false;
    std::string reason;
    bool operator==(const ExportOutcome&) const = default;
  };
  virtual ~OstrelExporterDelegate() = default;
  // Each completion exactly once; none means cancelled.
  virtual void selectExportURL(const std::string& suggestedFileName, ExportQualityOptions showQuality,
                               std::function<void(std::optional<std::filesystem::path>)> completion) = 0;
  virtual void selectExportFolder(ExportQualityOptions showQuality,
                                  std::function<void(std::optional<std::filesystem::path>)> completion) = 0;
  // True: go on and overwrite.
  virtual void decideOverwrite(int existingFiles, std::function<void(bool)> completion) = 0;
  virtual void report(ExportProgress progress) = 0;
  virtual void finished(const ExportOutcome&) {}
};

class OstrelExporter : public std::enable_shared_from_this<OstrelExporter> {
 public:
  using ExportProgress = OstrelExporterDelegate::ExportProgress;
  using ExportOutcome = OstrelExporterDelegate::ExportOutcome;
  // Why nothing can be written into `folder` (a probe is made and removed), none when it takes files.
  static std::optional<std::string> whyFolderRefusesFiles(const std::filesystem::path& folder);
  // True when every file was written; an export that ends early never completes.
  using Completion = std::function<void(bool allWritten)>;

  static std::shared_ptr<OstrelExporter> create(std::filesystem::path baseFolder, HTMLRenderer& renderer);

  void exportDescriptor(const OstrelExportsDescriptor& descriptor, std::weak_ptr<OstrelExporterDelegate> delegate,
                        Completion completion);
  // One output to `target` (the name's extension appended when the target lacks it); no
  // delegate, no progress.
  void exportFile(const ExportFileDescriptor& file, std::filesystem::path target, std::function<void(bool)> completion);

  // "ExportingSkipFileExistChecks"
  static constexpr const char* skipFileExistChecksKey = "ExportingSkipFileExistChecks";

 private:
  OstrelExporter(std::filesystem::path baseFolder, HTMLRenderer& renderer)
      : baseFolder_(std::move(baseFolder)), renderer_(renderer) {}
  struct Run;
  void exportOneFile(std::shared_ptr<Run> run);
  void exportToFolder(std::shared_ptr<Run> run);
  void writeAll(std::shared_ptr<Run> run, std::filesystem::path folder);
  void writeNext(std::shared_ptr<Run> run, std::filesystem::path folder);
  static constexpr int filesAtOnce = 2;

  std::filesystem::path baseFolder_;
  HTMLRenderer& renderer_;
};
