#include "ServerCommand.h"

#include <nlohmann/json.hpp>

ServerCommand ServerCommand::addPackage(std::string name, bool isDevDependency) {
  ServerCommand c(Case::addPackage);
  c.text_ = std::move(name);
  c.flag_ = isDevDependency;
  return c;
}

ServerCommand ServerCommand::setIsDocumentDirty(bool dirty) {
  ServerCommand c(Case::setIsDocumentDirty);
  c.flag_ = dirty;
  return c;
}

ServerCommand ServerCommand::upgradeDependency(std::string name, std::string version) {
  ServerCommand c(Case::upgradeDependency);
  c.text_ = std::move(name);
  c.second_ = std::move(version);
  return c;
}

ServerCommand ServerCommand::canvasData(std::string data) {
  ServerCommand c(Case::canvasData);
  c.text_ = std::move(data);
  return c;
}

ServerCommand ServerCommand::joinRoom(std::string room) {
  ServerCommand c(Case::joinRoom);
  c.text_ = std::move(room);
  return c;
}

std::string ServerCommand::event() const {
  switch (case_) {
    case Case::addPackage: return "addPackage";
    case Case::setIsDocumentDirty: return "setIsDocumentDirty";
    case Case::upgradeDependency: return "upgradeDependency";
    case Case::canvasData: return "canvasData";
    case Case::joinRoom: return "joinRoom";
    case Case::reloadClients: return "reloadClients";
    case Case::updatePackageInfo: return "updatePackageInfo";
    case Case::upgradeKorvelLibrary: return "upgradeKorvelLibrary";
    case Case::startLiveSharing: return "startLiveSharing";
    case Case::stopLiveSharing: return "stopLiveSharing";
  }
  return {};
}

nlohmann::json ServerCommand::socketRepresentation() const {
  using json = nlohmann::json;
  switch (case_) {
    case Case::addPackage: return json{{"packageName", text_}, {"isDevDependency", flag_}};
    case Case::setIsDocumentDirty: return json{{"dirty", flag_}};
    case Case::upgradeDependency: return json{{"packageName", text_}, {"version", second_}};
    case Case::canvasData: return json{{"canvasData", text_}};
    case Case::joinRoom: return json{{"room", text_}};
    default: return nullptr;
  }
}
