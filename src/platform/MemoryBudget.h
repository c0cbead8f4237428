#pragma once
// Bytes that work of one kind may hold at once, shared by every thread that does it: a thread
// reserves what its work will hold and waits while others hold the rest. Reservations are served
// in the order they were asked for, so that a large one is not passed over for ever by small ones
// that keep coming; one larger than the whole budget waits until no other work holds any of it
// (finished results may: they are given back when their holders let them go, which may take
// long), and then goes alone. Any thread but the main one (a reservation may wait).

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
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
    Ticket(Ticket&& o) noexcept : budget_(o.budget_), bytes_(o.bytes_), result_(o.result_) { o.budget_ = nullptr; }
    Ticket& operator=(Ticket&& o) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() { release(); }
    void release();
    // The work is done, and what it made holds `bytes` (no more than before; the rest is given
    // back) for as long as the ticket lives.
    void keepAsResult(std::size_t bytes);
    std::size_t bytes() const { return budget_ ? bytes_ : 0; }
    const MemoryBudget* budget() const { return budget_; }

   private:
    friend class MemoryBudget;
    Ticket(MemoryBudget* budget, std::size_t bytes) : budget_(budget), bytes_(bytes) {}
    MemoryBudget* budget_ = nullptr;
    std::size_t bytes_ = 0;
    bool result_ = false;
  };

  // A reservation `givingWay` takes no turn, and goes only when no other waits and it fits: work
  // no one waits for goes after the work someone does (and waits, while such work keeps coming).
  Ticket reserve(std::size_t bytes, bool givingWay = false);
  std::size_t held() const;
  std::size_t capacity() const { return capacity_; }

  // Called, on the waiting thread and without the budget's lock, when the reservation next in
  // line does not fit, with the bytes it lacks: what is kept only for later (a cache) is let go.
  void reclaimWith(std::function<void(std::size_t)> reclaim);

  // The bytes of picture files read whole to be looked at or decoded, and of pictures made from
  // them while anyone holds them.
  static MemoryBudget& pictureFiles();
  // The pixels (and the decoder's own buffers) of pictures being decoded and encoded again, and
  // the pictures encoded again while anyone holds them.
  static MemoryBudget& decodedPictures();
  // The same for small files and small pictures, which so never wait behind a large one.
  static MemoryBudget& smallPictureFiles();
  static MemoryBudget& smallDecodedPictures();

 private:
  void giveBack(std::size_t bytes, bool result);
  void settle(std::size_t bytes);
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  std::size_t held_ = 0;
  // Of what is held, the bytes of finished results.
  std::size_t results_ = 0;
  // Reservations are numbered as they come; `serving_` is the one whose turn it is.
  std::uint64_t nextTurn_ = 0;
  std::uint64_t serving_ = 0;
  // Reservations waiting that do not give way.
  std::size_t pressing_ = 0;
  std::function<void(std::size_t)> reclaim_;
};
