// Content a data source's provider handed over that can't be written (the editor's design as
// text that isn't JSON): kept where set-aside edits are, so that a crash before the next good
// write leaves it to be announced at the document's next opening, and never written over the
// working copy's own file.

#include <chrono>

#include "document/storage/Bookmark.h"
#include "document/storage/KXDocumentContainer.h"
#include "platform/Crypto.h"
#include "platform/ErrorWording.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"

namespace {

// A copy is made whole in a folder named after this in the autosave folder, carrying its
// maker's process id, and then renamed to its place: a kill leaves the half-made folder for the
// next start to remove.
constexpr const char* stagingName = "kept-edits";
// A reason is a line of the reader's; more is none of ours.
constexpr std::uintmax_t maximumReasonSize = 4096;

std::string printable(std::string text) {
  for (auto& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  return text;
}

}  // namespace

std::optional<Data> KXDocumentContainer::originBookmark() const {
  if (projectDirectoryIsOrigin_) return Bookmark::make(projectDirectory_);
  auto text = fs::readText(uuidDirectory_ / nameForOriginInfo);
  if (!text) return std::nullopt;
  auto parsed = JsonCoder::parse(*text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  auto field = parsed->find("bookmarkData");
  if (field == parsed->end() || !field->is_string()) return std::nullopt;
  return crypto::base64Decode(field->get<std::string>());
}

Result<std::filesystem::path> KXDocumentContainer::writeRefusedContent(const Data& content, const std::string& reason) {
  // A later refusal replaces what the copy of this session holds: one copy, of the newest text.
  if (refusedCopy_ && fs::exists(*refusedCopy_ / nameForSetAsideNotice)) {
    auto file = *refusedCopy_ / nameForRefusedContent;
    // Written beside under a name of this process: a kill leaves a temporary the next start removes.
    if (auto written = fs::writeAtomically(file, content, 0600, fs::processTemporaryStem(nameForRefusedContent));
        !written)
      return fail(written.error());
    (void)fs::writeAtomically(*refusedCopy_ / nameForRefusalReason, dataFromString(reason), 0600,
                              fs::processTemporaryStem(nameForRefusalReason));
    return file;
  }
  auto base = baseDirectory();
  if (auto made = fs::createDirectories(base, 0700); !made) return fail(made.error());
  auto staging = fs::TemporaryFolder::besides(base / stagingName);
  if (!staging) return fail(staging.error());
  if (auto written = fs::writeAtomically(staging->path() / nameForRefusedContent, content, 0600); !written)
    return fail(written.error());
  if (auto written = fs::writeAtomically(staging->path() / nameForRefusalReason, reason, 0600); !written)
    return fail(written.error());
  // Known by the document's identity, and by its file under any name it has at the next opening.
  auto bookmark = originBookmark();
  if (auto written = fs::writeAtomically(staging->path() / nameForSetAsideNotice, bookmark ? *bookmark : Data(), 0600);
      !written)
    return fail(written.error());
  auto aside = base / (std::string("Korvel-") + uuid_.string() + setAsideInfix +
                       KXDocumentArchive::formatDate(std::chrono::system_clock::now()));
  if (auto moved = fs::moveItem(staging->path(), aside); !moved) return fail(moved.error());
  (void)staging->release();
  refusedCopy_ = aside;
  return aside / nameForRefusedContent;
}

Error KXDocumentContainer::keepRefusedContent(const Data& content, Error why) {
  auto suggestion = why.info(ErrorWording::recoverySuggestionKey).value_or("");
  auto reason = printable(why.info(refusalReasonKey).value_or(why.message));
  auto kept = writeRefusedContent(content, reason);
  if (!kept) {
    log("Couldn't keep the refused design aside: " + kept.error().description());
    why.with(ErrorWording::recoverySuggestionKey,
             suggestion + " The text it handed over could not be kept aside: " + kept.error().description() + ".");
    return why;
  }
  log("The editor's design was refused (" + reason + "); the text it handed over was kept in " +
      kept->string());
  why.with(ErrorWording::recoverySuggestionKey,
           suggestion + " The text it handed over was kept in \u201c" + kept->string() + "\u201d.");
  return why;
}

std::optional<KXDocumentContainer::RefusedContent> KXDocumentContainer::refusedContentIn(
    const std::filesystem::path& copy) {
  auto file = copy / nameForRefusedContent;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file, ec))) return std::nullopt;
  auto reason = fs::readFile(copy / nameForRefusalReason, maximumReasonSize);
  return RefusedContent{file, reason ? printable(stringFromData(*reason)) : std::string()};
}

std::size_t KXDocumentContainer::removeLeftoversOfKeptContent() {
  // Copies a kill stopped half made, and the temporaries of a later refusal's write inside one.
  auto base = baseDirectory();
  std::size_t removed = fs::removeStaleSiblingTemporaries(base / stagingName);
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(base, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    auto name = it->path().filename().string();
    std::error_code kind;
    if (name.rfind("Korvel-", 0) != 0 || name.find(setAsideInfix) == std::string::npos || it->is_symlink(kind) ||
        !it->is_directory(kind))
      continue;
    removed += fs::removeEntriesInside(it->path(), [](std::string_view entry) { return fs::isEndedProcessTemporary(entry); });
  }
  return removed;
}
