#include "platform/MemoryBudget.h"

MemoryBudget::Ticket& MemoryBudget::Ticket::operator=(Ticket&& o) noexcept {
  if (this != &o) {
    release();
    budget_ = o.budget_;
    bytes_ = o.bytes_;
    result_ = o.result_;
    o.budget_ = nullptr;
  }
  return *this;
}

void MemoryBudget::Ticket::release() {
  if (budget_) budget_->giveBack(bytes_, result_);
  budget_ = nullptr;
}

void MemoryBudget::Ticket::keepAsResult(std::size_t bytes) {
  if (!budget_ || result_) return;
  if (bytes < bytes_) {
    budget_->giveBack(bytes_ - bytes, false);
    bytes_ = bytes;
  }
  result_ = true;
  budget_->settle(bytes_);
}

MemoryBudget::Ticket MemoryBudget::reserve(std::size_t bytes, bool givingWay) {
  std::unique_lock lock(mutex_);
  auto fits = [&] { return bytes > capacity_ ? held_ == results_ : held_ <= capacity_ - bytes; };
  if (givingWay) {
    // Takes no turn: it goes when none waits and it fits, and so never holds up one that presses.
    while (pressing_ != 0 || !fits()) {
      if (pressing_ == 0 && reclaim_ && bytes <= capacity_) {
        auto reclaim = reclaim_;
        std::size_t lacking = held_ + bytes - capacity_;
        lock.unlock();
        reclaim(lacking);
        lock.lock();
        if (pressing_ == 0 && fits()) break;
      }
      freed_.wait(lock);
    }
    held_ += bytes;
    return Ticket(this, bytes);
  }
  ++pressing_;
  const std::uint64_t turn = nextTurn_++;
  while (turn != serving_ || !fits()) {
    // Results kept only for later stand aside for work in its turn; they hold up no work larger
    // than the budget.
    if (turn == serving_ && reclaim_ && bytes <= capacity_) {
      auto reclaim = reclaim_;
      std::size_t lacking = held_ + bytes - capacity_;
      lock.unlock();
      reclaim(lacking);
      lock.lock();
      if (fits()) break;
    }
    freed_.wait(lock);
  }
  ++serving_;
  held_ += bytes;
  --pressing_;
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

void MemoryBudget::giveBack(std::size_t bytes, bool result) {
  {
    std::lock_guard lock(mutex_);
    held_ -= bytes;
    if (result) results_ -= bytes;
  }
  freed_.notify_all();
}

void MemoryBudget::settle(std::size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    results_ += bytes;
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
