#include "export/OstrelExporter.h"

#include <iostream>

#include "export/ExportFileWriter.h"
#include "platform/Defaults.h"
#include "platform/ErrorWording.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"

namespace stdfs = std::filesystem;

struct OstrelExporter::Run {
  std::vector<ExportFileDescriptor> files;
  std::vector<std::string> images;
  ExportQualityOptions quality;
  std::weak_ptr<OstrelExporterDelegate> delegate;
  Completion completion;
  ExportProgress progress;
  int failures = 0;
  int written = 0;
  std::size_t nextFile = 0;  // the next of `files` to write
  bool writing = false;
  bool told = false;

  int total() const { return static_cast<int>(files.size() + images.size()); }
  void report() {
    if (auto d = delegate.lock()) d->report(progress);
  }
  void tell(ExportOutcome outcome) {
    if (std::exchange(told, true)) return;
    if (!outcome.reason.empty()) RWLog("export stopped: " + outcome.reason);
    if (auto d = delegate.lock()) d->finished(outcome);
  }
  // Ended early: cancelled by the person when there is no reason.
  void end(std::string reason = {}) {
    if (auto d = delegate.lock()) d->report(ExportProgress::zero());
    tell({written, total(), reason.empty(), std::move(reason)});
  }
  // One finished step; the last one completes the export, or shows it did not complete.
  void step(int count, bool ok) {
    progress.progress += count;
    if (!ok) ++failures;
    report();
    if (!writing || progress.progress != progress.work) return;
    if (failures > 0) {
      RWLog("export error: " + std::to_string(failures) + " file(s) were not written");
      end(std::to_string(failures) + " of " + std::to_string(total()) + (total() == 1 ? " file" : " files") +
          " could not be written.");
    } else {
      tell({written, total(), false, {}});
    }
    if (completion) std::exchange(completion, nullptr)(failures == 0);
  }
};

std::shared_ptr<OstrelExporter> OstrelExporter::create(stdfs::path baseFolder, HTMLRenderer& renderer) {
  return std::shared_ptr<OstrelExporter>(new OstrelExporter(std::move(baseFolder), renderer));
}

void OstrelExporter::exportDescriptor(const OstrelExportsDescriptor& descriptor,
                                      std::weak_ptr<OstrelExporterDelegate> delegate, Completion completion) {
  auto run = std::make_shared<Run>();
  run->delegate = std::move(delegate);
  run->completion = std::move(completion);
  run->images = descriptor.images;
  run->progress = {0, static_cast<int>(descriptor.images.size() + descriptor.outputs.size() + 1)};
  run->report();
  run->quality = descriptor.exportQualityOptions();
  auto files = descriptor.exportFileDescriptors();
  bool unsafeImage = false;
  for (const auto& image : descriptor.images) unsafeImage = unsafeImage || !isSafeRelativeName(image);
  if (!files || unsafeImage) {
    if (!files && files.error().code == ExportErrors::unsafeName) RWLog("export error: " + files.error().message);
    if (unsafeImage) RWLog("export error: refused an image name");
    return run->end("The export holds a name that can't be used for a file.");
  }
  run->files = std::move(*files);
  bool oneFile = run->files.size() == 1 && run->files[0].name.find('/') == std::string::npos && run->images.empty();
  if (oneFile) exportOneFile(run);
  else exportToFolder(run);
}

void OstrelExporter::exportOneFile(std::shared_ptr<Run> run) {
  auto d = run->delegate.lock();
  if (!d) return;
  auto self = shared_from_this();
  d->selectExportURL(run->files[0].name, run->quality, [self, run](std::optional<stdfs::path> url) {
    if (!url) return run->end();
    if (auto why = whyFolderRefusesFiles(url->parent_path())) return run->end(*why);
    run->step(1, true);
    run->writing = true;
    self->exportFile(run->files[0], *url, [run](bool ok) {
      if (ok) ++run->written;
      run->step(1, ok);
    });
  });
}

void OstrelExporter::exportToFolder(std::shared_ptr<Run> run) {
  auto d = run->delegate.lock();
  if (!d) return;
  auto self = shared_from_this();
  d->selectExportFolder(run->quality, [self, run](std::optional<stdfs::path> folder) {
    if (!folder) return run->end();
    run->step(1, true);
    int existing = 0;
    if (!Defaults::standard().boolValue(skipFileExistChecksKey)) {
      // Images count too: nothing is replaced before the person agrees.
      std::error_code ec;
      for (const auto& file : run->files)
        if (stdfs::exists(stdfs::symlink_status(*folder / file.name, ec))) ++existing;
      for (const auto& image : run->images)
        if (stdfs::exists(stdfs::symlink_status(*folder / "images" / "design" / image, ec))) ++existing;
    }
    auto d = run->delegate.lock();
    if (!d) return;
    d->decideOverwrite(existing, [self, run, folder = *folder](bool overwrite) {
      if (!overwrite) return run->end();
      if (auto why = whyFolderRefusesFiles(folder)) return run->end(*why);
      int failed = ExportFileWriter::copyImages(run->images, self->baseFolder_, folder);
      run->failures += failed;
      run->written += static_cast<int>(run->images.size()) - failed;
      if (!run->images.empty()) run->step(static_cast<int>(run->images.size()), true);
      if (run->files.empty()) {
        if (run->failures > 0) run->end(std::to_string(failed) + " of " + std::to_string(run->total()) +
                                        " images could not be copied.");
        else run->tell({run->written, run->total(), false, {}});
        return;
      }
      run->writing = true;
      self->writeAll(run, folder);
    });
  });
}

// A few files at a time: each holds its page, the pictures inlined in it and its render until it
// is written, so that an export of many large frames takes what a few of them do.
void OstrelExporter::writeAll(std::shared_ptr<Run> run, stdfs::path folder) {
  for (int i = 0; i < filesAtOnce; ++i) writeNext(run, folder);
}

void OstrelExporter::writeNext(std::shared_ptr<Run> run, stdfs::path folder) {
  if (run->nextFile >= run->files.size()) return;
  const auto& file = run->files[run->nextFile++];
  ExportFileWriter::write(file, folder, file.name, baseFolder_, renderer_,
                          [self = shared_from_this(), run, folder](bool ok) {
                            if (ok) ++run->written;
                            run->step(1, ok);
                            self->writeNext(run, folder);
                          });
}

std::optional<std::string> OstrelExporter::whyFolderRefusesFiles(const stdfs::path& folder) {
  auto probe = fs::makeSiblingTemporaryFolder(folder / "export");
  if (!probe) return ErrorWording::whyWritingFailed(probe.error(), folder / "export");
  (void)fs::removeItem(*probe);
  return std::nullopt;
}

void OstrelExporter::exportFile(const ExportFileDescriptor& file, stdfs::path target, std::function<void(bool)> completion) {
  std::string extension = stdfs::path(file.name).filename().extension().string();
  if (!extension.empty() && target.filename().extension().string() != extension) target += extension;
  ExportFileWriter::write(file, target.parent_path(), target.filename(), baseFolder_, renderer_, std::move(completion));
}
