#pragma once
// An archive in a file. Its input reads the file on demand (never mapped: a file truncated by
// another program gives read errors, not a crash). An update writes a whole new file in a
// fresh folder beside the target and renames it over the target.

#include "ZZChannel.h"

class ZZFileChannel : public ZZChannel {
 public:
  explicit ZZFileChannel(std::filesystem::path url) : url_(std::move(url)) {}

  std::optional<std::filesystem::path> URL() const override { return url_; }
  Result<std::shared_ptr<ZZChannelInput>> newInput() override;
  Result<std::unique_ptr<ZZChannelOutput>> newOutput() override;
  Result<std::shared_ptr<ZZChannel>> temporaryChannel() override;
  Result<void> replaceWithChannel(ZZChannel& channel) override;
  void removeAsTemporary() override;
  bool rewritesInPlace() const override { return false; }

 private:
  std::filesystem::path url_;
  // Set on a temporary channel: the folder made for it, and only it, is removed with it.
  std::filesystem::path temporaryFolder_;
};
