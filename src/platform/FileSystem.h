#pragma once
// File helpers the system leans on: whole-file reads, atomic replacement, temporary folders
// made beside a target (same file system, so a rename commits), tree copies and the trash.

#include <time.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "Data.h"
#include "Error.h"
#include "UniqueFd.h"

namespace fs {

using Path = std::filesystem::path;

// A plain file, opened as openPlainFile does: anything else is refused at once.
Result<Data> readFile(const Path& path);
// The same, for a file of at most `limit` bytes; a larger one fails (ConfinedErrorDomain, tooLarge).
Result<Data> readFile(const Path& path, std::uintmax_t limit);
Result<std::string> readText(const Path& path);

// A file's time as a date. The clock counts nanoseconds, about 292 years either side of 1970:
// a time beyond (a file dated after 2262) takes the nearest whole second the clock holds.
std::chrono::system_clock::time_point dateOf(const timespec& time);

// Writes `bytes` to a temporary file beside `path`, syncs it, sets `mode` and renames it over
// `path`: readers see the old content or the new, never a part. The temporary's name starts with
// `temporaryStem`, by default processTemporaryStem of the file's name.
Result<void> writeAtomically(const Path& path, std::span<const std::uint8_t> bytes, unsigned mode = 0644,
                             std::string_view temporaryStem = {});
Result<void> writeAtomically(const Path& path, std::string_view text, unsigned mode = 0644);

// A new, empty, private (0700) folder in the folder that holds `target`, named after it (a long
// name cut, so that the folder's name fits whatever the target's).
// The caller owns it; TemporaryFolder removes it when it goes out of scope.
Result<Path> makeSiblingTemporaryFolder(const Path& target);
// Removes the sibling temporary folders of `target` that a process which has ended left behind
// (a save killed half-way); returns how many.
std::size_t removeStaleSiblingTemporaries(const Path& target);
// Whether `name` is `prefix`<process id>-… of a process still running (this one included):
// a temporary its maker may still be writing.
bool isLiveProcessTemporary(std::string_view name, std::string_view prefix);
// "." + `name` (its first 200 bytes) + ".korvel-" + this process's id + "-": how the temporary
// file that replaces `name` beside it begins, so that what a killed writer left can be told from
// one being written; with up to 16 more characters it fits any name.
std::string processTemporaryStem(std::string_view name);
// Whether `entry` is the name of such a temporary (stem, then 6 to 16 letters or digits) whose
// process has ended.
bool isEndedProcessTemporary(std::string_view entry);
// Removes the folders named `prefix`<process id>-XXXXXX in `folder` that are this user's, not
// links, and whose process has ended; returns how many.
std::size_t removeStaleTemporaries(const Path& folder, std::string_view prefix);
// Removes the entries of `folder` that aren't folders and whose names `matches` (links as links,
// never followed; nothing when `folder` is itself a link); returns how many.
std::size_t removeEntriesInside(const Path& folder, const std::function<bool(std::string_view)>& matches);
// The same in the folder open as `folder`.
std::size_t removeEntriesInside(UniqueFd folder, const std::function<bool(std::string_view)>& matches);
// Whether `entry` is the name of a temporary that writeInside or copyInside (or a write with
// processTemporaryStem) is making now, in this process or another that still runs.
bool isLiveProcessFileTemporary(std::string_view entry);

class TemporaryFolder {
 public:
  static Result<TemporaryFolder> besides(const Path& target);
  static Result<TemporaryFolder> inSystemTemp(std::string_view prefix = "korvel");
  TemporaryFolder(TemporaryFolder&& other) noexcept;
  TemporaryFolder& operator=(TemporaryFolder&& other) noexcept;
  ~TemporaryFolder();
  const Path& path() const { return path_; }
  // Keeps the folder on disk past this object's life.
  Path release();

 private:
  explicit TemporaryFolder(Path p) : path_(std::move(p)) {}
  Path path_;
};

// Copies a file or a folder tree (symbolic links copied as links); fails if `to` exists.
Result<void> copyItem(const Path& from, const Path& to);
// Removes a file or a folder tree; a missing item is not an error. Folders of this user's
// that were made unreadable or unsearchable inside the tree are opened up first.
Result<void> removeItem(const Path& path);
// The folder `name` of the folder open as `at` (or a path, with AT_FDCWD), opened to list,
// without following a link; a folder of this user's whose mode keeps its owner out is given
// back to its owner (read, write, search) first. Invalid when it is missing or still shut.
UniqueFd openFolderAsOwner(int at, const char* name);
// Makes `path` and its missing parents; `path` gets `mode`, and a private mode (no group or
// other bits) is set on a folder that already existed too.
Result<void> createDirectories(const Path& path, unsigned mode = 0755);
// Renames, replacing a file or an empty folder at `to`.
Result<void> moveItem(const Path& from, const Path& to);
bool exists(const Path& path);

// What tells one version of a file from another: another program's in-place write moves the
// size or the change time (which, unlike the modification time, no program can set back), a
// replacement brings another inode. A rename or a change of mode moves the change time too.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  // Kept apart: a file may carry any date, far past what nanoseconds in 64 bits reach.
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;
  bool regularFile = false;
  bool operator==(const FileIdentity&) const = default;
};
// The identity of the item at `path` (links followed); none when nothing is there.
std::optional<FileIdentity> fileIdentity(const Path& path);
// A write that was to replace a file refused because the file changed (or appeared) meanwhile.
inline constexpr const char* ChangedMeanwhileErrorDomain = "com.korvel.fs.changed-meanwhile";
// Succeeds when `path` is still `expected` (none: still nothing there); otherwise fails in
// ChangedMeanwhileErrorDomain.
Result<void> requireUnchanged(const Path& path, const std::optional<FileIdentity>& expected);
// Whether `error` or one of its causes is such a refusal.
bool isChangedMeanwhile(const Error& error);
// Moves an item to the user's trash.
Result<void> trashItem(const Path& path);

// Files read and written on behalf of a page stay inside one folder.
inline constexpr const char* ConfinedErrorDomain = "com.korvel.fs.confined";
enum ConfinedErrorCode : long {
  outsideFolder = 1,
  notPlainFile = 2,
  tooLarge = 3,
};

// `path` (absolute, or relative to `folder`) with every symbolic link followed, when it lies
// inside `folder` both as written and once resolved. The item need not exist. The one rule for
// every file a page names.
Result<Path> resolveInside(const Path& folder, const Path& path);
// A plain file that resolveInside accepts, opened for reading; each step down from the folder
// is taken without following a link, so a link swapped in meanwhile fails the open.
Result<UniqueFd> openInside(const Path& folder, const Path& path);
// The plain file `path` (relative to the folder open as `at`, or AT_FDCWD) opened for reading
// without waiting: a named pipe, a device or a socket under the name fails at once
// (notPlainFile, the message naming the file and what it is), so that nobody's opening is held
// by it; a folder fails as EISDIR. With `followLinks` false a link fails too.
Result<UniqueFd> openPlainFile(int at, const Path& path, bool followLinks = true);
// What the item of `mode` is, for a person: "a named pipe", "a socket", "a folder", ….
std::string kindOfItem(unsigned mode);
// The whole of such a file; more than `limit` bytes is a tooLarge failure.
Result<Data> readFileInside(const Path& folder, const Path& path, std::uintmax_t limit);
// The rest of the file open as `fd` (named `path` in errors), held to the same `limit`.
Result<Data> readAll(int fd, const Path& path, std::uintmax_t limit);
// Writes all `n` bytes to `fd` (named `path` in errors), going on after interruptions.
Result<void> writeAll(int fd, const std::uint8_t* p, std::size_t n, const Path& path);

// The folder `relative` (plain names only) below `folder`, opened stepping down one name at a
// time without following a link; with `create`, the missing ones are made (0755) on the way.
// A link or a file on the way fails (ConfinedErrorDomain, outsideFolder). `folder` itself may be
// reached through links.
Result<UniqueFd> openFolderInside(const Path& folder, const Path& relative, bool create);
// Writes the file `relative` (no "..", not absolute) below `folder`: `folder` is made when
// missing, the folders on the way are made or entered without following a link, the bytes go
// to a temporary made exclusively beside the target and are renamed over it. A link at the
// target is replaced, never written through. The temporary's name starts with `temporaryStem`,
// by default processTemporaryStem of the file's name.
Result<void> writeInside(const Path& folder, const Path& relative, std::span<const std::uint8_t> bytes,
                         unsigned mode = 0644, std::string_view temporaryStem = {});
// Copies the file that openInside(sourceFolder, source) gives to `relative` below `folder`, as
// writeInside does.
Result<void> copyInside(const Path& sourceFolder, const Path& source, const Path& folder, const Path& relative,
                        unsigned mode = 0644);

}  // namespace fs
