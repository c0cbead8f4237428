#pragma once
// An archive in a block of memory shared with the caller, who sees updates in `allData`.
// An empty block reads as a missing file.

#include "ZZChannel.h"

class ZZDataChannel : public ZZChannel {
 public:
  explicit ZZDataChannel(std::shared_ptr<Data> allData) : allData_(std::move(allData)) {}

  const std::shared_ptr<Data>& allData() const { return allData_; }

  std::optional<std::filesystem::path> URL() const override { return std::nullopt; }
  Result<std::shared_ptr<ZZChannelInput>> newInput() override;
  Result<std::unique_ptr<ZZChannelOutput>> newOutput() override;
  Result<std::shared_ptr<ZZChannel>> temporaryChannel() override;
  Result<void> replaceWithChannel(ZZChannel& channel) override;
  void removeAsTemporary() override;
  bool rewritesInPlace() const override { return true; }

 private:
  std::shared_ptr<Data> allData_;
};
