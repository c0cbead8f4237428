#pragma once
// Bytes that work of one kind may hold at once, shared by every thread that does it: a thread
// reserves what its work will hold and waits while others hold the rest. A reservation larger
// than the whole budget waits until nothing else is held, and then goes alone. Any thread but
// the main one (a reservation may wait).

#include <condition_variable>
#include <cstddef>
#include <mutex>

class MemoryBudget {
 public:
  explicit MemoryBudget(std::size_t capacity) : capacity_(capacity) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Held bytes, given back when dropped.
  class Ticket {
   public:
    Ticket() = default;
    Ticket(Ticket&& o) noexcept : budget_(o.budget_), bytes_(o.bytes_) { o.budget_ = nullptr; }
    Ticket& operator=(Ticket&& o) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() { release(); }
    void release();

   private:
    friend class MemoryBudget;
    Ticket(MemoryBudget* budget, std::size_t bytes) : budget_(budget), bytes_(bytes) {}
    MemoryBudget* budget_ = nullptr;
    std::size_t bytes_ = 0;
  };

  Ticket reserve(std::size_t bytes);
  std::size_t held() const;
  std::size_t capacity() const { return capacity_; }

  // The bytes of picture files read whole to be looked at or decoded.
  static MemoryBudget& pictureFiles();
  // The pixels (and the decoder's own buffers) of pictures being decoded and encoded again.
  static MemoryBudget& decodedPictures();

 private:
  void giveBack(std::size_t bytes);
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  std::size_t held_ = 0;
};
