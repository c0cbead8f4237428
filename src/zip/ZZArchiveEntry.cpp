#include "ZZArchiveEntry.h"

#include "ZZError.h"
#include "ZZNewArchiveEntry.h"

namespace {
constexpr std::uint16_t kRegularFileMode = 0100644;
constexpr std::uint16_t kDirectoryMode = 040755;

Error noContent() { return zzError(ZZErrorCode::entryWriteFailed, "a new entry has no content to read"); }
}  // namespace

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(std::string fileName, bool compress,
                                                                         DataBlock dataBlock) {
  return archiveEntryWithFileName(std::move(fileName), kRegularFileMode, std::chrono::system_clock::now(),
                                  compress ? -1 : 0, std::move(dataBlock), nullptr, nullptr);
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(std::string fileName, bool compress,
                                                                         StreamBlock streamBlock) {
  return archiveEntryWithFileName(std::move(fileName), kRegularFileMode, std::chrono::system_clock::now(),
                                  compress ? -1 : 0, nullptr, std::move(streamBlock), nullptr);
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(std::string fileName, bool compress,
                                                                         DataConsumerBlock dataConsumerBlock) {
  return archiveEntryWithFileName(std::move(fileName), kRegularFileMode, std::chrono::system_clock::now(),
                                  compress ? -1 : 0, nullptr, nullptr, std::move(dataConsumerBlock));
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(
    std::string fileName, std::uint16_t fileMode, std::chrono::system_clock::time_point lastModified,
    int compressionLevel, DataBlock dataBlock, StreamBlock streamBlock, DataConsumerBlock dataConsumerBlock,
    BlockThread blockThread) {
  return std::make_shared<ZZNewArchiveEntry>(std::move(fileName), fileMode, lastModified, compressionLevel,
                                             std::move(dataBlock), std::move(streamBlock),
                                             std::move(dataConsumerBlock), blockThread);
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithDirectoryName(std::string directoryName) {
  return archiveEntryWithFileName(std::move(directoryName), kDirectoryMode, std::chrono::system_clock::now(), 0,
                                  nullptr, nullptr, nullptr);
}

std::optional<std::string> ZZArchiveEntry::fileNameWithEncoding(ZZFileNameEncoding encoding) const {
  return zzDecodeFileName(rawFileName(), encoding);
}

Result<std::unique_ptr<ZZInputStream>> ZZArchiveEntry::newStream(std::string_view) const { return fail(noContent()); }
Result<Data> ZZArchiveEntry::newData(std::string_view) const { return fail(noContent()); }
Result<std::unique_ptr<ZZDataProvider>> ZZArchiveEntry::newDataProvider(std::string_view) const {
  return fail(noContent());
}
Result<void> ZZArchiveEntry::check() const {
  return fail(zzError(ZZErrorCode::localFileHeaderInvalid, "a new entry has no local header yet"));
}
