#include "KXExpansionBudget.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>

#include "document/storage/KXDocumentArchiveError.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "platform/ErrorWording.h"

struct KXExpansionBudget::State {
  std::filesystem::path folder;
  std::string documentName;
  std::uint64_t declaredTotal = 0;
  std::uint64_t reserve = 0;
  std::atomic<std::uint64_t> given{0};
  std::atomic<std::uint64_t> nextCheck{0};
  std::mutex mutex;
  std::optional<Error> overrun;
  std::atomic<bool> stopped{false};

  Error stop(Error e) {
    std::lock_guard lock(mutex);
    if (!overrun) overrun = e;
    stopped = true;
    return *overrun;
  }
};

namespace {

std::optional<std::uint64_t> freeSpace(const std::filesystem::path& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

Error refusal(long code, const std::string& documentName, const std::string& reason, const std::string& log) {
  Error e(NSCocoaErrorDomain, code, log);
  e.with(ErrorWording::failureReasonKey, "“" + documentName + "” can't be opened.");
  e.with(ErrorWording::recoverySuggestionKey, reason);
  return e;
}

Error outOfSpace(const KXExpansionBudget::State& state, std::uint64_t available) {
  return refusal(NSFileWriteOutOfSpaceError, state.documentName,
                 "Its files take " + KXExpansionBudget::describeSize(state.declaredTotal) + ", and the disk has " +
                     KXExpansionBudget::describeSize(available) + " free, of which " +
                     KXExpansionBudget::describeSize(state.reserve) + " are kept for other work.",
                 "not enough free space to expand " + state.documentName);
}

// Hands out the archive's files through readers that count what they give.
class BudgetedBacking final : public KXDocumentArchiveBacking {
 public:
  BudgetedBacking(const KXDocumentArchiveBacking& source, std::map<std::string, std::uint64_t> declared,
                  std::shared_ptr<KXExpansionBudget::State> state)
      : source_(source), declared_(std::move(declared)), state_(std::move(state)) {}

  std::string documentTypeIdentifier() const override { return source_.documentTypeIdentifier(); }
  const std::filesystem::path& url() const override { return source_.url(); }
  Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path&) const override {
    return fail(KXDocumentArchiveError::invalidBacking("a budgeted view can't move"));
  }
  DataReader dataReader(const std::string& path) const override { return counted(path, source_.dataReader(path)); }
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override {
    source_.forEach([&](const std::string& path, const DataReader& reader) { body(path, counted(path, reader)); });
  }
  Result<void> reflect(const KXDocumentArchive&, KXDocumentArchiveUpdateOperation, const UpdatedManifest&) override {
    return fail(KXDocumentArchiveError::invalidBacking("a budgeted view can't be written"));
  }

 private:
  DataReader counted(const std::string& path, DataReader reader) const {
    auto it = declared_.find(path);
    std::uint64_t declared = it == declared_.end() ? 0 : it->second;
    return [state = state_, path, declared, reader = std::move(reader)](const DataSink& sink) -> Result<void> {
      std::uint64_t mine = 0;
      return reader([&](const std::uint8_t* bytes, std::size_t count) -> Result<void> {
        // Once one file is stopped, the others stop at their next chunk.
        if (state->stopped) return fail(state->stop(Error()));
        mine += count;
        auto given = state->given.fetch_add(count) + count;
        // Each pass over a file is held to what it declared (a file may be read twice: hashed,
        // then written).
        if (mine > declared)
          return fail(state->stop(refusal(NSFileReadTooLargeError, state->documentName,
                                          "Its file “" + path + "” holds more than the archive says it does.",
                                          path + " gives more than its declared " + std::to_string(declared) +
                                              " bytes")));
        if (given >= state->nextCheck.load()) {
          state->nextCheck.store(given + KXExpansionBudget::spaceCheckInterval);
          auto available = freeSpace(state->folder);
          if (available && *available < state->reserve + count) return fail(state->stop(outOfSpace(*state, *available)));
        }
        return sink(bytes, count);
      });
    };
  }

  const KXDocumentArchiveBacking& source_;
  std::map<std::string, std::uint64_t> declared_;
  std::shared_ptr<KXExpansionBudget::State> state_;
};

}  // namespace

std::uint64_t KXExpansionBudget::reserveOn(const std::filesystem::path& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return largestReserve;
  return std::min(largestReserve, static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize / reserveShare);
}

std::string KXExpansionBudget::describeSize(std::uint64_t bytes) {
  char text[32];
  if (bytes < 1000) {
    std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
  } else {
    const char* units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000.0;
    int unit = 0;
    while (value >= 999.95 && unit < 3) {
      value /= 1000.0;
      ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  }
  return text;
}

std::pair<std::string, std::string> KXExpansionBudget::describeApart(std::uint64_t size, std::uint64_t other) {
  auto a = describeSize(size), b = describeSize(other);
  if (a != b) return {a, b};
  auto bytes = [](std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
      if (i && (digits.size() - i) % 3 == 0) out += ',';
      out += digits[i];
    }
    return out + " bytes";
  };
  return {bytes(size), bytes(other)};
}

Result<std::unique_ptr<KXExpansionBudget>> KXExpansionBudget::make(const KXDocumentArchive& archive,
                                                                   const std::filesystem::path& folder) {
  const auto* zip = dynamic_cast<const KXZipArchiveBacking*>(&archive.backing());
  if (!zip) return std::unique_ptr<KXExpansionBudget>();
  auto state = std::make_shared<State>();
  state->folder = folder;
  state->documentName = zip->url().filename().string();
  auto declared = zip->declaredSizes();
  for (const auto& [path, size] : declared) state->declaredTotal += size;
  struct stat st {};
  std::uint64_t archiveSize = ::stat(zip->url().c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  if (state->declaredTotal > disproportionateTotal && state->declaredTotal / disproportionateRatio > archiveSize)
    return fail(refusal(NSFileReadTooLargeError, state->documentName,
                        "The file is " + describeSize(archiveSize) + ", but its content would take " +
                            describeSize(state->declaredTotal) + " on the disk, out of all proportion to its size.",
                        state->documentName + " would expand from " + std::to_string(archiveSize) + " to " +
                            std::to_string(state->declaredTotal) + " bytes"));
  state->reserve = reserveOn(folder);
  auto available = freeSpace(folder);
  if (available && (*available < state->reserve || *available - state->reserve < state->declaredTotal))
    return fail(outOfSpace(*state, *available));
  std::unique_ptr<KXExpansionBudget> budget(new KXExpansionBudget());
  budget->state_ = state;
  budget->view_ = std::make_unique<KXDocumentArchive>(
      std::make_unique<BudgetedBacking>(archive.backing(), std::move(declared), state),
      KXDocumentArchive::WithIdentity{archive.uuid()});
  return budget;
}

KXExpansionBudget::~KXExpansionBudget() = default;

std::optional<Error> KXExpansionBudget::overrun() const {
  std::lock_guard lock(state_->mutex);
  return state_->overrun;
}
