#include "ZZStandardDecryptInputStream.h"

#include "ZZError.h"

Result<std::unique_ptr<ZZStandardDecryptInputStream>> ZZStandardDecryptInputStream::create(
    std::unique_ptr<ZZInputStream> upstream, std::string_view password, std::span<const std::uint8_t> header,
    std::uint16_t check, std::uint8_t version) {
  if (header.size() < headerLength)
    return fail(zzError(ZZErrorCode::entryDataInvalid, "the entry is too short for its encryption header"));
  ZZStandardCryptoEngine engine(password);
  std::uint8_t plain[headerLength];
  for (std::size_t i = 0; i < headerLength; ++i) plain[i] = engine.decrypt(header[i]);
  bool matches = plain[11] == static_cast<std::uint8_t>(check >> 8);
  // Older writers kept two check bytes.
  if (version < 20) matches = matches && plain[10] == static_cast<std::uint8_t>(check & 0xff);
  if (!matches) return fail(zzError(ZZErrorCode::wrongPassword, "the password is wrong"));
  return std::make_unique<ZZStandardDecryptInputStream>(Key(), std::move(upstream), engine);
}

void ZZStandardDecryptInputStream::open() {
  upstream_->open();
  status_ = upstream_->streamStatus();
  error_ = upstream_->streamError();
}

std::ptrdiff_t ZZStandardDecryptInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  std::ptrdiff_t n = upstream_->read(buffer, maxLength);
  status_ = upstream_->streamStatus();
  error_ = upstream_->streamError();
  for (std::ptrdiff_t i = 0; i < n; ++i) buffer[i] = engine_.decrypt(buffer[i]);
  return n;
}

void ZZStandardDecryptInputStream::close() {
  upstream_->close();
  status_ = upstream_->streamStatus();
  error_ = upstream_->streamError();
}
