#pragma once
// Where an archive's bytes live: an input read at given offsets, and a positioned output.
// Channels, inputs and outputs are used from one thread at a time.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

#include "platform/Data.h"
#include "platform/Error.h"

// A snapshot of the archive's bytes. Reads are bounds-checked against size(); a read that
// finds fewer bytes than size() promised (the file was truncated meanwhile) is an error.
class ZZChannelInput {
 public:
  virtual ~ZZChannelInput() = default;
  virtual std::uint64_t size() const = 0;
  virtual Result<void> readAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
  // The open file behind the input, for in-kernel copies; -1 when there is none.
  virtual int fileDescriptor() const { return -1; }

  Result<Data> readData(std::uint64_t offset, std::uint64_t length) const;
};

class ZZChannelOutput {
 public:
  virtual ~ZZChannelOutput() = default;
  virtual std::uint64_t offset() const = 0;
  virtual Result<void> seekToOffset(std::uint64_t offset) = 0;
  virtual Result<void> writeData(std::span<const std::uint8_t> bytes) = 0;
  virtual Result<void> truncateAtOffset(std::uint64_t offset) = 0;
  // Appends `length` bytes of `input` from `offset` at the output's position.
  virtual Result<void> copyFrom(const ZZChannelInput& input, std::uint64_t offset, std::uint64_t length);
  // Flushes (and for a file, syncs) what was written; it is durable only when this succeeds.
  virtual Result<void> close() = 0;
};

class ZZChannel {
 public:
  virtual ~ZZChannel() = default;
  virtual std::optional<std::filesystem::path> URL() const = 0;
  virtual Result<std::shared_ptr<ZZChannelInput>> newInput() = 0;
  virtual Result<std::unique_ptr<ZZChannelOutput>> newOutput() = 0;
  // A new channel of the same kind for an update's copy.
  virtual Result<std::shared_ptr<ZZChannel>> temporaryChannel() = 0;
  // Makes this channel's content that of `channel`, a temporary channel of this one.
  virtual Result<void> replaceWithChannel(ZZChannel& channel) = 0;
  virtual void removeAsTemporary() = 0;
  // Whether an update may rewrite just the tail of this channel's own bytes. A file never is:
  // a failure midway would leave it damaged, so files are always replaced whole.
  virtual bool rewritesInPlace() const = 0;
};
