#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "ZipTestSupport.h"
#include "support/TestEnvironment.h"
#include "zip/ZZByteReader.h"
#include "zip/ZZDataChannel.h"
#include "zip/ZZHeaders.h"

using namespace ziptest;
namespace stdfs = std::filesystem;

namespace {

std::shared_ptr<ZZArchiveEntry> textEntry(const std::string& name, const std::string& text, bool compress = true) {
  return ZZArchiveEntry::archiveEntryWithFileName(name, compress, [text] { return Result<Data>(toData(text)); });
}

Data fileBytes(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Data(std::istreambuf_iterator<char>(in), {});
}

std::size_t itemsIn(const stdfs::path& dir) {
  return static_cast<std::size_t>(std::distance(stdfs::directory_iterator(dir), stdfs::directory_iterator()));
}

struct MemoryArchive {
  std::shared_ptr<Data> data = std::make_shared<Data>();
  std::shared_ptr<ZZArchive> archive = *ZZArchive::archiveWithData(data, {{ZZOpenOptionsCreateIfMissingKey, true}});
};

TEST(ZZArchiveUpdate, MemoryArchivesRewriteOnlyWhatChanged) {
  MemoryArchive m;
  ASSERT_TRUE(m.archive->updateEntries({textEntry("a", "alpha"), textEntry("b", "beta", false)}));
  Data before = *m.data;
  std::uint32_t cdOffset = zzGetU32(before.data() + before.size() - 6);

  // The same entries: local files stay byte for byte, the directory is written again.
  auto same = m.archive->entries();
  ASSERT_TRUE(m.archive->updateEntries(same));
  EXPECT_EQ(*m.data, before);

  // Appending writes only the new entry after the old local files.
  auto appended = m.archive->entries();
  appended.push_back(textEntry("c", "gamma"));
  ASSERT_TRUE(m.archive->updateEntries(appended));
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + cdOffset, m.data->begin()));
  ASSERT_EQ(m.archive->entries().size(), 3u);
  EXPECT_EQ(toString(*m.archive->entries()[2]->newData()), "gamma");

  // A different first entry rewrites everything; old entries are copied raw.
  auto reordered = m.archive->entries();
  std::swap(reordered[0], reordered[2]);
  ASSERT_TRUE(m.archive->updateEntries(reordered));
  EXPECT_EQ(m.archive->entries()[0]->fileName(), "c");
  EXPECT_EQ(toString(*m.archive->entries()[2]->newData()), "alpha");
  for (const auto& e : m.archive->entries()) EXPECT_TRUE(e->check());

  ASSERT_TRUE(m.archive->updateEntries({}));
  EXPECT_EQ(m.data->size(), 22u);
  EXPECT_TRUE(m.archive->entries().empty());
}

TEST(ZZArchiveUpdate, FilesAreReplacedWholeKeepingTheirPermissions) {
  auto dir = testenv::freshFolder("update");
  auto path = dir / "doc.zip";
  auto archive = *ZZArchive::archiveWithURL(path, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries({textEntry("a", "alpha")}));
  ::chmod(path.c_str(), 0640);
  struct stat before{};
  ::stat(path.c_str(), &before);

  auto entries = archive->entries();
  entries.push_back(textEntry("b", "beta"));
  ASSERT_TRUE(archive->updateEntries(entries));
  struct stat after{};
  ::stat(path.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino);  // a new file took the old one's place
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(itemsIn(dir), 1u);
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_TRUE(readAll(*archive));
  EXPECT_EQ(toString(*(*ZZArchive::archiveWithURL(path))->entries()[1]->newData()), "beta");
}

TEST(ZZArchiveUpdate, AFailingEntryLeavesTheArchiveAsItWas) {
  auto dir = testenv::freshFolder("update");
  auto path = dir / "doc.zip";
  auto archive = *ZZArchive::archiveWithURL(path, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries({textEntry("a", "alpha")}));
  Data before = fileBytes(path);

  auto silent = ZZArchiveEntry::archiveEntryWithFileName("x", false, [] { return Result<Data>(fail(Error())); });
  auto r = archive->updateEntries({archive->entries()[0], silent});
  EXPECT_EQ(zipCode(r), 5);
  EXPECT_EQ(r.error().intInfo(ZZEntryIndexKey), 1);
  ASSERT_TRUE(r.error().underlying);
  EXPECT_EQ(r.error().underlying->domain, ZZErrorDomain);
  EXPECT_EQ(r.error().underlying->code, 13);

  auto failing = ZZArchiveEntry::archiveEntryWithFileName("y", true, [](ZZOutputStream& s) -> Result<void> {
    s.open();
    s.write(reinterpret_cast<const std::uint8_t*>("partial"), 7);
    s.close();
    return fail(Error(NSCocoaErrorDomain, NSFileReadUnknownError, "source vanished"));
  });
  r = archive->updateEntries({failing});
  EXPECT_EQ(zipCode(r), 5);
  EXPECT_EQ(r.error().underlying->code, NSFileReadUnknownError);

  EXPECT_EQ(fileBytes(path), before);
  EXPECT_EQ(itemsIn(dir), 1u);
  EXPECT_EQ(archive->entries().size(), 1u);
  EXPECT_TRUE(readAll(*archive));
}

// A memory channel whose temporary outputs fail once they hold `limit` bytes.
class FullDiskChannel : public ZZDataChannel {
 public:
  FullDiskChannel(std::shared_ptr<Data> data, std::size_t limit) : ZZDataChannel(std::move(data)), limit_(limit) {}
  Result<std::shared_ptr<ZZChannel>> temporaryChannel() override {
    return std::make_shared<FullDiskChannel>(std::make_shared<Data>(), limit_);
  }
  Result<std::unique_ptr<ZZChannelOutput>> newOutput() override {
    auto inner = ZZDataChannel::newOutput();
    return std::unique_ptr<ZZChannelOutput>(std::make_unique<Limited>(std::move(*inner), limit_));
  }

 private:
  class Limited : public ZZChannelOutput {
   public:
    Limited(std::unique_ptr<ZZChannelOutput> inner, std::size_t limit) : inner_(std::move(inner)), limit_(limit) {}
    std::uint64_t offset() const override { return inner_->offset(); }
    Result<void> seekToOffset(std::uint64_t o) override { return inner_->seekToOffset(o); }
    Result<void> writeData(std::span<const std::uint8_t> b) override {
      if (inner_->offset() + b.size() > limit_) return fail(Error::posix(ENOSPC, "disk full"));
      return inner_->writeData(b);
    }
    Result<void> truncateAtOffset(std::uint64_t o) override { return inner_->truncateAtOffset(o); }
    Result<void> close() override { return inner_->close(); }

   private:
    std::unique_ptr<ZZChannelOutput> inner_;
    std::size_t limit_;
  };
  std::size_t limit_;
};

TEST(ZZArchiveUpdate, AFailedFinalDeflateFlushFailsTheUpdate) {
  auto data = std::make_shared<Data>();
  // Room for the local header and name only: the deflated bytes come at the final flush.
  auto channel = std::make_shared<FullDiskChannel>(data, ZZLocalFileHeader::fixedSize + 1);
  auto archive = *ZZArchive::archiveWithChannel(channel, {{ZZOpenOptionsCreateIfMissingKey, true}});
  auto r = archive->updateEntries({textEntry("a", "short text that zlib keeps until the end")});
  EXPECT_EQ(zipCode(r), 5);
  EXPECT_EQ(r.error().underlying->code, ENOSPC);
  EXPECT_NE(r.error().message.find("the disk is full"), std::string::npos) << r.error().message;
  EXPECT_TRUE(data->empty());
}

TEST(ZZArchiveUpdate, TheFormatsLimitsAreCheckedBeforeWriting) {
  MemoryArchive m;
  std::vector<std::shared_ptr<ZZArchiveEntry>> many(65536, ZZArchiveEntry::archiveEntryWithDirectoryName("d/"));
  EXPECT_EQ(zipCode(m.archive->updateEntries(many)), 7);
  auto longName = ZZArchiveEntry::archiveEntryWithDirectoryName(std::string(65536, 'n'));
  auto r = m.archive->updateEntries({textEntry("a", "a"), longName});
  EXPECT_EQ(zipCode(r), 5);
  EXPECT_EQ(r.error().intInfo(ZZEntryIndexKey), 1);
  EXPECT_TRUE(m.data->empty());
  // A name that is not UTF-8 is written as its bytes, without the UTF-8 flag, and read back
  // as those bytes.
  ASSERT_TRUE(m.archive->updateEntries({textEntry("a", "a"), textEntry("b\xff\xfe.txt", "b")}));
  ASSERT_EQ(m.archive->entries().size(), 2u);
  EXPECT_EQ(m.archive->entries()[0]->encoding(), ZZFileNameEncoding::utf8);
  EXPECT_EQ(m.archive->entries()[1]->encoding(), ZZFileNameEncoding::codePage437);
  EXPECT_EQ(m.archive->entries()[1]->fileSystemName(), "b\xff\xfe.txt");
  EXPECT_EQ(toString(*m.archive->entries()[1]->newData()), "b");
  ASSERT_TRUE(m.archive->updateEntries({}));

  std::vector<std::shared_ptr<ZZArchiveEntry>> most(65535, ZZArchiveEntry::archiveEntryWithDirectoryName("d/"));
  ASSERT_TRUE(m.archive->updateEntries(most));
  EXPECT_EQ(m.archive->entries().size(), 65535u);
}

TEST(ZZArchiveUpdate, DescriptorsWithoutSignatureAreCopiedWhole) {
  RawEntry e = deflatedEntry("a", randomData(3000, 3));
  e.dataDescriptor = true;
  e.descriptorSignature = false;
  auto dir = testenv::freshFolder("update");
  Data zip = makeRawZip({e, storedEntry("b", toData("bee"))});
  std::ofstream(dir / "d.zip", std::ios::binary).write(reinterpret_cast<const char*>(zip.data()), zip.size());
  auto archive = *ZZArchive::archiveWithURL(dir / "d.zip");
  auto entries = archive->entries();
  entries.push_back(textEntry("c", "sea"));
  ASSERT_TRUE(archive->updateEntries(entries));
  ASSERT_EQ(archive->entries().size(), 3u);
  for (const auto& entry : archive->entries()) EXPECT_TRUE(entry->check());
  EXPECT_TRUE(readAll(*archive));
}

}  // namespace
