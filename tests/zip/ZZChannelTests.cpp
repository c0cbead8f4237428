#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "ZipTestSupport.h"
#include "support/TestEnvironment.h"
#include "zip/ZZDataChannel.h"
#include "zip/ZZFileChannel.h"

using namespace ziptest;
namespace stdfs = std::filesystem;

namespace {

void writeFile(const stdfs::path& p, std::string_view text) { std::ofstream(p, std::ios::binary) << text; }
std::string readFile(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
unsigned modeOf(const stdfs::path& p) {
  struct stat st{};
  ::stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(ZZFileChannel, OutputCreatesAMissingFileAndOverwritesInPlace) {
  ::umask(022);
  auto dir = testenv::freshFolder("channel");
  ZZFileChannel created(dir / "new.zip");
  auto out = created.newOutput();
  ASSERT_TRUE(out);
  ASSERT_TRUE((*out)->close());
  EXPECT_EQ(modeOf(dir / "new.zip"), 0644u);

  writeFile(dir / "long", "0123456789");
  ZZFileChannel channel(dir / "long");
  auto output = *channel.newOutput();
  ASSERT_TRUE(output->writeData(toData("ab")));
  ASSERT_TRUE(output->close());
  EXPECT_EQ(readFile(dir / "long"), "ab23456789");
}

TEST(ZZFileChannel, InputOfAMissingFileIsTheCocoaNotFoundError) {
  ZZFileChannel channel(testenv::freshFolder("channel") / "missing.zip");
  auto in = channel.newInput();
  ASSERT_FALSE(in);
  EXPECT_EQ(in.error().domain, NSCocoaErrorDomain);
  EXPECT_EQ(in.error().code, NSFileReadNoSuchFileError);
}

TEST(ZZFileChannel, ReadsOfAFileTruncatedWhileOpenFail) {
  auto dir = testenv::freshFolder("channel");
  writeFile(dir / "a", std::string(10000, 'z'));
  ZZFileChannel channel(dir / "a");
  auto in = *channel.newInput();
  stdfs::resize_file(dir / "a", 100);
  EXPECT_TRUE(in->readData(0, 100));
  EXPECT_FALSE(in->readData(5000, 100));
  EXPECT_FALSE(in->readData(9999, 2));  // past the size it was opened with
}

TEST(ZZFileChannel, TemporaryChannelLivesInItsOwnFolderAndGoesWithIt) {
  auto dir = testenv::freshFolder("channel");
  writeFile(dir / "doc.zip", "old");
  ::chmod((dir / "doc.zip").c_str(), 0600);
  ZZFileChannel channel(dir / "doc.zip");
  auto temporary = *channel.temporaryChannel();
  auto tempPath = *temporary->URL();
  EXPECT_EQ(tempPath.filename(), "doc.zip");
  EXPECT_EQ(tempPath.parent_path().parent_path(), dir);
  EXPECT_NE(tempPath.parent_path(), dir);

  auto out = *temporary->newOutput();
  ASSERT_TRUE(out->writeData(toData("new")));
  ASSERT_TRUE(out->close());
  ASSERT_TRUE(channel.replaceWithChannel(*temporary));
  temporary->removeAsTemporary();
  EXPECT_EQ(readFile(dir / "doc.zip"), "new");
  EXPECT_EQ(modeOf(dir / "doc.zip"), 0600u);
  EXPECT_FALSE(stdfs::exists(tempPath.parent_path()));
  EXPECT_TRUE(stdfs::exists(dir));
  // A channel that was not made as a temporary one removes nothing.
  channel.removeAsTemporary();
  EXPECT_TRUE(stdfs::exists(dir / "doc.zip"));
}

TEST(ZZDataChannel, EmptyBlockReadsAsMissingAndOutputsWriteThrough) {
  auto data = std::make_shared<Data>();
  ZZDataChannel channel(data);
  auto in = channel.newInput();
  ASSERT_FALSE(in);
  EXPECT_EQ(in.error().code, NSFileReadNoSuchFileError);
  EXPECT_TRUE(in.error().userInfo.empty());

  auto out = *channel.newOutput();
  ASSERT_TRUE(out->writeData(toData("abcdef")));
  ASSERT_TRUE(out->seekToOffset(4));
  ASSERT_TRUE(out->writeData(toData("XYZ")));
  EXPECT_EQ(toString(*data), "abcdXYZ");
  ASSERT_TRUE(out->truncateAtOffset(2));
  EXPECT_EQ(toString(*data), "ab");
}

}  // namespace
