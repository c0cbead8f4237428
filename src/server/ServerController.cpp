#include "ServerController.h"

#include <filesystem>

#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Crypto.h"
#include "platform/Fatal.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/Xdg.h"
#include "server/PackageName.h"

namespace {

std::function<ServerLogin()>& loginProvider() {
  static auto* provider = new std::function<ServerLogin()>();
  return *provider;
}

void post(const char* name, const ServerController* controller) {
  NotificationCenter::defaultCenter().post(name, controller);
}

}  // namespace

std::shared_ptr<ServerController> ServerController::create() {
  return std::shared_ptr<ServerController>(new ServerController());
}

ServerController::~ServerController() { stopServer(); }

void ServerController::setLoginProvider(std::function<ServerLogin()> provider) {
  loginProvider() = std::move(provider);
}

const std::string& ServerController::cachePath() {
  static const std::string path = (xdg::cacheHome() / "Korvel").string();
  return path;
}

const std::string& ServerController::staticPath() {
  static const std::string path = [] {
    auto root = Resources::root();
    std::error_code ec;
    if (!std::filesystem::is_directory(root, ec)) KORVEL_FATAL("The application's resource folder is missing");
    return root.string();
  }();
  return path;
}

Result<std::shared_ptr<CSTaskManager>> ServerController::createTaskManager(const std::string& projectPath,
                                                                           const std::string& command) const {
  auto node = Resources::path("bin/node", {}, "Node");
  auto script = Resources::path("lib/cli.js", {}, "Server");
  std::error_code ec;
  if (!std::filesystem::is_regular_file(node, ec) || !std::filesystem::is_regular_file(script, ec)) {
    RWLog("Error: Can\u2019t run server command!", 2);
    return fail(ErrorDomain, cannotRunServerCommand, "The server's runtime or script is missing");
  }
  ServerLogin login = loginProvider() ? loginProvider()() : ServerLogin{};

  // The token and the person's name travel in the environment: a command line is readable by
  // every local user.
  std::vector<std::string> arguments = {script.string(), "--staticPath", staticPath(), "--cachePath", cachePath(),
                                        "--token",       "",           "--api",
                                        AppServices::shared().currentEndpoints().apiBaseURL.absoluteString()};
  arguments.push_back(command);
  arguments.push_back(projectPath);

  auto environment = Process::currentEnvironment();
  environment.erase("KORVEL_TOKEN");
  environment.erase("KORVEL_AUTHOR");
  if (login.token && !login.token->empty()) environment["KORVEL_TOKEN"] = *login.token;
  if (login.userFullName) environment["KORVEL_AUTHOR"] = *login.userFullName;
  // A new key for each start: what the server takes from a local file's page must carry it.
  environment["KORVEL_PAGE_KEY"] = crypto::hex(crypto::randomBytes(32));

  auto runner = CSTaskManager::create();
  runner->task.executable = node;
  runner->task.arguments = std::move(arguments);
  runner->task.environment = std::move(environment);
  return runner;
}

Result<void> ServerController::start(const std::string& projectPath,
                                     std::function<void(std::optional<Url>)> completionHandler) {
  auto built = createTaskManager(projectPath, "serve");
  if (!built) return fail(built.error());
  auto runner = *built;
  restartTimer_.reset();
  if (running_) stopServer();

  std::weak_ptr<ServerController> weak = weak_from_this();
  runner->taskManagerDidReceiveJSONData = [weak, completion = std::move(completionHandler)](const Data& bytes) mutable {
    if (auto self = weak.lock()) self->receivedStateLine(bytes, completion);
  };
  runner->delegate = weak_from_this();
  taskManager_ = runner;

  std::string token, key;
  if (auto found = runner->task.environment->find("KORVEL_TOKEN"); found != runner->task.environment->end())
    token = found->second;
  if (auto found = runner->task.environment->find("KORVEL_PAGE_KEY"); found != runner->task.environment->end())
    key = found->second;
  if (auto launched = runner->run(); !launched) {
    RWLog("Error: Can\u2019t launch the server: " + launched.error().description(), 3);
    Error error(ErrorDomain, launchFailed, "The server could not be launched");
    error.withUnderlying(launched.error());
    return fail(std::move(error));
  }
  secret_ = token;
  RWLogSecrets::add(secret_);
  pageKey_ = key;
  RWLogSecrets::add(pageKey_);
  currentProjectPath_ = projectPath;
  running_ = true;
  return {};
}

void ServerController::receivedStateLine(const Data& bytes, std::function<void(std::optional<Url>)>& completion) {
  if (server_ || !running_) return;
  auto decoded = ServerState::fromData(stringFromData(bytes));
  if (!decoded || !decoded->running || !decoded->url) return;
  auto url = Url::parse(*decoded->url);
  if (!url) return;
  RWLog("Server started at " + url->absoluteString(), 2);

  auto options = linkOptions;
  options.headers[pageKeyHeader] = pageKey_;
  server_ = std::make_unique<SocketConnection>(*url, std::move(options));
  std::weak_ptr<ServerController> weak = weak_from_this();
  server_->didUpdateState = [weak](const ServerState& state) {
    if (auto self = weak.lock()) {
      self->state_ = state;
      self->postStateSoon();
    }
  };
  server_->didUpdatePreview = [weak](const std::string& data) {
    if (auto self = weak.lock()) {
      self->previewData_ = data;
      post(ServerControllerPreviewDataDidUpdateNotification, self.get());
    }
  };
  server_->shouldReloadPreview = [weak] {
    if (auto self = weak.lock()) post(ServerControllerPreviewShouldReloadNotification, self.get());
  };
  // A change made while the server was starting, or while the link was down, is not lost.
  server_->didConnect = [weak] {
    auto self = weak.lock();
    if (self && self->documentDirty_) self->send(ServerCommand::setIsDocumentDirty(*self->documentDirty_));
  };
  if (auto done = std::exchange(completion, nullptr)) done(*url);
}

// Pushes that come close together make one notification; observers read `state` then.
void ServerController::postStateSoon() {
  if (statePostPending_) return;
  statePostPending_ = true;
  std::weak_ptr<ServerController> weak = weak_from_this();
  MainQueue::async([weak] {
    if (auto self = weak.lock()) {
      self->statePostPending_ = false;
      post(ServerControllerStateDidUpdateNotification, self.get());
    }
  });
}

void ServerController::stop() { stopServer(); }

void ServerController::stopServer() {
  restartTimer_.reset();
  if (!running_) return;
  state_.reset();
  post(ServerControllerStateDidUpdateNotification, this);
  server_.reset();
  running_ = false;
  currentProjectPath_.reset();
  if (taskManager_) taskManager_->abort();
  RWLogSecrets::remove(std::exchange(secret_, {}));
  RWLogSecrets::remove(std::exchange(pageKey_, {}));
  if (auto stopped = stoppedHandler) stopped();
}

std::optional<std::string> ServerController::pageKeyForChallenge(const std::string& host, int port,
                                                                const std::string& realm,
                                                                const std::optional<std::string>& refused) const {
  auto url = currentServerURL();
  if (!url || pageKey_.empty() || realm != pageKeyRealm) return std::nullopt;
  if (url->scheme() != "http" || url->host() != host || url->port() != port) return std::nullopt;
  if (refused == pageKey_) return std::nullopt;  // asked again: it was not taken, and won't be
  return pageKey_;
}

std::optional<Url> ServerController::currentServerURL() const {
  if (!server_) return std::nullopt;
  return server_->url();
}

void ServerController::send(const ServerCommand& command) {
  if (server_) server_->send(command);
}

void ServerController::addPackage(const std::string& name, bool isDevDependency) {
  // Every page's request ends here: no name the package manager could misread goes out.
  if (!PackageName::isAcceptable(name)) {
    RWLog("Not adding a package whose name is not a package name");
    return;
  }
  send(ServerCommand::addPackage(name, isDevDependency));
}

void ServerController::setDocumentDirty(bool dirty) {
  documentDirty_ = dirty;
  send(ServerCommand::setIsDocumentDirty(dirty));
}

void ServerController::setCanvasData(const std::string& data) { send(ServerCommand::canvasData(data)); }
void ServerController::reloadClients() { send(ServerCommand::reloadClients()); }
void ServerController::updatePackageInfo() { send(ServerCommand::updatePackageInfo()); }
void ServerController::upgradeKorvelLibrary() { send(ServerCommand::upgradeKorvelLibrary()); }
void ServerController::startLiveSharing() { send(ServerCommand::startLiveSharing()); }
void ServerController::stopLiveSharing() { send(ServerCommand::stopLiveSharing()); }

void ServerController::taskManagerDidReceiveOutput(CSTaskManager&, const std::string& line, bool isError) {
  RWLog(line, isError ? 3 : 2);
}

void ServerController::taskManagerDidEndWithStatus(CSTaskManager& runner, int status) {
  if (&runner != taskManager_.get() || !running_) return;
  double uptime = runner.elapsed() / 1000.0;
  RWLog("Server ended with status " + std::to_string(status), status == 0 ? 2 : 3);
  stopServer();
  if (status == 0) return;
  auto delay = restartPolicy.delayAfterFailure(uptime);
  if (!delay) {
    RWLog("Server keeps failing at start; it is not started again", 3);
    if (auto handler = gaveUpHandler) handler();
    return;
  }
  std::weak_ptr<ServerController> weak = weak_from_this();
  restartTimer_ = Timer::scheduled(*delay, false, [weak, status] {
    auto self = weak.lock();
    if (!self) return;
    if (auto handler = self->crashHandler) handler(status);
  });
}
