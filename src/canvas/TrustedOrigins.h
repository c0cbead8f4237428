#pragma once
// The origins a hosted page may show and talk to the host from: web origins matched exactly by
// scheme, host and port (the loopback names "localhost", "127.0.0.1" and "::1" stand for one
// another), and folders whose files are trusted. Any thread, no sharing.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class TrustedOrigins {
 public:
  // The origin of `url`; ignored when it has no scheme and host.
  void addOrigin(std::string_view url);
  void addFolder(const std::filesystem::path& folder);
  // Exactly `url` (for pages the host loads from text, such as "about:blank").
  void addAddress(std::string_view url);

  bool contains(std::string_view url) const;
  // Counts the changes: what was built from the origins is built again when it moved on.
  std::uint64_t generation() const { return generation_; }
  // A script condition, true in a document (or frame) whose own address this trusts, read as the
  // document starts, before any script of its own has run. Blank frames inside such a document
  // count as it.
  std::string scriptCondition() const;

 private:
  struct Origin {
    std::string scheme;
    std::string host;
    int port;
  };
  std::vector<Origin> origins_;
  std::vector<std::filesystem::path> folders_;
  std::vector<std::string> addresses_;
  std::uint64_t generation_ = 0;
};
