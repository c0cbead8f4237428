#pragma once
// A note, kept among the working copies while a save writes into a person's folder, of where it
// writes. A save that a kill ends leaves its temporaries beside (or, for a folder, inside) a
// target that nothing else remembers; the next start reads the notes of ended processes and
// removes what those saves left, and nothing else. Any thread: the save that notes it may write
// beside the main loop; removeLeftoversOfEndedSaves() on the main thread at the start.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>

class KXSaveInFlight {
 public:
  static constexpr const char* notePrefix = ".save-";
  static constexpr std::size_t maximumNoteSize = 16384;

  // Notes a save into `target`; without a note (the folder can't be written) the save goes on.
  explicit KXSaveInFlight(const std::filesystem::path& target);
  ~KXSaveInFlight();
  KXSaveInFlight(const KXSaveInFlight&) = delete;
  KXSaveInFlight& operator=(const KXSaveInFlight&) = delete;

  // Removes the temporaries that the saves of ended processes left where their notes say, and
  // the notes; how many temporaries went.
  static std::size_t removeLeftoversOfEndedSaves();

 private:
  std::optional<std::filesystem::path> note_;
};
