#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "zip/ZZChannelInputStream.h"
#include "zip/ZZDataChannel.h"
#include "zip/ZZDeflateOutputStream.h"
#include "zip/ZZInflateInputStream.h"
#include "zip/ZZStoreOutputStream.h"

using namespace ziptest;

namespace {

std::unique_ptr<ZZInputStream> inflating(const Data& compressed) {
  ZZDataChannel channel(std::make_shared<Data>(compressed.empty() ? Data{0} : compressed));
  std::shared_ptr<const ZZChannelInput> input = *channel.newInput();
  auto raw = std::make_unique<ZZChannelInputStream>(input, 0, compressed.size());
  return std::make_unique<ZZInflateInputStream>(std::move(raw));
}

// Reads to the end in small pieces; -1 on the first error.
long long drain(ZZInputStream& s, Data* out = nullptr) {
  s.open();
  std::uint8_t buffer[100];
  long long total = 0;
  for (;;) {
    auto n = s.read(buffer, sizeof buffer);
    if (n < 0) return -1;
    if (n == 0) return total;
    if (out) out->insert(out->end(), buffer, buffer + n);
    total += n;
  }
}

// An output that fails every write after `limit` bytes.
class FailingOutput : public ZZChannelOutput {
 public:
  explicit FailingOutput(std::size_t limit) : limit_(limit) {}
  std::uint64_t offset() const override { return written_; }
  Result<void> seekToOffset(std::uint64_t) override { return {}; }
  Result<void> writeData(std::span<const std::uint8_t> bytes) override {
    if (written_ + bytes.size() > limit_) return fail(Error::posix(ENOSPC, "full"));
    written_ += bytes.size();
    return {};
  }
  Result<void> truncateAtOffset(std::uint64_t) override { return {}; }
  Result<void> close() override { return {}; }

 private:
  std::size_t limit_;
  std::size_t written_ = 0;
};

TEST(ZZStoreOutputStream, WritesBytesAsTheyAreAndMeasuresThem) {
  auto data = std::make_shared<Data>();
  ZZDataChannel channel(data);
  auto output = *channel.newOutput();
  ZZStoreOutputStream store(*output);
  store.open();
  EXPECT_EQ(store.write(nullptr, 0), 0);
  EXPECT_EQ(store.crc32(), 0u);
  Data text = toData("hello");
  EXPECT_EQ(store.write(text.data(), text.size()), 5);
  store.close();
  EXPECT_EQ(*data, text);
  EXPECT_EQ(store.crc32(), crc32Of(text));
  EXPECT_EQ(store.size(), 5u);
}

TEST(ZZDeflateOutputStream, EmptyStreamIsTheTwoByteEmptyBlock) {
  auto data = std::make_shared<Data>();
  ZZDataChannel channel(data);
  auto output = *channel.newOutput();
  ZZDeflateOutputStream deflate(*output, -1);
  deflate.open();
  deflate.close();
  EXPECT_EQ(deflate.streamStatus(), ZZStreamStatus::closed);
  EXPECT_EQ(deflate.uncompressedSize(), 0u);
  EXPECT_EQ(deflate.compressedSize(), 2u);
  EXPECT_EQ(*data, (Data{0x03, 0x00}));
}

TEST(ZZDeflateOutputStream, AFailedFinalFlushLeavesTheStreamInError) {
  FailingOutput output(0);
  ZZDeflateOutputStream deflate(output, 6);
  deflate.open();
  Data text = toData("small enough to stay inside zlib until the end");
  EXPECT_EQ(deflate.write(text.data(), text.size()), static_cast<std::ptrdiff_t>(text.size()));
  deflate.close();
  EXPECT_EQ(deflate.streamStatus(), ZZStreamStatus::error);
  ASSERT_TRUE(deflate.streamError());
  EXPECT_EQ(deflate.streamError()->code, ENOSPC);
}

TEST(ZZInflateInputStream, RoundTripsAndReadsZeroAfterTheEnd) {
  Data plain = randomData(50000, 1);
  plain.insert(plain.end(), 100000, 'x');
  auto s = inflating(rawDeflate(plain, 9));
  Data out;
  EXPECT_EQ(drain(*s, &out), static_cast<long long>(plain.size()));
  EXPECT_EQ(out, plain);
  std::uint8_t b;
  EXPECT_EQ(s->read(&b, 1), 0);
}

TEST(ZZInflateInputStream, CorruptOrShortDataIsAnError) {
  Data compressed = rawDeflate(randomData(5000, 2));
  Data cut(compressed.begin(), compressed.begin() + static_cast<std::ptrdiff_t>(compressed.size() / 2));
  auto shortStream = inflating(cut);
  EXPECT_EQ(drain(*shortStream), -1);
  EXPECT_EQ(shortStream->streamError()->code, static_cast<long>(ZZErrorCode::entryDataInvalid));

  auto garbage = inflating(Data(64, 0xFF));
  EXPECT_EQ(drain(*garbage), -1);
}

TEST(ZZInflateInputStream, DecompressDataWantsTheExactSize) {
  Data plain = toData("one two three four five six seven");
  Data compressed = rawDeflate(plain);
  EXPECT_EQ(*ZZInflateInputStream::decompressData(compressed, plain.size()), plain);
  EXPECT_FALSE(ZZInflateInputStream::decompressData(compressed, plain.size() - 1));
  EXPECT_FALSE(ZZInflateInputStream::decompressData(compressed, plain.size() + 1));
}

}  // namespace
