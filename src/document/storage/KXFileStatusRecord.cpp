#include "KXFileStatusRecord.h"

#include <charconv>
#include <cstdio>
#include <type_traits>
#include <string_view>

#include "document/storage/KXDocumentArchive.h"
#include "platform/Crypto.h"

namespace {

constexpr std::string_view kHeader = "korvel-file-status 2\n";
constexpr std::size_t kDigestLength = 20;

bool recordable(const std::string& name, const KXDocumentManifest::Entry& entry) {
  return name.size() <= KXFileStatusRecord::maximumNameLength && KXDocumentArchive::isSafeRelativePath(name) &&
         KXDocumentArchive::shouldInclude(name) && entry.size >= 0 && entry.sha1 && entry.sha1->size() == kDigestLength;
}

// Reads the record's fields in order; the first malformed field stops everything.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool atEnd() const { return at_ == text_.size(); }

  template <typename Number>
  bool number(Number& out, char separator) {
    // Plain decimal digits (a sign only for signed fields), then the separator.
    auto begin = text_.data() + at_, end = text_.data() + text_.size();
    if (begin == end || *begin == '+') return false;
    if (*begin == '-' && (!std::is_signed_v<Number> || end - begin < 2 || begin[1] < '0' || begin[1] > '9')) return false;
    auto [ptr, ec] = std::from_chars(begin, end, out);
    if (ec != std::errc() || ptr == end || *ptr != separator) return false;
    at_ = static_cast<std::size_t>(ptr - text_.data()) + 1;
    return true;
  }

  bool digest(Data& out) {
    if (text_.size() - at_ < kDigestLength * 2 + 1 || text_[at_ + kDigestLength * 2] != ' ') return false;
    out.resize(kDigestLength);
    for (std::size_t i = 0; i < kDigestLength; ++i) {
      int high = nibble(text_[at_ + 2 * i]), low = nibble(text_[at_ + 2 * i + 1]);
      if (high < 0 || low < 0) return false;
      out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    at_ += kDigestLength * 2 + 1;
    return true;
  }

  bool checksum(std::uint32_t& out) {
    constexpr std::size_t digits = 8;
    if (text_.size() - at_ < digits + 1 || text_[at_ + digits] != ' ') return false;
    out = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      int value = nibble(text_[at_ + i]);
      if (value < 0) return false;
      out = out << 4 | static_cast<std::uint32_t>(value);
    }
    at_ += digits + 1;
    return true;
  }

  bool name(std::size_t length, std::string& out) {
    if (text_.size() - at_ < length + 1 || text_[at_ + length] != '\n') return false;
    out.assign(text_.substr(at_, length));
    at_ += length + 1;
    return true;
  }

 private:
  static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  }
  std::string_view text_;
  std::size_t at_ = 0;
};

std::string checksumText(std::uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", crc);
  return text;
}

}  // namespace

std::string KXFileStatusRecord::encode(const Files& files) {
  std::string out(kHeader);
  std::size_t count = 0;
  for (const auto& [name, known] : files) {
    if (count == maximumCount || !recordable(name, known.entry)) continue;
    const auto& s = known.stamp;
    out += std::to_string(s.device) + ' ' + std::to_string(s.inode) + ' ' + std::to_string(s.size) + ' ' +
           std::to_string(s.modified) + ' ' + std::to_string(s.changed) + ' ' + std::to_string(known.entry.size) + ' ' +
           crypto::hex(*known.entry.sha1) + ' ' + checksumText(known.crc32) + ' ' + std::to_string(name.size()) + ':' +
           name + '\n';
    if (out.size() > maximumSize) return std::string(kHeader);  // too much to keep: keep nothing
    ++count;
  }
  return out;
}

std::optional<KXFileStatusRecord::Files> KXFileStatusRecord::decode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > maximumSize) return std::nullopt;
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.substr(0, kHeader.size()) != kHeader) return std::nullopt;
  Cursor cursor(text.substr(kHeader.size()));
  Files files;
  while (!cursor.atEnd()) {
    if (files.size() == maximumCount) return std::nullopt;
    Known known;
    std::size_t length = 0;
    Data digest;
    std::string name;
    if (!cursor.number(known.stamp.device, ' ') || !cursor.number(known.stamp.inode, ' ') ||
        !cursor.number(known.stamp.size, ' ') || !cursor.number(known.stamp.modified, ' ') ||
        !cursor.number(known.stamp.changed, ' ') || !cursor.number(known.entry.size, ' ') || !cursor.digest(digest) ||
        !cursor.checksum(known.crc32) || !cursor.number(length, ':') || length > maximumNameLength || !cursor.name(length, name))
      return std::nullopt;
    known.entry.sha1 = std::move(digest);
    if (known.stamp.size < 0 || known.entry.size != known.stamp.size || !recordable(name, known.entry)) return std::nullopt;
    if (!files.emplace(std::move(name), std::move(known)).second) return std::nullopt;  // a name held twice
  }
  return files;
}
