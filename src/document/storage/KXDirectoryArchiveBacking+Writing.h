#pragma once
// What the folder backing's reflection and its file-status record share: walking a folder's
// document files, hashing an open file, and writing a reflection's files on a few threads.
// Internal to the folder backing.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "document/storage/KXDocumentArchive.h"
#include "platform/UniqueFd.h"

namespace folderbacking {

// Removes, in the folder open as `dirfd` and the folders below it where document files may
// be, the temporaries of file writes whose process has ended (killed part way); how many.
inline constexpr int maximumTemporarySweepDepth = 64;
std::size_t removeEndedTemporaries(int dirfd, const std::string& prefix = {}, int depth = 0);

// Calls `visit` for every regular file below `dirfd` that may belong to a document, without
// following symbolic links and without entering folders that can't hold such files.
void walk(int dirfd, const std::string& prefix,
          const std::function<void(int parent, const std::string& name, const std::string& relative)>& visit);

// Size, digest and CRC-32 of an open file; `unchanged` receives its status when it did not
// change while read.
std::optional<KXDocumentManifest::Entry> hashOpenFile(int fd, std::optional<struct stat>& unchanged,
                                                      std::uint32_t& crc);

// One file to write and what came of it.
struct Job {
  std::string path;
  DataReader reader;
};
struct Outcome {
  std::optional<Error> error;
  KXDocumentManifest::Entry entry;
  std::optional<struct stat> status;  // to remember, when the file is known as it is now
  bool written = false;
  std::uint32_t crc32 = 0;
};

// The source's files in its order; a name that could leave the folder is left out.
std::vector<Job> jobsOf(const KXDocumentArchive& source);
std::string folderOf(const std::string& relative);
// Whether the files can be written in any order to the same result: no name comes twice and
// no name is also a folder above another.
bool writableInAnyOrder(const std::vector<Job>& jobs);
// The jobs in an order that spreads each folder's files evenly over the whole: files made in
// one folder wait on each other, so writers do best in different folders.
std::vector<Job> spreadOverFolders(std::vector<Job> jobs);

// The folders that hold the files of one reflection, made when missing before any file is
// written; the first few hundred stay open for the writers, who open the others themselves.
// Used only when no name is both a file and a folder of another name.
class Folders {
 public:
  static constexpr std::size_t maximumOpen = 256;
  Folders(int root, std::string rootPath) : root_(root), rootPath_(std::move(rootPath)) {}

  Result<void> open(const std::string& folder);
  // Any thread, once every folder is made: the open folder, or -1.
  int at(const std::string& folder) const;
  // Opens every folder of `relative` below `root` in turn, as openOrMake does.
  static Result<UniqueFd> openPath(int root, const std::string& relative, const std::string& path);
  // Opens (making when missing) a folder, never through a symbolic link: a link or a file
  // where a folder must be is replaced by the folder.
  static Result<UniqueFd> openOrMake(int parent, const std::string& name, const std::string& path);

 private:
  int root_;
  std::string rootPath_;
  std::map<std::string, UniqueFd> fds_;
  std::set<std::string> closed_;
};

// Writes one file of a reflection into a folder.
class FolderWriter {
 public:
  using Known = std::function<std::optional<KXDocumentManifest::Entry>(const std::string&)>;
  FolderWriter(int root, std::string rootPath, Known known)
      : root_(root), rootPath_(std::move(rootPath)), known_(std::move(known)) {}

  // Into an existing folder: an unchanged file is left as it is, a changed one is written to a
  // temporary name and renamed over it.
  Outcome replace(int dirfd, const std::string& relative, const DataReader& reader) const;
  // Into a fresh folder that nothing else uses: each file is made under its own name in one
  // pass that reads, checks, hashes and writes.
  Outcome create(int dirfd, const std::string& relative, const DataReader& reader) const;
  // Opens every folder above the file on its own (when the order of the writes matters, or
  // the folder was not kept open).
  Result<UniqueFd> openParent(const std::string& relative) const;

 private:
  int root_;
  std::string rootPath_;
  Known known_;
};

// Writes every job with `write` on a few threads; a failure stops the rest and is the one of
// the earliest job that failed.
Result<std::vector<Outcome>> writeJobs(const std::vector<Job>& jobs, bool anyOrder,
                                       const std::function<Outcome(std::size_t)>& write);

}  // namespace folderbacking
