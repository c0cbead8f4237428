#pragma once
// The origins a hosted page may show and talk to the host from: web origins matched exactly by
// scheme, host and port (the loopback names "localhost", "127.0.0.1" and "::1" stand for one
// another), folders whose files are trusted, and exact addresses. Each holder (the page the host
// loaded, the owner's servers) has a grant of its own, replaced whole when what it serves moves:
// an address the host no longer serves is trusted no more. Any thread, no sharing.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TrustedOrigins {
 public:
  struct Grant {
    std::vector<std::string> origins;  // web addresses, for their origins; others are ignored
    std::vector<std::filesystem::path> folders;
    std::vector<std::string> addresses;  // exactly these (pages the host loads from text)
  };
  // Replaces what `holder` trusted with `grant`.
  void setGrant(const std::string& holder, const Grant& grant);
  // Adds to a grant of its own that lasts as long as these origins.
  void addOrigin(std::string_view url);
  void addFolder(const std::filesystem::path& folder);
  void addAddress(std::string_view url);

  bool contains(std::string_view url) const;
  // Counts the changes: what was built from the origins is built again when it moved on.
  std::uint64_t generation() const { return generation_; }
  // A script condition, true in a document (or frame) whose own address this trusts, read as the
  // document starts, before any script of its own has run. Blank frames inside such a document
  // count as it. A file address counts by the rule contains() follows.
  std::string scriptCondition() const;

  // The one rule for a file address: the path of a "file:" address without a host, decoded as
  // the page decodes it, with no encoded "/" or NUL and no "." or ".." segment; none otherwise.
  static std::optional<std::string> filePath(std::string_view url);

 private:
  struct Origin {
    std::string scheme;
    std::string host;
    int port;
    bool operator==(const Origin&) const = default;
  };
  struct Entries {
    std::vector<Origin> origins;
    std::vector<std::string> folders;  // normalised, without a trailing "/" (but for "/")
    std::vector<std::string> addresses;
    bool operator==(const Entries&) const = default;
  };
  static void add(Entries& entries, const Grant& grant);
  void change(const std::string& holder, Entries entries);
  void extendLasting(const Grant& grant);

  std::map<std::string, Entries> grants_;
  std::uint64_t generation_ = 0;
};
