#pragma once
// What runs beside the main loop for documents that are not, or not only, among the controller's
// documents: files being opened, drafts and copies being read, copies being written (Duplicate),
// saves being written. Every question "is anything open, opening, saving or being copied?" asks
// this one record: the end of the run, the quit, an opening of a file a Save As writes, and a Save
// As over a file being opened. Main thread only, except where said.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

class WorkUnderWay {
 public:
  using Path = std::filesystem::path;
  enum class Kind {
    // A file opened by its name: every opening of it gets the one document.
    opening,
    // A draft, a copy, a tutorial or a classic project, each read on its own.
    reading,
    // A document's copy written into a new draft, then read (Duplicate).
    duplicating,
    // A save writing a document into a file.
    saving,
  };
  struct State;

  // One piece of work. It ends when end() is called, or when its last owner lets it go (on any
  // thread: off the main thread, what waits for its end runs on the main loop).
  class Work {
   public:
    ~Work();
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    Kind kind() const { return kind_; }
    const Path& url() const { return url_; }
    // Whose work it is (a document), to tell a document's own work from another's; may be none.
    const void* owner() const { return owner_; }
    // Set when the work is given up (at quit): it ends soon, as cancelled. Read on any thread.
    const std::shared_ptr<std::atomic<bool>>& stop() const { return stop_; }
    bool isGivenUp() const { return stop_->load(); }
    bool hasEnded() const { return ended_; }
    // Leaves the record; what waits for the end runs now. Once; later calls do nothing.
    void end();
    // Runs `then` once the work has ended (at once when it has).
    void whenEnded(std::function<void()> then);

   private:
    friend class WorkUnderWay;
    Work(Kind kind, Path url, const void* owner, std::weak_ptr<State> record);
    Kind kind_;
    Path url_;
    const void* owner_;
    std::weak_ptr<State> record_;
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::function<void()>> whenEnded_;
    bool ended_ = false;
  };

  WorkUnderWay();
  // What still waits for the end of work under way is dropped: it would reach its owner after it.
  ~WorkUnderWay();
  WorkUnderWay(const WorkUnderWay&) = delete;
  WorkUnderWay& operator=(const WorkUnderWay&) = delete;

  // Notes work that starts now; while everything is being given up, it starts given up.
  std::shared_ptr<Work> begin(Kind kind, Path url, const void* owner = nullptr);
  bool empty() const;
  // Everything under way, oldest first.
  std::vector<std::shared_ptr<Work>> all() const;
  // The oldest work of one of `kinds` for which `matches` holds; none without one.
  std::shared_ptr<Work> find(const std::vector<Kind>& kinds, const std::function<bool(const Work&)>& matches) const;
  // The oldest work of one of `kinds` on the file `url`, however it is spelled.
  std::shared_ptr<Work> on(const Path& url, const std::vector<Kind>& kinds) const;
  // Gives up everything that can be given up and returns once everything under way has ended, the
  // main loop turning meanwhile, or after `timeout` seconds; answers whether everything ended.
  bool giveUpAndWait(double timeout);

  // Whether `a` and `b` name one file: the same path, however spelled, through links too.
  static bool sameFile(const Path& a, const Path& b);

 private:
  std::shared_ptr<State> state_;
};
