#include "KXDocumentArchive.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "document/storage/KXDocumentArchiveError.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"

using nlohmann::json;

namespace {

constexpr std::string_view kWhitelist[] = {".cache/images/512/", ".cache/images/1024/", ".cache/images/2048/",
                                           ".backups/"};

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool endsWith(std::string_view s, std::string_view p) { return s.size() >= p.size() && s.substr(s.size() - p.size()) == p; }
bool contains(std::string_view s, std::string_view p) { return s.find(p) != std::string_view::npos; }

// A read-only view of another archive: it reads through it and is never moved or written.
class ArchiveView : public KXDocumentArchiveBacking {
 public:
  ArchiveView(std::shared_ptr<const KXDocumentArchive> archive, std::string what)
      : archive_(std::move(archive)), what_(std::move(what)) {}

  const std::filesystem::path& url() const override { return archive_->backing().url(); }
  Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path&) const override {
    return fail(KXDocumentArchiveError::invalidBacking("a " + what_ + " view can't move"));
  }
  std::optional<KXDocumentManifest::Entry> knownEntry(const std::string& path) const override {
    return archive_->backing().knownEntry(path);
  }
  std::optional<std::uint32_t> knownCRC32(const std::string& path) const override {
    return archive_->backing().knownCRC32(path);
  }
  Result<void> reflect(const KXDocumentArchive&, KXDocumentArchiveUpdateOperation, const UpdatedManifest&) override {
    return fail(KXDocumentArchiveError::invalidBacking("a " + what_ + " view can't be written"));
  }

 protected:
  std::shared_ptr<const KXDocumentArchive> archive_;

 private:
  std::string what_;
};

class FilteredBacking final : public ArchiveView {
 public:
  FilteredBacking(std::shared_ptr<const KXDocumentArchive> archive, std::function<bool(const std::string&)> filter)
      : ArchiveView(std::move(archive), "filtered"), filter_(std::move(filter)) {}

  std::string documentTypeIdentifier() const override { return "_"; }
  DataReader dataReader(const std::string& path) const override { return archive_->backing().dataReader(path); }
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override {
    archive_->backing().forEach([&](const std::string& path, const DataReader& reader) {
      if (filter_(path)) body(path, reader);
    });
  }

 private:
  std::function<bool(const std::string&)> filter_;
};

// Another archive's files named in a list, read through it: nothing is walked to list them.
class ListedBacking final : public ArchiveView {
 public:
  ListedBacking(std::shared_ptr<const KXDocumentArchive> archive, std::vector<std::string> paths)
      : ArchiveView(std::move(archive), "listed"), paths_(std::move(paths)) {}

  std::string documentTypeIdentifier() const override { return "_"; }
  DataReader dataReader(const std::string& path) const override { return archive_->backing().dataReader(path); }
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override {
    for (const auto& path : paths_) body(path, archive_->backing().dataReader(path));
  }

 private:
  std::vector<std::string> paths_;
};

// The person's cancel, as the document framework tells it.
Error givenUp() { return Error(NSCocoaErrorDomain, 3072, "The copy was given up."); }

// Another archive whose readers fail once `stop` is set: a copy that is given up ends at its
// next chunk, however many files it has still to write.
class StoppableBacking final : public ArchiveView {
 public:
  StoppableBacking(std::shared_ptr<const KXDocumentArchive> archive, std::shared_ptr<const std::atomic<bool>> stop)
      : ArchiveView(std::move(archive), "stoppable"), stop_(std::move(stop)) {}

  std::string documentTypeIdentifier() const override { return archive_->backing().documentTypeIdentifier(); }
  DataReader dataReader(const std::string& path) const override { return stoppable(archive_->backing().dataReader(path)); }
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override {
    archive_->backing().forEach([&](const std::string& path, const DataReader& reader) {
      if (!stop_->load()) body(path, stoppable(reader));
    });
  }

 private:
  DataReader stoppable(DataReader reader) const {
    return [reader = std::move(reader), stop = stop_](const DataSink& sink) -> Result<void> {
      DataSink checked = [&](const std::uint8_t* bytes, std::size_t count) -> Result<void> {
        if (stop->load()) return fail(givenUp());
        return sink(bytes, count);
      };
      if (stop->load()) return fail(givenUp());
      return reader(checked);
    };
  }

  std::shared_ptr<const std::atomic<bool>> stop_;
};

}  // namespace

std::shared_ptr<KXDocumentArchive> KXDocumentArchive::stoppable(std::shared_ptr<const KXDocumentArchive> archive,
                                                                std::shared_ptr<const std::atomic<bool>> stop) {
  Uuid uuid = archive->uuid();
  Manifest manifest = archive->manifest();
  auto view = std::make_shared<KXDocumentArchive>(std::make_unique<StoppableBacking>(std::move(archive), std::move(stop)),
                                                  WithIdentity{uuid});
  view->manifest_ = std::move(manifest);
  return view;
}

KXDocumentArchive::KXDocumentArchive(std::unique_ptr<KXDocumentArchiveBacking> backing, std::optional<Uuid> uuidIfNeeded)
    : backing_(std::move(backing)) {
  auto bytes = readText(backing_->dataReader(relativePathForManifest), maximumManifestSize);
  auto decoded = decodeManifest(bytes.value_or(""));
  if (decoded) {
    uuid_ = decoded->uuid;
    manifest_ = std::move(*decoded);
  } else {
    uuid_ = uuidIfNeeded ? *uuidIfNeeded : Uuid::random();
    hasOwnIdentity_ = uuidIfNeeded.has_value();
    manifest_ = Manifest{uuid_, std::nullopt};
  }
}

KXDocumentArchive::KXDocumentArchive(std::unique_ptr<KXDocumentArchiveBacking> backing, WithIdentity identity)
    : uuid_(identity.uuid), manifest_{identity.uuid, std::nullopt}, backing_(std::move(backing)) {}

std::shared_ptr<KXDocumentArchive> KXDocumentArchive::filtered(std::shared_ptr<const KXDocumentArchive> archive,
                                                               std::function<bool(const std::string&)> filter) {
  Uuid uuid = archive->uuid();
  Manifest manifest = archive->manifest();
  auto view = std::make_shared<KXDocumentArchive>(std::make_unique<FilteredBacking>(std::move(archive), std::move(filter)),
                                                  WithIdentity{uuid});
  view->manifest_ = std::move(manifest);
  return view;
}

std::shared_ptr<KXDocumentArchive> KXDocumentArchive::listed(std::shared_ptr<const KXDocumentArchive> archive,
                                                             std::vector<std::string> paths) {
  Uuid uuid = archive->uuid();
  return std::make_shared<KXDocumentArchive>(std::make_unique<ListedBacking>(std::move(archive), std::move(paths)),
                                             WithIdentity{uuid});
}

std::optional<std::chrono::system_clock::time_point> KXDocumentArchive::contentModificationDate() const {
  struct stat st{};
  if (::stat(backing_->url().c_str(), &st) != 0) return std::nullopt;
  return fs::dateOf(st.st_mtim);
}

Result<KXDocumentManifest::Entry> KXDocumentArchiveBacking::hashEntry(const std::string&, const DataReader& reader) {
  return KXDocumentArchive::makeEntry(reader);
}

void KXDocumentArchive::regenerateManifest() {
  std::map<std::string, Manifest::Entry> files;
  backing_->forEach([&](const std::string& path, const DataReader& reader) {
    if (auto known = backing_->knownEntry(path)) {
      files[path] = *known;
      return;
    }
    auto entry = backing_->hashEntry(path, reader);
    files[path] = entry ? *entry : Manifest::Entry::unknown();
  });
  backing_->keepFileStatus(files);
  manifest_ = Manifest{uuid_, std::move(files)};
}

Result<void> KXDocumentArchive::reflect(const KXDocumentArchive& source) {
  auto before = manifest_;
  auto reflected = backing_->reflect(source, KXDocumentArchiveUpdateOperation::all,
                                     [this](const KXDocumentArchiveBacking::Entries& entries) -> std::optional<Data> {
                                       manifest_ = Manifest{uuid_, entries};
                                       return dataFromString(encode(manifestJSON(manifest_)));
                                     });
  // A replacement refused at the last moment wrote nothing: the stored manifest is the old one.
  if (!reflected && fs::isChangedMeanwhile(reflected.error())) manifest_ = std::move(before);
  return reflected;
}

bool KXDocumentArchive::shouldInclude(std::string_view path) {
  // Hidden names below the cache and backup folders are their writers' temporaries.
  for (auto w : kWhitelist)
    if (startsWith(path, w)) return !startsWith(path.substr(w.size()), ".") && !contains(path.substr(w.size()), "/.");
  if (path == ".yarnignore") return true;
  if (path == relativePathForManifest) return false;
  if (endsWith(path, "/")) return false;
  if (endsWith(path, ".korvelxproj")) return false;
  if (startsWith(path, ".")) return false;
  if (contains(path, "/.")) return false;
  if (contains(path, "Icon\r")) return false;
  if (contains(path, "__MACOSX")) return false;
  if (startsWith(path, "node_modules")) return false;
  return true;
}

bool KXDocumentArchive::mayContainIncludedFiles(std::string_view folder) {
  std::string prefix = std::string(folder) + "/";
  for (auto w : kWhitelist) {
    if (startsWith(w, prefix)) return true;
    if (startsWith(prefix, w)) return !startsWith(prefix.substr(w.size()), ".") && !contains(prefix.substr(w.size()), "/.");
  }
  if (startsWith(folder, ".") || contains(folder, "/.")) return false;
  if (contains(folder, "Icon\r") || contains(folder, "__MACOSX")) return false;
  if (startsWith(folder, "node_modules")) return false;
  return true;
}

bool KXDocumentArchive::isSafeRelativePath(std::string_view path) {
  if (path.empty() || path.front() == '/') return false;
  if (contains(path, "\\") || path.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    auto component = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::optional<std::string> KXDocumentArchive::readText(const DataReader& reader, std::size_t limit) {
  std::string bytes;
  auto read = reader([&](const std::uint8_t* p, std::size_t n) -> Result<void> {
    if (n > limit - bytes.size()) return fail(KXDocumentArchiveError::invalidBacking("the file is too large"));
    bytes.append(reinterpret_cast<const char*>(p), n);
    return {};
  });
  if (!read) return std::nullopt;
  return bytes;
}

Result<KXDocumentArchive::Manifest::Entry> KXDocumentArchive::makeEntry(const DataReader& reader,
                                                                      const DataSink* writer) {
  crypto::Sha1 sha1;
  std::int64_t size = 0;
  auto read = reader([&](const std::uint8_t* bytes, std::size_t count) -> Result<void> {
    size += static_cast<std::int64_t>(count);
    sha1.update(std::span(bytes, count));
    if (writer) return (*writer)(bytes, count);
    return {};
  });
  if (!read) return fail(read.error());
  auto digest = sha1.finish();
  return Manifest::Entry{size, Data(digest.begin(), digest.end())};
}

std::string KXDocumentArchive::encode(const json& value) {
  // The coder never escapes "/"; a backslash before one belongs to the text and stays.
  return JsonCoder::dump(value, JsonCoder::Style::pretty);
}

json KXDocumentArchive::manifestJSON(const Manifest& manifest) {
  json out = {{"uuid", manifest.uuid.string()}};
  if (manifest.files) {
    json files = json::object();
    for (const auto& [path, entry] : *manifest.files) {
      json e = {{"size", entry.size}};
      if (entry.sha1) e["sha1"] = crypto::base64Encode(*entry.sha1);
      files[path] = std::move(e);
    }
    out["files"] = std::move(files);
  }
  return out;
}

Result<KXDocumentArchive::Manifest> KXDocumentArchive::decodeManifest(std::string_view text) {
  constexpr const char* domain = "com.korvel.manifest";
  auto parsed = JsonCoder::parse(text);
  if (!parsed) return fail(parsed.error());
  const json& root = *parsed;
  if (!root.is_object()) return fail(domain, 1, "the manifest is not an object");
  auto uuidField = root.find("uuid");
  if (uuidField == root.end() || !uuidField->is_string()) return fail(domain, 2, "the manifest has no \"uuid\"");
  auto uuid = Uuid::parse(uuidField->get_ref<const std::string&>());
  if (!uuid) return fail(domain, 2, "the manifest's \"uuid\" is malformed");
  Manifest manifest{*uuid, std::nullopt};
  auto filesField = root.find("files");
  if (filesField != root.end() && !filesField->is_null()) {
    if (!filesField->is_object()) return fail(domain, 3, "the manifest's \"files\" is not an object");
    std::map<std::string, Manifest::Entry> files;
    for (auto it = filesField->begin(); it != filesField->end(); ++it) {
      const json& e = it.value();
      if (!e.is_object()) return fail(domain, 3, "a manifest entry is not an object");
      auto size = e.find("size");
      if (size == e.end() || !size->is_number_integer()) return fail(domain, 3, "a manifest entry has no integer size");
      Manifest::Entry entry{size->get<std::int64_t>(), std::nullopt};
      if (auto sha1 = e.find("sha1"); sha1 != e.end() && !sha1->is_null()) {
        if (!sha1->is_string()) return fail(domain, 3, "a manifest entry's sha1 is not text");
        auto bytes = crypto::base64Decode(sha1->get_ref<const std::string&>());
        if (!bytes) return fail(domain, 3, "a manifest entry's sha1 is not Base64");
        entry.sha1 = std::move(*bytes);
      }
      files[it.key()] = std::move(entry);
    }
    manifest.files = std::move(files);
  }
  return manifest;
}

std::string KXDocumentArchive::formatDate(std::chrono::system_clock::time_point date) {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(date.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  long millis = static_cast<long>(ms % 1000);
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return buf;
}

std::optional<std::chrono::system_clock::time_point> KXDocumentArchive::parseDate(std::string_view text) {
  if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != '.' || text[23] != 'Z')
    return std::nullopt;
  auto number = [&](size_t at, size_t len) -> int {
    int v = 0;
    for (size_t i = at; i < at + len; ++i) {
      if (text[i] < '0' || text[i] > '9') return -1;
      v = v * 10 + (text[i] - '0');
    }
    return v;
  };
  int year = number(0, 4), month = number(5, 2), day = number(8, 2), hour = number(11, 2), minute = number(14, 2),
      second = number(17, 2), millis = number(20, 3);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60 || millis < 0)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  std::time_t seconds = timegm(&tm);
  // The clock counts nanoseconds: about 292 years either side of 1970.
  constexpr auto reach = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::duration::max()).count() - 1;
  if (seconds < -reach || seconds > reach) return std::nullopt;
  return std::chrono::system_clock::time_point(std::chrono::seconds(seconds)) + std::chrono::milliseconds(millis);
}
