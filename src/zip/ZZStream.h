#pragma once
// Byte streams between callers and archive bytes. A stream keeps its own status and its first
// error; read and write answer -1 on error, and read answers 0 only at the true end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/Error.h"

enum class ZZStreamStatus { notOpen, open, atEnd, closed, error };

class ZZInputStream {
 public:
  virtual ~ZZInputStream() = default;
  virtual void open() = 0;
  virtual std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual void close() = 0;
  bool hasBytesAvailable() const { return true; }
  ZZStreamStatus streamStatus() const { return status_; }
  const std::optional<Error>& streamError() const { return error_; }

 protected:
  std::ptrdiff_t failWith(Error e) {
    status_ = ZZStreamStatus::error;
    if (!error_) error_ = std::move(e);
    return -1;
  }
  ZZStreamStatus status_ = ZZStreamStatus::notOpen;
  std::optional<Error> error_;
};

class ZZOutputStream {
 public:
  virtual ~ZZOutputStream() = default;
  virtual void open() = 0;
  virtual std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t length) = 0;
  // Safe to call more than once; a failure while finishing shows in status and error.
  virtual void close() = 0;
  bool hasSpaceAvailable() const { return true; }
  ZZStreamStatus streamStatus() const { return status_; }
  const std::optional<Error>& streamError() const { return error_; }

 protected:
  std::ptrdiff_t failWith(Error e) {
    status_ = ZZStreamStatus::error;
    if (!error_) error_ = std::move(e);
    return -1;
  }
  ZZStreamStatus status_ = ZZStreamStatus::notOpen;
  std::optional<Error> error_;
};

// CRC-32 (the zip and gzip polynomial) continued over `bytes`.
std::uint32_t zzCrc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);
