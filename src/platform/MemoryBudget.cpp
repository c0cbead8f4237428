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

void MemoryBudget::Ticket::shrink(std::size_t bytes) {
  if (!budget_ || bytes >= bytes_) return;
  budget_->giveBack(bytes_ - bytes);
  bytes_ = bytes;
}

MemoryBudget::Ticket MemoryBudget::reserve(std::size_t bytes) {
  std::unique_lock lock(mutex_);
  const std::uint64_t turn = nextTurn_++;
  auto fits = [&] { return held_ == 0 || (bytes <= capacity_ && held_ <= capacity_ - bytes); };
  while (turn != serving_ || !fits()) {
    if (turn == serving_ && reclaim_) {
      auto reclaim = reclaim_;
      std::size_t lacking = bytes > capacity_ ? held_ : held_ + bytes - capacity_;
      lock.unlock();
      reclaim(lacking);
      lock.lock();
      if (fits()) break;
    }
    freed_.wait(lock);
  }
  ++serving_;
  held_ += bytes;
  lock.unlock();
  // The next in line may fit beside this one.
  freed_.notify_all();
  return Ticket(this, bytes);
}

std::size_t MemoryBudget::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void MemoryBudget::reclaimWith(std::function<void(std::size_t)> reclaim) {
  std::lock_guard lock(mutex_);
  reclaim_ = std::move(reclaim);
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

MemoryBudget& MemoryBudget::smallPictureFiles() {
  static MemoryBudget budget(std::size_t(32) << 20);
  return budget;
}

MemoryBudget& MemoryBudget::smallDecodedPictures() {
  static MemoryBudget budget(std::size_t(128) << 20);
  return budget;
}
