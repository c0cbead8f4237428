#include "KXDocumentVersionCheck.h"

#include <nlohmann/json.hpp>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentError.h"
#include "platform/JsonCoder.h"

Result<void> verifyDocumentVersion(const KXDocumentArchive& archive, std::optional<std::int64_t> supportedVersion) {
  std::string bytes;
  auto read = archive.backing().dataReader(KXDocumentArchive::relativePathForDocumentJSON)(
      [&](const std::uint8_t* p, std::size_t n) -> Result<void> {
        bytes.append(reinterpret_cast<const char*>(p), n);
        return {};
      });
  if (!read || bytes.empty()) return {};
  auto parsed = JsonCoder::parse(bytes);
  if (!parsed || !parsed->is_object()) return fail(makeError(KXDocumentError::unsupportedDocument));
  auto version = parsed->find("version");
  if (version == parsed->end() || !version->is_number_integer())
    return fail(makeError(KXDocumentError::unsupportedDocument));
  std::int64_t v = version->is_number_unsigned() && version->get<std::uint64_t>() > INT64_MAX
                       ? INT64_MAX
                       : version->get<std::int64_t>();
  if (v < 0) return fail(makeError(KXDocumentError::unsupportedDocument));
  if (v > supportedVersion.value_or(0)) return fail(makeError(KXDocumentError::documentVersionTooNew));
  return {};
}
