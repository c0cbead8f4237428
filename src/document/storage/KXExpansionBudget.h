#pragma once
// Bounds what expanding a zip document into a working copy may write. An archive whose files
// declare a total out of all proportion to its own size, or more than the volume can take
// while a reserve stays free, is refused before anything is written. While the files are
// inflated, the bytes each gives are counted against what it declared (a header can lie) and
// the volume's free space is watched, so that opening never fills a disk.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "document/storage/KXDocumentArchive.h"

class KXExpansionBudget {
 public:
  // Free space left on the volume at every moment of an expansion: a twentieth of the volume,
  // at most `largestReserve`.
  static inline std::uint64_t largestReserve = std::uint64_t{256} << 20;
  static constexpr std::uint64_t reserveShare = 20;
  static std::uint64_t reserveOn(const std::filesystem::path& folder);
  // Files that declare more than this in all, and more than `disproportionateRatio` times the
  // archive's size, are no document a person made.
  static constexpr std::uint64_t disproportionateTotal = std::uint64_t{1} << 30;
  static constexpr std::uint64_t disproportionateRatio = 100;
  // Free space is looked at again after this many bytes.
  static constexpr std::uint64_t spaceCheckInterval = std::uint64_t{1} << 20;

  // The budget for expanding `archive` (which must outlive it) into `folder`; an error for the
  // person naming the sizes when the archive is refused outright. None for an archive that
  // isn't expanded from a zip.
  static Result<std::unique_ptr<KXExpansionBudget>> make(const KXDocumentArchive& archive,
                                                         const std::filesystem::path& folder);
  ~KXExpansionBudget();

  // The archive seen through the budget: its readers fail as soon as a file gives more than it
  // declared or the volume falls below the reserve. Any thread may run them, several at once.
  const KXDocumentArchive& view() const { return *view_; }
  // Why a reader was stopped, in words for the person; none while nothing was.
  std::optional<Error> overrun() const;

  // "5.8 MB", "1.9 GB": sizes as a person reads them.
  static std::string describeSize(std::uint64_t bytes);
  // Two sizes so described, told apart: in bytes, grouped by thousands, where the short form
  // would show them alike.
  static std::pair<std::string, std::string> describeApart(std::uint64_t size, std::uint64_t other);

  struct State;

 private:
  KXExpansionBudget() = default;
  std::shared_ptr<State> state_;
  std::unique_ptr<KXDocumentArchive> view_;
};
