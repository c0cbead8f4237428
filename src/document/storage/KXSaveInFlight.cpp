#include "KXSaveInFlight.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentContainer.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/UniqueFd.h"

KXSaveInFlight::KXSaveInFlight(const std::filesystem::path& target) {
  auto folder = KXDocumentContainer::baseDirectory();
  if (!fs::createDirectories(folder, 0700)) return;
  // The process id in the name tells a save still running from one that a kill ended.
  std::string name = (folder / (std::string(notePrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
  UniqueFd fd(::mkstemp(name.data()));
  if (!fd) return;
  note_ = name;
  std::error_code ec;
  const std::string text = std::filesystem::absolute(target, ec).lexically_normal().string();
  (void)fs::writeAll(fd.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), name);
}

KXSaveInFlight::~KXSaveInFlight() {
  if (note_) ::unlink(note_->c_str());
}

std::size_t KXSaveInFlight::removeLeftoversOfEndedSaves() {
  auto folder = KXDocumentContainer::baseDirectory();
  std::vector<std::filesystem::path> ended;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    auto name = it->path().filename().string();
    if (name.rfind(notePrefix, 0) != 0 || fs::isLiveProcessTemporary(name, notePrefix)) continue;
    std::error_code kind;
    if (it->is_symlink(kind) || !it->is_regular_file(kind)) continue;
    ended.push_back(it->path());
  }
  std::size_t removed = 0;
  for (const auto& note : ended) {
    UniqueFd fd(::open(note.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    Result<Data> text = fail(Error());
    if (fd) text = fs::readAll(fd.get(), note, maximumNoteSize);
    // A note cut short by the kill names no target; it goes all the same.
    if (text && !text->empty()) {
      std::filesystem::path target(std::string(text->begin(), text->end()));
      if (target.is_absolute()) {
        removed += fs::removeStaleSiblingTemporaries(target);
        struct stat st {};
        if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
          removed += KXDirectoryArchiveBacking::removeLeftoversOfEndedWrites(target);
      }
    }
    (void)::unlink(note.c_str());
  }
  if (removed) RWLog("Removed " + std::to_string(removed) + " temporaries that interrupted saves left");
  return removed;
}
