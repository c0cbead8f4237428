#pragma once
// Prepares an update's entries on worker threads (reading and compressing them) ahead of the
// one thread that writes them in order, so that compression runs on every core while the
// archive's bytes stay those of a sequential update.
//
// Memory stays bounded: a preparing entry holds at most memoryLimitPerEntry() bytes in memory
// (more goes to an unnamed temporary file in the spill folder), and no worker starts an entry
// while the prepared but unwritten ones hold more than the budget, unless it is the very next
// one the writer needs. Disk stays bounded too: the temporary files of entries not yet written
// hold at most preparedDiskBudget bytes together, and go only where the volume keeps that much
// free beside them (an entry copied from its temporary file takes its room twice for a moment).
// An entry that needs more waits until earlier
// ones are written; once it is the next one and still finds no room, it is left to the writer,
// which writes it in its turn as a sequential update does (its block runs again from the start).
// The writer also writes an entry in its turn that no worker has taken. So an update needs no
// more room than a sequential one plus the disk budget. After an entry fails, later entries stop
// at their next write; earlier ones go on, so the writer reports the first failing entry in
// archive order. Destruction stops and joins every worker: no thread outlives the update.
//
// The writing thread calls waitFor() and written() for each job in order; nothing else.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ZZArchiveEntryWriter.h"

class ZZEntryPreparationPool {
 public:
  // What prepared entries waiting for their turn may hold in memory, all together.
  static constexpr std::size_t preparedMemoryBudget = 8 << 20;
  // What their temporary files may hold, all together.
  static constexpr std::size_t preparedDiskBudget = 32 << 20;
  // One worker per core, at least one and at most 32 (each costs memory).
  static unsigned defaultWorkerCount();
  // The bytes free to us on the volume of a folder; none when unknown. Any thread.
  using FreeSpace = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;
  static std::optional<std::uint64_t> volumeFreeSpace(const std::filesystem::path& folder);

  // `jobs` in writing order; each stays alive and untouched by others until written().
  ZZEntryPreparationPool(std::vector<ZZArchiveEntryWriter*> jobs, std::filesystem::path spillFolder,
                         unsigned workerCount = defaultWorkerCount(), FreeSpace freeSpace = volumeFreeSpace);
  ~ZZEntryPreparationPool();
  ZZEntryPreparationPool(const ZZEntryPreparationPool&) = delete;
  ZZEntryPreparationPool& operator=(const ZZEntryPreparationPool&) = delete;

  std::size_t memoryLimitPerEntry() const { return memoryLimit_; }
  std::size_t workerCount() const { return threads_.size(); }

  // Waits until the next job in order is prepared, or left to this thread (when no worker has
  // taken it, or found no room for it), and answers its outcome.
  Result<void> waitFor(const ZZArchiveEntryWriter* job);
  // The most the temporary files of unwritten entries held at once.
  std::size_t mostSpilled() const;
  // The job waitFor() answered is written: its memory counts no more.
  void written(const ZZArchiveEntryWriter* job);

 private:
  // `direct`: the writing thread writes it in its turn, unprepared.
  enum class State { waiting, running, done, failed, direct };
  struct Job {
    ZZArchiveEntryWriter* writer;
    State state = State::waiting;
    std::size_t memory = 0;
    std::size_t disk = 0;
    bool outOfRoom = false;
    std::optional<Error> error;
  };

  void work();
  bool mayClaim() const;
  void run(std::size_t position, std::unique_lock<std::mutex>& lock);
  bool mayUseDisk(std::size_t position, std::size_t bytes);

  std::vector<Job> jobs_;
  std::filesystem::path spillFolder_;
  FreeSpace freeSpace_;
  std::size_t memoryLimit_;
  std::size_t maximumAhead_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t nextClaim_ = 0;
  std::size_t nextToWrite_ = 0;
  std::size_t pendingMemory_ = 0;
  std::size_t spilled_ = 0;
  std::size_t mostSpilled_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> firstFailed_{SIZE_MAX};
  std::vector<std::thread> threads_;
};
