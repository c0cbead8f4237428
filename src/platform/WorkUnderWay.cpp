#include "platform/WorkUnderWay.h"

#include <algorithm>
#include <utility>

#include "platform/RunLoop.h"

struct WorkUnderWay::State {
  std::vector<std::weak_ptr<Work>> works;
  int givingUp = 0;

  void purge() {
    std::erase_if(works, [](const std::weak_ptr<Work>& w) {
      auto work = w.lock();
      return !work || work->hasEnded();
    });
  }
};

WorkUnderWay::Work::Work(Kind kind, Path url, const void* owner, std::weak_ptr<State> record)
    : kind_(kind), url_(std::move(url)), owner_(owner), record_(std::move(record)) {}

WorkUnderWay::Work::~Work() {
  if (ended_) return;
  ended_ = true;
  auto waiting = std::exchange(whenEnded_, {});
  if (waiting.empty()) return;
  // Let go beside the main loop (a worker held the last reference): the waiting goes on there.
  auto run = [waiting = std::move(waiting)] {
    for (const auto& then : waiting) then();
  };
  if (RunLoop::isMainThread())
    run();
  else
    MainQueue::async(std::move(run));
}

void WorkUnderWay::Work::end() {
  if (std::exchange(ended_, true)) return;
  if (auto record = record_.lock()) record->purge();
  auto waiting = std::exchange(whenEnded_, {});
  for (const auto& then : waiting) then();
}

void WorkUnderWay::Work::whenEnded(std::function<void()> then) {
  if (ended_) return then();
  whenEnded_.push_back(std::move(then));
}

WorkUnderWay::WorkUnderWay() : state_(std::make_shared<State>()) {}

WorkUnderWay::~WorkUnderWay() {
  for (const auto& work : all()) work->whenEnded_.clear();
}

std::shared_ptr<WorkUnderWay::Work> WorkUnderWay::begin(Kind kind, Path url, const void* owner) {
  std::shared_ptr<Work> work(new Work(kind, std::move(url), owner, state_));
  if (state_->givingUp > 0) work->stop_->store(true);
  state_->purge();
  state_->works.push_back(work);
  return work;
}

std::vector<std::shared_ptr<WorkUnderWay::Work>> WorkUnderWay::all() const {
  std::vector<std::shared_ptr<Work>> live;
  for (const auto& w : state_->works)
    if (auto work = w.lock(); work && !work->hasEnded()) live.push_back(std::move(work));
  return live;
}

bool WorkUnderWay::empty() const { return all().empty(); }

std::shared_ptr<WorkUnderWay::Work> WorkUnderWay::find(const std::vector<Kind>& kinds,
                                                       const std::function<bool(const Work&)>& matches) const {
  for (auto& work : all())
    if (std::find(kinds.begin(), kinds.end(), work->kind()) != kinds.end() && matches(*work)) return work;
  return nullptr;
}

std::shared_ptr<WorkUnderWay::Work> WorkUnderWay::on(const Path& url, const std::vector<Kind>& kinds) const {
  return find(kinds, [&](const Work& work) { return sameFile(work.url(), url); });
}

bool WorkUnderWay::giveUpAndWait(double timeout) {
  ++state_->givingUp;
  for (const auto& work : all()) work->stop_->store(true);
  // Each ends at its next step; the main loop runs what they hand back, and work begun by what
  // waited for another's end starts given up.
  bool ended = RunLoop::runUntil([this] { return empty(); }, timeout);
  --state_->givingUp;
  return ended;
}

bool WorkUnderWay::sameFile(const Path& a, const Path& b) {
  if (a == b) return true;
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  // A file not there yet (a save's target) is known by where its name leads.
  auto placeA = std::filesystem::weakly_canonical(a, ec);
  if (ec) placeA = a.lexically_normal();
  auto placeB = std::filesystem::weakly_canonical(b, ec);
  if (ec) placeB = b.lexically_normal();
  return placeA == placeB;
}
