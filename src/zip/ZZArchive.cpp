#include "ZZArchive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "ZZByteReader.h"
#include "ZZDataChannel.h"
#include "ZZEntryPreparationPool.h"
#include "ZZFileChannel.h"
#include "ZZFileName.h"
#include "ZZHeaders.h"
#include "ZZNewArchiveEntry.h"
#include "ZZOldArchiveEntry.h"
#include "ZZScopeGuard.h"

namespace {

// The end record is within its own length plus the longest comment of the end.
constexpr std::uint64_t kEndSearchWindow = ZZEndOfCentralDirectoryRecord::fixedSize +
                                           ZZEndOfCentralDirectoryRecord::maximumCommentLength;

struct EndRecord {
  ZZEndOfCentralDirectoryRecord record;
  std::uint64_t offset = 0;
};

bool isValidEnd(const ZZEndOfCentralDirectoryRecord& e, std::uint64_t recordOffset, std::uint64_t archiveSize) {
  return e.numberOfThisDisk == 0 && e.numberOfTheDiskWithTheStartOfTheCentralDirectory == 0 &&
         e.totalNumberOfEntriesInTheCentralDirectoryOnThisDisk == e.totalNumberOfEntriesInTheCentralDirectory &&
         std::uint64_t(e.offsetOfStartOfCentralDirectory) +
                 std::uint64_t(e.totalNumberOfEntriesInTheCentralDirectory) * ZZCentralFileHeader::fixedSize <=
             recordOffset &&
         recordOffset + ZZEndOfCentralDirectoryRecord::fixedSize + e.zipFileCommentLength == archiveSize;
}

// The last valid end record whose signature starts in the search window.
Result<EndRecord> findEndRecord(const ZZChannelInput& input) {
  const std::uint64_t size = input.size();
  if (size < ZZEndOfCentralDirectoryRecord::fixedSize)
    return fail(zzError(ZZErrorCode::endOfCentralDirectoryInvalid, "the archive is too short for an end record"));
  const std::uint64_t windowStart = size > kEndSearchWindow ? size - kEndSearchWindow : 0;
  auto tail = input.readData(windowStart, size - windowStart);
  if (!tail) return fail(zzError(ZZErrorCode::archiveUnreadable, tail.error(), "the archive could not be read"));
  const Data& t = *tail;
  for (std::size_t i = t.size() - ZZEndOfCentralDirectoryRecord::fixedSize + 1; i-- > 0;) {
    if (t[i] != 0x50 || t[i + 1] != 0x4b || t[i + 2] != 0x05 || t[i + 3] != 0x06) continue;
    ZZByteReader r(std::span<const std::uint8_t>(t).subspan(i));
    EndRecord end{ZZEndOfCentralDirectoryRecord::read(r), windowStart + i};
    if (r.ok() && isValidEnd(end.record, end.offset, size)) return end;
  }
  return fail(zzError(ZZErrorCode::endOfCentralDirectoryInvalid, "no valid end of central directory record"));
}

// Two entries whose local records share bytes would read one stream twice: a small file could
// expand without end. The local name is as long as the central one (every read checks it), so
// a record spans at least its fixed header, that name and the data.
struct LocalSpan {
  std::uint64_t start, end;
  std::size_t index;
  static LocalSpan of(const ZZCentralFileHeader& h, std::size_t index) {
    std::uint64_t start = h.relativeOffsetOfLocalHeader;
    return {start, start + ZZLocalFileHeader::fixedSize + h.fileNameLength + h.compressedSize, index};
  }
};

std::optional<Error> findOverlappingLocalRecords(std::vector<LocalSpan> spans) {
  using Span = LocalSpan;
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
  for (std::size_t i = 1; i < spans.size(); ++i)
    if (spans[i].start < spans[i - 1].end)
      return zzEntryError(ZZErrorCode::centralFileHeaderInvalid, spans[i].index, "two entries' local records overlap");
  return std::nullopt;
}

bool isOutOfSpace(const Error& e) {
  for (const Error* cause = &e; cause; cause = cause->underlying.get())
    if (cause->domain == NSPOSIXErrorDomain && (cause->code == ENOSPC || cause->code == EDQUOT)) return true;
  return false;
}

// A write that failed for lack of space says so: the person can free space and save again.
std::string writeFailure(const Error& e, const std::string& what) {
  return isOutOfSpace(e) ? "the disk is full: " + what : what;
}

Error limitError(ZZErrorCode code, const std::string& what) {
  return zzError(code, Error::posix(EFBIG, what), what);
}

}  // namespace

Result<std::shared_ptr<ZZArchive>> ZZArchive::archiveWithURL(const std::filesystem::path& url,
                                                             const ZZOpenOptions& options) {
  return archiveWithChannel(std::make_shared<ZZFileChannel>(url), options);
}

Result<std::shared_ptr<ZZArchive>> ZZArchive::archiveWithData(std::shared_ptr<Data> data,
                                                              const ZZOpenOptions& options) {
  if (!data) data = std::make_shared<Data>();
  return archiveWithChannel(std::make_shared<ZZDataChannel>(std::move(data)), options);
}

Result<std::shared_ptr<ZZArchive>> ZZArchive::archiveWithChannel(std::shared_ptr<ZZChannel> channel,
                                                                 const ZZOpenOptions& options) {
  auto archive = std::make_shared<ZZArchive>(Key(), std::move(channel));
  auto option = options.find(ZZOpenOptionsCreateIfMissingKey);
  bool canMiss = option != options.end() && option->second;
  if (auto r = archive->loadCanMiss(canMiss); !r) return fail(r.error());
  return archive;
}

Result<void> ZZArchive::loadCanMiss(bool canMiss) {
  auto input = channel_->newInput();
  if (!input) {
    const Error& e = input.error();
    if (canMiss && e.domain == NSCocoaErrorDomain && e.code == NSFileReadNoSuchFileError) {
      entries_.clear();
      return {};
    }
    return fail(zzError(ZZErrorCode::archiveUnreadable, e, "the archive could not be read"));
  }
  std::shared_ptr<const ZZChannelInput> in = *input;
  auto end = findEndRecord(*in);
  if (!end) return fail(end.error());

  const ZZEndOfCentralDirectoryRecord& e = end->record;
  const std::uint64_t cdOffset = e.offsetOfStartOfCentralDirectory;
  // The central directory is read whole; entries' data stays in the file until asked for.
  auto directory = in->readData(cdOffset, end->offset - cdOffset);
  if (!directory) return fail(zzError(ZZErrorCode::archiveUnreadable, directory.error(), "the archive could not be read"));

  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  entries.reserve(e.totalNumberOfEntriesInTheCentralDirectory);
  std::vector<LocalSpan> spans;
  ZZByteReader r(*directory);
  for (std::size_t index = 0; index < e.totalNumberOfEntriesInTheCentralDirectory; ++index) {
    std::size_t start = r.position();
    ZZCentralFileHeader header = ZZCentralFileHeader::read(r);
    r.skip(static_cast<std::size_t>(header.totalLength() - ZZCentralFileHeader::fixedSize));
    if (!r.ok())
      return fail(zzEntryError(ZZErrorCode::centralFileHeaderInvalid, index, "a central header runs past the end record"));
    if (header.signature != ZZCentralFileHeader::signatureValue || header.diskNumberStart != 0 ||
        std::uint64_t(header.relativeOffsetOfLocalHeader) + ZZLocalFileHeader::fixedSize > cdOffset)
      return fail(zzEntryError(ZZErrorCode::centralFileHeaderInvalid, index, "a central header is invalid"));
    Data raw(directory->begin() + static_cast<std::ptrdiff_t>(start),
             directory->begin() + static_cast<std::ptrdiff_t>(r.position()));
    spans.push_back(LocalSpan::of(header, index));
    entries.push_back(std::make_shared<ZZOldArchiveEntry>(in, index, header, std::move(raw), cdOffset));
  }
  if (auto overlap = findOverlappingLocalRecords(std::move(spans))) return fail(*overlap);
  entries_ = std::move(entries);
  return {};
}

Result<void> ZZArchive::updateEntries(const std::vector<std::shared_ptr<ZZArchiveEntry>>& newEntries,
                                      const std::function<Result<void>()>& beforeReplacing) {
  // The format's limits are checked before anything is written.
  if (newEntries.size() > ZZMaximumEntryCount)
    return fail(limitError(ZZErrorCode::endOfCentralDirectoryWriteFailed,
                           "a zip archive without Zip64 holds at most 65,535 entries"));
  for (std::size_t i = 0; i < newEntries.size(); ++i) {
    if (!newEntries[i]) return fail(zzEntryError(ZZErrorCode::localFileWriteFailed, i, "the entry is missing"));
    if (newEntries[i]->rawFileName().size() > ZZMaximumFileNameLength) {
      Error e = zzEntryError(ZZErrorCode::localFileWriteFailed, i, "the entry's name is longer than 65,535 bytes");
      return fail(e.withUnderlying(Error::posix(ENAMETOOLONG, "the entry's name is longer than 65,535 bytes")));
    }
  }

  // Entries carried over are copied from the archive itself: another program that rewrites it
  // meanwhile makes the copy fail (a shorter file ends early). That change is then the reason.
  auto failed = [&](Error e) -> Result<void> {
    if (beforeReplacing)
      if (auto unchanged = beforeReplacing(); !unchanged) return fail(unchanged.error().withUnderlying(std::move(e)));
    return fail(std::move(e));
  };

  // Leading entries that stay where they are need not be written again, but only a memory
  // archive is rewritten in place: a file is always written whole to a new file.
  std::size_t skipIndex = 0;
  if (channel_->rewritesInPlace()) {
    while (skipIndex < newEntries.size() && skipIndex < entries_.size() && newEntries[skipIndex] == entries_[skipIndex])
      ++skipIndex;
  }
  std::vector<std::unique_ptr<ZZArchiveEntryWriter>> writers;
  writers.reserve(newEntries.size());
  for (std::size_t i = 0; i < newEntries.size(); ++i) {
    auto writer = newEntries[i]->newWriterCanSkipLocalFile(i < skipIndex);
    if (!writer)
      return failed(zzEntryError(ZZErrorCode::localFileWriteFailed, i, writer.error(), "the entry could not be copied"));
    writers.push_back(std::move(*writer));
  }
  const std::uint64_t initialSkip = skipIndex > 0 ? writers[skipIndex - 1]->offsetToLocalFileEnd() : 0;

  auto temporary = channel_->temporaryChannel();
  if (!temporary)
    return fail(zzError(ZZErrorCode::temporaryOutputUnavailable, temporary.error(), "no temporary file for the update"));
  ZZChannel& temporaryChannel = **temporary;
  ZZScopeGuard removeTemporary([&] { temporaryChannel.removeAsTemporary(); });

  auto opened = temporaryChannel.newOutput();
  if (!opened)
    return fail(zzError(ZZErrorCode::temporaryOutputUnavailable, opened.error(), "the temporary file could not be opened"));
  ZZChannelOutput& output = **opened;
  ZZScopeGuard closeOutput([&] { (void)output.close(); });

  // Entries that allow it are read and compressed on every core ahead of their turn; this
  // thread appends each in order. The pool ends (and its threads with it) before this returns.
  std::vector<ZZArchiveEntryWriter*> concurrent;
  for (std::size_t i = skipIndex; i < writers.size(); ++i)
    if (writers[i]->preparesConcurrently()) concurrent.push_back(writers[i].get());
  std::optional<ZZEntryPreparationPool> pool;
  if (!concurrent.empty()) {
    auto where = temporaryChannel.URL();
    pool.emplace(std::move(concurrent),
                 where ? where->parent_path() : std::filesystem::temp_directory_path());
  }

  auto writeEntries = [&]() -> Result<void> {
    for (std::size_t i = skipIndex; i < writers.size(); ++i) {
      bool prepared = pool && writers[i]->preparesConcurrently();
      Result<void> r;
      if (prepared) r = pool->waitFor(writers[i].get());
      if (r) r = writers[i]->writeLocalFileToChannelOutput(output, initialSkip);
      if (!r)
        return fail(zzEntryError(ZZErrorCode::localFileWriteFailed, i, zzErrorOrWriteFailed(r.error()),
                                 writeFailure(r.error(), "an entry could not be written")));
      if (prepared) pool->written(writers[i].get());
    }
    return {};
  };
  auto entriesWritten = writeEntries();
  if (!entriesWritten && pool && pool->mostSpilled() > 0 && isOutOfSpace(entriesWritten.error())) {
    // Entries prepared ahead took room on the volume that a sequential update does not need:
    // they let go of it, and the update starts again and writes every entry in its turn.
    pool.reset();
    for (std::size_t i = skipIndex; i < writers.size(); ++i) writers[i]->discardPreparation();
    entriesWritten = output.truncateAtOffset(0);
    if (entriesWritten) entriesWritten = output.seekToOffset(0);
    entriesWritten = entriesWritten ? writeEntries() : entriesWritten;
  }
  pool.reset();
  if (!entriesWritten) return failed(entriesWritten.error());

  ZZEndOfCentralDirectoryRecord end;
  end.totalNumberOfEntriesInTheCentralDirectoryOnThisDisk = static_cast<std::uint16_t>(newEntries.size());
  end.totalNumberOfEntriesInTheCentralDirectory = static_cast<std::uint16_t>(newEntries.size());
  const std::uint64_t centralDirectoryStart = output.offset() + initialSkip;
  if (centralDirectoryStart > ZZMaximumOffset)
    return fail(limitError(ZZErrorCode::endOfCentralDirectoryWriteFailed,
                           "the entries are past the 4 GiB that a zip archive without Zip64 can hold"));
  end.offsetOfStartOfCentralDirectory = static_cast<std::uint32_t>(centralDirectoryStart);

  for (std::size_t i = 0; i < writers.size(); ++i) {
    if (auto r = writers[i]->writeCentralFileHeaderToChannelOutput(output); !r)
      return failed(zzEntryError(ZZErrorCode::centralFileHeaderWriteFailed, i, r.error(),
                               writeFailure(r.error(), "a central header could not be written")));
  }
  const std::uint64_t centralDirectoryEnd = output.offset() + initialSkip;
  if (centralDirectoryEnd > ZZMaximumOffset)
    return fail(limitError(ZZErrorCode::endOfCentralDirectoryWriteFailed,
                           "the central directory is past the 4 GiB that a zip archive without Zip64 can hold"));
  end.sizeOfTheCentralDirectory = static_cast<std::uint32_t>(centralDirectoryEnd - centralDirectoryStart);
  Data endBytes;
  end.appendTo(endBytes);
  if (auto r = output.writeData(endBytes); !r)
    return failed(zzError(ZZErrorCode::endOfCentralDirectoryWriteFailed, r.error(), writeFailure(r.error(), "the end record could not be written")));

  // Only a complete, synced copy may take the archive's place.
  closeOutput.dismiss();
  if (auto r = output.close(); !r)
    return failed(zzError(ZZErrorCode::replaceFailed, r.error(), writeFailure(r.error(), "the updated archive could not be saved")));

  if (beforeReplacing)
    if (auto r = beforeReplacing(); !r) return fail(r.error());
  if (initialSkip == 0) {
    if (auto r = channel_->replaceWithChannel(temporaryChannel); !r)
      return fail(zzError(ZZErrorCode::replaceFailed, r.error(), "the archive could not be replaced"));
  } else {
    auto replaced = [&]() -> Result<void> {
      auto own = channel_->newOutput();
      if (!own) return fail(own.error());
      ZZChannelOutput& ownOutput = **own;
      auto written = temporaryChannel.newInput();
      if (!written) {
        (void)ownOutput.close();
        return fail(written.error());
      }
      Result<void> r = ownOutput.seekToOffset(initialSkip);
      if (r) r = ownOutput.copyFrom(**written, 0, (*written)->size());
      if (r) r = ownOutput.truncateAtOffset(ownOutput.offset());
      auto closed = ownOutput.close();
      if (!r) return r;
      return closed;
    }();
    if (!replaced)
      return fail(zzError(ZZErrorCode::replaceFailed, replaced.error(), "the archive could not be rewritten"));
  }
  return loadCanMiss(false);
}
