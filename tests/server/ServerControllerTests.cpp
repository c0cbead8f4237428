#include "server/ServerController.h"

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Crypto.h"
#include "platform/Data.h"
#include "platform/JsonCoder.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"
#include "platform/SocketIOClient.h"
#include "server/CurrentHost.h"
#include "support/TestEnvironment.h"

using nlohmann::json;

namespace {

constexpr const char* kToken = "tok-8c1f2e-secret";

bool isRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  if (!std::getline(stat, content)) return false;
  auto close = content.rfind(')');
  return close != std::string::npos && close + 2 < content.size() && content[close + 2] != 'Z';
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One request to the server from tests/server/data/request.js, as a page or a client would
// send it; answers what the script printed (a status code, "connected", "refused", "closed").
std::string request(const std::vector<std::string>& arguments) {
  std::string command = "node '" KORVEL_TEST_DATA "/request.js'";
  for (auto& argument : arguments) command += " '" + argument + "'";
  std::string out;
  testenv::run(command + " 2>&1", &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// One controller on the stand-in server, with its notifications and the server's trace of
// what it was started with and what it received.
class ServerControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerController::staticPath();  // fixed before any test moves the resources
    project = testenv::freshFolder("project");
    std::filesystem::create_directories(project / "design" / "images");
    std::ofstream(project / "design" / "document.json") << "{\"pages\":[]}";
    std::ofstream(project / "design" / "images" / "a.svg") << "<svg/>";
    trace = testenv::freshFolder("trace") / "trace.jsonl";
    setenv("KORVEL_SERVER_TRACE", trace.c_str(), 1);
    ServerController::setLoginProvider([] { return ServerLogin{kToken, "Ada Lovelace"}; });
    makeController();
  }
  void TearDown() override {
    controller.reset();
    unsetenv("KORVEL_SERVER_TEST");
    unsetenv("KORVEL_SERVER_TRACE");
    ServerController::setLoginProvider(nullptr);
  }

  void makeController() {
    controller = ServerController::create();
    controller->linkOptions.reconnectionDelay = 0.05;
    controller->linkOptions.reconnectionDelayMax = 0.3;
    stateNotifications = 0;
    stateObserver = NotificationCenter::defaultCenter().addObserver(
        ServerControllerStateDidUpdateNotification, controller.get(), [this](const Notification&) { ++stateNotifications; });
    reloadObserver = NotificationCenter::defaultCenter().addObserver(
        ServerControllerPreviewShouldReloadNotification, controller.get(), [this](const Notification&) { ++reloads; });
  }

  bool startAndLink() {
    auto started = controller->start(project.string(), [this](std::optional<Url> url) {
      ++completions;
      serverURL = url;
    });
    if (!started) return false;
    return RunLoop::runUntil(
        [this] { return completions > 0 && controller->state().has_value() && stateNotifications > 0; }, 30.0);
  }

  // The header every request to the server shows.
  std::string keyHeader() const { return "X-Korvel-Key=" + controller->pageKey(); }

  std::vector<json> traced() {
    std::vector<json> records;
    std::istringstream lines(readFile(trace));
    for (std::string line; std::getline(lines, line);)
      if (auto parsed = JsonCoder::parse(line)) records.push_back(*parsed);
    return records;
  }
  std::vector<json> traced(const std::string& event) {
    std::vector<json> out;
    for (auto& r : traced())
      if (r["event"] == event) out.push_back(r);
    return out;
  }
  bool waitForState(const std::function<bool(const ServerState&)>& predicate) {
    return RunLoop::runUntil([&] { return controller->state() && predicate(*controller->state()); }, 30.0);
  }
  // The shared address, once sharing is active; none when it never got there.
  std::optional<Url> startSharing() {
    controller->startLiveSharing();
    if (!waitForState([](const ServerState& s) { return s.liveSharing.status == "active" && s.liveSharing.url; }))
      return std::nullopt;
    return Url::parse(*controller->state()->liveSharing.url);
  }
  static void idle(double seconds) {
    RunLoop::runUntil([] { return false; }, seconds);
  }

  std::filesystem::path project, trace;
  std::shared_ptr<ServerController> controller;
  ObserverToken stateObserver, reloadObserver;
  int stateNotifications = 0, reloads = 0, completions = 0;
  std::optional<Url> serverURL;
};

}  // namespace

TEST_F(ServerControllerTest, StartsLinksAndServesTheProject) {
  EXPECT_FALSE(controller->currentServerURL());
  ASSERT_TRUE(startAndLink());
  ASSERT_TRUE(serverURL);
  EXPECT_TRUE(serverURL->isLoopback());
  EXPECT_EQ(controller->currentServerURL(), serverURL);
  EXPECT_EQ(controller->currentProjectPath(), project.string());
  EXPECT_TRUE(controller->running());
  EXPECT_EQ(controller->state()->liveSharing.status, "available");
  EXPECT_GE(stateNotifications, 1);

  auto starts = traced("start");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]["tokenArgument"], "") << "the token is not on the command line";
  EXPECT_EQ(starts[0]["tokenLength"], std::string(kToken).size()) << "it is in the environment";
  EXPECT_EQ(starts[0]["author"], "Ada Lovelace") << "the name is in the environment";
  EXPECT_TRUE(starts[0]["authorArgument"].is_null());
  EXPECT_EQ(starts[0]["api"], AppServices::shared().currentEndpoints().apiBaseURL.absoluteString());
  EXPECT_EQ(std::filesystem::path(starts[0]["project"].get<std::string>()), project);
  auto commandLine = readFile("/proc/" + std::to_string(starts[0]["pid"].get<int>()) + "/cmdline");
  EXPECT_EQ(commandLine.find(kToken), std::string::npos);
  EXPECT_NE(commandLine.find(std::string("--token\0\0--api", 15)), std::string::npos);
  EXPECT_NE(commandLine.find(std::string("\0serve\0", 7)), std::string::npos);
  // Every local user reads a command line: the person's name is not on it.
  EXPECT_EQ(commandLine.find("Ada"), std::string::npos);
  EXPECT_EQ(commandLine.find("Lovelace"), std::string::npos);
  EXPECT_EQ(commandLine.find("--author"), std::string::npos);

  std::string out;
  auto get = [&](const std::string& path) {
    out.clear();
    return testenv::run("python3 -c 'import sys,urllib.request as u;sys.stdout.write(u.urlopen(u.Request(sys.argv[1],"
                        "headers={\"X-Korvel-Key\":sys.argv[2]})).read().decode())' '" +
                            serverURL->absoluteString() + path + "' '" + controller->pageKey() + "'",
                        &out);
  };
  ASSERT_EQ(get("design/document.json"), 0);
  EXPECT_EQ(out, "{\"pages\":[]}");
  ASSERT_EQ(get("design/images/a.svg"), 0);
  EXPECT_EQ(out, "<svg/>");
  ASSERT_EQ(get("_app/resources/Ostrel/preview.html?imageBaseURL=x&projectURL=y"), 0);
  EXPECT_NE(out.find("<html"), std::string::npos);
  EXPECT_NE(get("design/../../outside"), 0);
}

TEST_F(ServerControllerTest, SendsCommandsAndFollowsTheState) {
  controller->addPackage("lost", false);  // no link yet: dropped
  ASSERT_TRUE(controller->start(project.string(), [this](std::optional<Url>) { ++completions; }));
  controller->setDocumentDirty(true);  // no link yet, but the dirty state is kept
  ASSERT_TRUE(RunLoop::runUntil([&] { return !traced("setIsDocumentDirty").empty(); }, 30.0));
  EXPECT_EQ(traced("setIsDocumentDirty")[0]["payload"], json({{"dirty", true}}));
  auto events = traced();
  EXPECT_EQ(events[1]["event"], "joinRoom") << "the room first, then the dirty state";
  EXPECT_EQ(events[1]["payload"], json({{"room", "preview"}}));

  controller->addPackage("left-pad", true);
  ASSERT_TRUE(waitForState([](const ServerState& s) { return s.packages == std::vector<std::string>{"left-pad"}; }));
  EXPECT_EQ(traced("addPackage")[0]["payload"], json({{"packageName", "left-pad"}, {"isDevDependency", true}}));

  controller->updatePackageInfo();
  ASSERT_TRUE(waitForState([](const ServerState& s) { return s.outdated.size() == 1; }));
  EXPECT_EQ(controller->state()->outdated[0].latest, "1.1.0");
  controller->upgradeKorvelLibrary();
  ASSERT_TRUE(waitForState([](const ServerState& s) { return s.libraryVersion == "1.1.0" && s.outdated.empty(); }));

  // Sharing goes through "starting" to "active" at an address of its own that serves the
  // prototype, and through "stopping" back to "available", when the address stops answering.
  std::vector<std::string> statuses{controller->state()->liveSharing.status};
  auto statusObserver = NotificationCenter::defaultCenter().addObserver(
      ServerControllerStateDidUpdateNotification, controller.get(), [&](const Notification&) {
        if (controller->state() && (statuses.empty() || statuses.back() != controller->state()->liveSharing.status))
          statuses.push_back(controller->state()->liveSharing.status);
      });
  std::filesystem::create_directories(project / "code");
  std::ofstream(project / "code" / "prototype.js") << "window.prototypeRan = true;\n";
  auto outside = testenv::freshFolder("outside");
  std::ofstream(outside / "secret.txt") << "secret";
  std::filesystem::create_directory_symlink(outside, project / "outlink");
  controller->startLiveSharing();
  ASSERT_TRUE(waitForState([](const ServerState& s) { return s.liveSharing.status == "active"; }));
  auto shared = Url::parse(controller->state()->liveSharing.url.value_or(""));
  ASSERT_TRUE(shared);
  // Another device on the network opens the machine's address there; loopback only without one.
  auto hosts = CurrentHost::IPv4Addresses();
  if (hosts.empty())
    EXPECT_TRUE(shared->isLoopback()) << shared->absoluteString();
  else
    EXPECT_NE(std::find(hosts.begin(), hosts.end(), shared->host()), hosts.end()) << shared->absoluteString();
  EXPECT_TRUE(controller->currentServerURL()->isLoopback()) << "the server itself stays on loopback";
  EXPECT_NE(shared->port(), controller->currentServerURL()->port());
  std::string page;
  auto fetch = [&](const std::string& url) {
    page.clear();
    return testenv::run("python3 -c 'import sys,urllib.request;sys.stdout.write(urllib.request.urlopen(sys.argv[1])"
                        ".read().decode())' '" + url + "' 2>/dev/null",
                        &page);
  };
  // The shared page is the preview page, which runs the project's prototype, read-only.
  ASSERT_EQ(fetch(shared->absoluteString()), 0);
  EXPECT_NE(page.find("preview.js"), std::string::npos) << page;
  ASSERT_EQ(fetch(shared->absoluteString() + "preview.js"), 0);
  EXPECT_NE(page.find("/code/prototype.js"), std::string::npos);
  ASSERT_EQ(fetch(shared->absoluteString() + "code/prototype.js"), 0);
  EXPECT_EQ(page, "window.prototypeRan = true;\n");
  ASSERT_EQ(fetch(shared->absoluteString() + "design/document.json"), 0);
  EXPECT_EQ(page, "{\"pages\":[]}");
  EXPECT_NE(fetch(shared->absoluteString() + "outlink/secret.txt"), 0) << "no link leads out";
  EXPECT_EQ(request({"http", shared->absoluteString(), "POST", "/_app/preview-data", "--body", "{}"}), "405");
  // The shared page follows the editor's preview data from its own origin, and commands nothing.
  const std::string liveOrigin = shared->absoluteString().substr(0, shared->absoluteString().size() - 1);
  EXPECT_EQ(request({"http", controller->currentServerURL()->absoluteString(), "POST", "/_app/preview-data",
                     keyHeader(), "--body", "{\"selection\":\"shared\"}"}),
            "204");
  EXPECT_EQ(request({"listen", shared->absoluteString(), liveOrigin, "from-shared-page"}), "{\"selection\":\"shared\"}");
  EXPECT_EQ(request({"listen", shared->absoluteString(), "http://evil.example", "from-elsewhere"}), "refused");
  EXPECT_EQ(traced("startLiveSharing").size(), 1u);
  controller->stopLiveSharing();
  ASSERT_TRUE(RunLoop::runUntil([&] { return statuses.size() > 1 && statuses.back() == "available"; }, 30.0));
  // Pushes that come close together make one notification, so a slow turn of the main loop may
  // merge a step into the next: what is seen comes in this order, and nothing else comes.
  const std::vector<std::string> steps{"available", "starting", "active", "stopping", "available"};
  auto step = steps.begin();
  bool inOrder = true;
  for (const auto& status : statuses) {
    step = std::find(step, steps.end(), status);
    if (!(inOrder = step != steps.end())) break;
    ++step;
  }
  EXPECT_TRUE(inOrder) << ::testing::PrintToString(statuses);
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "active"), statuses.end());
  EXPECT_EQ(traced("stopLiveSharing").size(), 1u);
  EXPECT_NE(fetch(shared->absoluteString()), 0) << "the shared address is closed";
  statusObserver.reset();

  controller->reloadClients();
  ASSERT_TRUE(RunLoop::runUntil([&] { return reloads == 1; }, 30.0));
  EXPECT_TRUE(traced("addPackage").size() == 1) << "the command sent before the link was lost";
  EXPECT_EQ(completions, 1);
}

TEST_F(ServerControllerTest, LiveSharingCanBeToldToFail) {
  struct Case {
    const char* mode;
    const char* settles;  // the status the start ends in
    bool hasURL;
  };
  for (auto c : {Case{"fail", "error", false}, Case{"no-url", "active", false}, Case{"hang", "starting", false}}) {
    SCOPED_TRACE(c.mode);
    setenv("KORVEL_SERVER_TEST", (std::string("live-sharing=") + c.mode).c_str(), 1);
    makeController();
    ASSERT_TRUE(startAndLink());
    controller->startLiveSharing();
    ASSERT_TRUE(waitForState([&](const ServerState& s) { return s.liveSharing.status == c.settles; }));
    idle(0.3);  // nothing follows
    EXPECT_EQ(controller->state()->liveSharing.status, c.settles);
    EXPECT_EQ(controller->state()->liveSharing.url.has_value(), c.hasURL);
    controller->stopLiveSharing();
    ASSERT_TRUE(waitForState([](const ServerState& s) { return s.liveSharing.status == "available"; }));
  }
}

TEST_F(ServerControllerTest, CoalescesStateNotificationsAndPostsPreviewData) {
  ASSERT_TRUE(startAndLink());
  idle(0.2);
  stateNotifications = 0;
  auto first = *controller->state();
  auto second = first;
  second.libraryVersion = "9.9.9";
  int previews = 0;
  auto previewObserver = NotificationCenter::defaultCenter().addObserver(
      ServerControllerPreviewDataDidUpdateNotification, controller.get(), [&](const Notification&) { ++previews; });

  controller->server()->didUpdateState(first);
  controller->server()->didUpdateState(second);
  EXPECT_EQ(stateNotifications, 0) << "posted when the main loop turns";
  controller->server()->didUpdatePreview("{\"selection\":\"s\"}");
  EXPECT_EQ(previews, 1) << "preview data is posted at once";
  EXPECT_EQ(controller->previewData(), "{\"selection\":\"s\"}");
  ASSERT_TRUE(RunLoop::runUntil([&] { return stateNotifications > 0; }, 30.0));
  idle(0.2);
  EXPECT_EQ(stateNotifications, 1);
  EXPECT_EQ(controller->state(), second);
}

TEST_F(ServerControllerTest, StopForgetsTheServerOnce) {
  controller->stop();
  EXPECT_EQ(stateNotifications, 0) << "never started: nothing happens";
  ASSERT_TRUE(startAndLink());
  pid_t pid = traced("start")[0]["pid"].get<int>();
  stateNotifications = 0;
  controller->stop();
  EXPECT_EQ(stateNotifications, 1);
  EXPECT_FALSE(controller->state());
  EXPECT_FALSE(controller->currentServerURL());
  EXPECT_FALSE(controller->currentProjectPath());
  EXPECT_FALSE(controller->running());
  controller->stop();
  controller->setDocumentDirty(false);
  EXPECT_EQ(stateNotifications, 1);
  EXPECT_TRUE(RunLoop::runUntil([&] { return !isRunning(pid); }, 30.0));
}

TEST_F(ServerControllerTest, DroppingTheControllerOrStartingAgainStopsTheServer) {
  ASSERT_TRUE(startAndLink());
  pid_t first = traced("start")[0]["pid"].get<int>();
  completions = 0;
  ASSERT_TRUE(startAndLink());
  pid_t second = traced("start")[1]["pid"].get<int>();
  EXPECT_TRUE(RunLoop::runUntil([&] { return !isRunning(first); }, 30.0));
  EXPECT_TRUE(isRunning(second));
  controller.reset();
  EXPECT_TRUE(RunLoop::runUntil([&] { return !isRunning(second); }, 30.0));
}

TEST_F(ServerControllerTest, WaitsForASlowServerWhoseStateLineComesInPieces) {
  setenv("KORVEL_SERVER_TEST", "slow-start=300,split-state-line", 1);
  ServerController::setLoginProvider(nullptr);
  ASSERT_TRUE(startAndLink());
  idle(0.3);
  EXPECT_EQ(completions, 1);
  auto start = traced("start")[0];
  EXPECT_EQ(start["tokenArgument"], "");
  EXPECT_EQ(start["tokenLength"], 0);
  EXPECT_TRUE(start["author"].is_null());
}

TEST_F(ServerControllerTest, ANormalExitClearsTheStateWithoutARestart) {
  int crashes = 0;
  controller->crashHandler = [&](int) { ++crashes; };
  ASSERT_TRUE(startAndLink());
  stateNotifications = 0;
  // Only once linked is the server told to end: it exits with status 0, which the controller
  // did not ask for.
  pid_t pid = traced("start")[0]["pid"].get<int>();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  ASSERT_TRUE(RunLoop::runUntil([&] { return !controller->running(); }, 30.0));
  EXPECT_EQ(stateNotifications, 1);
  EXPECT_FALSE(controller->state());
  EXPECT_FALSE(controller->currentServerURL());
  idle(0.5);
  EXPECT_EQ(crashes, 0);
}

TEST_F(ServerControllerTest, RestartsACrashedServerWithBackOffUntilItKeepsFailing) {
  setenv("KORVEL_SERVER_TEST", "exit-later=1:100", 1);
  controller->restartPolicy =
      ServerRestartPolicy({.quickFailure = 60, .maxQuickFailures = 2, .initialDelay = 0.05, .maxDelay = 0.2});
  std::vector<int> statuses;
  bool offMainThread = false;
  controller->crashHandler = [&](int status) {
    statuses.push_back(status);
    offMainThread |= !RunLoop::isMainThread();
    EXPECT_FALSE(controller->state()) << "the state was cleared before";
    controller->stop();
    ASSERT_TRUE(controller->start(project.string(), nullptr));
  };
  ASSERT_TRUE(controller->start(project.string(), [&](std::optional<Url>) { ++completions; }));
  ASSERT_TRUE(RunLoop::runUntil([&] { return traced("start").size() == 3 && !controller->running(); }, 30.0));
  idle(0.6);
  EXPECT_EQ(statuses, (std::vector<int>{1, 1})) << "the third quick failure is not restarted";
  EXPECT_FALSE(offMainThread);
  EXPECT_EQ(traced("start").size(), 3u);
}

TEST_F(ServerControllerTest, AServerThatDiesAtStartNeverCompletes) {
  setenv("KORVEL_SERVER_TEST", "exit-at-start=1", 1);
  std::optional<int> crashed;
  controller->crashHandler = [&](int status) { crashed = status; };
  ASSERT_TRUE(controller->start(project.string(), [&](std::optional<Url>) { ++completions; }));
  EXPECT_TRUE(controller->running());
  ASSERT_TRUE(RunLoop::runUntil([&] { return crashed.has_value(); }, 30.0));
  EXPECT_EQ(*crashed, 1);
  EXPECT_EQ(completions, 0);
  EXPECT_FALSE(controller->running());
}

TEST_F(ServerControllerTest, ReportsAServerThatCannotBeRun) {
  auto resources = testenv::freshFolder("resources");
  setenv("KORVEL_RESOURCES", resources.c_str(), 1);
  auto missing = controller->start(project.string(), nullptr);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain, ServerController::ErrorDomain);
  EXPECT_EQ(missing.error().code, ServerController::cannotRunServerCommand);

  // Present but not executable: the launch fails and nothing is shown as running.
  std::filesystem::create_directories(resources / "Node" / "bin");
  std::filesystem::create_directories(resources / "Server" / "lib");
  std::ofstream(resources / "Node" / "bin" / "node") << "#!/bin/sh\n";
  std::ofstream(resources / "Server" / "lib" / "cli.js") << "\n";
  chmod((resources / "Node" / "bin" / "node").c_str(), 0644);
  auto unlaunchable = controller->start(project.string(), nullptr);
  setenv("KORVEL_RESOURCES", (std::string(KORVEL_SOURCE_DIR) + "/resources").c_str(), 1);
  ASSERT_FALSE(unlaunchable);
  EXPECT_EQ(unlaunchable.error().code, ServerController::launchFailed);
  EXPECT_FALSE(controller->running());
  EXPECT_EQ(stateNotifications, 0);
}

// Names that read as options of the package manager go out from no route, and the server,
// asked directly, refuses them too; what it installs comes after "--".
TEST_F(ServerControllerTest, PackageNamesThatReadAsOptionsNeverReachThePackageManager) {
  ASSERT_TRUE(startAndLink());
  for (const char* name : {"-g", "--ignore-scripts", "@scope/--force"}) controller->addPackage(name, false);
  controller->addPackage("left-pad", false);
  ASSERT_TRUE(RunLoop::runUntil([&] { return traced("install").size() == 1; }, 30.0));
  ASSERT_EQ(traced("addPackage").size(), 1u);
  EXPECT_EQ(traced("install")[0]["argv"], json({"install", "--save", "--", "left-pad"}));

  socketio::Client::Options options;
  options.headers[ServerController::pageKeyHeader] = controller->pageKey();
  socketio::Client direct(*serverURL, options);
  direct.connect();
  ASSERT_TRUE(RunLoop::runUntil([&] { return direct.isConnected(); }, 30.0));
  for (const char* name : {"-g", "--ignore-scripts", "@scope/--force"})
    direct.emit("addPackage", {{"packageName", name}, {"isDevDependency", true}});
  direct.emit("addPackage", {{"packageName", "@scope/right-pad"}, {"isDevDependency", true}});
  ASSERT_TRUE(RunLoop::runUntil([&] { return traced("install").size() == 2; }, 30.0));
  EXPECT_EQ(traced("refused").size(), 3u);
  EXPECT_EQ(traced("install")[1]["argv"], json({"install", "--save-dev", "--", "@scope/right-pad"}));
  ASSERT_TRUE(waitForState([](const ServerState& s) {
    return s.packages == std::vector<std::string>{"@scope/right-pad", "left-pad"};
  }));
  direct.disconnect();
}


// Nothing leaves the project through a name: not a NUL, which once ended the server, and not a
// link, which once led to any file; links that stay inside still work.
TEST_F(ServerControllerTest, ServesNothingOutsideTheProjectThroughNamesOrLinks) {
  auto outside = testenv::freshFolder("outside");
  std::ofstream(outside / "secret.txt") << "secret";
  std::filesystem::create_directories(project / "code");
  std::ofstream(project / "code" / "prototype.js") << "prototype";
  std::filesystem::create_directory_symlink(outside, project / "outlink");
  std::filesystem::create_symlink(outside / "secret.txt", project / "code" / "leak.js");
  std::filesystem::create_symlink(project / "code" / "prototype.js", project / "code" / "alias.js");
  std::filesystem::create_symlink(std::filesystem::relative(outside / "secret.txt", project / "design"),
                                  project / "design" / "relative.txt");
  ASSERT_TRUE(startAndLink());
  pid_t pid = traced("start")[0]["pid"].get<int>();
  const std::string base = serverURL->absoluteString();

  struct Case {
    const char* path;
    const char* status;
  };
  for (auto c : {Case{"/outlink/secret.txt", "404"}, Case{"/code/leak.js", "404"}, Case{"/design/relative.txt", "404"},
                 Case{"/code/alias.js", "200"}, Case{"/%00", "404"}, Case{"/code/%00prototype.js", "404"},
                 Case{"/code/prototype.js%00", "404"}, Case{"/_app/resources/%00", "404"}, Case{"/code/prototype.js", "200"}}) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(request({"http", base, "GET", c.path, keyHeader()}), c.status);
    EXPECT_EQ(request({"http", base, "HEAD", c.path, keyHeader()}), c.status);
  }
  EXPECT_TRUE(isRunning(pid)) << "the server outlives every request";
}

// Only the application's own pages and client command the server: a page of another site in
// the person's browser, one that reaches the port under another name, and any client without the
// key (another local process or account) are refused.
TEST_F(ServerControllerTest, TakesCommandsAndPreviewDataOnlyFromTheApplication) {
  ASSERT_TRUE(startAndLink());
  const std::string base = serverURL->absoluteString();
  const std::string own = base.substr(0, base.size() - 1);  // the preview page's origin

  const std::string key = controller->pageKey();
  ASSERT_EQ(key.size(), 64u);
  struct Post {
    const char* origin;  // "" sends none
    const char* host;    // "" sends the server's own
    const char* key;     // "right", "wrong" or "" for none
    const char* status;
  };
  int accepted = 0;
  std::string lastAccepted;
  // Any page can send the origin "null" from a sandboxed frame, and any local process none: only
  // the application knows the key.
  for (auto c : {Post{"http://evil.example", "", "", "403"}, Post{"https://127.0.0.1.evil.example", "", "", "403"},
                 Post{"http://127.0.0.1", "", "right", "403"}, Post{"", "evil.example", "", "421"},
                 Post{"", "", "", "403"}, Post{"", "", "wrong", "403"}, Post{"", "", "right", "204"},
                 Post{"null", "", "right", "204"}, Post{"file://", "", "right", "204"}, Post{"own", "", "", "403"},
                 Post{"own", "", "right", "204"}, Post{"null", "", "", "403"}, Post{"null", "", "wrong", "403"},
                 Post{"file://", "", "", "403"}}) {
    std::string origin = std::string(c.origin) == "own" ? own : c.origin;
    SCOPED_TRACE(origin + " " + c.host + " " + c.key);
    std::vector<std::string> arguments{"http", base, "POST", "/_app/preview-data"};
    if (!origin.empty()) arguments.push_back("Origin=" + origin);
    if (*c.host) arguments.push_back(std::string("Host=") + c.host);
    if (std::string(c.key) == "right") arguments.push_back("X-Korvel-Key=" + key);
    if (std::string(c.key) == "wrong") arguments.push_back("X-Korvel-Key=" + std::string(key.size(), '0'));
    arguments.insert(arguments.end(), {"--body", json({{"from", origin}, {"key", c.key}}).dump()});
    EXPECT_EQ(request(arguments), c.status);
    if (std::string(c.status) == "204") {
      ++accepted;
      lastAccepted = origin;
    }
  }
  auto previews = traced("previewData");
  ASSERT_EQ(previews.size(), static_cast<std::size_t>(accepted));
  EXPECT_EQ(previews.back()["payload"]["from"], lastAccepted) << "what was refused replaced nothing";
  EXPECT_EQ(traced("refusedKey").size(), 8u);
  EXPECT_EQ(request({"http", base, "GET", "/design/document.json", "Host=evil.example", keyHeader()}), "421");

  struct Socket {
    const char* origin;  // "-" sends none
    bool withKey;
    const char* packageName;
    const char* outcome;
  };
  std::vector<std::string> installed;
  for (auto c : {Socket{"http://evil.example", true, "evil-a", "refused"}, Socket{"null", true, "evil-b", "refused"},
                 Socket{"file://", true, "evil-c", "refused"}, Socket{"-", false, "keyless-a", "refused"},
                 Socket{"own", false, "keyless-b", "refused"}, Socket{"-", true, "native-a", "connected"},
                 Socket{"own", true, "page-a", "connected"}}) {
    std::string origin = std::string(c.origin) == "own" ? own : c.origin;
    SCOPED_TRACE(origin + (c.withKey ? " with the key" : ""));
    std::vector<std::string> arguments{"socket", base, origin, c.packageName, "start"};
    if (c.withKey) arguments.push_back(keyHeader());
    EXPECT_EQ(request(arguments), c.outcome);
    if (std::string(c.outcome) == "connected") installed.push_back(c.packageName);
  }
  // Each client starts sharing before it asks for its package, so its install comes last.
  ASSERT_TRUE(RunLoop::runUntil([&] { return traced("install").size() == installed.size(); }, 30.0));
  for (std::size_t i = 0; i < installed.size(); ++i)
    EXPECT_EQ(traced("install")[i]["argv"].back(), installed[i]);
  EXPECT_EQ(traced("startLiveSharing").size(), installed.size()) << "only the accepted ones started sharing";
  EXPECT_EQ(traced("refusedOrigin").size(), 1u + 3u) << "with the key";
}

// The editor page reads the project as a local file's page, with the key; another page that
// claims that origin gets neither the file nor the grant to read it.
TEST_F(ServerControllerTest, ALocalFilesOriginReadsTheProjectOnlyWithTheKey) {
  ASSERT_TRUE(startAndLink());
  const std::string base = serverURL->absoluteString();
  const std::string own = base.substr(0, base.size() - 1);
  const std::string key = controller->pageKey();
  const std::string wrong = key.substr(0, key.size() - 1) + (key.back() == 'a' ? "b" : "a");
  struct Read {
    const char* method;
    const char* origin;  // "" sends none
    const char* key;     // "right", "wrong", "short" or "" for none
    const char* path;
    const char* answer;  // status and Access-Control-Allow-Origin
  };
  for (auto c : {Read{"GET", "null", "", "/design/document.json", "403 -"},
                 Read{"GET", "null", "wrong", "/design/document.json", "403 -"},
                 Read{"GET", "null", "short", "/design/document.json", "403 -"},
                 Read{"HEAD", "file://", "", "/design/images/a.svg", "403 -"},
                 Read{"GET", "null", "", "/_app/resources/Ostrel/ostrel.js", "403 -"},
                 Read{"GET", "null", "right", "/design/document.json", "200 null"},
                 Read{"GET", "file://", "right", "/design/images/a.svg", "200 file://"},
                 Read{"GET", "", "", "/design/document.json", "403 -"},
                 Read{"GET", "", "right", "/design/document.json", "200 -"},
                 Read{"GET", "own", "", "/design/document.json", "403 -"},
                 Read{"GET", "own", "right", "/design/document.json", "200 -"},
                 Read{"GET", "http://evil.example", "right", "/design/document.json", "200 -"},
                 // The editor's browser asks before it sends the key; the answer grants nothing by itself.
                 Read{"OPTIONS", "null", "", "/design/document.json", "204 null"},
                 Read{"OPTIONS", "null", "", "/_app/preview-data", "204 null"},
                 Read{"OPTIONS", "http://evil.example", "", "/_app/preview-data", "403 -"},
                 Read{"OPTIONS", "own", "", "/_app/preview-data", "403 -"}}) {
    std::string origin = std::string(c.origin) == "own" ? own : c.origin;
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + origin + " " + c.key);
    std::vector<std::string> arguments{"http", base, c.method, c.path};
    if (!origin.empty()) arguments.push_back("Origin=" + origin);
    std::string k = c.key;
    if (k == "right") arguments.push_back("X-Korvel-Key=" + key);
    if (k == "wrong") arguments.push_back("X-Korvel-Key=" + wrong);
    if (k == "short") arguments.push_back("X-Korvel-Key=" + key.substr(0, 8));
    arguments.insert(arguments.end(), {"--show", "Access-Control-Allow-Origin"});
    EXPECT_EQ(request(arguments), c.answer);
  }
}

// Another local process or account sends no Origin: on every road (a file, the application's
// resources, preview data, a command) it is refused without the key. The preview page's load
// shows it in the header; what the page loads answers the server's question for it (HTTP
// authentication). The browser keeps that answer and sends it with any page's request to the
// port, so it counts only where the browser marks the request as the page's own. A cookie goes
// to every port of 127.0.0.1, so none counts, whatever it holds.
TEST_F(ServerControllerTest, NoClientWithoutTheKeyIsServedOnAnyRoad) {
  ASSERT_TRUE(startAndLink());
  const std::string base = serverURL->absoluteString();
  const std::string key = controller->pageKey();
  const std::string wrong(key.size(), '0');
  auto basic = [](const std::string& credential) { return "Authorization=Basic " + crypto::base64Encode(dataFromString(credential)); };
  struct Credential {
    const char* name;
    std::vector<std::string> headers;
    bool served;
  };
  // The browser keeps the answer to the server's question and sends it with any page's request:
  // it counts only on what the browser marks as the page's own (or the view's own navigation).
  const std::string answer = basic("korvel:" + key);
  const std::vector<Credential> credentials{
      {"none", {}, false},
      {"wrong key", {"X-Korvel-Key=" + wrong}, false},
      {"the key in a cookie", {"Cookie=korvel-key-" + std::to_string(serverURL->port()) + "=" + key}, false},
      {"the key in a cookie of another name", {"Cookie=other=1; korvel=" + key}, false},
      {"a wrong password", {basic("korvel:" + wrong), "Sec-Fetch-Site=same-origin"}, false},
      {"the key as the user name", {basic(key + ":"), "Sec-Fetch-Site=same-origin"}, false},
      {"the key in another scheme", {"Authorization=Bearer " + key, "Sec-Fetch-Site=same-origin"}, false},
      {"the key as the password, with no word on where the request came from", {answer}, false},
      {"the key as the password, from a page of another port", {answer, "Sec-Fetch-Site=same-site"}, false},
      {"the key as the password, from a page of another site", {answer, "Sec-Fetch-Site=cross-site"}, false},
      {"the key as the password, from a page of another site that names this server as its origin",
       {answer, "Sec-Fetch-Site=cross-site", "Origin=" + serverURL->absoluteString().substr(0, serverURL->absoluteString().size() - 1)}, false},
      {"key", {"X-Korvel-Key=" + key}, true},
      {"key, from a page of another site that was given it", {"X-Korvel-Key=" + key, "Sec-Fetch-Site=cross-site"}, true},
      {"the key as the password, on a navigation of the view by the application", {answer, "Sec-Fetch-Site=none"}, true},
      {"the key as the password, from a page of this server", {answer, "Sec-Fetch-Site=same-origin"}, true},
  };
  // A page of this origin is asked for the key; another page of 127.0.0.1 (another document's
  // preview, on another port) and any other client are refused outright.
  struct Asked {
    const char* site;  // Sec-Fetch-Site, "" sends none
    const char* answer;
  };
  for (auto c : {Asked{"same-origin", "401 Basic realm=\"Korvel project server\""}, Asked{"none", "401 Basic realm=\"Korvel project server\""},
                 Asked{"same-site", "403 -"}, Asked{"cross-site", "403 -"}, Asked{"", "403 -"}}) {
    SCOPED_TRACE(c.site);
    std::vector<std::string> arguments{"http", base, "GET", "/design/document.json",
                                       "Cookie=korvel-key-" + std::to_string(serverURL->port()) + "=" + key};
    if (*c.site) arguments.push_back(std::string("Sec-Fetch-Site=") + c.site);
    arguments.insert(arguments.end(), {"--show", "WWW-Authenticate"});
    EXPECT_EQ(request(arguments), c.answer);
  }
  int accepted = 0;
  for (const auto& c : credentials) {
    SCOPED_TRACE(c.name);
    auto with = [&](std::vector<std::string> arguments) {
      arguments.insert(arguments.end(), c.headers.begin(), c.headers.end());
      return request(arguments);
    };
    // A page of this origin without the key is asked for it; every other request is refused.
    const bool asked = std::find_if(c.headers.begin(), c.headers.end(), [](const std::string& h) {
                         return h == "Sec-Fetch-Site=same-origin" || h == "Sec-Fetch-Site=none";
                       }) != c.headers.end();
    const std::string refusal = asked ? "401" : "403";
    const std::string read = c.served ? "200" : refusal;
    EXPECT_EQ(with({"http", base, "GET", "/design/document.json"}), read);
    EXPECT_EQ(with({"http", base, "HEAD", "/design/images/a.svg"}), read);
    EXPECT_EQ(with({"http", base, "GET", "/_app/resources/Ostrel/preview.html"}), read);
    EXPECT_EQ(with({"http", base, "GET", "/socket.io/socket.io.js"}), read);
    EXPECT_EQ(with({"http", base, "POST", "/_app/preview-data", "--body", json({{"credential", c.name}}).dump()}),
              c.served ? "204" : refusal);
    const std::string package = std::string("package-") + std::to_string(accepted + (c.served ? 1 : 100));
    EXPECT_EQ(with({"socket", base, "-", package, "start"}), c.served ? "connected" : "refused");
    accepted += c.served;
  }
  ASSERT_TRUE(RunLoop::runUntil([&] { return traced("install").size() == static_cast<std::size_t>(accepted); }, 30.0));
  EXPECT_EQ(traced("install").back()["argv"].back(), "package-" + std::to_string(accepted));
  EXPECT_EQ(traced("startLiveSharing").size(), static_cast<std::size_t>(accepted)) << "nothing shared for the others";
  EXPECT_EQ(traced("previewData").size(), static_cast<std::size_t>(accepted));
  EXPECT_EQ(traced("previewData").back()["payload"]["credential"], credentials.back().name);

  // No load, the application's among them, is given a cookie.
  EXPECT_EQ(request({"http", base, "GET", "/_app/resources/Ostrel/preview.html", keyHeader(), "--show", "Set-Cookie"}),
            "200 -");
  EXPECT_EQ(request({"http", base, "GET", "/design/document.json", keyHeader(), "Origin=null", "--show", "Set-Cookie"}),
            "200 -");
}

// The application answers the server's question with the key only for that server's own host,
// port and realm, and not again once the key was turned down.
TEST_F(ServerControllerTest, TheKeyAnswersOnlyItsOwnServersQuestion) {
  EXPECT_FALSE(controller->pageKeyForChallenge("127.0.0.1", 80, ServerController::pageKeyRealm, std::nullopt));
  ASSERT_TRUE(startAndLink());
  const std::string key = controller->pageKey();
  const int port = serverURL->port();
  struct Challenge {
    std::string host;
    int port;
    std::string realm;
    std::optional<std::string> refused;
    bool answered;
  };
  const std::string realm = ServerController::pageKeyRealm;
  for (const auto& c : {Challenge{"127.0.0.1", port, realm, std::nullopt, true},
                        Challenge{"127.0.0.1", port, realm, std::string("an older key"), true},
                        Challenge{"127.0.0.1", port, realm, key, false},
                        Challenge{"127.0.0.1", port + 1, realm, std::nullopt, false},
                        Challenge{"127.0.0.1", 3000, realm, std::nullopt, false},
                        Challenge{"localhost", port, realm, std::nullopt, false},
                        Challenge{"127.0.0.2", port, realm, std::nullopt, false},
                        Challenge{"127.0.0.1", port, "Korvel", std::nullopt, false},
                        Challenge{"127.0.0.1", port, "", std::nullopt, false}}) {
    SCOPED_TRACE(c.host + ":" + std::to_string(c.port) + " " + c.realm);
    auto answer = controller->pageKeyForChallenge(c.host, c.port, c.realm, c.refused);
    EXPECT_EQ(answer.has_value(), c.answered);
    if (answer) {
      EXPECT_EQ(*answer, key);
    }
  }
  controller->stop();
  EXPECT_FALSE(controller->pageKeyForChallenge("127.0.0.1", port, realm, std::nullopt));
}

// The key is the server's secret: in its environment, never on its command line or in a log
// line or trace, and a new one for every start.
TEST_F(ServerControllerTest, TheServersKeyIsNewForEachStartAndNeverShown) {
  EXPECT_EQ(controller->pageKey(), "");
  ASSERT_TRUE(startAndLink());
  const std::string first = controller->pageKey();
  ASSERT_EQ(first.size(), 64u);
  auto start = traced("start").back();
  EXPECT_EQ(start["pageKeyLength"], first.size()) << "the server got it";
  auto pid = std::to_string(start["pid"].get<int>());
  EXPECT_EQ(readFile("/proc/" + pid + "/cmdline").find(first), std::string::npos);
  EXPECT_EQ(RWLogSecrets::redact("server says " + first).find(first), std::string::npos)
      << "a line of the server's output that held it is blanked";
  // A request that carries the key leaves no trace of it.
  EXPECT_EQ(request({"http", serverURL->absoluteString(), "POST", "/_app/preview-data", "Origin=null",
                     "X-Korvel-Key=" + first, "--body", "{}"}),
            "204");
  EXPECT_EQ(request({"http", serverURL->absoluteString(), "POST", "/_app/preview-data", "Origin=null",
                     "X-Korvel-Key=" + first + "x", "--body", "{}"}),
            "403");

  completions = 0;
  stateNotifications = 0;
  ASSERT_TRUE(startAndLink());
  const std::string second = controller->pageKey();
  EXPECT_EQ(second.size(), 64u);
  EXPECT_NE(second, first);
  EXPECT_NE(RWLogSecrets::redact(first).find(first), std::string::npos) << "the stopped server's key is forgotten";
  EXPECT_EQ(readFile(trace).find(first), std::string::npos);
  EXPECT_EQ(readFile(trace).find(second), std::string::npos);
  controller->stop();
  EXPECT_EQ(controller->pageKey(), "");
}

// A page that rebinds a name of its own to the machine's address reaches the shared port under
// that name: only the machine's addresses, the one the QR code gives among them, are answered.
TEST_F(ServerControllerTest, TheLiveShareAnswersOnlyUnderTheMachinesAddresses) {
  ASSERT_TRUE(startAndLink());
  auto shared = startSharing();
  ASSERT_TRUE(shared);
  const std::string live = shared->absoluteString();
  const std::string port = std::to_string(shared->port());
  ASSERT_EQ(request({"http", serverURL->absoluteString(), "POST", "/_app/preview-data", keyHeader(), "--body",
                     "{\"selection\":\"shared\"}"}),
            "204");
  struct Case {
    std::string host;  // "" sends the shared address's own
    const char* status;
  };
  const std::vector<Case> cases{{"", "200"},
                                {shared->host() + ":" + port, "200"},
                                {"127.0.0.1:" + port, "200"},
                                {"rebind.evil.example:" + port, "421"},
                                {"rebind.evil.example", "421"},
                                {"localhost:" + port, "421"},
                                {shared->host() + ":1", "421"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    for (const char* path : {"/", "/design/document.json", "/socket.io/socket.io.js"}) {
      std::vector<std::string> arguments{"http", live, "GET", path};
      if (!c.host.empty()) arguments.push_back("Host=" + c.host);
      EXPECT_EQ(request(arguments), c.status) << path;
    }
    std::vector<std::string> listen{"listen", live, "-", "nothing"};
    if (!c.host.empty()) listen.push_back("Host=" + c.host);
    EXPECT_EQ(request(listen), std::string(c.status) == "200" ? "{\"selection\":\"shared\"}" : "refused");
  }
  EXPECT_EQ(traced("addPackage").size(), 0u) << "the shared port takes no command";
}

// The shared port is open to the network: one device that opens many connections and sends
// nothing, or holds many Socket.IO links, leaves room for the next device; so do nine devices
// that each hold as many links as they may connections, answer pings and come back when refused.
TEST_F(ServerControllerTest, OnePeerCannotHoldTheLiveShareShut) {
  ASSERT_TRUE(startAndLink());
  auto shared = startSharing();
  ASSERT_TRUE(shared);
  struct Crowd {
    const char* kind;
    const char* each;
    const char* peers;
  };
  for (auto c : {Crowd{"idle", "64", "1"}, Crowd{"socket", "64", "1"}, Crowd{"socket", "16", "9"},
                 Crowd{"idle", "16", "9"}}) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.each + " x " + c.peers);
    EXPECT_EQ(request({"crowd", shared->absoluteString(), c.kind, c.each, c.peers}), "200 connected");
  }
}

// A client that sends request after request without reading an answer (pipelining), on three
// connections, holds neither the server's memory nor the person's preview: the main port answers
// meanwhile, and the process stays small. On either port.
TEST_F(ServerControllerTest, PipelinedRequestsHoldNeitherMemoryNorTheMainPort) {
  std::ofstream(project / "design" / "images" / "large.png") << std::string(64 * 1024, 'p');
  ASSERT_TRUE(startAndLink());
  auto shared = startSharing();
  ASSERT_TRUE(shared);
  const std::string pid = std::to_string(traced("start")[0]["pid"].get<int>());
  for (const auto& target : {serverURL->absoluteString(), shared->absoluteString()}) {
    SCOPED_TRACE(target);
    auto outcome = request(
        {"pipeline", target, serverURL->absoluteString(), pid, "200000", controller->pageKey(), "/design/images/large.png"});
    ASSERT_EQ(outcome.rfind("200 ", 0), 0u) << outcome;
    EXPECT_LT(std::stoi(outcome.substr(4)), 300) << "MB at most";
  }
  EXPECT_EQ(request({"http", serverURL->absoluteString(), "GET", "/design/document.json", keyHeader()}), "200");
}

// What the preview page loads, as its page names it, is there on the preview window's port and
// on the shared one; a new project has no prototype script yet and gets an empty one.
TEST_F(ServerControllerTest, EveryFileThePreviewPageLoadsIsServedOnBothPorts) {
  ASSERT_TRUE(startAndLink());
  ASSERT_FALSE(std::filesystem::exists(project / "code" / "prototype.js"));
  auto shared = startSharing();
  ASSERT_TRUE(shared);
  const std::string page = readFile(std::string(KORVEL_SOURCE_DIR) + "/resources/Ostrel/preview.html");
  const std::string script = readFile(std::string(KORVEL_SOURCE_DIR) + "/resources/Ostrel/preview.js");
  std::vector<std::string> loads;
  for (std::size_t at = page.find("src=\""); at != std::string::npos; at = page.find("src=\"", at + 1))
    loads.push_back(page.substr(at + 5, page.find('"', at + 5) - at - 5));
  ASSERT_NE(script.find("'/code/prototype.js'"), std::string::npos);
  loads.push_back("/code/prototype.js");
  ASSERT_GE(loads.size(), 4u);

  const auto mainPage = serverURL->appendingPathComponent("_app/resources/Ostrel/preview.html");
  const std::vector<std::pair<Url, std::string>> pages{{mainPage, keyHeader()}, {*shared, ""}};
  for (const auto& [pageURL, header] : pages) {
    for (const auto& load : loads) {
      // Names relative to the page's folder, or to the root.
      const std::string folder = pageURL.path().substr(0, pageURL.path().rfind('/') + 1);
      const std::string path = load[0] == '/' ? load : folder + load;
      SCOPED_TRACE(pageURL.absoluteString() + " " + path);
      std::vector<std::string> arguments{"http", pageURL.absoluteString(), "GET", path};
      if (!header.empty()) arguments.push_back(header);
      EXPECT_EQ(request(arguments), "200");
    }
  }
}
