// The zip library's side of the benchmark: list, read every entry, or replace one entry.
//   zip_bench list <archive>
//   zip_bench read <archive>
//   zip_bench replace <archive> <entry name> <file with the new content>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "zip/ZZArchive.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: zip_bench list|read <archive> | replace <archive> <name> <file>\n");
  return 2;
}

int failed(const Error& e) {
  std::fprintf(stderr, "zip_bench: %s\n", e.description().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string command = argv[1];
  auto archive = ZZArchive::archiveWithURL(argv[2]);
  if (!archive) return failed(archive.error());

  if (command == "list") {
    std::string out;
    for (const auto& entry : (*archive)->entries())
      out += std::to_string(entry->uncompressedSize()) + " " + entry->fileName().value_or("?") + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  }
  if (command == "read") {
    std::vector<std::uint8_t> buffer(256 * 1024);
    for (const auto& entry : (*archive)->entries()) {
      auto stream = entry->newStream();
      if (!stream) return failed(stream.error());
      (*stream)->open();
      for (;;) {
        std::ptrdiff_t n = (*stream)->read(buffer.data(), buffer.size());
        if (n < 0) return failed(*(*stream)->streamError());
        if (n == 0) break;
        if (::write(STDOUT_FILENO, buffer.data(), static_cast<std::size_t>(n)) != n) return 1;
      }
      (*stream)->close();
    }
    return 0;
  }
  if (command == "replace" && argc == 5) {
    std::string name = argv[3];
    std::string file = argv[4];
    std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
    for (const auto& entry : (*archive)->entries()) {
      if (entry->fileName() != name) {
        entries.push_back(entry);
        continue;
      }
      entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(name, true, [file]() -> Result<Data> {
        std::ifstream in(file, std::ios::binary);
        if (!in) return fail(Error::posix(ENOENT, file));
        return Data(std::istreambuf_iterator<char>(in), {});
      }));
    }
    if (auto r = (*archive)->updateEntries(entries); !r) return failed(r.error());
    return 0;
  }
  return usage();
}
