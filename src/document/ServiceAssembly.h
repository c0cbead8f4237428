#pragma once
// A registry of named services with a two-phase life: add while open, seal (which activates
// every service), look up while sealed, clear (which deactivates them and opens it again).
// Misuse stops the program. Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

class ServiceAssembly;

class Service {
 public:
  virtual ~Service() = default;
  virtual std::string moniker() const = 0;
  virtual void activate(ServiceAssembly&) {}
  virtual void deactivate() {}
};

class ServiceAssembly : public Service {
 public:
  // With no name, the moniker is a new random UUID.
  explicit ServiceAssembly(std::optional<std::string> moniker);
  ServiceAssembly() = delete;

  std::string moniker() const override { return moniker_; }
  bool sealed() const { return sealed_; }

  void add(std::shared_ptr<Service> service);
  std::shared_ptr<Service> get(const std::string& moniker) const;
  void seal();
  void clear();
  void deactivate() override { clear(); }

 private:
  std::string moniker_;
  bool sealed_ = false;
  std::vector<std::string> monikers_;
  std::vector<std::shared_ptr<Service>> services_;
};
