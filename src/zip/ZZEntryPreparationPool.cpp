#include "ZZEntryPreparationPool.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <system_error>

#include "platform/Fatal.h"

unsigned ZZEntryPreparationPool::defaultWorkerCount() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, 32u);
}

std::optional<std::uint64_t> ZZEntryPreparationPool::volumeFreeSpace(const std::filesystem::path& folder) {
  struct statvfs st{};
  if (::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

ZZEntryPreparationPool::ZZEntryPreparationPool(std::vector<ZZArchiveEntryWriter*> jobs,
                                               std::filesystem::path spillFolder, unsigned workerCount,
                                               FreeSpace freeSpace)
    : spillFolder_(std::move(spillFolder)), freeSpace_(std::move(freeSpace)) {
  jobs_.reserve(jobs.size());
  for (auto* writer : jobs) jobs_.push_back(Job{writer, State::waiting, 0, 0, false, std::nullopt});
  std::size_t workers = std::min<std::size_t>(std::max(1u, workerCount), jobs_.size());
  // Preparing entries get as much memory as the prepared ones may hold, shared out.
  memoryLimit_ = std::clamp<std::size_t>(preparedMemoryBudget / std::max<std::size_t>(workers, 1), 256 << 10, 4 << 20);
  maximumAhead_ = 8 * std::max<std::size_t>(workers, 1);
  for (std::size_t i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      break;  // fewer workers; the writing thread prepares what none takes
    }
  }
}

ZZEntryPreparationPool::~ZZEntryPreparationPool() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (auto& thread : threads_) thread.join();
}

bool ZZEntryPreparationPool::mayClaim() const {
  if (nextClaim_ >= jobs_.size() || firstFailed_ != SIZE_MAX) return false;
  if (nextClaim_ == nextToWrite_) return true;
  return pendingMemory_ < preparedMemoryBudget && nextClaim_ - nextToWrite_ < maximumAhead_;
}

void ZZEntryPreparationPool::run(std::size_t position, std::unique_lock<std::mutex>& lock) {
  Job& job = jobs_[position];
  job.state = State::running;
  lock.unlock();
  ZZEntryPreparation preparation{spillFolder_, memoryLimit_,
                                 [this, position] { return stop_ || position > firstFailed_; },
                                 [this, position](std::size_t bytes) { return mayUseDisk(position, bytes); }};
  auto prepared = job.writer->prepare(preparation);
  std::size_t memory = prepared ? job.writer->preparedMemory() : 0;
  lock.lock();
  if (prepared) {
    job.state = State::done;
    job.memory = memory;
    pendingMemory_ += memory;
  } else if (job.outOfRoom) {
    // What it spilled went with its preparation.
    job.state = State::direct;
    spilled_ -= job.disk;
    job.disk = 0;
  } else {
    job.state = State::failed;
    job.error = prepared.error();
    if (position < firstFailed_) firstFailed_ = position;
  }
  changed_.notify_all();
}

bool ZZEntryPreparationPool::mayUseDisk(std::size_t position, std::size_t bytes) {
  // The volume is asked outside the lock, which the writer waits on: a network volume answers
  // only after a round trip.
  auto freeSpace = [this] { return freeSpace_ ? freeSpace_(spillFolder_) : std::nullopt; };
  auto free = freeSpace();
  std::unique_lock lock(mutex_);
  Job& job = jobs_[position];
  while (true) {
    if (stop_ || position > firstFailed_) return false;
    // A volume near full keeps its room for the archive itself.
    bool roomOnVolume = !free || (*free >= bytes && *free - bytes >= preparedDiskBudget);
    if (bytes <= preparedDiskBudget && spilled_ <= preparedDiskBudget - bytes && roomOnVolume) {
      spilled_ += bytes;
      job.disk += bytes;
      mostSpilled_ = std::max(mostSpilled_, spilled_);
      return true;
    }
    // The writer waits for this one: it writes it itself rather than wait for room.
    if (position == nextToWrite_) {
      job.outOfRoom = true;
      return false;
    }
    changed_.wait(lock);
    lock.unlock();
    free = freeSpace();
    lock.lock();
  }
}

std::size_t ZZEntryPreparationPool::mostSpilled() const {
  std::lock_guard lock(mutex_);
  return mostSpilled_;
}

void ZZEntryPreparationPool::work() {
  std::unique_lock lock(mutex_);
  auto finished = [this] { return stop_ || nextClaim_ >= jobs_.size() || firstFailed_ != SIZE_MAX; };
  while (true) {
    changed_.wait(lock, [&] { return finished() || mayClaim(); });
    if (finished()) return;
    run(nextClaim_++, lock);
  }
}

Result<void> ZZEntryPreparationPool::waitFor(const ZZArchiveEntryWriter* writer) {
  std::unique_lock lock(mutex_);
  if (nextToWrite_ >= jobs_.size() || jobs_[nextToWrite_].writer != writer)
    KORVEL_FATAL("entries are written in the order they were given to the pool");
  Job& job = jobs_[nextToWrite_];
  // Unclaimed means no worker is free or allowed to take it: this thread writes it in its turn.
  if (job.state == State::waiting && nextClaim_ == nextToWrite_) {
    job.state = State::direct;
    ++nextClaim_;
  }
  changed_.wait(lock, [&] { return job.state == State::done || job.state == State::failed || job.state == State::direct; });
  if (job.state == State::failed) return fail(*job.error);
  return {};
}

void ZZEntryPreparationPool::written(const ZZArchiveEntryWriter* writer) {
  {
    std::lock_guard lock(mutex_);
    if (nextToWrite_ >= jobs_.size() || jobs_[nextToWrite_].writer != writer)
      KORVEL_FATAL("entries are written in the order they were given to the pool");
    pendingMemory_ -= jobs_[nextToWrite_].memory;
    jobs_[nextToWrite_].memory = 0;
    spilled_ -= jobs_[nextToWrite_].disk;
    jobs_[nextToWrite_].disk = 0;
    ++nextToWrite_;
  }
  changed_.notify_all();
}
