#include "platform/MemoryBudget.h"

MemoryBudget::Ticket& MemoryBudget::Ticket::operator=(Ticket&& o) noexcept {
  if (this != &o) {
    release();
    budget_ = o.budget_;
    bytes_ = o.bytes_;
    o.budget_ = nullptr;
  }
  return *this;
}

void MemoryBudget::Ticket::release() {
  if (budget_) budget_->giveBack(bytes_);
  budget_ = nullptr;
}

MemoryBudget::Ticket MemoryBudget::reserve(std::size_t bytes) {
  std::unique_lock lock(mutex_);
  freed_.wait(lock, [&] { return held_ == 0 || (bytes <= capacity_ && held_ <= capacity_ - bytes); });
  held_ += bytes;
  return Ticket(this, bytes);
}

std::size_t MemoryBudget::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void MemoryBudget::giveBack(std::size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    held_ -= bytes;
  }
  freed_.notify_all();
}

// One file as large as a design's picture may be, and small ones beside it.
MemoryBudget& MemoryBudget::pictureFiles() {
  static MemoryBudget budget(std::size_t(320) << 20);
  return budget;
}

// One picture at the pixel bound at a time (its raster and its drawn copy), or many small ones.
MemoryBudget& MemoryBudget::decodedPictures() {
  static MemoryBudget budget(std::size_t(512) << 20);
  return budget;
}
