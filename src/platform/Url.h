#pragma once
// A web address: parsed once, kept as its text. Any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

class Url {
 public:
  // None when `text` is not an absolute URL.
  static std::optional<Url> parse(std::string_view text);

  // The file address of an absolute path, escaped by the URI rules ("proj #1" gives
  // "proj%20%231"); a folder's address ends in "/". None for a relative path.
  static std::optional<Url> fileURL(const std::filesystem::path& path, bool directory = false);
  // The path that a file address names; none for another scheme or host, or a bad escape.
  static std::optional<std::filesystem::path> filePath(std::string_view fileURL);

  const std::string& absoluteString() const { return text_; }
  const std::string& scheme() const { return scheme_; }
  const std::string& host() const { return host_; }
  int port() const { return port_; }  // -1 when not given
  const std::string& path() const { return path_; }
  const std::string& query() const { return query_; }
  bool isLoopback() const;

  // This address with `component` appended to its path.
  Url appendingPathComponent(std::string_view component) const;
  Url withPath(std::string_view path) const;
  Url withQuery(std::string_view query) const;
  // `value` percent-encoded for a query item: "&", "=", "+" and "#" are escaped, so a value can
  // never add items of its own.
  static std::string encodeQueryValue(std::string_view value);

  bool operator==(const Url& other) const { return text_ == other.text_; }

 private:
  Url() = default;
  std::string text_, scheme_, host_, path_, query_;
  int port_ = -1;
};
