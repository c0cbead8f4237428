#include "KXDocumentVersionCheck.h"

#include <nlohmann/json.hpp>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXDocumentError.h"
#include "platform/JsonCoder.h"

namespace {

// Finds the values of "version" in the top-level object of JSON text given in pieces, in
// constant memory: a document too large to parse is judged without holding it.
class TopLevelVersionScanner {
 public:
  void feed(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count && !malformed_; ++i) step(static_cast<char>(bytes[i]));
  }

  // The largest version found; none when the text is no object or a version is no integer.
  std::optional<std::int64_t> version() {
    finishNumber();
    if (malformed_ || !sawObject_ || !largest_) return std::nullopt;
    return largest_;
  }

 private:
  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  void finishNumber() {
    if (!readingNumber_) return;
    readingNumber_ = false;
    if (number_.empty() || number_.size() > 19 || number_.find_first_not_of("0123456789") != std::string::npos) {
      malformed_ = true;
      return;
    }
    std::int64_t v = std::stoll(number_);
    if (!largest_ || v > *largest_) largest_ = v;
  }

  void step(char c) {
    if (readingNumber_) {
      if (c == ',' || c == '}' || isSpace(c)) {
        finishNumber();
      } else {
        number_ += c;
        if (number_.size() > 20) malformed_ = true;
        return;
      }
    }
    if (inString_) {
      if (escaped_) {
        escaped_ = false;
        key_ += '\\';
      } else if (c == '\\') {
        escaped_ = true;
        return;
      } else if (c == '"') {
        inString_ = false;
        if (collectingKey_) {
          collectingKey_ = false;
          // An escaped key may spell "version" too: its value is judged like one.
          isVersionKey_ = key_ == "version" || key_.find('\\') != std::string::npos;
        }
        return;
      }
      if (collectingKey_ && key_.size() < 16) key_ += c;
      return;
    }
    if (isSpace(c)) return;
    if (!sawObject_) {
      if (c != '{') malformed_ = true;
      sawObject_ = true;
      depth_ = 1;
      expectingKey_ = true;
      return;
    }
    if (depth_ == 1 && awaitingValue_) {
      awaitingValue_ = false;
      if (isVersionKey_) {
        isVersionKey_ = false;
        if (c == '-' || (c >= '0' && c <= '9')) {
          readingNumber_ = true;
          number_.assign(1, c);
          if (c == '-') malformed_ = true;  // negative versions are refused
          return;
        }
        malformed_ = true;
        return;
      }
    }
    switch (c) {
      case '"':
        inString_ = true;
        if (depth_ == 1 && expectingKey_) {
          collectingKey_ = true;
          expectingKey_ = false;
          key_.clear();
        }
        break;
      case ':':
        if (depth_ == 1) awaitingValue_ = true;
        break;
      case ',':
        if (depth_ == 1) expectingKey_ = true;
        break;
      case '{':
      case '[':
        ++depth_;
        break;
      case '}':
      case ']':
        if (depth_ > 0) --depth_;
        break;
      default:
        break;
    }
  }

  int depth_ = 0;
  bool sawObject_ = false, inString_ = false, escaped_ = false;
  bool expectingKey_ = false, collectingKey_ = false, isVersionKey_ = false, awaitingValue_ = false;
  bool readingNumber_ = false, malformed_ = false;
  std::string key_, number_;
  std::optional<std::int64_t> largest_;
};

}  // namespace

Result<void> verifyDocumentVersion(const KXDocumentArchive& archive, std::optional<std::int64_t> supportedVersion) {
  // A design larger than a document may hold is refused by the read, at once, by its size: it
  // is not streamed here first. One that holds more than it declares is cut off at the bound.
  const auto bound = KXDocumentContainer::maximumDataSourceSize;
  auto stored = KXDocumentContainer::storedSize(archive, KXDocumentArchive::relativePathForDocumentJSON);
  if (stored && *stored > bound) return {};
  std::uint64_t streamed = 0;
  // Up to the limit the text is parsed whole; past it, only scanned as it streams by.
  std::string bytes;
  // Room up front: a buffer grown by doubling would keep each smaller copy resident on the way.
  bytes.reserve(maximumParsedDocumentSize);
  bool tooLarge = false;
  TopLevelVersionScanner scanner;
  auto read = archive.backing().dataReader(KXDocumentArchive::relativePathForDocumentJSON)(
      [&](const std::uint8_t* p, std::size_t n) -> Result<void> {
        streamed += n;
        if (streamed > bound) return fail(Error(NSCocoaErrorDomain, NSFileReadTooLargeError, "the design is too large"));
        scanner.feed(p, n);
        if (tooLarge) return {};
        if (n > maximumParsedDocumentSize - bytes.size()) {
          tooLarge = true;
          std::string().swap(bytes);
        } else {
          bytes.append(reinterpret_cast<const char*>(p), n);
        }
        return {};
      });
  if (!read || (bytes.empty() && !tooLarge)) return {};
  std::int64_t v = 0;
  if (tooLarge) {
    auto scanned = scanner.version();
    if (!scanned) return fail(makeError(KXDocumentError::unsupportedDocument));
    v = *scanned;
  } else {
    // A string of the design may escape a lone half of a UTF-16 pair: the page reads it.
    auto parsed = JsonCoder::parseAllowingLoneSurrogates(bytes);
    if (!parsed || !parsed->is_object()) return fail(makeError(KXDocumentError::unsupportedDocument));
    auto version = parsed->find("version");
    if (version == parsed->end() || !version->is_number_integer())
      return fail(makeError(KXDocumentError::unsupportedDocument));
    v = version->is_number_unsigned() && version->get<std::uint64_t>() > INT64_MAX ? INT64_MAX
                                                                                   : version->get<std::int64_t>();
  }
  if (v < 0) return fail(makeError(KXDocumentError::unsupportedDocument));
  if (v > supportedVersion.value_or(0)) return fail(makeError(KXDocumentError::documentVersionTooNew));
  return {};
}
