#pragma once
// Sole owner of an open file descriptor.

#include <unistd.h>

class ZZFileDescriptor {
 public:
  explicit ZZFileDescriptor(int fd = -1) : fd_(fd) {}
  ZZFileDescriptor(ZZFileDescriptor&& other) noexcept : fd_(other.release()) {}
  ZZFileDescriptor& operator=(ZZFileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  ZZFileDescriptor(const ZZFileDescriptor&) = delete;
  ZZFileDescriptor& operator=(const ZZFileDescriptor&) = delete;
  ~ZZFileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};
