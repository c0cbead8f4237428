#pragma once
// Owners of zlib's raw deflate and inflate states (window bits -15: no zlib or gzip wrapper).
// Not movable: zlib keeps a pointer back to the z_stream.

#include <zlib.h>

class ZZInflater {
 public:
  ZZInflater() { ok_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~ZZInflater() {
    if (ok_) inflateEnd(&stream_);
  }
  ZZInflater(const ZZInflater&) = delete;
  ZZInflater& operator=(const ZZInflater&) = delete;
  bool ok() const { return ok_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

class ZZDeflater {
 public:
  explicit ZZDeflater(int level) {
    ok_ = deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~ZZDeflater() {
    if (ok_) deflateEnd(&stream_);
  }
  ZZDeflater(const ZZDeflater&) = delete;
  ZZDeflater& operator=(const ZZDeflater&) = delete;
  bool ok() const { return ok_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};
