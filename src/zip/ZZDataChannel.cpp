#include "ZZDataChannel.h"

#include <cerrno>
#include <cstring>

namespace {

// Reads a copy taken when the input was made, so an update writing into the block does not
// change what the entries of the previous load read.
class ZZDataChannelInput : public ZZChannelInput {
 public:
  explicit ZZDataChannelInput(Data snapshot) : data_(std::move(snapshot)) {}
  std::uint64_t size() const override { return data_.size(); }
  Result<void> readAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset > data_.size() || out.size() > data_.size() - offset)
      return fail(Error::posix(EIO, "read past the end of the archive"));
    if (!out.empty()) std::memcpy(out.data(), data_.data() + offset, out.size());
    return {};
  }

 private:
  Data data_;
};

class ZZDataChannelOutput : public ZZChannelOutput {
 public:
  explicit ZZDataChannelOutput(std::shared_ptr<Data> allData) : allData_(std::move(allData)) {}
  std::uint64_t offset() const override { return offset_; }
  Result<void> seekToOffset(std::uint64_t offset) override {
    offset_ = offset;
    return {};
  }
  Result<void> writeData(std::span<const std::uint8_t> bytes) override {
    Data& d = *allData_;
    if (offset_ == d.size()) {
      d.insert(d.end(), bytes.begin(), bytes.end());
    } else {
      if (offset_ + bytes.size() > d.size()) d.resize(static_cast<std::size_t>(offset_ + bytes.size()));
      if (!bytes.empty()) std::memcpy(d.data() + offset_, bytes.data(), bytes.size());
    }
    offset_ += bytes.size();
    return {};
  }
  Result<void> truncateAtOffset(std::uint64_t offset) override {
    allData_->resize(static_cast<std::size_t>(offset));
    return {};
  }
  Result<void> close() override { return {}; }

 private:
  std::shared_ptr<Data> allData_;
  std::uint64_t offset_ = 0;
};

}  // namespace

Result<std::shared_ptr<ZZChannelInput>> ZZDataChannel::newInput() {
  if (allData_->empty()) return fail(Error(NSCocoaErrorDomain, NSFileReadNoSuchFileError, "the archive's data is empty"));
  return std::make_shared<ZZDataChannelInput>(*allData_);
}

Result<std::unique_ptr<ZZChannelOutput>> ZZDataChannel::newOutput() {
  return std::make_unique<ZZDataChannelOutput>(allData_);
}

Result<std::shared_ptr<ZZChannel>> ZZDataChannel::temporaryChannel() {
  return std::make_shared<ZZDataChannel>(std::make_shared<Data>());
}

Result<void> ZZDataChannel::replaceWithChannel(ZZChannel& channel) {
  auto* other = dynamic_cast<ZZDataChannel*>(&channel);
  if (!other) return fail(Error::posix(EINVAL, "a memory archive is replaced only by memory"));
  *allData_ = *other->allData_;
  return {};
}

void ZZDataChannel::removeAsTemporary() { allData_ = std::make_shared<Data>(); }
