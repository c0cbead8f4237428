// Entries whose blocks may run on any thread are read and compressed by a pool of workers and
// appended in order by the updating thread: the archive is the one a sequential update writes.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>

#include "ZipTestSupport.h"
#include "support/TestEnvironment.h"
#include "zip/ZZEntryPreparationPool.h"
#include "zip/ZZFileChannel.h"
#include "zip/ZZSpillOutput.h"

using namespace ziptest;
namespace stdfs = std::filesystem;
using BlockThread = ZZArchiveEntry::BlockThread;

namespace {

Data fileBytes(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Data(std::istreambuf_iterator<char>(in), {});
}

Data textData(std::size_t size, std::uint32_t seed) {
  static const char* words[] = {"layer ", "frame ", "button ", "shadow ", "radius ", "width "};
  Data d = randomData(size, seed);
  std::size_t i = 0;
  while (i < size) {
    const char* w = words[d[i] % 6];
    for (; *w && i < size; ++w) d[i++] = static_cast<std::uint8_t>(*w);
  }
  return d;
}

struct Source {
  std::string name;
  Data content;
  int level;  // 0 stored, -1 or 1..9 deflated
};

// What runs, and how many at once, seen from the blocks.
struct Watch {
  std::atomic<int> running{0};
  std::atomic<int> mostAtOnce{0};
  std::atomic<int> finished{0};
  std::mutex mutex;
  std::set<std::thread::id> threads;
};

const auto kDate = std::chrono::system_clock::from_time_t(1700000000);

// Entries fed in 100 KB pieces, as a file reader feeds them; `failAt` fails that entry midway.
std::vector<std::shared_ptr<ZZArchiveEntry>> entriesOf(const std::vector<Source>& sources, BlockThread thread,
                                                       Watch* watch = nullptr, std::size_t failAt = SIZE_MAX) {
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const Data* content = &sources[i].content;
    bool fails = i == failAt;
    auto block = [content, fails, watch](ZZOutputStream& out) -> Result<void> {
      if (watch) {
        int now = ++watch->running;
        for (int most = watch->mostAtOnce; now > most && !watch->mostAtOnce.compare_exchange_weak(most, now);) {
        }
        std::lock_guard lock(watch->mutex);
        watch->threads.insert(std::this_thread::get_id());
      }
      // A failing entry gives half of its bytes, then the error.
      std::size_t end = fails ? content->size() / 2 : content->size();
      Result<void> r;
      for (std::size_t done = 0; done < end && r;) {
        std::size_t n = std::min<std::size_t>(100000, end - done);
        if (out.write(content->data() + done, n) != static_cast<std::ptrdiff_t>(n))
          r = fail(out.streamError().value_or(Error(NSPOSIXErrorDomain, EIO)));
        done += n;
      }
      if (fails && r) r = fail(NSPOSIXErrorDomain, EIO, "the disk could not be read");
      if (watch) {
        --watch->running;
        ++watch->finished;
      }
      return r;
    };
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(sources[i].name, 0100644, kDate, sources[i].level,
                                                               nullptr, block, nullptr, thread));
  }
  return entries;
}

std::vector<Source> project(std::size_t files, std::size_t bigSize) {
  std::vector<Source> s;
  for (std::size_t i = 0; i < files; ++i) {
    bool image = i % 3 == 0;
    std::size_t size = i % 17 == 5 ? 0 : (i % 7 + 1) * 9000;
    s.push_back({(image ? "design/images/" : "code/") + std::to_string(i) + (image ? ".png" : ".js"),
                 image ? randomData(size, static_cast<std::uint32_t>(i)) : textData(size, static_cast<std::uint32_t>(i)),
                 image ? 0 : -1});
  }
  // Past any entry's share of memory: these go through temporary files.
  s.insert(s.begin() + static_cast<std::ptrdiff_t>(files / 2), {"big.js", textData(bigSize, 7), 9});
  s.push_back({"big.png", randomData(bigSize, 8), 0});
  s.push_back({"big-deflated.bin", randomData(bigSize, 9), -1});
  return s;
}

stdfs::path written(const std::vector<std::shared_ptr<ZZArchiveEntry>>& entries, const std::string& hint) {
  auto zip = testenv::freshFolder(hint) / "a.zip";
  auto archive = *ZZArchive::archiveWithURL(zip, {{ZZOpenOptionsCreateIfMissingKey, true}});
  auto r = archive->updateEntries(entries);
  EXPECT_TRUE(r) << (r ? "" : r.error().description());
  return zip;
}

}  // namespace

TEST(ZZConcurrentUpdate, WritesTheBytesOfASequentialUpdate) {
  struct Case {
    const char* what;
    std::size_t files;
    std::size_t bigSize;
  };
  const Case cases[] = {
      {"no entry", 0, 0},
      {"one small entry besides the large ones", 1, 5 << 20},
      {"many small entries and large ones", 300, 9 << 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto sources = c.files || c.bigSize ? project(c.files, c.bigSize) : std::vector<Source>{};
    Watch watch;
    auto sequential = fileBytes(written(entriesOf(sources, BlockThread::updating), "sequential"));
    auto concurrentZip = written(entriesOf(sources, BlockThread::any, &watch), "concurrent");
    EXPECT_EQ(fileBytes(concurrentZip), sequential);
    EXPECT_EQ(watch.running, 0);
    EXPECT_EQ(watch.finished, static_cast<int>(sources.size()));

    auto archive = *ZZArchive::archiveWithURL(concurrentZip);
    ASSERT_EQ(archive->entries().size(), sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
      EXPECT_EQ(archive->entries()[i]->fileName(), sources[i].name);
      EXPECT_EQ(*archive->entries()[i]->newData(), sources[i].content) << sources[i].name;
    }
    // Nothing is left beside the archive: spilled data lived in files without names.
    EXPECT_EQ(std::distance(stdfs::directory_iterator(concurrentZip.parent_path()), stdfs::directory_iterator()), 1);
  }
}

TEST(ZZConcurrentUpdate, MemoryArchivesAndMixedEntriesKeepTheirOrder) {
  auto sources = project(40, 3 << 20);
  auto concurrent = entriesOf(sources, BlockThread::any);
  auto sequential = entriesOf(sources, BlockThread::updating);
  // Entries of both kinds and a data block between them: a block of the updating thread runs
  // only once every earlier entry is written.
  std::atomic<int> before{0};
  Watch watch;
  auto mixed = entriesOf(sources, BlockThread::any, &watch);
  for (std::size_t i = 0; i < mixed.size(); i += 5) mixed[i] = sequential[i];
  std::size_t earlierConcurrent = 0;
  for (std::size_t i = 0; i < 20; ++i) earlierConcurrent += i % 5 != 0;
  mixed.insert(mixed.begin() + 20, ZZArchiveEntry::archiveEntryWithFileName("middle", true, ZZArchiveEntry::DataBlock([&] {
    before = watch.finished.load();
    return Result<Data>(toData("in the middle"));
  })));

  auto data = std::make_shared<Data>();
  auto archive = *ZZArchive::archiveWithData(data, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries(mixed));
  EXPECT_GE(before, static_cast<int>(earlierConcurrent));
  ASSERT_EQ(archive->entries().size(), sources.size() + 1);
  EXPECT_EQ(archive->entries()[20]->fileName(), "middle");
  for (std::size_t i = 0, j = 0; i < archive->entries().size(); ++i) {
    if (i == 20) continue;
    EXPECT_EQ(archive->entries()[i]->fileName(), sources[j].name);
    EXPECT_EQ(*archive->entries()[i]->newData(), sources[j].content);
    ++j;
  }
  // The same update again, all of it concurrent: the same bytes every time.
  Data first;
  for (int round = 0; round < 3; ++round) {
    auto again = std::make_shared<Data>();
    auto a = *ZZArchive::archiveWithData(again, {{ZZOpenOptionsCreateIfMissingKey, true}});
    ASSERT_TRUE(a->updateEntries(entriesOf(sources, BlockThread::any)));
    if (round == 0) first = *again;
    EXPECT_EQ(*again, first);
  }
}

TEST(ZZConcurrentUpdate, AFailingEntryFailsTheUpdateAndLeavesTheArchiveAsItWas) {
  auto sources = project(200, 6 << 20);
  auto dir = testenv::freshFolder("failing");
  auto zip = dir / "a.zip";
  auto archive = *ZZArchive::archiveWithURL(zip, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries(entriesOf({{"old.txt", toData("old content"), -1}}, BlockThread::updating)));
  Data before = fileBytes(zip);

  // A failure early, in the middle, in the big entry that goes through a file, and last.
  std::size_t bigIndex = 0;
  while (sources[bigIndex].name != "big.js") ++bigIndex;
  for (std::size_t failAt : {std::size_t{1}, std::size_t{77}, bigIndex, sources.size() - 1}) {
    SCOPED_TRACE(sources[failAt].name);
    Watch watch;
    auto r = archive->updateEntries(entriesOf(sources, BlockThread::any, &watch, failAt));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().domain, ZZErrorDomain);
    EXPECT_EQ(r.error().code, static_cast<long>(ZZErrorCode::localFileWriteFailed));
    EXPECT_EQ(r.error().intInfo(ZZEntryIndexKey), static_cast<long>(failAt));
    ASSERT_TRUE(r.error().underlying);
    EXPECT_EQ(r.error().underlying->code, EIO);
    // Every block has ended when the update returns; the old archive is untouched.
    EXPECT_EQ(watch.running, 0);
    EXPECT_EQ(fileBytes(zip), before);
    EXPECT_EQ(std::distance(stdfs::directory_iterator(dir), stdfs::directory_iterator()), 1);
    ASSERT_EQ(archive->entries().size(), 1u);
    EXPECT_EQ(toString(*archive->entries()[0]->newData()), "old content");
  }
}

TEST(ZZConcurrentUpdate, WorkersStayWithinTheirNumber) {
  auto sources = project(400, 1 << 20);
  Watch watch;
  auto zip = written(entriesOf(sources, BlockThread::any, &watch), "workers");
  // The workers, and the updating thread when it helps: never more at once.
  EXPECT_LE(watch.mostAtOnce, static_cast<int>(ZZEntryPreparationPool::defaultWorkerCount()) + 1);
  EXPECT_LE(watch.threads.size(), ZZEntryPreparationPool::defaultWorkerCount() + 1);
  EXPECT_GE(watch.threads.size(), 1u);
}

namespace {
// A writer whose preparation holds a fixed amount of memory until it is written.
class HeavyWriter : public ZZArchiveEntryWriter {
 public:
  explicit HeavyWriter(std::atomic<int>& held) : held_(held) {}
  std::uint64_t offsetToLocalFileEnd() const override { return 0; }
  bool preparesConcurrently() const override { return true; }
  Result<void> prepare(const ZZEntryPreparation& p) override {
    memory_ = p.memoryLimit;
    ++held_;
    return {};
  }
  std::size_t preparedMemory() const override { return memory_; }
  // An entry no worker took is written unprepared.
  Result<void> writeLocalFileToChannelOutput(ZZChannelOutput&, std::uint64_t) override {
    if (memory_) --held_;
    return {};
  }
  Result<void> writeCentralFileHeaderToChannelOutput(ZZChannelOutput&) override { return {}; }

 private:
  std::atomic<int>& held_;
  std::size_t memory_ = 0;
};
}  // namespace

TEST(ZZConcurrentUpdate, PreparedEntriesWaitingForTheirTurnStayWithinTheBudget) {
  for (unsigned workers : {1u, 3u, 8u}) {
    SCOPED_TRACE(workers);
    std::atomic<int> held{0};
    std::vector<std::unique_ptr<HeavyWriter>> writers;
    std::vector<ZZArchiveEntryWriter*> jobs;
    for (int i = 0; i < 300; ++i) {
      writers.push_back(std::make_unique<HeavyWriter>(held));
      jobs.push_back(writers.back().get());
    }
    ZZEntryPreparationPool pool(jobs, testenv::freshFolder("budget"), workers);
    EXPECT_EQ(pool.workerCount(), workers);
    // What may be held: the budget, plus what each worker finishes after it was reached.
    std::size_t allowed = ZZEntryPreparationPool::preparedMemoryBudget + (workers + 1) * pool.memoryLimitPerEntry();
    auto memory = *ZZArchive::archiveWithData(nullptr, {{ZZOpenOptionsCreateIfMissingKey, true}});
    auto sink = *memory->channel()->newOutput();
    // The workers start on their own; the writer comes once they have begun.
    for (int i = 0; i < 10000 && held.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int mostHeld = 0;
    for (auto* job : jobs) {
      ASSERT_TRUE(pool.waitFor(job));
      mostHeld = std::max(mostHeld, held.load());
      EXPECT_LE(static_cast<std::size_t>(held.load()) * pool.memoryLimitPerEntry(), allowed);
      ASSERT_TRUE(job->writeLocalFileToChannelOutput(*sink, 0));
      pool.written(job);
    }
    EXPECT_EQ(held, 0);
    EXPECT_GE(mostHeld, 1);
  }
}

TEST(ZZConcurrentUpdate, SpillOutputsKeepMemoryBoundedAndGiveBackTheirBytes) {
  struct Case {
    const char* what;
    std::vector<std::size_t> writes;
    bool spilled;
  };
  const Case cases[] = {
      {"nothing", {}, false},
      {"within the limit", {1000, 2000, 1096}, false},
      {"exactly the limit", {4096}, false},
      {"one byte past it", {4096, 1}, true},
      {"one write larger than the limit", {10000}, true},
      {"many writes past it", {3000, 3000, 3000, 3000}, true},
  };
  auto folder = testenv::freshFolder("spill");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ZZSpillOutput out(folder, 4096);
    Data all;
    for (std::size_t n : c.writes) {
      Data piece = randomData(n, static_cast<std::uint32_t>(all.size()));
      ASSERT_TRUE(out.writeData(piece));
      all.insert(all.end(), piece.begin(), piece.end());
      EXPECT_LE(out.memorySize(), 4096u);
    }
    ASSERT_TRUE(out.close());
    EXPECT_EQ(out.spilled(), c.spilled);
    EXPECT_EQ(out.offset(), all.size());
    auto data = std::make_shared<Data>();
    auto archive = *ZZArchive::archiveWithData(data, {{ZZOpenOptionsCreateIfMissingKey, true}});
    auto output = *archive->channel()->newOutput();
    ASSERT_TRUE(out.appendTo(*output));
    ASSERT_TRUE(output->close());
    EXPECT_EQ(*data, all);
    if (!all.empty()) {
      EXPECT_FALSE(out.seekToOffset(0));
    }
  }
  EXPECT_EQ(std::distance(stdfs::directory_iterator(folder), stdfs::directory_iterator()), 0);

  // A stopped output fails its next write.
  bool stop = false;
  ZZSpillOutput stopped(folder, 4096, [&] { return stop; });
  EXPECT_TRUE(stopped.writeData(toData("a")));
  stop = true;
  auto r = stopped.writeData(toData("b"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, ECANCELED);
}

namespace {
// Writes the sources through a pool as an update does, into memory; the most they held ahead
// on disk at once.
std::size_t throughPool(const std::vector<Source>& sources, unsigned workers, const std::string& hint,
                        ZZEntryPreparationPool::FreeSpace freeSpace = ZZEntryPreparationPool::volumeFreeSpace) {
  auto entries = entriesOf(sources, BlockThread::any);
  std::vector<std::unique_ptr<ZZArchiveEntryWriter>> writers;
  std::vector<ZZArchiveEntryWriter*> jobs;
  for (auto& entry : entries) {
    writers.push_back(std::move(*entry->newWriterCanSkipLocalFile(false)));
    jobs.push_back(writers.back().get());
  }
  auto data = std::make_shared<Data>();
  auto archive = *ZZArchive::archiveWithData(data, {{ZZOpenOptionsCreateIfMissingKey, true}});
  auto sink = *archive->channel()->newOutput();
  ZZEntryPreparationPool pool(jobs, testenv::freshFolder(hint), workers, std::move(freeSpace));
  for (auto* job : jobs) {
    EXPECT_TRUE(pool.waitFor(job));
    EXPECT_TRUE(job->writeLocalFileToChannelOutput(*sink, 0));
    pool.written(job);
  }
  return pool.mostSpilled();
}
}  // namespace

TEST(ZZConcurrentUpdate, TemporaryFilesOfEntriesAheadStayWithinTheDiskBudget) {
  // A first entry larger than the whole budget, then many that each go to a temporary file.
  constexpr std::size_t budget = ZZEntryPreparationPool::preparedDiskBudget;
  std::vector<Source> sources{{"first.png", randomData(budget + (8 << 20), 1), 0}};
  for (std::uint32_t i = 0; i < 16; ++i)
    sources.push_back({"next" + std::to_string(i) + (i % 4 ? ".png" : ".bin"), randomData(5 << 20, 10 + i), i % 4 ? 0 : -1});
  sources.push_back({"last.js", textData(200000, 3), -1});

  for (unsigned workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    auto mostSpilled = throughPool(sources, workers, "disk-budget");
    EXPECT_LE(mostSpilled, budget);
    EXPECT_GT(mostSpilled, 0u) << "nothing was prepared ahead";
  }

  // Entries that found no room ahead are written in their turn: the bytes are a sequential update's.
  auto sequential = fileBytes(written(entriesOf(sources, BlockThread::updating), "disk-sequential"));
  auto concurrentZip = written(entriesOf(sources, BlockThread::any), "disk-concurrent");
  EXPECT_EQ(fileBytes(concurrentZip), sequential);
  auto archive = *ZZArchive::archiveWithURL(concurrentZip);
  ASSERT_EQ(archive->entries().size(), sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i) EXPECT_EQ(*archive->entries()[i]->newData(), sources[i].content);
}

TEST(ZZConcurrentUpdate, NoEntryGoesAheadToAVolumeWithoutRoomBesideIt) {
  constexpr std::size_t budget = ZZEntryPreparationPool::preparedDiskBudget;
  std::vector<Source> sources;
  for (std::uint32_t i = 0; i < 12; ++i) sources.push_back({"next" + std::to_string(i) + ".png", randomData(3 << 20, 40 + i), 0});
  struct Case {
    std::uint64_t free;
    bool spills;
  } cases[] = {{budget + (1 << 20), false}, {std::uint64_t(1) << 40, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free);
    std::atomic<bool> asked{false};
    auto mostSpilled = throughPool(sources, 4, "volume-room", [&](const stdfs::path&) {
      asked = true;
      return std::optional<std::uint64_t>(c.free);
    });
    if (c.spills) {
      EXPECT_TRUE(asked);
    } else {
      EXPECT_EQ(mostSpilled, 0u) << "an entry went ahead to a volume without room";
    }
  }
}

namespace {
// A volume of `bytes` of its own, for as long as it lives; none where this process may not
// mount one.
class SmallVolume {
 public:
  explicit SmallVolume(std::uint64_t bytes) : path_(testenv::freshFolder("small-volume")) {
    std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~SmallVolume() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const stdfs::path& path() const { return path_; }

 private:
  stdfs::path path_;
  bool mounted_ = false;
};
}  // namespace

// An archive that a sequential update writes on a volume with little room beside it is written
// as well where entries are prepared ahead: what they took ahead never makes the update fail.
TEST(ZZConcurrentUpdate, AnUpdateThatFitsTheVolumeSucceedsWhateverWasPreparedAhead) {
  std::vector<Source> sources{{"first.png", randomData(24 << 20, 60), 0}};
  for (std::uint32_t i = 0; i < 14; ++i) sources.push_back({"next" + std::to_string(i) + ".png", randomData(4 << 20, 61 + i), 0});
  auto sequential = fileBytes(written(entriesOf(sources, BlockThread::updating), "volume-sequential"));
  // Room for the archive and one more megabyte, in whole pages.
  std::uint64_t room = (sequential.size() + (1 << 20) + 4095) / 4096 * 4096;
  for (int round = 0; round < 2; ++round) {
    SmallVolume volume(room);
    if (!volume.mounted()) GTEST_SKIP() << "no volume of our own can be mounted here";
    auto zip = volume.path() / "a.zip";
    auto archive = *ZZArchive::archiveWithURL(zip, {{ZZOpenOptionsCreateIfMissingKey, true}});
    auto updated = archive->updateEntries(entriesOf(sources, BlockThread::any));
    ASSERT_TRUE(updated) << updated.error().description();
    EXPECT_EQ(fileBytes(zip), sequential);
    std::error_code ec;
    for (auto& item : stdfs::directory_iterator(volume.path(), ec)) EXPECT_EQ(item.path(), zip) << "left behind";
  }
}

// Cutting an output back drops what it had not yet written past the cut: on a full volume,
// writing it first would fail the very cut that gives the room back.
TEST(ZZConcurrentUpdate, ACutOnAFullVolumeDropsWhatWasNotYetWritten) {
  SmallVolume volume(1 << 20);
  if (!volume.mounted()) GTEST_SKIP() << "no volume of our own can be mounted here";
  ZZFileChannel channel(volume.path() / "a.zip");
  auto output = *channel.newOutput();
  ASSERT_TRUE(output->writeData(randomData(768 << 10, 90)));
  // Flushes the first part and keeps this one in hand: together more than the volume holds.
  ASSERT_TRUE(output->writeData(randomData(400 << 10, 91)));
  auto cut = output->truncateAtOffset(0);
  ASSERT_TRUE(cut) << cut.error().description();
  ASSERT_TRUE(output->seekToOffset(0));
  ASSERT_TRUE(output->writeData(toData("after")));
  ASSERT_TRUE(output->close());
  EXPECT_EQ(fileBytes(volume.path() / "a.zip"), toData("after"));
}
