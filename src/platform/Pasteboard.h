#pragma once
// Pasteboards: the desktop clipboard ("general") and named pasteboards that live in this
// process only, shared by every window. A write declares its whole list of types first, which
// empties the pasteboard, then sets each type's content. Types are MIME types; the system's own
// reverse-DNS types travel on the clipboard under their own names. Main thread only: reading
// what another program holds waits in a nested main loop.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"

namespace PasteboardType {
// Plain text; on the clipboard it answers every text target (UTF8_STRING, STRING, text/plain…).
inline constexpr const char* string = "text/plain;charset=utf-8";
inline constexpr const char* html = "text/html";
inline constexpr const char* png = "image/png";
inline constexpr const char* tiff = "image/tiff";
inline constexpr const char* pdf = "application/pdf";
inline constexpr const char* uriList = "text/uri-list";
inline constexpr const char* mozURL = "text/x-moz-url";
}  // namespace PasteboardType

class Pasteboard {
 public:
  // What one pasteboard holds. `held` is false while another program owns the clipboard.
  struct Contents {
    std::vector<std::string> types;
    std::map<std::string, Data> data;
    std::uint64_t generation = 0;
    bool held = true;
  };

  // Publishes the general pasteboard's contents to the desktop and reads what others put there.
  class Backend {
   public:
    virtual ~Backend() = default;
    // Offers `contents->types` to other programs, reading the bytes from `contents` when they
    // paste; clears `contents` and its `held` flag when another writer takes over.
    virtual void offer(const std::shared_ptr<Contents>& contents) = 0;
    virtual std::vector<std::string> foreignTypes() = 0;
    virtual std::optional<Data> foreignData(const std::string& type) = 0;
  };

  // The desktop clipboard; in this process only when there is no display.
  static Pasteboard& general();
  // The pasteboard of that name, made on first use; the same object for every caller.
  static std::shared_ptr<Pasteboard> withName(const std::string& name);

  explicit Pasteboard(std::string name, std::unique_ptr<Backend> backend = nullptr);
  Pasteboard(const Pasteboard&) = delete;
  Pasteboard& operator=(const Pasteboard&) = delete;

  const std::string& name() const { return name_; }

  // Empties the pasteboard and declares `types` (duplicates dropped, order kept).
  void declareTypes(const std::vector<std::string>& types);
  // Sets one declared type's content; false for a type that was not declared.
  bool setData(const Data& data, const std::string& type);
  bool setString(const std::string& text, const std::string& type);

  // Grows with every write here and every time another program takes the clipboard over.
  std::uint64_t changeCount() const { return contents_->generation; }

  std::vector<std::string> types() const;
  std::optional<Data> dataForType(const std::string& type) const;
  std::optional<std::string> stringForType(const std::string& type) const;

 private:
  std::string name_;
  std::unique_ptr<Backend> backend_;
  std::shared_ptr<Contents> contents_;
};

// The desktop clipboard's backend; none when no display is open.
std::unique_ptr<Pasteboard::Backend> makeClipboardBackend();
