#pragma once
// One document's project server: runs the server script on the project folder as a child
// process, opens the Socket.IO link to the address of the first usable state line the server
// prints, keeps the latest state and preview data the link pushes, posts them as notifications
// (object: the controller) and forwards the editor's commands while a link exists.
//
// An exit that stop() did not ask for clears the state, drops the link and posts the state
// notification; a failed exit then calls crashHandler after a back-off, until the server has
// failed quickly too often in a row, when gaveUpHandler is called instead.
//
// Threads: main thread only; every handler and notification runs on the main loop.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/RunLoop.h"
#include "platform/SocketIOClient.h"
#include "platform/Url.h"
#include "server/CSTaskManager.h"
#include "server/ServerInterface.h"
#include "server/SocketConnection.h"
#include "server/ServerRestartPolicy.h"
#include "server/ServerState.h"

// What the server takes from the sign-in, read once per start.
struct ServerLogin {
  std::optional<std::string> token;
  std::optional<std::string> userFullName;
};

class ServerController : public CSTaskManagerDelegate, public std::enable_shared_from_this<ServerController> {
 public:
  static constexpr const char* ErrorDomain = "com.korvel.server";
  enum ErrorCode : long { cannotRunServerCommand = 1, launchFailed = 2 };

  static std::shared_ptr<ServerController> create();
  ~ServerController() override;  // stops the server as stop() does

  // Set by the application; without one the server gets no token and no author.
  static void setLoginProvider(std::function<ServerLogin()> provider);
  // $XDG_CACHE_HOME/Korvel, fixed on first use.
  static const std::string& cachePath();
  // The application's resource folder, fixed on first use; its absence stops the program.
  static const std::string& staticPath();

  // Runs on the main loop with the exit status of a server that failed on its own.
  std::function<void(int status)> crashHandler;
  // Runs on the main loop when a server that keeps failing is not started again.
  std::function<void()> gaveUpHandler;
  // Runs once a server that ran has stopped, asked to or not: its address serves nothing of it.
  std::function<void()> stoppedHandler;
  ServerRestartPolicy restartPolicy;
  socketio::Client::Options linkOptions = SocketConnection::defaultOptions();

  // Launches the server, stopping one that still runs. The completion is called at most once,
  // with the server's address, when the link is made. Fails, and changes nothing, when the
  // server can't be found; fails, with the old server stopped, when it can't be launched.
  Result<void> start(const std::string& projectPath, std::function<void(std::optional<Url>)> completionHandler);
  // Stops the server and forgets the link and the state; posts the state notification when it
  // was running, else does nothing.
  virtual void stop();

  virtual std::optional<Url> currentServerURL() const;
  const std::optional<std::string>& currentProjectPath() const { return currentProjectPath_; }
  // The secret of the running server that every request to it shows in the header pageKeyHeader
  // (the link's and the editor page's) or as the password of HTTP authentication (the preview
  // page's loads); empty when none runs.
  const std::string& pageKey() const { return pageKey_; }
  static constexpr const char* pageKeyHeader = "X-Korvel-Key";
  // The server asks its own pages' loads for the key by HTTP authentication in this realm. The
  // key, when a challenge comes from the running server's own host and port in that realm and
  // the key was not the answer just turned down; none for any other host, port or realm.
  static constexpr const char* pageKeyRealm = "Korvel project server";
  std::optional<std::string> pageKeyForChallenge(const std::string& host, int port, const std::string& realm,
                                                 const std::optional<std::string>& refused) const;
  const std::optional<ServerState>& state() const { return state_; }
  const std::optional<std::string>& previewData() const { return previewData_; }
  ServerInterface* server() const { return server_.get(); }
  bool running() const { return running_; }
  const std::shared_ptr<CSTaskManager>& taskManager() const { return taskManager_; }

  // Commands: sent while a link exists, else dropped. The dirty state is kept and sent again
  // on every connection of the link.
  void addPackage(const std::string& name, bool isDevDependency);
  virtual void setDocumentDirty(bool dirty);
  void setCanvasData(const std::string& data);
  virtual void reloadClients();
  virtual void updatePackageInfo();
  virtual void upgradeKorvelLibrary();
  virtual void startLiveSharing();
  virtual void stopLiveSharing();

  // The runner of the server script with `command` ("serve") on `projectPath`.
  Result<std::shared_ptr<CSTaskManager>> createTaskManager(const std::string& projectPath,
                                                           const std::string& command) const;

  void taskManagerDidReceiveOutput(CSTaskManager& runner, const std::string& line, bool isError) override;
  void taskManagerDidEndWithStatus(CSTaskManager& runner, int status) override;

 protected:
  ServerController() = default;

 private:
  void receivedStateLine(const Data& bytes, std::function<void(std::optional<Url>)>& completion);
  void stopServer();
  void send(const ServerCommand& command);
  void postStateSoon();

  std::unique_ptr<ServerInterface> server_;
  bool running_ = false;
  std::shared_ptr<CSTaskManager> taskManager_;
  std::optional<std::string> currentProjectPath_;
  std::optional<ServerState> state_;
  std::optional<std::string> previewData_;
  std::optional<bool> documentDirty_;
  std::string secret_;  // the token blanked in logs while its server runs
  std::string pageKey_;  // blanked in logs too
  bool statePostPending_ = false;
  std::unique_ptr<Timer> restartTimer_;
};
