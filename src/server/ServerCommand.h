#pragma once
// A command to the project server: a Socket.IO event named after the command with exactly one
// argument, an object of named values or JSON null for a command without values. Any thread.

#include <string>

#include <nlohmann/json_fwd.hpp>

class ServerCommand {
 public:
  enum class Case {
    addPackage,
    setIsDocumentDirty,
    upgradeDependency,
    canvasData,
    joinRoom,
    reloadClients,
    updatePackageInfo,
    upgradeKorvelLibrary,
    startLiveSharing,
    stopLiveSharing,
  };

  static ServerCommand addPackage(std::string name, bool isDevDependency);
  static ServerCommand setIsDocumentDirty(bool dirty);
  static ServerCommand upgradeDependency(std::string name, std::string version);
  static ServerCommand canvasData(std::string data);
  static ServerCommand joinRoom(std::string room);
  static ServerCommand reloadClients() { return ServerCommand(Case::reloadClients); }
  static ServerCommand updatePackageInfo() { return ServerCommand(Case::updatePackageInfo); }
  static ServerCommand upgradeKorvelLibrary() { return ServerCommand(Case::upgradeKorvelLibrary); }
  static ServerCommand startLiveSharing() { return ServerCommand(Case::startLiveSharing); }
  static ServerCommand stopLiveSharing() { return ServerCommand(Case::stopLiveSharing); }

  Case kind() const { return case_; }
  // The event name, which is the case name.
  std::string event() const;
  // The one argument of the event.
  nlohmann::json socketRepresentation() const;

 private:
  explicit ServerCommand(Case c) : case_(c) {}
  Case case_;
  std::string text_, second_;  // name, data or room; the version
  bool flag_ = false;          // isDevDependency or dirty
};
