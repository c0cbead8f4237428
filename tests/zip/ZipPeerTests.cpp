// Archives made by Info-ZIP zip, 7-Zip and Python's zipfile are read by the library, and every
// archive the library writes is tested by unzip, 7z and zipfile.

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "ZipTestSupport.h"
#include "platform/Crypto.h"
#include "support/TestEnvironment.h"

using namespace ziptest;
namespace stdfs = std::filesystem;

namespace {

void writeFile(const stdfs::path& p, const Data& d) {
  stdfs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

std::string quoted(const stdfs::path& p) { return "'" + p.string() + "'"; }

// A folder of files every peer archives: text, incompressible bytes, an empty file, a
// non-ASCII name and a nested folder.
struct Sources {
  stdfs::path dir = testenv::freshFolder("peer-src");
  std::map<std::string, Data> files = {
      {"readme.txt", toData(std::string(20000, 'r') + "the end")},
      {"noise.bin", randomData(300000, 42)},
      {"empty.txt", {}},
      {"design/document.json", toData(R"({"layers": [1, 2, 3], "name": "Ünïcödé"})")},
      {"design/images/caf\xc3\xa9.png", randomData(5000, 43)},
  };
  Sources() {
    for (const auto& [name, data] : files) writeFile(dir / name, data);
  }
  std::string list() const {
    std::string out;
    for (const auto& [name, data] : files) out += " '" + name + "'";
    return out;
  }
};

int run(const std::string& command, std::string* output = nullptr) {
  return testenv::run(command + " 2>&1", output);
}

// Reads every file entry and compares it with the sources.
void expectSameFiles(const ZZArchive& archive, const Sources& sources, std::string_view password = {}) {
  std::size_t seen = 0;
  for (const auto& entry : archive.entries()) {
    // Info-ZIP stores UTF-8 names without the UTF-8 flag; they read as code page 437, so the
    // files are matched by their raw name bytes.
    ASSERT_TRUE(entry->fileName());
    auto name = std::optional<std::string>(toString(entry->rawFileName()));
    if (name->ends_with("/")) continue;
    auto expected = sources.files.find(*name);
    ASSERT_NE(expected, sources.files.end()) << *name;
    auto data = entry->newData(password);
    ASSERT_TRUE(data) << *name << ": " << data.error().description();
    EXPECT_EQ(*data, expected->second) << *name;
    EXPECT_TRUE(entry->check()) << *name;
    ++seen;
  }
  EXPECT_EQ(seen, sources.files.size());
  EXPECT_TRUE(readAll(archive, password));
}

std::shared_ptr<ZZArchive> openFile(const stdfs::path& p) {
  auto a = ZZArchive::archiveWithURL(p);
  if (!a) throw std::runtime_error(a.error().description());
  return *a;
}

// unzip, 7z and Python's zipfile all find the archive sound.
void expectPeersAccept(const stdfs::path& zip) {
  std::string out;
  EXPECT_EQ(run("unzip -tq " + quoted(zip), &out), 0) << out;
  EXPECT_EQ(run("7z t -bd " + quoted(zip), &out), 0) << out;
  EXPECT_EQ(run("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                "sys.exit(0 if z.testzip() is None else 1)' " + quoted(zip), &out), 0)
      << out;
}

TEST(ZipPeers, ReadsInfoZipArchives) {
  Sources s;
  auto dir = testenv::freshFolder("infozip");
  for (std::string options : {"-0", "-9", "-fd", "-z"}) {
    auto zip = dir / ("a" + options + ".zip");
    std::string input = options == "-z" ? "echo 'an archive comment' | " : "";
    ASSERT_EQ(run("cd " + quoted(s.dir) + " && " + input + "zip -q -X " + options + " " + quoted(zip) + s.list()), 0);
    SCOPED_TRACE(options);
    expectSameFiles(*openFile(zip), s);
  }
  // Streamed through pipes: sizes follow the data in descriptors.
  auto streamed = dir / "streamed.zip";
  ASSERT_EQ(run("cd " + quoted(s.dir) + " && cat readme.txt | zip -q -fz- - - | cat > " + quoted(streamed)), 0);
  auto archive = openFile(streamed);
  ASSERT_EQ(archive->entries().size(), 1u);
  EXPECT_EQ(*archive->entries()[0]->newData(), s.files["readme.txt"]);
  EXPECT_TRUE(archive->entries()[0]->check());
}

TEST(ZipPeers, ReadsTraditionalEncryptionFromInfoZip) {
  Sources s;
  auto zip = testenv::freshFolder("infozip") / "secret.zip";
  ASSERT_EQ(run("cd " + quoted(s.dir) + " && zip -q -P 'pass word' " + quoted(zip) + s.list()), 0);
  auto archive = openFile(zip);
  expectSameFiles(*archive, s, "pass word");
  // One check byte: a wrong password is caught there, or by the CRC-32 when the byte matches.
  for (const auto& entry : archive->entries()) {
    if (!entry->encrypted()) continue;
    long code = zipCode(entry->newData("wrong"));
    EXPECT_TRUE(code == 12 || code == 14) << code;
  }
}

TEST(ZipPeers, Reads7ZipArchivesWithAndWithoutAES) {
  Sources s;
  auto dir = testenv::freshFolder("7z");
  struct Case {
    std::string options;
    std::string password;
  } cases[] = {{"-mm=Deflate", ""},
               {"-mm=Copy", ""},
               {"-mm=Deflate -mem=AES128 -psecret", "secret"},
               {"-mm=Deflate -mem=AES256 -psecret", "secret"},
               {"-mm=Copy -mem=AES256 -psecret", "secret"},
               {"-mm=Deflate -mem=ZipCrypto -psecret", "secret"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    auto zip = dir / ("a" + std::to_string(n++) + ".zip");
    std::string out;
    ASSERT_EQ(run("cd " + quoted(s.dir) + " && 7z a -tzip -bd " + c.options + " " + quoted(zip) + s.list(), &out), 0)
        << out;
    auto archive = openFile(zip);
    expectSameFiles(*archive, s, c.password);
    if (c.options.find("AES") != std::string::npos) {
      for (const auto& entry : archive->entries()) {
        if (entry->encrypted()) {
          EXPECT_EQ(zipCode(entry->newData("Secret")), 12);
        }
      }
    }
  }
}

TEST(ZipPeers, ReadsPythonZipfileArchives) {
  Sources s;
  auto zip = testenv::freshFolder("python") / "py.zip";
  std::string script =
      "import sys, os, zipfile\n"
      "src, out = sys.argv[1], sys.argv[2]\n"
      "with zipfile.ZipFile(out, 'w') as z:\n"
      "    z.writestr(zipfile.ZipInfo('design/'), b'')\n"
      "    for i, name in enumerate(sys.argv[3:]):\n"
      "        method = zipfile.ZIP_DEFLATED if i % 2 else zipfile.ZIP_STORED\n"
      "        z.write(os.path.join(src, name), name, compress_type=method)\n";
  writeFile(s.dir.parent_path() / "make.py", toData(script));
  std::string out;
  ASSERT_EQ(run("python3 " + quoted(s.dir.parent_path() / "make.py") + " " + quoted(s.dir) + " " + quoted(zip) + s.list(), &out), 0) << out;
  auto archive = openFile(zip);
  EXPECT_EQ(archive->entries()[0]->fileName(), "design/");
  expectSameFiles(*archive, s);
}

std::vector<std::shared_ptr<ZZArchiveEntry>> newEntries(const Sources& s) {
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  entries.push_back(ZZArchiveEntry::archiveEntryWithDirectoryName("design/"));
  int level = 0;
  for (const auto& [name, data] : s.files) {
    Data copy = data;
    auto now = std::chrono::system_clock::now();
    if (level % 3 == 1) {
      entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
          name, 0100644, now, level % 10, nullptr,
          [copy](ZZOutputStream& stream) -> Result<void> {
            stream.open();
            for (std::size_t i = 0; i < copy.size(); i += 4096)
              if (stream.write(copy.data() + i, std::min<std::size_t>(4096, copy.size() - i)) < 0)
                return fail(*stream.streamError());
            stream.close();
            return {};
          },
          nullptr));
    } else {
      entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
          name, 0100644, now, level % 2 ? 9 : (level % 4 ? -1 : 0), [copy] { return Result<Data>(copy); }, nullptr,
          nullptr));
    }
    ++level;
  }
  return entries;
}

TEST(ZipPeers, ArchivesWrittenHerePassEveryPeer) {
  Sources s;
  auto dir = testenv::freshFolder("written");
  auto zip = dir / "new.zip";
  auto archive = *ZZArchive::archiveWithURL(zip, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries(newEntries(s)));
  expectPeersAccept(zip);
  expectSameFiles(*archive, s);

  // unzip extracts the same bytes, names included.
  auto extracted = dir / "out";
  ASSERT_EQ(run("unzip -q " + quoted(zip) + " -d " + quoted(extracted)), 0);
  for (const auto& [name, data] : s.files) {
    std::ifstream in(extracted / name, std::ios::binary);
    EXPECT_EQ(Data(std::istreambuf_iterator<char>(in), {}), data) << name;
  }

  // An empty archive is valid too.
  auto empty = dir / "empty.zip";
  auto none = *ZZArchive::archiveWithURL(empty, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(none->updateEntries({}));
  std::string out;
  EXPECT_EQ(run("python3 -c 'import sys, zipfile; assert zipfile.ZipFile(sys.argv[1]).namelist() == []' " + quoted(empty), &out), 0) << out;
}

TEST(ZipPeers, UpdatingPeerArchivesKeepsThemSound) {
  Sources s;
  auto dir = testenv::freshFolder("update");
  for (std::string maker : {"zip -q -X -fd", "zip -q -X", "7z a -tzip -bd"}) {
    SCOPED_TRACE(maker);
    auto zip = dir / "peer.zip";
    stdfs::remove(zip);
    ASSERT_EQ(run("cd " + quoted(s.dir) + " && " + maker + " " + quoted(zip) + s.list()), 0);
    auto archive = openFile(zip);
    // Replace one entry, keep the others as they are, append one.
    std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
    for (const auto& entry : archive->entries()) {
      if (entry->fileName() == "readme.txt")
        entries.push_back(ZZArchiveEntry::archiveEntryWithFileName("readme.txt", true, [] {
          return Result<Data>(toData("replaced"));
        }));
      else
        entries.push_back(entry);
    }
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName("added.txt", false, [] { return Result<Data>(toData("added")); }));
    ASSERT_TRUE(archive->updateEntries(entries));
    expectPeersAccept(zip);
    std::string out;
    ASSERT_EQ(run("unzip -p " + quoted(zip) + " readme.txt added.txt", &out), 0);
    EXPECT_EQ(out, "replacedadded");
    Sources expected;
    expected.files["readme.txt"] = toData("replaced");
    expected.files["added.txt"] = toData("added");
    expectSameFiles(*openFile(zip), expected);
  }
}

TEST(ZipPeers, MemoryArchivesUpdatedInPlacePassEveryPeer) {
  Sources s;
  auto data = std::make_shared<Data>();
  auto archive = *ZZArchive::archiveWithData(data, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries(newEntries(s)));
  auto entries = archive->entries();
  entries.push_back(ZZArchiveEntry::archiveEntryWithFileName("late.txt", true, [] { return Result<Data>(toData("late")); }));
  ASSERT_TRUE(archive->updateEntries(entries));
  auto zip = testenv::freshFolder("memory") / "memory.zip";
  writeFile(zip, *data);
  expectPeersAccept(zip);
}

}  // namespace

TEST(ZipPeers, ArchivesWrittenOnEveryCorePassEveryPeerWithTheSameContent) {
  // Many small entries, and large ones that go through temporary files, stored and deflated.
  Sources s;
  for (int i = 0; i < 120; ++i)
    s.files["code/f" + std::to_string(i) + (i % 4 ? ".js" : ".png")] =
        i % 4 ? toData(std::string(static_cast<std::size_t>(i) * 700, static_cast<char>('a' + i % 26)) + "end")
              : randomData(static_cast<std::size_t>(i) * 900, static_cast<std::uint32_t>(i));
  s.files["big/text.js"] = toData(std::string(6 << 20, 'x') + "tail");
  s.files["big/noise.png"] = randomData(6 << 20, 77);
  for (const auto& [name, data] : s.files) writeFile(s.dir / name, data);

  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  for (const auto& [name, data] : s.files) {
    const Data* content = &data;
    int level = name.ends_with(".png") ? 0 : -1;
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(
        name, 0100644, std::chrono::system_clock::now(), level, nullptr,
        [content](ZZOutputStream& stream) -> Result<void> {
          for (std::size_t i = 0; i < content->size(); i += 65536)
            if (stream.write(content->data() + i, std::min<std::size_t>(65536, content->size() - i)) < 0)
              return fail(*stream.streamError());
          return {};
        },
        nullptr, ZZArchiveEntry::BlockThread::any));
  }
  auto dir = testenv::freshFolder("every-core");
  auto zip = dir / "new.zip";
  auto archive = *ZZArchive::archiveWithURL(zip, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries(entries));
  expectPeersAccept(zip);
  expectSameFiles(*archive, s);

  // The names in the order given, and the same bytes out of unzip and zipfile.
  std::string out;
  ASSERT_EQ(run("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); print(\"\\n\".join(z.namelist())); "
                "z.extractall(sys.argv[2])' " + quoted(zip) + " " + quoted(dir / "py"), &out), 0) << out;
  std::string names;
  for (const auto& [name, data] : s.files) names += name + "\n";
  EXPECT_EQ(out, names);
  ASSERT_EQ(run("unzip -q " + quoted(zip) + " -d " + quoted(dir / "unzip")), 0);
  for (const auto& [name, data] : s.files) {
    for (const char* tool : {"py", "unzip"}) {
      std::ifstream in(dir / tool / name, std::ios::binary);
      EXPECT_EQ(Data(std::istreambuf_iterator<char>(in), {}), data) << tool << " " << name;
    }
  }
}
