#include "CSTaskManager.h"

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"

std::shared_ptr<CSTaskManager> CSTaskManager::create() { return std::shared_ptr<CSTaskManager>(new CSTaskManager()); }

CSTaskManager::~CSTaskManager() = default;

Result<void> CSTaskManager::run() {
  if (process_) return fail(Process::ErrorDomain, Process::launchFailed, "The runner was already started");
  startTime_ = std::chrono::system_clock::now();
  std::weak_ptr<CSTaskManager> weak = weak_from_this();
  Process::Handlers handlers;
  handlers.line = [weak](const std::string& piece, Process::Stream stream) {
    if (auto self = weak.lock()) self->processLine(piece, stream == Process::Stream::error);
  };
  handlers.exit = [weak](const Process::Exit& exit) {
    if (auto self = weak.lock()) self->didEnd(exit.status());
  };
  auto launched = Process::launch(task, std::move(handlers));
  if (!launched) {
    RWLog("CSTaskManager: launch failed: " + launched.error().description(), 0);
    return fail(launched.error());
  }
  process_ = std::move(*launched);
  return {};
}

void CSTaskManager::abort() {
  if (!isRunning()) return;
  process_.reset();
  task = {};
}

bool CSTaskManager::isRunning() const { return process_ && process_->isRunning(); }

void CSTaskManager::sendInput(std::string_view text) {
  if (!process_) return;
  if (auto written = process_->write(text); !written) RWLog("CSTaskManager: " + written.error().description(), 0);
}

void CSTaskManager::sendJsonInput(const nlohmann::json& object) { sendInput(JsonCoder::dump(object)); }

void CSTaskManager::addPath(const std::filesystem::path& directory) {
  auto environment = task.environment.value_or(std::map<std::string, std::string>{});
  auto previous = environment.find("PATH");
  environment["PATH"] =
      previous != environment.end() ? directory.string() + ":" + previous->second : directory.string();
  task.environment = std::move(environment);
}

double CSTaskManager::elapsed() const {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now() - startTime_).count();
}

void CSTaskManager::processLine(const std::string& piece, bool isError) {
  if (piece.empty()) return;
  auto keep = shared_from_this();  // a report may let go of us
  std::string line = piece + "\n";
  if (debug) RWLog("OUTPUT >>> " + line, 0);
  output_.push_back(line);
  if (output_.size() > outputLimit) output_.pop_front();

  auto owner = delegate.lock();
  if (piece.front() == '{') {
    if (auto parsed = JsonCoder::parse(piece); parsed && parsed->is_object()) {
      auto object = std::make_shared<const nlohmann::json>(std::move(*parsed));
      objects_.push_back(object);
      if (objects_.size() > objectLimit) objects_.pop_front();
      if (owner) owner->taskManagerDidReceiveObject(*this, *object);
      if (auto report = taskManagerDidReceiveObject) report(*object);
      if (auto report = taskManagerDidReceiveJSONData) report(dataFromString(piece));
      NotificationCenter::defaultCenter().post(CSTaskManagerDidReceiveObjectNotification, this, object);
      return;
    }
  }
  if (owner) owner->taskManagerDidReceiveOutput(*this, line, isError);
  if (auto report = taskManagerDidReceiveOutput) report(line, isError);
  NotificationCenter::defaultCenter().post(CSTaskManagerDidReceiveOutputNotification, this,
                                           std::make_shared<const nlohmann::json>(nlohmann::json{{"output", line}}));
}

void CSTaskManager::didEnd(int status) {
  auto keep = shared_from_this();
  if (debug) RWLog("CSTaskManager: didEnd after " + std::to_string(elapsed()), 0);
  if (auto owner = delegate.lock()) owner->taskManagerDidEndWithStatus(*this, status);
  if (auto report = taskManagerDidEnd) report(status);
}
